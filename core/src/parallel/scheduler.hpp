#pragma once
// The scheduler: workers with one deque each, an injection queue for work
// handed over by threads outside the pool, and fork_join, the one primitive
// the pool's operations are built on. Definitions of the non-templates live
// in scheduler.cpp; Worker and Core stay opaque here.
#include <atomic>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "parallel/notifier.hpp"

namespace kestrum::parallel::detail {

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
// Hands `job` to the workers and blocks until it sets `latch`, polling for
// `spin_for` first (and `stop`, if any, while it sleeps).
void run_injected(Core* core, Job* job, CallerLatch& latch, Clock::duration spin_for, Stop* stop = nullptr);

// std::bad_alloc, std::length_error, kestrum::Panic, Stopped and
// WorkersInParent as themselves, anything else as a Panic with the same message.
[[noreturn]] void rethrow_as_panic(std::exception_ptr error);

// Starts `threads` workers (a stack_size of 0 means the system default).
// Throws if any worker cannot be started; none is left running then.
Core* create_core(std::size_t threads, std::size_t stack_size);
void destroy_core(Core* core) noexcept;  // stops and joins the workers

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

}  // namespace kestrum::parallel::detail
