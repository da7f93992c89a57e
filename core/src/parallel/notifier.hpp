#pragma once
// Waiting: how an idle thread polls, sleeps and is woken. The workers' sleep
// and wake-up live in Notifier, which owns the one argument that no wake-up
// is lost; the scheduler only says when work appears or a latch is set.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace kestrum::parallel {
class Stop;
}

namespace kestrum::parallel::detail {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

using Clock = std::chrono::steady_clock;

// Counts the forks this process descends from (a forked child adds one), so a
// thread can tell that it now runs in a child of the process it started in.
std::uint64_t fork_generation() noexcept;

// How long a thread with nothing to do keeps polling before it sleeps. A
// futex sleep and wake costs several microseconds, more than a small job, so
// idle workers stay awake long enough to catch back-to-back operations, and a
// calling thread polls its own job for about as long as a wake-up would cost.
inline constexpr auto kPauseFor = std::chrono::microseconds(2);
inline constexpr auto kWorkerSpinFor = std::chrono::microseconds(60);
inline constexpr auto kCallerSpinFor = std::chrono::microseconds(30);

// Polls `ready` until it holds or `spin_for` has passed; true if it held.
// `yield_cpu` (more workers than CPUs): a polling thread then gives its CPU
// away between polls, since pausing would hold off the thread it waits for.
// Otherwise it only pauses: under outside load sched_yield hands the CPU to
// other processes for a whole time slice, which costs milliseconds per
// operation.
template <class Ready>
bool spin_until(Ready ready, Clock::duration spin_for, bool yield_cpu) {
    const auto start = Clock::now();
    for (;;) {
        for (int i = 0; i < 8; ++i) {
            if (ready()) return true;
            cpu_relax();
        }
        const auto elapsed = Clock::now() - start;
        if (elapsed >= spin_for) return false;
        if (yield_cpu && elapsed >= kPauseFor) sched_yield();
    }
}

// Sleep and wake-up of a fixed set of workers, numbered 0 .. n-1.
//
// Why no wake-up is lost. A waker publishes what it announces (a job, a
// latch) with a seq_cst store before its seq_cst loads here. A worker going
// to sleep leaves `searching_` before it counts itself in `sleepers_` and
// marks itself `asleep`, and does both before its last look for work and at
// its latch. So either the worker sees the job or latch, or the waker sees
// the worker and signals it under the worker's mutex, which the worker holds
// from its last look until it waits on the condition variable.
class Notifier {
public:
    // `lazy` (more workers than CPUs): a new job wakes no sleeper while a
    // worker is already searching; that one will find it (and wakes the next
    // sleeper, see `search`), and a pool far
    // larger than the CPU count does not wake a crowd for every job (with a
    // CPU each, waking at once is faster).
    Notifier(std::size_t workers, bool lazy);

    // Polls `found` as a searching worker for a while; true if it held.
    // `hand_on()` tells whether work is left that a lazy push may have left
    // to us: what was found is a job, or other jobs are still visible.
    template <class Found, class HandOn>
    bool search(Found found, const HandOn& hand_on) {
        searching_.fetch_add(1, std::memory_order_seq_cst);
        const bool got = spin_until(found, kWorkerSpinFor, lazy_);
        const std::size_t still_searching = searching_.fetch_sub(1, std::memory_order_seq_cst) - 1;
        // A lazy push left its wake-up to the searchers, and each takes only
        // one job: the last searcher to leave with work in sight hands the
        // search on, or the other jobs could wait while every other worker
        // sleeps. That holds when it leaves for its latch, too.
        if (got && lazy_ && still_searching == 0 && hand_on()) notify_one();
        return got;
    }

    // Worker `i`'s loop until `latch` is set: `found()` looks for work (or
    // the latch) and keeps what it found for `run()`; searching and sleeping
    // happen in between. A worker just woken looks as a searcher, never by
    // the quick look: it may owe the next sleeper its wake-up (see `search`).
    template <class Found, class HandOn, class WorkVisible, class Run>
    void serve(std::size_t i, const std::atomic<bool>& latch, Found found, const HandOn& hand_on,
               const WorkVisible& work_visible, Run run) {
        bool woken = false;
        while (!latch.load(std::memory_order_acquire)) {
            if ((woken || !found()) && !search(found, hand_on)) {
                sleep(i, latch, work_visible);
                woken = true;
                continue;
            }
            woken = false;
            run();
        }
    }

    // Worker `i` sleeps unless, once it counts as asleep, `latch` is set or
    // `work_visible()` holds; it returns when signalled or the latch is set.
    template <class WorkVisible>
    void sleep(std::size_t i, const std::atomic<bool>& latch, const WorkVisible& work_visible) {
        Slot& s = slots_[i];
        std::unique_lock<std::mutex> lock(s.mutex);
        s.asleep.store(true, std::memory_order_seq_cst);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (!latch.load(std::memory_order_seq_cst) && !work_visible()) {
            while (!s.signalled && !latch.load(std::memory_order_acquire)) s.cv.wait(lock);
        }
        s.signalled = false;
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        s.asleep.store(false, std::memory_order_seq_cst);
    }

    // New work was published: wakes one sleeping worker, if any (see `lazy`).
    void notify_one() noexcept;
    // Worker `i`'s latch was set: wakes it if it sleeps.
    void notify(std::size_t i) noexcept;
    // Wakes worker `i` now or makes its next sleep return at once.
    void signal(std::size_t i) noexcept;

private:
    // `asleep` is written under `mutex` but read without it by wakers, who
    // then lock and check again.
    struct alignas(64) Slot {
        std::mutex mutex;
        std::condition_variable cv;
        std::atomic<bool> asleep{false};
        bool signalled = false;  // guarded by mutex
    };

    std::size_t n_;
    bool lazy_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::size_t> sleepers_{0};
    std::atomic<std::size_t> searching_{0};  // awake, polling for work
    std::atomic<std::size_t> cursor_{0};     // where the next wake-up starts looking
};

// One per operation handed to the pool from outside, owned by the blocked
// calling thread.
class CallerLatch {
public:
    void set();
    // With a `stop`, the sleep is cut into stop->every() slices and the stop
    // polled between them; the wait still lasts until set(), unless the poll
    // forked: the caller in the child then throws WorkersInParent.
    void wait(Clock::duration spin_for, bool yield_cpu, Stop* stop = nullptr);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> done_{false};
};

}  // namespace kestrum::parallel::detail
