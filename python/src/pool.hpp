#pragma once
// Work-stealing pool behind the bulk VecList operations. No Python in here:
// workers only ever see plain values, and the calling thread builds Python
// objects after the parallel phase is over.
//
// Every primitive cuts [0, n) into pieces by a fixed rule and combines the
// pieces' results in index order, so results never depend on the thread
// count or on which thread ran which piece.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cfenv>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrum/panic.hpp"

namespace kestrum::pool {

// ---------------------------------------------------------------------------
// Pool size

// A thread-count variable's value: an optional '+', then decimal digits only,
// fitting in 64 bits. nullopt for anything else (including a null pointer).
std::optional<std::size_t> parse_thread_env(const char* text);

using EnvGetter = std::function<const char*(const char*)>;

// The size the environment asks for, or nullopt when the default applies.
// RAYON_NUM_THREADS wins when it is a number (0 meaning "default");
// otherwise RAYON_RS_NUM_CPUS decides, where only a number > 0 counts.
std::optional<std::size_t> size_from_env(const EnvGetter& getenv);

// CPUs granted by a cgroup quota: floor(quota / period), at least 1;
// nullopt for "no limit" or unreadable text.
std::optional<std::size_t> cpus_from_quota(std::string_view quota, std::string_view period);
// A cgroup v2 `cpu.max` file ("max 100000", "150000 100000").
std::optional<std::size_t> parse_cpu_max(std::string_view text);

using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The tightest CPU limit among the process's cgroup and its ancestors, found
// from /proc/self/cgroup and /proc/self/mountinfo texts; both cgroup v2
// (cpu.max) and v1 (cpu.cfs_quota_us / cpu.cfs_period_us) are read.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view self_cgroup, std::string_view mountinfo,
                                            const FileReader& read);

// Affinity-set CPU count (else online processors, else 1), capped by the
// cgroup quota.
std::size_t default_thread_count();

// What the process-wide pool is sized to: the environment, else the default.
std::size_t configured_thread_count();

// ---------------------------------------------------------------------------
// Floating-point environment

// Bulk results do not depend on the floating-point environment of whichever
// thread happens to use or start the pool: workers compute in the default one
// (round to nearest, no flush-to-zero, no denormals-are-zero), and the parts
// of an operation that run on the calling thread sit inside this guard, which
// switches to the default environment and back when the caller's differs.
class DefaultFpEnv {
public:
    DefaultFpEnv() noexcept;
    ~DefaultFpEnv();
    DefaultFpEnv(const DefaultFpEnv&) = delete;
    DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;

private:
    std::fenv_t saved_;
    bool changed_;
};

// ---------------------------------------------------------------------------
// Machinery the templates below need; the definitions live in pool.cpp.

namespace detail {

struct Core;
struct Worker;

// Type erasure happens here and only here: a job is one function pointer; the
// closure it runs stays a template, so element loops are inlined.
struct Job {
    void (*exec)(Job*, Worker*);
};

Worker* current_worker() noexcept;  // null on any thread that is not a worker
Core* core_of(const Worker* w) noexcept;

bool push_local(Worker* w, Job* job);  // false when the deque is full
// Pops the worker's newest job back, running anything else it finds on top.
// Returns true when `mine` came back, false when a thief took it.
bool take_back(Worker* w, Job* mine);
// Runs other work until `latch` is set.
void wait_until(Worker* w, const std::atomic<bool>& latch);
// Sets a stolen job's latch and wakes its owner if it sleeps.
void set_latch(std::atomic<bool>& latch, Worker* owner);

// One per submitted operation, owned by the blocked calling thread.
class CallerLatch {
public:
    void set();
    // `yield_cpu`: see detail::oversubscribed.
    void wait(bool yield_cpu);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> done_{false};
};

void inject(Core* core, Job* job);
// More workers than CPUs: a polling thread then gives its CPU away between
// polls, since pausing would hold off the thread it waits for. Otherwise it
// only pauses: under outside load sched_yield hands the CPU to other
// processes for a whole time slice, which costs milliseconds per operation.
bool oversubscribed(const Core* core) noexcept;
[[noreturn]] void rethrow_as_panic(std::exception_ptr error);

Core* create_core(std::size_t threads, std::size_t stack_size);
void destroy_core(Core* core) noexcept;

// The right half of a fork-join pair, living on its owner's stack.
template <class R, class F>
struct StackJob : Job {
    const F* fn;
    Worker* owner;
    std::optional<R> result;
    std::exception_ptr error;
    std::atomic<bool> done{false};

