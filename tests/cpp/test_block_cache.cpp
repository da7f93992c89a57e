// The block cache: reuse of the very size only, the limit (a floor, or the
// bytes in use, inclusive), give-back, held pages left for the kernel to
// reclaim, and nothing held under an address-space limit.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "memory/block_cache.hpp"

using kestrum::memory::BlockCache;
using kestrum::memory::kHugePage;
using kestrum::memory::kLargeFrom;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Whether [p, p + size) is still mapped in this process.
bool mapped(void* p, std::size_t size) {
    std::vector<unsigned char> pages((size + 4095) / 4096);
    return mincore(p, size, pages.data()) == 0;
}

// KiB of this process's pages the kernel may take back at will (MADV_FREE).
long lazy_free_kib() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string key;
    long kib = -1;
    while (rollup >> key)
        if (key == "LazyFree:" && rollup >> kib) break;
    return kib;
}

}  // namespace

TEST(BlockCache, ReusesTheNewestBlockOfTheSameSizeOnly) {
    BlockCache cache(64 * kMiB);
    void* a = cache.allocate(3 * kMiB);
    void* b = cache.allocate(3 * kMiB);
    std::memset(a, 1, 3 * kMiB);
    cache.deallocate(a, 3 * kMiB);
    cache.deallocate(b, 3 * kMiB);
    EXPECT_EQ(cache.held_blocks(), 2u);
    // A different size never gets a held block.
    void* c = cache.allocate(5 * kMiB);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    // The same rounded size does, newest first; the pages keep their contents.
    EXPECT_EQ(cache.allocate(3 * kMiB - 100), b);
    void* again = cache.allocate(3 * kMiB);
    EXPECT_EQ(again, a);
    EXPECT_EQ(static_cast<unsigned char*>(again)[3 * kMiB - 1], 1);
    EXPECT_EQ(cache.held_bytes(), 0u);
    cache.deallocate(c, 5 * kMiB);
    cache.deallocate(b, 3 * kMiB);
    cache.deallocate(again, 3 * kMiB);
}

TEST(BlockCache, HoldsNoMoreThanTheLimitAndGivesTheRestBack) {
    BlockCache cache(10 * kMiB);
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(cache.allocate(4 * kMiB));
    EXPECT_EQ(cache.live_bytes(), 20 * kMiB);
    EXPECT_EQ(cache.cap(), 20 * kMiB);
    for (void* p : blocks) cache.deallocate(p, 4 * kMiB);
    // With nothing in use the floor is the limit: two 4 MiB blocks fit under
    // 10 MiB, and the oldest three went back.
    EXPECT_EQ(cache.live_bytes(), 0u);
    EXPECT_EQ(cache.held_blocks(), 2u);
    EXPECT_EQ(cache.held_bytes(), 8 * kMiB);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(mapped(blocks[i], 4 * kMiB)) << i;
    for (int i = 3; i < 5; ++i) EXPECT_TRUE(mapped(blocks[i], 4 * kMiB)) << i;
#endif
    // A block bigger than the limit is not held...
    void* big = cache.allocate(12 * kMiB);
    cache.deallocate(big, 12 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 8 * kMiB);
    // ...unless as much is still in use (an input beside its freed output).
    void* input = cache.allocate(40 * kMiB);
    void* output = cache.allocate(30 * kMiB);
    cache.deallocate(output, 30 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 38 * kMiB);
    EXPECT_EQ(cache.allocate(30 * kMiB), output);
    cache.deallocate(output, 30 * kMiB);
    // Once the input goes too, the limit drops to the floor and the big
    // blocks go back, the oldest first.
    cache.deallocate(input, 40 * kMiB);
    EXPECT_LE(cache.held_bytes(), 10 * kMiB);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_FALSE(mapped(output, 30 * kMiB));
    EXPECT_FALSE(mapped(input, 40 * kMiB));
#endif

    BlockCache off(0);
    off.deallocate(off.allocate(kLargeFrom), kLargeFrom);
    EXPECT_EQ(off.held_blocks(), 0u);
}

