// The reconstructor pickles name.
#include "frame/pickle.hpp"

#include <atomic>

namespace kp {

namespace {
std::atomic<PyObject*> g_unpickler{nullptr};  // the module keeps the function alive forever
}  // namespace

PyObject* unpickler() noexcept { return g_unpickler.load(std::memory_order_acquire); }
void set_unpickler(PyObject* fn) noexcept { g_unpickler.store(fn, std::memory_order_release); }

}  // namespace kp