    StackJob(const F& f, Worker* w) : Job{&StackJob::run}, fn(&f), owner(w) {}

    void invoke(Worker* w, bool migrated) noexcept {
        try {
            result.emplace((*fn)(w, migrated));
        } catch (...) {
            error = std::current_exception();
        }
    }
    static void run(Job* base, Worker* w) {
        auto* self = static_cast<StackJob*>(base);
        Worker* owner = self->owner;  // the job may vanish the moment done is set
        self->invoke(w, w != owner);
        set_latch(self->done, owner);
    }
};

// A whole operation handed over by a thread outside the pool.
template <class R, class F>
struct InjectedJob : Job {
    const F* fn;
    std::optional<R> result;
    std::exception_ptr error;
    CallerLatch latch;

    explicit InjectedJob(const F& f) : Job{&InjectedJob::run}, fn(&f) {}

    static void run(Job* base, Worker* w) {
        auto* self = static_cast<InjectedJob*>(base);
        try {
            self->result.emplace((*self->fn)(w, true));
        } catch (...) {
            self->error = std::current_exception();
        }
        self->latch.set();
    }
};

// Runs a(w, false) here and b either here or on a thief; both always run to
// the end before this returns. A failure in `a` wins over one in `b`, so the
// lowest failing index is the one reported.
template <class FA, class FB>
auto fork_join(Worker* w, const FA& a, const FB& b) {
    using RA = std::invoke_result_t<const FA&, Worker*, bool>;
    using RB = std::invoke_result_t<const FB&, Worker*, bool>;
    StackJob<RB, FB> right(b, w);
    const bool pushed = push_local(w, &right);

    std::optional<RA> left;
    std::exception_ptr left_error;
    try {
        left.emplace(a(w, false));
    } catch (...) {
        left_error = std::current_exception();
    }

    if (!pushed || take_back(w, &right)) {
        right.invoke(w, false);
    } else {
        wait_until(w, right.done);
    }
    if (left_error) std::rethrow_exception(left_error);
    if (right.error) std::rethrow_exception(right.error);
    return std::pair<RA, RB>(std::move(*left), std::move(*right.result));
}

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
// workers that can run at once (`runnable`, at least 1).
inline constexpr std::size_t kPiecesPerRunnable = 8;
inline std::size_t min_piece(std::size_t n, std::size_t runnable) noexcept {
    return std::max<std::size_t>(1, n / (kPiecesPerRunnable * runnable));
}

template <class Op>
auto bridge(Worker* w, const Op& op, std::size_t lo, std::size_t hi, std::size_t budget, bool migrated,
            std::size_t threads, std::size_t grain) -> decltype(op.seq(lo, hi)) {
    const auto next = (hi - lo) / 2 >= grain ? split_budget(hi - lo, budget, migrated, threads) : std::nullopt;
    if (!next) return op.seq(lo, hi);
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t b = *next;
    auto halves = fork_join(
        w, [&](Worker* ww, bool m) { return bridge(ww, op, lo, mid, b, m, threads, grain); },
        [&](Worker* ww, bool m) { return bridge(ww, op, mid, hi, b, m, threads, grain); });
    return op.combine(std::move(halves.first), std::move(halves.second));
}

// Slots [lo, lo + len) written by the ordered map.
struct Filled {
    std::size_t lo;
    std::size_t len;
};
// Adjacent runs merge; a gap keeps only the left run, so the final count
// falls short and the map reports it.
inline Filled merge_filled(Filled l, Filled r) noexcept {
    if (l.lo + l.len == r.lo) return {l.lo, l.len + r.len};
    return l;
}

struct Best {
    bool found = false;
    std::size_t index = 0;
    std::int64_t key = 0;
};
// Keeps the left unless the right is strictly smaller.
inline Best better(Best l, Best r) noexcept {
    if (!l.found) return r;
    if (r.found && r.key < l.key) return r;
    return l;
}

std::string concat(std::vector<std::string>& chunks);

}  // namespace detail

