#pragma once
// A value made once per process (a class, an exception type, the module),
// below everything that makes one: errors.cpp uses it too.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace kp {

// Once-per-process creation, safe against fork and re-entry. No lock is ever
// held across a call into the interpreter: the creating thread claims the cell
// with a token, others poll with the interpreter released until the value is
// published. A creation that re-enters on its own thread (a finalizer run by
// the garbage collector inside the type machinery) creates its own value; the
// first one published wins and a later one is dropped. A claim made before a
// fork is stale in the child, whose first use creates afresh.
namespace once {
// Non-zero, unique to the calling thread and to this process image.
std::uint64_t token() noexcept;
// True for a token taken before the most recent fork of this process.
bool stale(std::uint64_t token) noexcept;
// Lets other threads run for a moment.
void pause(int round) noexcept;
}  // namespace once

template <class T>
class OnceCell {
public:
    template <class Make>
    T* get(Make&& make) {
        if (T* v = peek()) return v;
        return create(make);
    }

private:
    // Kept out of line so that every caller's fast path stays one load.
    template <class Make>
    [[gnu::noinline, gnu::cold]] T* create(Make& make) {
        const std::uint64_t me = once::token();
        for (int round = 0;; ++round) {
            std::uint64_t holder = owner_.load(std::memory_order_acquire);
            if (holder == me) return publish(make());  // re-entered inside our own creation
            if (holder == 0 || once::stale(holder)) {
                if (owner_.compare_exchange_strong(holder, me, std::memory_order_acq_rel)) break;
                continue;
            }
            once::pause(round);
            if (T* v = peek()) return v;
        }
        struct Release {  // also when make() throws
            std::atomic<std::uint64_t>& owner;
            ~Release() { owner.store(0, std::memory_order_release); }
        } release{owner_};
        return publish(make());  // nullptr with an exception set: a later call retries
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }
    // The first value published is the one everybody gets.
    T* publish(T* made) noexcept {
        if (!made) return nullptr;
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
        Py_DECREF(reinterpret_cast<PyObject*>(made));
        return expected;
    }

    std::atomic<T*> value_{nullptr};
    std::atomic<std::uint64_t> owner_{0};
};

}  // namespace kp
