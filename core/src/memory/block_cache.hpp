#pragma once
// Large element blocks, and a bounded cache of recently freed ones.
//
// A bulk operation returns a new list, and at a million elements its output
// block is tens of MiB. Fresh pages from the kernel cost a fault and a
// zero-fill each, several times the operation itself, so a freed block is
// kept and handed to the next request of the same size. The cache holds at
// most the larger of a fixed floor and the bytes of blocks in use: an
// operation on a list has its input and its output alive at once, so keeping
// a freed output of that size adds nothing to the peak. A block that does not
// fit goes back to the system at once, and so do the oldest held blocks when
// the limit drops below what is held.
//
// Memory kept must not make allocations elsewhere fail. A held block's pages
// are given up with MADV_FREE: the mapping stays, the kernel reclaims the
// pages whenever anyone (the process, its cgroup) is short of memory, and
// until then the next write finds them in place. Only small blocks, whose
// 4 KiB pages cost a fault's worth each at that write, stay resident, up to
// kResidentSmall in all. An address-space limit (RLIMIT_AS, RLIMIT_DATA) or
// strict overcommit counts mappings rather than pages, so under either the
// cache holds nothing.
#include <cstddef>
#include <mutex>
#include <vector>

namespace kestrum::memory {

// Blocks below this size come from the C heap as usual. Above it the C heap
// either maps and unmaps each block or trims its top after each free, which
// comes to the same faults (a 100 KB result took 4x as long as when reused).
inline constexpr std::size_t kLargeFrom = std::size_t{64} << 10;
// At most this many blocks are held, so a lookup stays a short scan.
inline constexpr std::size_t kMaxHeld = 32;
// From here on, blocks are 2 MiB aligned and marked for transparent huge
// pages: at millions of elements the page faults and TLB misses of 4 KiB
// pages cost as much as the arithmetic.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeFrom = std::size_t{4} << 20;
inline constexpr std::size_t kCapFloor = std::size_t{64} << 20;
// Small blocks (below kHugeFrom) kept resident, the rest lazily freed: a
// 240 KB block given up with MADV_FREE took 5x as long to fill again, a
// 24 MiB block of huge pages no longer.
inline constexpr std::size_t kResidentSmall = std::size_t{8} << 20;

// Whether the process runs under a limit that counts mapped memory: a finite
// RLIMIT_AS or RLIMIT_DATA, or strict overcommit (read once).
bool mappings_limited() noexcept;

// Whether `count` items of `size` bytes exceed the machine's memory and swap
// together: a result that large can never be filled, and writing it would
// only end in the kernel's out-of-memory kill, where a refusal is a
// MemoryError.
bool beyond_machine_memory(std::size_t count, std::size_t size) noexcept;

class BlockCache {
public:
    explicit BlockCache(std::size_t cap_floor) : cap_floor_(cap_floor) { held_.reserve(kMaxHeld + 1); }
    ~BlockCache();  // unmaps whatever it holds
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // A block of at least `bytes` (>= kLargeFrom). Throws std::bad_alloc.
    void* allocate(std::size_t bytes);
    // Gives back a block from allocate(bytes); kept or unmapped.
    void deallocate(void* p, std::size_t bytes) noexcept;

    // Gives every held block back to the system.
    void release_all() noexcept;

    std::size_t held_bytes() const;
    std::size_t held_blocks() const;
    std::size_t resident_bytes() const;  // held and not given up to the kernel
    std::size_t live_bytes() const;      // handed out and not given back
    // What may be held now: max(cap floor, live bytes).
    std::size_t cap() const;

    // The size a request of `bytes` is served with.
    static std::size_t block_size(std::size_t bytes) noexcept;

    // fork() copies the lock in whatever state another thread holds it; the
    // process's cache is locked around fork so the child starts unlocked.
    void lock_for_fork() { mutex_.lock(); }
    void unlock_after_fork() { mutex_.unlock(); }

private:
    struct Block {
        void* p;
        std::size_t size;
        bool resident;
    };
    void forget_locked(const Block& b) noexcept;
    std::size_t cap_locked() const noexcept { return live_bytes_ > cap_floor_ ? live_bytes_ : cap_floor_; }

    std::size_t cap_floor_;
    mutable std::mutex mutex_;
    std::vector<Block> held_;  // oldest first; guarded by mutex_
    std::size_t held_bytes_ = 0;
    std::size_t resident_bytes_ = 0;
    std::size_t live_bytes_ = 0;
};

// The process's cache, with the floor kCapFloor.
BlockCache& process_cache();

}  // namespace kestrum::memory
