#pragma once
// Stopping a long operation early (Ctrl-C in the extension). The thread that
// started the operation runs `poll` every `every` while it waits; once poll
// returns true, pieces not yet begun are skipped, pieces that call check() in
// their loops end at the next step, and the operation throws Stopped after
// every piece has ended, so no worker is left busy with it.
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <utility>

namespace kestrum::parallel {

struct Stopped : std::exception {
    const char* what() const noexcept override { return "the operation was stopped"; }
};

// The process was forked while the operation ran (a poll may run code that
// forks), or the pool it uses was started by a parent process: the workers
// are there, not here, so waiting for them would never end.
struct WorkersInParent : std::exception {
    const char* what() const noexcept override {
        return "this process was forked during a parallel operation, whose worker threads stayed in the "
               "parent process; call it again here to run it on this process's own pool";
    }
};

class Stop {
public:
    using Poll = std::function<bool()>;
    explicit Stop(Poll poll, std::chrono::steady_clock::duration every = std::chrono::milliseconds(5))
        : poll_(std::move(poll)), every_(every) {}

    bool requested() const noexcept { return flag_.load(std::memory_order_relaxed); }
    void check() const {
        if (requested()) throw Stopped();
    }
    void request() noexcept { flag_.store(true, std::memory_order_relaxed); }
    // On the calling thread only: polls once, unless already stopped.
    bool poll() {
        if (!requested() && poll_ && poll_()) request();
        return requested();
    }
    std::chrono::steady_clock::duration every() const noexcept { return every_; }

private:
    Poll poll_;
    std::chrono::steady_clock::duration every_;
    std::atomic<bool> flag_{false};
};

}  // namespace kestrum::parallel
