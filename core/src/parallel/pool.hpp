#pragma once
// A pool of worker threads and its one fork-join operation, `reduce`. No
// Python in here: workers only ever see plain values, and the calling thread
// builds Python objects after the parallel phase is over.
//
// `reduce` cuts [0, n) into pieces by a fixed rule and combines the pieces'
// results in index order, so results never depend on the thread count or on
// which thread ran which piece. The algorithms built on it are in
// algorithms.hpp.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "parallel/fp_env.hpp"
#include "parallel/scheduler.hpp"
#include "parallel/stop.hpp"

namespace kestrum::parallel {

namespace detail {

// The split rule. A piece of length < 2 never splits. A piece that moved to
// another thread (stolen or injected) resets its budget to at least
// `threads`; otherwise it splits only while budget remains, halving it.
// Returns the halves' budget, or nullopt to run the piece sequentially.
inline std::optional<std::size_t> split_budget(std::size_t len, std::size_t budget, bool migrated,
                                               std::size_t threads) noexcept {
    if (len < 2) return std::nullopt;
    if (migrated) return std::max(threads, budget / 2);
    if (budget == 0) return std::nullopt;
    return budget / 2;
}

// The shortest piece an operation on n elements is cut into. Stolen pieces
// reset their budget, so with many idle workers the budget alone would cut
// down to single elements; this keeps the pieces to a small multiple of the
// workers that can run at once (`runnable`, at least 1). And no piece is cut
// below kMinPiece elements: handing a piece to another thread costs more than
// computing 64 elements of any operation, so a 16-element `v * 2.0` ran 3x
// faster as one piece than cut into eight.
inline constexpr std::size_t kPiecesPerRunnable = 8;
inline constexpr std::size_t kMinPiece = 64;
inline std::size_t min_piece(std::size_t n, std::size_t runnable) noexcept {
    return std::max<std::size_t>(kMinPiece, n / (kPiecesPerRunnable * runnable));
}

// How long a calling thread polls for its operation before it sleeps. Only a
// short operation is worth it: the poll holds a CPU the workers could use
// (1e5-element `*` took 1.4x as long with it), and a long operation pays the
// wake-up only once (1e4-element `*` took 2.8x as long without it). `weight`
// is an element's cost relative to the cheapest operations (`v * s`: 1).
inline constexpr std::size_t kSpinBelowPerWorker = 16384;
inline Clock::duration caller_spin(std::size_t n, std::size_t weight, std::size_t runnable) noexcept {
    const std::size_t limit = kSpinBelowPerWorker * runnable / std::max<std::size_t>(weight, 1);
    return n < limit ? Clock::duration(kCallerSpinFor) : Clock::duration::zero();
}

template <class Op>
auto bridge(Worker* w, const Op& op, std::size_t lo, std::size_t hi, std::size_t budget, bool migrated,
            std::size_t threads, std::size_t grain, const Stop* stop) -> decltype(op.seq(lo, hi)) {
    const auto next = (hi - lo) / 2 >= grain ? split_budget(hi - lo, budget, migrated, threads) : std::nullopt;
    if (!next) {
        if (stop) stop->check();
        return op.seq(lo, hi);
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t b = *next;
    auto halves = fork_join(
        w, [&](Worker* ww, bool m) { return bridge(ww, op, lo, mid, b, m, threads, grain, stop); },
        [&](Worker* ww, bool m) { return bridge(ww, op, mid, hi, b, m, threads, grain, stop); });
    return op.combine(std::move(halves.first), std::move(halves.second));
}

}  // namespace detail

// A pool of a fixed number of workers. The process uses one (see global());
// tests make their own with explicit sizes.
class Pool {
public:
    // Starts `threads` workers (a stack_size of 0 means the system default).
    // Throws if any worker cannot be started; none is left running then.
    explicit Pool(std::size_t threads, std::size_t stack_size = 0);
    ~Pool();  // stops and joins the workers; no operation may be pending
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t thread_count() const noexcept { return threads_; }
    // Workers that can run at once: the thread count, capped by the CPUs the
    // process may use.
    std::size_t runnable() const noexcept { return runnable_; }

    // The fork-join primitive behind every algorithm. Op provides
    //   R seq(size_t lo, size_t hi) const   -- one piece, in index order
    //   R combine(R left, R right) const    -- adjacent pieces, left first
    // seq must be callable concurrently from many threads. A failure in any
    // piece arrives here once every piece has finished: allocation failures
    // (std::bad_alloc, std::length_error) as themselves, anything else as
    // kestrum::Panic with the same message.
    // `weight`: the cost of one element relative to the cheapest operations,
    // a hint for how the calling thread waits (detail::caller_spin).
    // `stop`: polled by the calling thread while it sleeps (stop.hpp); pieces
    // not begun once it is requested are skipped, and reduce throws Stopped.
    // In a forked child of the process that started the pool (a poll may
    // fork), reduce throws WorkersInParent instead of waiting forever.
    template <class Op>
    auto reduce(std::size_t n, const Op& op, std::size_t weight = 1, Stop* stop = nullptr) -> decltype(op.seq(0, 0));

private:
    std::size_t threads_;
    std::size_t runnable_;
    detail::Core* core_;
};

// Creates its pool at the first get() that succeeds, once. A failed start
// leaves nothing running (Pool's constructor joins the workers it started)
// and decides nothing: a worker that found no memory for its stack may find
// it on the next call, which tries again. get() then throws std::bad_alloc
// as it came, a std::system_error (the start's error code, its text
// "The global thread pool has not been initialized.: <reason>"), or for any
// other failure kestrum::Panic with that text.
class LazyPool {
public:
    using Factory = std::function<std::unique_ptr<Pool>()>;
    explicit LazyPool(Factory factory) : factory_(std::move(factory)) {}
    Pool& get();

private:
    Factory factory_;
    std::atomic<Pool*> ready_{nullptr};
    std::mutex mutex_;  // guards the rest
    std::unique_ptr<Pool> pool_;
};

inline constexpr std::string_view kNotInitialized = "The global thread pool has not been initialized.";

// The process-wide pool, started on first use and never stopped.
Pool& global();
// Its size; the first call starts the pool.
std::size_t thread_count();

template <class Op>
auto Pool::reduce(std::size_t n, const Op& op, std::size_t weight, Stop* stop) -> decltype(op.seq(0, 0)) {
    using R = decltype(op.seq(0, 0));
    try {
        // Too small to split: not worth waking anyone.
        if (n < 2) {
            const DefaultFpEnv fp;
            if (stop) stop->check();
            return op.seq(0, n);
        }
        const std::size_t threads = threads_;
        const std::size_t grain = detail::min_piece(n, runnable_);
        auto root = [&op, n, threads, grain, stop](detail::Worker* w, bool migrated) {
            return detail::bridge(w, op, 0, n, threads, migrated, threads, grain, stop);
        };
        // A piece that itself uses this pool just recurses on its worker.
        if (detail::Worker* w = detail::current_worker(); w && detail::core_of(w) == core_) {
            return root(w, false);
        }
        detail::InjectedJob<R, decltype(root)> job(root);
        detail::run_injected(core_, &job, job.latch, detail::caller_spin(n, weight, runnable_), stop);
        if (job.error) std::rethrow_exception(job.error);
        if (stop) stop->check();  // stopped after the last piece began: the caller still wants out
        return std::move(*job.result);
    } catch (...) {
        detail::rethrow_as_panic(std::current_exception());
    }
}

}  // namespace kestrum::parallel