// IEEE-754 totalOrder as a signed integer: -NaN < -inf < ... < -0 < +0 < ...
// < +inf < +NaN. Negative values flip their magnitude bits so that larger
// magnitudes sort lower.
inline std::int64_t total_order_key(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// ---------------------------------------------------------------------------
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

    // The general form behind every primitive. Op provides
    //   R seq(size_t lo, size_t hi) const   -- one piece, in index order
    //   R combine(R left, R right) const    -- adjacent pieces, left first
    // seq must be callable concurrently from many threads. A failure in any
    // piece arrives here once every piece has finished: std::bad_alloc as
    // itself, anything else as kestrum::Panic with the same message.
    template <class Op>
    auto reduce(std::size_t n, const Op& op) -> decltype(op.seq(0, 0));

    // out[i] = f(i) for every slot of `out`, each slot assigned exactly once.
    template <class Out, class F>
    void map_into(std::span<Out> out, const F& f);
    // g(lo, hi) assigns out[lo, hi) for each piece; together the pieces
    // assign every slot exactly once.
    template <class Out, class G>
    void map_ranges(std::span<Out> out, const G& g);

    // A new vector with out[i] = f(i), allocated once at length n.
    template <class Out, class F>
    std::vector<Out> map(std::size_t n, const F& f);

    // The candidate t in [0, m) with the smallest key(t) in IEEE totalOrder,
    // lowest t among equals; nullopt when m == 0.
    template <class Key>
    std::optional<std::size_t> first_min(std::size_t m, const Key& key);
    // Over element indices 0, stride, 2*stride, ... < n (stride > 0).
    template <class Key>
    std::optional<std::size_t> first_min_strided(std::size_t n, std::size_t stride, const Key& key);
    // Over element indices lo <= i < hi.
    template <class Key>
    std::optional<std::size_t> first_min_range(std::size_t lo, std::size_t hi, const Key& key);

    // text_of(out, i) appends element i's text; elements are separated by
    // `sep`. Equals the sequential join.
    template <class TextOf>
    std::string join(std::size_t n, const TextOf& text_of, std::string_view sep);

private:
    std::size_t threads_;
    std::size_t runnable_;
    detail::Core* core_;
};

// Creates its pool at the first get(), once. If that fails, get() throws
// kestrum::Panic "The global thread pool has not been initialized.: <reason>"
// then and on every later call; only std::bad_alloc leaves the pool to be
// created by a later call.
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
    bool failed_ = false;
    std::string error_;
};

inline constexpr std::string_view kNotInitialized = "The global thread pool has not been initialized.";

// The process-wide pool, started on first use and never stopped.
Pool& global();
// Its size; the first call starts the pool.
std::size_t thread_count();

template <class Out, class F>
std::vector<Out> map(std::size_t n, const F& f) {
    return global().map<Out>(n, f);
}
template <class Out, class F>
void map_into(std::span<Out> out, const F& f) {
    global().map_into(out, f);
}
template <class Out, class G>
void map_ranges(std::span<Out> out, const G& g) {
    global().map_ranges(out, g);
}
template <class Key>
std::optional<std::size_t> first_min(std::size_t m, const Key& key) {
    return global().first_min(m, key);
}
template <class Key>
std::optional<std::size_t> first_min_strided(std::size_t n, std::size_t stride, const Key& key) {
    return global().first_min_strided(n, stride, key);
}
template <class Key>
std::optional<std::size_t> first_min_range(std::size_t lo, std::size_t hi, const Key& key) {
    return global().first_min_range(lo, hi, key);
}
template <class TextOf>
std::string join(std::size_t n, const TextOf& text_of, std::string_view sep) {
    return global().join(n, text_of, sep);
}

// ---------------------------------------------------------------------------
// Template definitions

template <class Op>
auto Pool::reduce(std::size_t n, const Op& op) -> decltype(op.seq(0, 0)) {
    using R = decltype(op.seq(0, 0));
    try {
        // Too small to split: not worth waking anyone.
        if (n < 2) {
            const DefaultFpEnv fp;
            return op.seq(0, n);
        }
        const std::size_t threads = threads_;
        const std::size_t grain = detail::min_piece(n, runnable_);
        auto root = [&op, n, threads, grain](detail::Worker* w, bool migrated) {
            return detail::bridge(w, op, 0, n, threads, migrated, threads, grain);
        };
        // A piece that itself uses this pool just recurses on its worker.
        if (detail::Worker* w = detail::current_worker(); w && detail::core_of(w) == core_) {
            return root(w, false);
        }
        detail::InjectedJob<R, decltype(root)> job(root);
        detail::inject(core_, &job);
        job.latch.wait(detail::oversubscribed(core_));
        if (job.error) std::rethrow_exception(job.error);
        return std::move(*job.result);
    } catch (...) {
        detail::rethrow_as_panic(std::current_exception());
    }
}