// The limit is inclusive: a block the size of the floor, or of the bytes
// still in use, is kept. Giving everything back leaves nothing counted.
TEST(BlockCache, KeepsABlockOfExactlyTheLimitAndReleaseAllEmptiesIt) {
    BlockCache cache(10 * kMiB);
    void* input = cache.allocate(40 * kMiB);
    void* output = cache.allocate(40 * kMiB);
    cache.deallocate(output, 40 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 40 * kMiB);
    EXPECT_EQ(cache.allocate(40 * kMiB), output);
    cache.deallocate(output, 40 * kMiB);
    cache.deallocate(input, 40 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 0u);
    void* floor_sized = cache.allocate(10 * kMiB);
    cache.deallocate(floor_sized, 10 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 10 * kMiB);
    // A small block is held resident; over the floor, the 10 MiB one goes.
    cache.deallocate(cache.allocate(3 * kMiB), 3 * kMiB);
    ASSERT_EQ(cache.resident_bytes(), 3 * kMiB);

    cache.release_all();
    EXPECT_EQ(cache.held_blocks(), 0u);
    EXPECT_EQ(cache.held_bytes(), 0u);
    EXPECT_EQ(cache.resident_bytes(), 0u);
    cache.deallocate(cache.allocate(4 * kMiB), 4 * kMiB);
    EXPECT_EQ(cache.held_blocks(), 1u);
    EXPECT_EQ(cache.held_bytes(), 4 * kMiB);
}

TEST(BlockCache, HoldsAtMostKMaxHeldBlocksTheNewestKept) {
    BlockCache cache(64 * kMiB);
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < kestrum::memory::kMaxHeld + 5; ++i) blocks.push_back(cache.allocate(kLargeFrom));
    for (void* p : blocks) cache.deallocate(p, kLargeFrom);
    EXPECT_EQ(cache.held_blocks(), kestrum::memory::kMaxHeld);
    EXPECT_EQ(cache.allocate(kLargeFrom), blocks.back());
}

TEST(BlockCache, BlocksAreAlignedAndSizedForTheirUse) {
    BlockCache cache(64 * kMiB);
    EXPECT_EQ(BlockCache::block_size(kLargeFrom + 1), kLargeFrom + 4096);
    EXPECT_EQ(BlockCache::block_size(4 * kMiB + 1), 6 * kMiB);
    void* huge = cache.allocate(24 * kMiB + 24);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(huge) % kHugePage, 0u);
    // Every byte asked for is writable.
    std::memset(huge, 0xAB, 24 * kMiB + 24);
    cache.deallocate(huge, 24 * kMiB + 24);
    EXPECT_THROW(cache.allocate(std::size_t(-1) - 10), std::bad_alloc);
}

TEST(BlockCache, AForkedChildCanUseTheProcessCache) {
    // Another thread keeps taking and giving back blocks while this one
    // forks: a child must never inherit a lock held, the cache's or one the
    // other thread's first give-back takes (it reads the overcommit mode).
    BlockCache& cache = kestrum::memory::process_cache();
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) cache.deallocate(cache.allocate(kLargeFrom), kLargeFrom);
    });
    int hung_or_failed = 0;
    for (int i = 0; i < 40; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(5);  // a child stuck on the lock dies of SIGALRM
            void* q = cache.allocate(kLargeFrom);
            cache.deallocate(q, kLargeFrom);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++hung_or_failed;
    }
    stop.store(true);
    busy.join();
    EXPECT_EQ(hung_or_failed, 0);
}

