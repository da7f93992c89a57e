#include "parallel/scheduler.hpp"

#include <pthread.h>
#include <signal.h>

#include <cfenv>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "kestrum/panic.hpp"
#include "parallel/deque.hpp"
#include "parallel/sizing.hpp"
#include "parallel/stop.hpp"

namespace kestrum::parallel::detail {

struct Worker {
    Core* core = nullptr;
    std::size_t index = 0;  // its slot in the core's notifier
    std::uint64_t rng = 0;  // picks the first victim when stealing
    WorkDeque<Job> deque;
    pthread_t thread{};
};

struct Core {
    Core(std::size_t n, bool oversubscribed) : threads(n), yield_cpu(oversubscribed), notifier(n, oversubscribed) {}

    std::size_t threads;
    // More workers than CPUs: polling threads give their CPU away (see
    // spin_until) and a new job wakes no one while a worker searches.
    bool yield_cpu;
    std::vector<std::unique_ptr<Worker>> workers;

    std::mutex injected_mutex;
    std::deque<Job*> injected;  // guarded by injected_mutex
    std::atomic<std::size_t> injected_count{0};

    Notifier notifier;
    std::atomic<bool> stop{false};
    // The fork generation the workers run in; a child's copy of the core has
    // no workers.
    std::uint64_t generation = fork_generation();
};

namespace {

thread_local Worker* tl_worker = nullptr;

bool work_visible(const Core* core) noexcept {
    if (core->injected_count.load(std::memory_order_seq_cst) > 0) return true;
    for (const auto& w : core->workers) {
        if (w->deque.looks_nonempty()) return true;
    }
    return false;
}

Job* find_work(Worker* self) noexcept {
    if (Job* job = self->deque.pop()) return job;
    Core* core = self->core;
    const std::size_t n = core->threads;
    if (n > 1) {
        self->rng ^= self->rng << 13;
        self->rng ^= self->rng >> 7;
        self->rng ^= self->rng << 17;
        const std::size_t start = static_cast<std::size_t>(self->rng % n);
        for (std::size_t k = 0; k < n; ++k) {
            Worker* victim = core->workers[(start + k) % n].get();
            if (victim == self) continue;
            for (;;) {
                Job* job = nullptr;
                const auto got = victim->deque.steal(job);
                if (got == WorkDeque<Job>::Steal::Taken) return job;
                if (got == WorkDeque<Job>::Steal::Empty) break;
            }
        }
    }
    if (core->injected_count.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> lock(core->injected_mutex);
        if (!core->injected.empty()) {
            Job* job = core->injected.front();
            core->injected.pop_front();
            core->injected_count.fetch_sub(1, std::memory_order_seq_cst);
            return job;
        }
    }
    return nullptr;
}

void* worker_main(void* arg) {
    auto* self = static_cast<Worker*>(arg);
    tl_worker = self;
    // A new thread inherits its creator's environment; workers never change it.
    std::fesetenv(FE_DFL_ENV);
    wait_until(self, self->core->stop);
    return nullptr;
}

void stop_and_join(Core* core, std::size_t started) noexcept {
    core->stop.store(true, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < started; ++i) {
        core->notifier.signal(i);
        pthread_join(core->workers[i]->thread, nullptr);
    }
}

}  // namespace

Worker* current_worker() noexcept { return tl_worker; }
Core* core_of(const Worker* w) noexcept { return w->core; }

bool push_local(Worker* w, Job* job) {
    if (!w->deque.push(job)) return false;
    w->core->notifier.notify_one();
    return true;
}

bool take_back(Worker* w, Job* mine) {
    // Whatever a finished left half pushed it has taken back, so the top is
    // `mine` unless a thief took it, and then everything older went too.
    for (;;) {
        Job* job = w->deque.pop();
        if (job == mine) return true;
        if (job == nullptr) return false;
        job->exec(job, w);
    }
}

void wait_until(Worker* w, const std::atomic<bool>& latch) {
    Core* core = w->core;
    Job* job = nullptr;
    auto found = [&] { return latch.load(std::memory_order_acquire) || (job = find_work(w)) != nullptr; };
    auto hand_on = [&] { return job != nullptr || work_visible(core); };
    core->notifier.serve(
        w->index, latch, found, hand_on, [core] { return work_visible(core); },
        [&] {
            if (Job* run = job) {
                job = nullptr;
                run->exec(run, w);
            }
        });
}

void set_latch(std::atomic<bool>& latch, Worker* owner) {
    latch.store(true, std::memory_order_seq_cst);
    // `latch` may be gone from here on.
    owner->core->notifier.notify(owner->index);
}

void run_injected(Core* core, Job* job, CallerLatch& latch, Clock::duration spin_for, Stop* stop) {
    // A child forked during a multi-phase operation still holds the parent's
    // pool for the next phase. Checked before the queue's lock, which a
    // parent's worker may have held at the fork.
    if (core->generation != fork_generation()) throw WorkersInParent();
    {
        std::lock_guard<std::mutex> lock(core->injected_mutex);
        core->injected.push_back(job);
    }
    core->injected_count.fetch_add(1, std::memory_order_seq_cst);
    core->notifier.notify_one();
    latch.wait(spin_for, core->yield_cpu, stop);
}

void rethrow_as_panic(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Panic&) {
        throw;
    } catch (const Stopped&) {
        throw;
    } catch (const WorkersInParent&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;  // running out of memory is no broken invariant
    } catch (const std::length_error&) {
        throw;  // nor is a size no container can hold
    } catch (const std::exception& e) {
        throw Panic(e.what());
    } catch (...) {
        throw Panic("a worker failed with an unknown exception");
    }
}

Core* create_core(std::size_t threads, std::size_t stack_size) {
    auto core = std::make_unique<Core>(threads, threads > affinity_cpu_count().value_or(1));
    core->workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        auto w = std::make_unique<Worker>();
        w->core = core.get();
        w->index = i;
        w->rng = 0x9E3779B97F4A7C15ull * (i + 1);
        core->workers.push_back(std::move(w));
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_size != 0) {
        if (const int rc = pthread_attr_setstacksize(&attr, stack_size); rc != 0) {
            pthread_attr_destroy(&attr);
            throw std::system_error(rc, std::generic_category(), "invalid worker stack size");
        }
    }
    // Workers inherit a full signal mask, so signals go to the interpreter's
    // threads, never to a worker.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    for (std::size_t i = 0; i < threads; ++i) {
        Worker* w = core->workers[i].get();
        if (const int rc = pthread_create(&w->thread, &attr, &worker_main, w); rc != 0) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            pthread_attr_destroy(&attr);
            stop_and_join(core.get(), i);
            throw std::system_error(rc, std::generic_category(), "failed to spawn worker thread " + std::to_string(i));
        }
        const std::string name = "kestrum-" + std::to_string(i);
        pthread_setname_np(w->thread, name.substr(0, 15).c_str());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return core.release();
}

void destroy_core(Core* core) noexcept {
    stop_and_join(core, core->threads);
    delete core;
}

}  // namespace kestrum::parallel::detail