template <class Out, class F>
void Pool::map_into(std::span<Out> out, const F& f) {
    static_assert(std::is_assignable_v<Out&, std::invoke_result_t<const F&, std::size_t>>,
                  "f(i) must be assignable to an output slot");
    Out* o = out.data();
    map_ranges(out, [o, &f](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) o[i] = f(i);
    });
}

template <class Out, class G>
void Pool::map_ranges(std::span<Out> out, const G& g) {
    struct Op {
        const G* g;
        detail::Filled seq(std::size_t lo, std::size_t hi) const {
            (*g)(lo, hi);
            return {lo, hi - lo};
        }
        detail::Filled combine(detail::Filled l, detail::Filled r) const { return detail::merge_filled(l, r); }
    };
    const detail::Filled filled = reduce(out.size(), Op{&g});
    if (filled.lo != 0 || filled.len != out.size()) {
        throw Panic("expected " + std::to_string(out.size()) + " total writes, but got " +
                    std::to_string(filled.len));
    }
}

template <class Out, class F>
std::vector<Out> Pool::map(std::size_t n, const F& f) {
    static_assert(!std::is_same_v<Out, bool>,
                  "std::vector<bool> packs bits, so concurrent slot writes would race; map to a byte type");
    std::vector<Out> out(n);
    map_into(std::span<Out>(out), f);
    return out;
}

template <class Key>
std::optional<std::size_t> Pool::first_min(std::size_t m, const Key& key) {
    static_assert(std::is_convertible_v<std::invoke_result_t<const Key&, std::size_t>, double>,
                  "key(t) must give a double");
    struct Op {
        const Key* key;
        detail::Best seq(std::size_t lo, std::size_t hi) const {
            detail::Best best;
            for (std::size_t t = lo; t < hi; ++t) {
                const std::int64_t k = total_order_key(static_cast<double>((*key)(t)));
                if (!best.found || k < best.key) best = {true, t, k};
            }
            return best;
        }
        detail::Best combine(detail::Best l, detail::Best r) const { return detail::better(l, r); }
    };
    const detail::Best best = reduce(m, Op{&key});
    if (!best.found) return std::nullopt;
    return best.index;
}

template <class Key>
std::optional<std::size_t> Pool::first_min_strided(std::size_t n, std::size_t stride, const Key& key) {
    if (stride == 0) throw Panic("assertion failed: stride != 0");
    // (n - 1) / stride + 1 rather than a rounded-up division, which could overflow.
    const std::size_t m = n == 0 ? 0 : (n - 1) / stride + 1;
    const auto t = first_min(m, [&key, stride](std::size_t c) { return key(c * stride); });
    if (!t) return std::nullopt;
    return *t * stride;
}

template <class Key>
std::optional<std::size_t> Pool::first_min_range(std::size_t lo, std::size_t hi, const Key& key) {
    if (hi < lo) hi = lo;
    const auto t = first_min(hi - lo, [&key, lo](std::size_t c) { return key(lo + c); });
    if (!t) return std::nullopt;
    return lo + *t;
}

template <class TextOf>
std::string Pool::join(std::size_t n, const TextOf& text_of, std::string_view sep) {
    struct Op {
        const TextOf* text_of;
        std::string_view sep;
        std::vector<std::string> seq(std::size_t lo, std::size_t hi) const {
            std::string text;
            for (std::size_t i = lo; i < hi; ++i) {
                // Also before a piece's first element unless it is element 0,
                // so piece boundaries never show in the result.
                if (i != 0) text.append(sep);
                (*text_of)(text, i);
            }
            std::vector<std::string> chunks;
            chunks.push_back(std::move(text));
            return chunks;
        }
        std::vector<std::string> combine(std::vector<std::string> l, std::vector<std::string> r) const {
            l.insert(l.end(), std::make_move_iterator(r.begin()), std::make_move_iterator(r.end()));
            return l;
        }
    };
    std::vector<std::string> chunks = reduce(n, Op{&text_of, sep});
    return detail::concat(chunks);
}

}  // namespace kestrum::pool