// Held pages are the kernel's to reclaim (a cgroup short of memory takes
// them back), except small blocks up to kResidentSmall, whose next write
// would cost a fault per 4 KiB page.
TEST(BlockCache, HeldPagesMayBeReclaimedExceptAFewSmallBlocks) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "heap blocks under sanitizers";
#else
    if (lazy_free_kib() < 0) GTEST_SKIP() << "no /proc/self/smaps_rollup";
    ASSERT_FALSE(kestrum::memory::mappings_limited()) << "run without an address-space limit";
    BlockCache cache(256 * kMiB);
    constexpr long kSlackKiB = 512;
    void* big = cache.allocate(24 * kMiB);
    std::memset(big, 1, 24 * kMiB);
    const long before = lazy_free_kib();
    cache.deallocate(big, 24 * kMiB);
    EXPECT_GE(lazy_free_kib() - before, 24 * 1024 - kSlackKiB);
    EXPECT_EQ(cache.resident_bytes(), 0u);
    // Taken back whole by the next user's writes, which the kernel keeps.
    void* again = cache.allocate(24 * kMiB);
    EXPECT_EQ(again, big);
    std::memset(again, 2, 24 * kMiB);
    EXPECT_LE(lazy_free_kib(), before + kSlackKiB);
    cache.deallocate(again, 24 * kMiB);

    // Three 3 MiB blocks: two fit in the resident allowance, the third not.
    static_assert(kestrum::memory::kResidentSmall == 8 * kMiB);
    std::vector<void*> small;
    for (int i = 0; i < 3; ++i) {
        small.push_back(cache.allocate(3 * kMiB));
        std::memset(small.back(), 3, 3 * kMiB);
    }
    const long with_big = lazy_free_kib();
    for (void* p : small) cache.deallocate(p, 3 * kMiB);
    EXPECT_EQ(cache.resident_bytes(), 6 * kMiB);
    EXPECT_EQ(cache.held_bytes(), 24 * kMiB + 9 * kMiB);
    EXPECT_GE(lazy_free_kib() - with_big, 3 * 1024 - kSlackKiB);
    EXPECT_LE(lazy_free_kib() - with_big, 3 * 1024 + kSlackKiB);
    // A resident block handed out leaves room for the next one.
    void* newest = cache.allocate(3 * kMiB);
    EXPECT_EQ(newest, small[2]);  // given up, so the allowance stays full
    EXPECT_EQ(cache.resident_bytes(), 6 * kMiB);
    EXPECT_EQ(cache.allocate(3 * kMiB), small[1]);
    EXPECT_EQ(cache.resident_bytes(), 3 * kMiB);
    cache.deallocate(small[1], 3 * kMiB);
    cache.deallocate(newest, 3 * kMiB);
    EXPECT_EQ(cache.resident_bytes(), 6 * kMiB);
#endif
}

// An address-space limit counts mappings, held pages or not: under one the
// cache keeps nothing, and gives back what it held before the limit came.
TEST(BlockCache, HoldsNothingUnderAnAddressSpaceLimit) {
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            BlockCache cache(64 * kMiB);
            void* early = cache.allocate(8 * kMiB);
            void* late = cache.allocate(kLargeFrom);
            cache.deallocate(early, 8 * kMiB);
            int failures = cache.held_blocks() == 1 ? 0 : 1;
            rlimit limit{};
            getrlimit(resource, &limit);
            limit.rlim_cur = rlim_t{1} << 62;  // finite, and no allocation here comes near it
            if (setrlimit(resource, &limit) != 0) _exit(2);
            failures += kestrum::memory::mappings_limited() ? 0 : 4;
            cache.deallocate(late, kLargeFrom);
            failures += cache.held_blocks() == 0 && cache.held_bytes() == 0 ? 0 : 8;
            failures += cache.resident_bytes() == 0 ? 0 : 16;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            failures += mapped(early, 8 * kMiB) || mapped(late, kLargeFrom) ? 32 : 0;
#endif
            cache.deallocate(cache.allocate(kLargeFrom), kLargeFrom);
            failures += cache.held_blocks() == 0 ? 0 : 64;
            _exit(failures);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "resource " << resource;
    }
}
