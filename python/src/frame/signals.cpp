// Running pending signal handlers from a result loop.
#include "frame/signals.hpp"

namespace kp {

bool ResultLoop::check() noexcept {
    if (!pausing_) return PyErr_CheckSignals() == 0;
    if (paused_) PyGC_Enable();
    const int rc = PyErr_CheckSignals();
    paused_ = PyGC_Disable() == 1;
    return rc == 0;
}

}  // namespace kp
