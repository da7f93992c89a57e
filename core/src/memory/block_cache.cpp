#include "memory/block_cache.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/mman.h>
#if defined(__linux__)
#include <sys/sysinfo.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

namespace kestrum::memory {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers see heap blocks only: keep the blocks on the heap there, so an
// overrun of an element block is still caught.
void* map_block(std::size_t size, std::size_t align) { return std::aligned_alloc(align, size); }
void unmap_block(void* p, std::size_t) noexcept { std::free(p); }
bool give_up_pages(void*, std::size_t) noexcept { return true; }
#else
// Mapped directly, so a block given back really leaves the process.
void* map_block(std::size_t size, std::size_t align) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t extra = align > page ? align : 0;
    void* raw = mmap(nullptr, size + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* base = static_cast<char*>(raw);
    if (extra != 0) {
        const auto addr = reinterpret_cast<std::uintptr_t>(base);
        const std::size_t head = (align - addr % align) % align;
        if (head != 0) munmap(base, head);
        if (extra - head != 0) munmap(base + head + size, extra - head);
        base += head;
        madvise(base, size, MADV_HUGEPAGE);  // advice only: failure changes nothing
    }
    return base;
}
void unmap_block(void* p, std::size_t size) noexcept { munmap(p, size); }
// From here on the kernel may take the pages back; a write keeps them.
bool give_up_pages(void* p, std::size_t size) noexcept { return madvise(p, size, MADV_FREE) == 0; }
#endif

// Read at most once per thread that gets there first, without a lock: a
// function-local static is guarded by one, and a thread reading the file
// while another forks leaves that guard taken in the child, whose next
// deallocate would wait for it forever. Reading twice is harmless.
bool strict_overcommit() noexcept {
    static std::atomic<int> known{-1};
    int strict = known.load(std::memory_order_relaxed);
    if (strict < 0) {
        strict = 0;
        if (std::FILE* f = std::fopen("/proc/sys/vm/overcommit_memory", "r")) {
            int mode = 0;
            if (std::fscanf(f, "%d", &mode) == 1 && mode == 2) strict = 1;
            std::fclose(f);
        }
        known.store(strict, std::memory_order_relaxed);
    }
    return strict == 1;
}

}  // namespace

bool beyond_machine_memory(std::size_t count, std::size_t size) noexcept {
#if defined(__linux__)
    struct sysinfo info {};
    if (sysinfo(&info) != 0 || info.mem_unit == 0) return false;
    const unsigned __int128 total = (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * info.mem_unit;
    return static_cast<unsigned __int128>(count) * size > total;
#else
    (void)count;
    (void)size;
    return false;
#endif
}

bool mappings_limited() noexcept {
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit limit{};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) return true;
    }
    return strict_overcommit();
}

std::size_t BlockCache::block_size(std::size_t bytes) noexcept {
    const std::size_t granule = bytes >= kHugeFrom ? kHugePage : std::size_t{4096};
    if (bytes > std::size_t(-1) - granule) return std::size_t(-1);
    return (bytes + granule - 1) / granule * granule;
}

BlockCache::~BlockCache() {
    for (const Block& b : held_) unmap_block(b.p, b.size);
}

void* BlockCache::allocate(std::size_t bytes) {
    const std::size_t size = block_size(bytes);
    if (size == std::size_t(-1)) throw std::bad_alloc();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The newest block of the very size: its pages are the likeliest to
        // be resident, and no block is handed out bigger than asked for.
        for (std::size_t k = held_.size(); k-- > 0;) {
            if (held_[k].size == size) {
                void* p = held_[k].p;
                forget_locked(held_[k]);
                live_bytes_ += size;
                held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(k));
                return p;
            }
        }
    }
    const std::size_t align = bytes >= kHugeFrom ? kHugePage : alignof(std::max_align_t);
    void* p = map_block(size, align);
    if (p == nullptr) {
        // Out of address space or memory: what the cache holds goes first.
        release_all();
        p = map_block(size, align);
        if (p == nullptr) throw std::bad_alloc();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    live_bytes_ += size;
    return p;
}

void BlockCache::release_all() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Block& b : held_) unmap_block(b.p, b.size);
    held_.clear();
    held_bytes_ = 0;
    resident_bytes_ = 0;
}

void BlockCache::forget_locked(const Block& b) noexcept {
    held_bytes_ -= b.size;
    if (b.resident) resident_bytes_ -= b.size;
}

void BlockCache::deallocate(void* p, std::size_t bytes) noexcept {
    const std::size_t size = block_size(bytes);
    const bool limited = mappings_limited();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        live_bytes_ -= size;
        const std::size_t cap = limited ? 0 : cap_locked();
        if (size <= cap) {
            const bool resident = size < kHugeFrom && resident_bytes_ + size <= kResidentSmall;
            // Given up before it is listed, so no other thread has written to
            // it yet. Where that fails the pages would stay: not kept.
            if (resident || give_up_pages(p, size)) {
                held_.push_back({p, size, resident});  // room for kMaxHeld + 1 is reserved
                held_bytes_ += size;
                if (resident) resident_bytes_ += size;
                p = nullptr;
            }
        }
        // Over the limit, the oldest blocks go back to the system.
        std::size_t drop = 0;
        while (held_bytes_ > cap || held_.size() - drop > kMaxHeld) forget_locked(held_[drop++]);
        for (std::size_t k = 0; k < drop; ++k) unmap_block(held_[k].p, held_[k].size);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    if (p != nullptr) unmap_block(p, size);
}

std::size_t BlockCache::held_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_bytes_;
}

std::size_t BlockCache::live_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_bytes_;
}

std::size_t BlockCache::cap() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cap_locked();
}

std::size_t BlockCache::resident_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resident_bytes_;
}

std::size_t BlockCache::held_blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

BlockCache& process_cache() {
    // Never destroyed: lists may be freed during interpreter teardown, after
    // static destructors would have run.
    static BlockCache* cache = [] {
        auto* c = new BlockCache(kCapFloor);
        pthread_atfork([] { process_cache().lock_for_fork(); }, [] { process_cache().unlock_after_fork(); },
                       [] { process_cache().unlock_after_fork(); });
        return c;
    }();
    return *cache;
}

}  // namespace kestrum::memory
