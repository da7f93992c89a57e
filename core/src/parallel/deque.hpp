#pragma once
// One worker's deque of jobs.
#include <atomic>
#include <cstdint>
#include <memory>

namespace kestrum::parallel::detail {

// Chase-Lev deque of fixed capacity: the owner pushes and pops at the bottom,
// thieves take from the top. Every access to the indices is seq_cst, which
// gives the store-load ordering the algorithm needs without standalone fences.
// A full deque makes push fail; the caller then simply runs the job itself.
template <class T>
class WorkDeque {
public:
    static constexpr std::int64_t kCapacity = 1024;

    bool push(T* job) noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        const std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t >= kCapacity) return false;
        slots_[b & kMask].store(job, std::memory_order_relaxed);
        bottom_.store(b + 1, std::memory_order_seq_cst);
        return true;
    }

    T* pop() noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return nullptr;
        }
        T* job = slots_[b & kMask].load(std::memory_order_relaxed);
        if (t == b) {
            // The last job: a thief may be racing for it.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                job = nullptr;
            }
            bottom_.store(b + 1, std::memory_order_seq_cst);
        }
        return job;
    }

    enum class Steal { Empty, Lost, Taken };

    Steal steal(T*& out) noexcept {
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return Steal::Empty;
        T* job = slots_[t & kMask].load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            return Steal::Lost;
        }
        out = job;
        return Steal::Taken;
    }

    bool looks_nonempty() const noexcept {
        return bottom_.load(std::memory_order_seq_cst) > top_.load(std::memory_order_seq_cst);
    }

private:
    static constexpr std::int64_t kMask = kCapacity - 1;
    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    std::unique_ptr<std::atomic<T*>[]> slots_ { new std::atomic<T*>[kCapacity] {} };
};

}  // namespace kestrum::parallel::detail
