#include "parallel/notifier.hpp"

#include <pthread.h>

#include "parallel/stop.hpp"

namespace kestrum::parallel::detail {

namespace {

// Registered while the library loads, before any thread of ours exists: a
// lazily registered handler would sit behind a static's guard, which a fork
// can copy taken.
std::atomic<std::uint64_t> g_fork_generation{0};
[[maybe_unused]] const int g_fork_counted =
    pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1, std::memory_order_relaxed); });

}  // namespace

std::uint64_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

Notifier::Notifier(std::size_t workers, bool lazy) : n_(workers), lazy_(lazy), slots_(new Slot[workers]) {}

void Notifier::notify_one() noexcept {
    if (lazy_ && searching_.load(std::memory_order_seq_cst) > 0) return;
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    const std::size_t start = cursor_.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < n_; ++k) {
        Slot& s = slots_[(start + k) % n_];
        if (!s.asleep.load(std::memory_order_seq_cst)) continue;
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.asleep.load(std::memory_order_relaxed) && !s.signalled) {
            s.signalled = true;
            s.cv.notify_one();
            return;
        }
    }
}

void Notifier::notify(std::size_t i) noexcept {
    // The latch's owner may free it from here on; only the slot is touched.
    Slot& s = slots_[i];
    if (s.asleep.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.asleep.load(std::memory_order_relaxed)) {
            s.signalled = true;
            s.cv.notify_one();
        }
    }
}

void Notifier::signal(std::size_t i) noexcept {
    Slot& s = slots_[i];
    std::lock_guard<std::mutex> lock(s.mutex);
    s.signalled = true;
    s.cv.notify_one();
}

void CallerLatch::set() {
    // Set and notify under the lock: the waiter owns this object and may
    // destroy it as soon as it can take the lock and sees done.
    std::lock_guard<std::mutex> lock(mutex_);
    done_.store(true, std::memory_order_release);
    cv_.notify_one();
}

void CallerLatch::wait(Clock::duration spin_for, bool yield_cpu, Stop* stop) {
    if (spin_for > Clock::duration::zero() &&
        spin_until([this] { return done_.load(std::memory_order_acquire); }, spin_for, yield_cpu)) {
        std::lock_guard<std::mutex> lock(mutex_);  // let set() leave the lock before we go
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this] { return done_.load(std::memory_order_relaxed); };
    if (!stop) return cv_.wait(lock, done);
    const std::uint64_t generation = fork_generation();
    while (!cv_.wait_for(lock, stop->every(), done)) {
        if (stop->requested()) continue;
        lock.unlock();  // the poll may take its time; set() must not wait for it
        stop->poll();
        // A poll that forked returns twice. The child has none of the workers,
        // and it cannot finish the operation itself: pieces running at the
        // fork may have half written their output, or changed it in place,
        // and the work left lives on the stacks of workers it does not have;
        // so it gives up, without touching the lock (a worker may have held
        // it at the fork). The parent goes on waiting.
        if (fork_generation() != generation) throw WorkersInParent();
        lock.lock();
    }
}

}  // namespace kestrum::parallel::detail
