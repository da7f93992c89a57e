#pragma once
// Ctrl-C. A signal handler runs only on the main thread and only when the
// interpreter asks, so work that takes long must ask now and then, and a
// handler that raised must end the work with its exception:
//  - a loop on the calling thread that builds a Python result (a list, a
//    long text) polls a ResultLoop and drops its partial result;
//  - a pool operation runs under interruptible(): the calling thread runs
//    the handlers while it waits (SignalStop), the workers stop at their
//    next piece, and the handler's exception is raised.
#include <cstddef>

#include "frame/errors.hpp"
#include "parallel/stop.hpp"

namespace kp {

// A long loop on the calling thread that builds a Python result. It keeps
// Ctrl-C working: poll() checks for pending signals every kEvery steps, and
// a false return (the handler's exception set, KeyboardInterrupt for SIGINT)
// means drop the partial result. Loops of at least kEvery steps also pause
// the cyclic collector, which the new containers would otherwise trigger
// again and again although nothing can reference them yet; the collector's
// previous state comes back on every path.
class ResultLoop : Pinned {
public:
    static constexpr std::size_t kEvery = 4096;  // well under a millisecond of work
    explicit ResultLoop(std::size_t steps) noexcept
        : pausing_(steps >= kEvery), paused_(pausing_ && PyGC_Disable() == 1) {}
    ~ResultLoop() {
        if (paused_) PyGC_Enable();
    }
    bool poll(std::size_t step) noexcept { return step % kEvery != 0 || check(); }
    // Runs pending signal handlers now, with the collector in the state the
    // caller left it, so a handler sees (and may change) the real state.
    bool check() noexcept;

private:
    bool pausing_;
    bool paused_;  // we turned the collector off and owe turning it back on
};

// Ctrl-C in a long pool operation: the calling thread runs the pending signal
// handlers while it waits (parallel/stop.hpp). interruptible(f) runs
// f(stop); when a handler raised, the operation ends with that exception.
class SignalStop : public kestrum::parallel::Stop {
public:
    SignalStop() : Stop([] { return PyErr_CheckSignals() != 0; }) {}
};
template <class F>
auto interruptible(F&& f) {
    SignalStop stop;
    try {
        return f(stop);
    } catch (const kestrum::parallel::Stopped&) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        throw;
    }
}

}  // namespace kp
