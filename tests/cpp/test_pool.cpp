#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <cfenv>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "kestrum/vec3d.hpp"
#include "parallel/algorithms.hpp"
#include "parallel/notifier.hpp"
#include "parallel/sizing.hpp"

using kestrum::Panic;
using kestrum::Vec3d;
namespace kp = kestrum::parallel;

namespace {

const std::vector<std::size_t> kLengths = {0,  1,  2,  3,  4,   5,   6,   7,    8,    9,    15,  16,
                                           17, 31, 33, 64, 100, 127, 255, 1000, 1023, 2049, 4097};

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

Vec3d element(std::size_t i) {
    const double d = static_cast<double>(i);
    return {d * 0.37 - 11.0, std::sin(d), 1.0 / (d + 0.5)};
}

// IEEE totalOrder written out case by case, independent of the library's
// bit trick. NaNs of one sign are treated as equal (tests use one payload).
int order_class(double x) {
    if (std::isnan(x)) return std::signbit(x) ? 0 : 2;
    return 1;
}
bool total_less(double a, double b) {
    if (order_class(a) != order_class(b)) return order_class(a) < order_class(b);
    if (order_class(a) != 1) return false;
    if (a < b) return true;
    if (a > b) return false;
    return std::signbit(a) && !std::signbit(b);
}
std::optional<std::size_t> sequential_first_min(const std::vector<double>& keys) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!best || total_less(keys[i], keys[*best])) best = i;
    }
    return best;
}

std::string sequential_join(std::size_t n, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out.append(sep);
        kestrum::append_text(out, element(i));
    }
    return out;
}

// A reduction that records every piece it runs, to check how ranges are cut.
struct Piece {
    std::size_t lo, hi;
};
struct RecordingOp {
    std::mutex* mutex;
    std::vector<Piece>* pieces;
    Piece seq(std::size_t lo, std::size_t hi) const {
        std::lock_guard<std::mutex> lock(*mutex);
        pieces->push_back({lo, hi});
        return {lo, hi};
    }
    // Adjacent, left first: anything else means the halves came back wrong.
    Piece combine(Piece l, Piece r) const {
        if (l.hi != r.lo) throw std::logic_error("non-adjacent halves");
        return {l.lo, r.hi};
    }
};

void expect_tiling(std::vector<Piece> pieces, std::size_t n) {
    std::sort(pieces.begin(), pieces.end(), [](Piece a, Piece b) { return a.lo < b.lo; });
    std::size_t next = 0;
    for (const Piece& p : pieces) {
        EXPECT_EQ(p.lo, next) << "gap or overlap at " << next << " for n=" << n;
        if (n > 0) {
            EXPECT_LT(p.lo, p.hi) << "empty piece for n=" << n;
        }
        next = p.hi;
    }
    EXPECT_EQ(next, n);
}

class PoolOfSize : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { pool = std::make_unique<kp::Pool>(static_cast<std::size_t>(GetParam())); }
    std::unique_ptr<kp::Pool> pool;
};

}  // namespace

// ---------------------------------------------------------------------------
// Pool size from the environment and the machine

TEST(ThreadEnv, ParsesOnlyPlainUnsigned64BitNumbers) {
    EXPECT_EQ(kp::parse_thread_env("4"), 4u);
    EXPECT_EQ(kp::parse_thread_env("+4"), 4u);
    EXPECT_EQ(kp::parse_thread_env("0"), 0u);
    EXPECT_EQ(kp::parse_thread_env("007"), 7u);
    EXPECT_EQ(kp::parse_thread_env("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    for (const char* bad : {"", "+", "-1", "-0", " 4", "4 ", "4\n", "abc", "4a", "0x10", "++4", "+-4", "4.0",
                            "18446744073709551616", "99999999999999999999"}) {
        EXPECT_EQ(kp::parse_thread_env(bad), std::nullopt) << '"' << bad << '"';
    }
    EXPECT_EQ(kp::parse_thread_env(nullptr), std::nullopt);
}

TEST(ThreadEnv, FirstVariableWinsAndZeroMeansDefault) {
    std::vector<std::string> asked;
    auto env = [&asked](std::map<std::string, std::string> vars) {
        return [vars = std::move(vars), &asked](const char* name) -> const char* {
            asked.emplace_back(name);
            const auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        };
    };
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "5"}})), 3u);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "+2"}})), 2u);

    asked.clear();
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}})), std::nullopt);
    EXPECT_EQ(asked, std::vector<std::string>{"RAYON_NUM_THREADS"});  // the second is not consulted

    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "-1"}, {"RAYON_RS_NUM_CPUS", "5"}})), 5u);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "6"}})), 6u);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_RS_NUM_CPUS", "7"}})), 7u);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "abc"}, {"RAYON_RS_NUM_CPUS", "0"}})), std::nullopt);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "abc"}, {"RAYON_RS_NUM_CPUS", "x"}})), std::nullopt);
    EXPECT_EQ(kp::size_from_env(env({{"RAYON_NUM_THREADS", "18446744073709551616"}, {"RAYON_RS_NUM_CPUS", "2"}})), 2u);
    EXPECT_EQ(kp::size_from_env(env({})), std::nullopt);
}

TEST(CgroupQuota, QuotaTextsGiveWholeCpusAtLeastOne) {
    EXPECT_EQ(kp::parse_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(kp::parse_cpu_max("200000 100000\n"), 2u);
    EXPECT_EQ(kp::parse_cpu_max("150000 100000"), 1u);
    EXPECT_EQ(kp::parse_cpu_max("50000 100000"), 1u);
    EXPECT_EQ(kp::parse_cpu_max("800000 100000"), 8u);
    EXPECT_EQ(kp::parse_cpu_max(""), std::nullopt);
    EXPECT_EQ(kp::parse_cpu_max("garbage"), std::nullopt);
    EXPECT_EQ(kp::parse_cpu_max("100000 0"), std::nullopt);
    EXPECT_EQ(kp::cpus_from_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(kp::cpus_from_quota("300000\n", "100000\n"), 3u);
    EXPECT_EQ(kp::cpus_from_quota("x", "100000"), std::nullopt);
}

TEST(CgroupQuota, WalksTheProcessCgroupAndItsAncestors) {
    std::map<std::string, std::string> files;
    const kp::FileReader read = [&files](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
    const std::string v2_mounts =
        "24 1 0:22 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n"
        "25 1 0:23 / /proc rw - proc proc rw\n";
    const std::string v2_self = "0::/a/b\n";

    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self, v2_mounts, read), std::nullopt);
    files["/sys/fs/cgroup/a/b/cpu.max"] = "max 100000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self, v2_mounts, read), std::nullopt);
    files["/sys/fs/cgroup/a/cpu.max"] = "300000 100000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self, v2_mounts, read), 3u);
    files["/sys/fs/cgroup/a/b/cpu.max"] = "400000 100000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self, v2_mounts, read), 3u);  // the tighter ancestor
    files["/sys/fs/cgroup/cpu.max"] = "100000 100000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self, v2_mounts, read), 1u);

    // v1: the hierarchy whose options carry "cpu", mounted at a name of its own.
    files.clear();
    const std::string v1_mounts =
        "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
        "32 31 0:29 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n"
        "33 31 0:30 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
    const std::string v1_self = "3:memory:/x\n2:cpu,cpuacct:/job\n1:name=systemd:/\n";
    files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us"] = "-1\n";
    files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us"] = "100000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v1_self, v1_mounts, read), std::nullopt);
    files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us"] = "250000\n";
    EXPECT_EQ(kp::cgroup_cpu_limit(v1_self, v1_mounts, read), 2u);

    // A mount exposing only a subtree: the mount's root is cut off the path;
    // mountinfo escapes blanks as \040.
    files.clear();
    const std::string sub_mounts = "40 1 0:30 /outer /mnt/my\\040cg rw - cgroup2 cgroup2 rw\n";
    files["/mnt/my cg/inner/cpu.max"] = "500000 100000";
    EXPECT_EQ(kp::cgroup_cpu_limit("0::/outer/inner\n", sub_mounts, read), 5u);

    // Hybrid: both hierarchies count, the tighter one wins.
    files.clear();
    files["/sys/fs/cgroup/a/b/cpu.max"] = "600000 100000";
    files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us"] = "200000";
    files["/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us"] = "100000";
    EXPECT_EQ(kp::cgroup_cpu_limit(v2_self + v1_self, v2_mounts + v1_mounts, read), 2u);
}

TEST(PoolSize, DefaultIsWithinTheMachineAndGlobalUsesTheConfiguredSize) {
    const std::size_t d = kp::default_thread_count();
    EXPECT_GE(d, 1u);
    EXPECT_LE(d, static_cast<std::size_t>(std::max<long>(1, sysconf(_SC_NPROCESSORS_CONF))));
    EXPECT_EQ(kp::thread_count(), kp::configured_thread_count());
    EXPECT_EQ(&kp::global(), &kp::global());
}

// ---------------------------------------------------------------------------
// Start-up and its failure

TEST(LazyPool, CreatesOncePerProcessEvenUnderConcurrentFirstUse) {
    std::atomic<int> made{0};
    kp::LazyPool lazy([&made] {
        made.fetch_add(1);
        return std::make_unique<kp::Pool>(2);
    });
    std::vector<kp::Pool*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&, t] { seen[t] = &lazy.get(); });
    for (auto& th : threads) th.join();
    EXPECT_EQ(made.load(), 1);
    for (kp::Pool* p : seen) EXPECT_EQ(p, seen.front());
    EXPECT_EQ(seen.front()->thread_count(), 2u);
}

TEST(LazyPool, FailedStartKeepsItsCauseAndIsRetried) {
    int made = 0;
    kp::LazyPool lazy([&made]() -> std::unique_ptr<kp::Pool> {
        ++made;
        // Far more stack than any address space holds, then a pool that fits.
        return std::make_unique<kp::Pool>(2, made < 3 ? std::size_t{1} << 52 : 0);
    });
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            lazy.get();
            ADD_FAILURE() << "a pool started with an impossible stack";
        } catch (const std::system_error& e) {
            // The system's own code, so the caller can tell a memory shortage.
            EXPECT_TRUE(e.code() == std::errc::resource_unavailable_try_again ||
                        e.code() == std::errc::not_enough_memory)
                << e.code().message();
            const std::string what = e.what();
            const std::string reason = "failed to spawn worker thread 0: " + e.code().message();
            EXPECT_EQ(what, std::string(kp::kNotInitialized) + ": " + reason);
        }
    }
    EXPECT_EQ(lazy.get().thread_count(), 2u);
    EXPECT_EQ(&lazy.get(), &lazy.get());
    EXPECT_EQ(made, 3);

    int tries = 0;
    kp::LazyPool broken([&tries]() -> std::unique_ptr<kp::Pool> {
        if (++tries == 1) throw std::runtime_error("no reason");
        return std::make_unique<kp::Pool>(1);
    });
    try {
        broken.get();
        ADD_FAILURE() << "the factory's failure was lost";
    } catch (const Panic& e) {
        EXPECT_EQ(std::string(e.what()), std::string(kp::kNotInitialized) + ": no reason");
    }
    EXPECT_EQ(broken.get().thread_count(), 1u);
}

TEST(LazyPool, OutOfMemoryAtStartIsRetriedLater) {
    int made = 0;
    kp::LazyPool lazy([&made]() -> std::unique_ptr<kp::Pool> {
        if (++made == 1) throw std::bad_alloc();
        return std::make_unique<kp::Pool>(1);
    });
    EXPECT_THROW(lazy.get(), std::bad_alloc);
    EXPECT_EQ(lazy.get().thread_count(), 1u);
    EXPECT_EQ(made, 2);
}

// A lost wake-up hangs the sleeper for good; the watchdog turns that into a
// failure. Each round races a waker against a worker going to sleep, through
// each of the three ways in: new work, a set latch, and a signal.
TEST(Notifier, NoWakeUpIsLostBetweenTheLastLookAndTheSleep) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!finished.load()) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "Notifier: a sleeper was never woken\n");
                std::abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (const bool lazy : {false, true}) {
        kp::detail::Notifier notifier(2, lazy);
        for (int round = 0; round < 2000; ++round) {
            // New work wakes some sleeper, whichever: here only one sleeps.
            std::atomic<bool> work{false}, never{false};
            std::thread on_work([&] {
                while (!work.load(std::memory_order_seq_cst)) {
                    notifier.sleep(round % 2, never, [&] { return work.load(std::memory_order_seq_cst); });
                }
            });
            work.store(true, std::memory_order_seq_cst);
            notifier.notify_one();
            on_work.join();
        }
        for (int round = 0; round < 2000; ++round) {
            // A set latch wakes its owner, even with another worker asleep.
            std::atomic<bool> latch{false}, other{false};
            std::thread owner([&] {
                while (!latch.load(std::memory_order_seq_cst)) notifier.sleep(1, latch, [] { return false; });
            });
            std::thread bystander([&] { notifier.sleep(0, other, [] { return false; }); });
            latch.store(true, std::memory_order_seq_cst);
            notifier.notify(1);
            owner.join();
            other.store(true, std::memory_order_seq_cst);
            notifier.notify(0);
            bystander.join();
        }
        // A signal before the sleep makes that sleep return at once.
        std::atomic<bool> never{false};
        notifier.signal(0);
        notifier.sleep(0, never, [] { return false; });
    }
    finished.store(true);
    watchdog.join();
}

// Jobs pushed while a worker searches wake nobody (more workers than CPUs):
// each searcher that leaves with work in sight wakes the next sleeper. Here
// worker 0 is held inside its search while three jobs appear and workers 1
// and 2 sleep; each job blocks until all three have started, so every job
// must reach its own worker through that chain of wake-ups.
TEST(Notifier, EverySearcherHandsTheSearchOnToTheNextSleeper) {
    constexpr int kWorkers = 3;
    kp::detail::Notifier notifier(kWorkers, /*lazy=*/true);
    std::atomic<bool> stop{false}, gate{false}, timed_out{false};
    std::atomic<int> queued{0}, started{0}, at_gate{0};
    std::atomic<int> about_to_sleep[kWorkers] = {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto worker = [&](int i) {
        bool have = false;
        int looks = 0;
        auto found = [&] {
            if (i == 0 && ++looks == 2) {  // the first look inside the search
                at_gate.store(1);
                while (!gate.load()) std::this_thread::yield();
            }
            if (stop.load()) return true;
            for (int q = queued.load(); q > 0;) {
                if (queued.compare_exchange_weak(q, q - 1)) return have = true;
            }
            return false;
        };
        auto hand_on = [&] { return have || queued.load() > 0; };
        auto visible = [&] {
            if (queued.load() > 0) return true;
            about_to_sleep[i].fetch_add(1);
            return false;
        };
        auto run = [&] {
            if (!have) return;
            have = false;
            started.fetch_add(1);
            while (started.load() < kWorkers && !stop.load()) {
                if (std::chrono::steady_clock::now() > deadline) timed_out.store(true);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        };
        notifier.serve(static_cast<std::size_t>(i), stop, found, hand_on, visible, run);
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < kWorkers; ++i) threads.emplace_back(worker, i);
    for (int i = 1; i < kWorkers; ++i) {
        while (about_to_sleep[i].load() == 0) std::this_thread::yield();
    }
    threads.emplace_back(worker, 0);
    while (at_gate.load() == 0) std::this_thread::yield();
    queued.store(3);
    for (int k = 0; k < 3; ++k) notifier.notify_one();  // the pushes
    gate.store(true);
    while (started.load() < kWorkers && !timed_out.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(timed_out.load()) << started.load() << " of 3 jobs started";
    stop.store(true);
    for (int i = 0; i < kWorkers; ++i) notifier.signal(static_cast<std::size_t>(i));
    for (auto& t : threads) t.join();
}

TEST(Pool, RejectsZeroThreads) { EXPECT_THROW(kp::Pool(0), Panic); }

// ---------------------------------------------------------------------------
// Splitting

TEST(Splitting, BudgetRule) {
    using kp::detail::split_budget;
    EXPECT_EQ(split_budget(0, 8, true, 4), std::nullopt);
    EXPECT_EQ(split_budget(1, 8, true, 4), std::nullopt);
    EXPECT_EQ(split_budget(1, 8, false, 4), std::nullopt);
    EXPECT_EQ(split_budget(2, 0, false, 4), std::nullopt);
    EXPECT_EQ(split_budget(2, 1, false, 4), 0u);
    EXPECT_EQ(split_budget(100, 7, false, 4), 3u);
    EXPECT_EQ(split_budget(2, 0, true, 4), 4u);   // moved: at least the thread count
    EXPECT_EQ(split_budget(2, 16, true, 4), 8u);  // or half its own, if larger
    EXPECT_EQ(split_budget(2, 0, true, 1), 1u);
}

// The smallest piece, and whether the calling thread polls, on literal values.
TEST(Splitting, PieceAndCallerPollRules) {
    using kp::detail::caller_spin;
    using kp::detail::min_piece;
    EXPECT_EQ(min_piece(100000, 1), 12500u);
    EXPECT_EQ(min_piece(100000, 4), 3125u);  // eight pieces per runnable worker
    EXPECT_EQ(min_piece(4096, 8), 64u);      // but never below 64 elements
    EXPECT_EQ(min_piece(10, 1), 64u);
    const kp::detail::Clock::duration poll = kp::detail::kCallerSpinFor, sleep{};
    EXPECT_EQ(caller_spin(16383, 1, 1), poll);
    EXPECT_EQ(caller_spin(16384, 1, 1), sleep);
    EXPECT_EQ(caller_spin(32767, 1, 2), poll);  // per runnable worker
    EXPECT_EQ(caller_spin(32768, 1, 2), sleep);
    EXPECT_EQ(caller_spin(8191, 2, 1), poll);  // heavier elements: fewer of them
    EXPECT_EQ(caller_spin(8192, 2, 1), sleep);
    EXPECT_EQ(caller_spin(8191, 4, 2), poll);
    EXPECT_EQ(caller_spin(8192, 4, 2), sleep);
    EXPECT_EQ(caller_spin(16383, 0, 1), poll);  // no weight counts as 1
}

// With one worker nothing can be stolen: the injected root resets its budget
// to 1 and splits, each half splits once more, and that is all.
TEST(Splitting, OneWorkerCutsIntoAtMostFourPiecesAtHalves) {
    kp::Pool pool(1);
    for (std::size_t n : kLengths) {
        std::mutex mutex;
        std::vector<Piece> pieces;
        const Piece whole = pool.reduce(n, RecordingOp{&mutex, &pieces});
        EXPECT_EQ(whole.lo, 0u);
        EXPECT_EQ(whole.hi, n);
        std::sort(pieces.begin(), pieces.end(), [](Piece a, Piece b) { return a.lo < b.lo; });
        std::vector<std::size_t> starts;
        for (const Piece& p : pieces) starts.push_back(p.lo);
        // Halves, then quarters, but a piece is cut only into halves no
        // shorter than the minimum piece.
        const std::size_t h = n / 2;
        const std::size_t grain = kp::detail::min_piece(n, 1);
        std::vector<std::size_t> expected = {0};
        if (n >= 2 && h >= grain) {
            if (h / 2 >= grain) expected.push_back(h / 2);
            expected.push_back(h);
            if ((n - h) / 2 >= grain) expected.push_back(h + (n - h) / 2);
        }
        EXPECT_EQ(starts, expected) << "n=" << n;
        expect_tiling(pieces, n);
    }
}

// Stolen pieces reset their budget; with many more workers than CPUs every
// piece would be stolen and cut again, down to single elements. The pieces
// stay a small multiple of the CPUs, and the result is the same.
TEST(Splitting, ManyIdleWorkersDoNotCutIntoSingleElements) {
    kp::Pool pool(64);
    const std::size_t cpus = std::min<std::size_t>(64, kp::default_thread_count());
    EXPECT_EQ(pool.runnable(), cpus);
    for (std::size_t n : {std::size_t{100}, std::size_t{4097}, std::size_t{100000}}) {
        for (int round = 0; round < 20; ++round) {
            std::mutex mutex;
            std::vector<Piece> pieces;
            const Piece whole = pool.reduce(n, RecordingOp{&mutex, &pieces});
            EXPECT_EQ(whole.hi, n);
            expect_tiling(pieces, n);
            EXPECT_LE(pieces.size(), 2 * kp::detail::kPiecesPerRunnable * cpus) << "n=" << n;
            for (const Piece& p : pieces) EXPECT_GE(p.hi - p.lo, kp::detail::min_piece(n, cpus));
        }
    }
}

TEST_P(PoolOfSize, PiecesTileTheRangeAndCombineInOrder) {
    for (std::size_t n : kLengths) {
        std::mutex mutex;
        std::vector<Piece> pieces;
        const Piece whole = pool->reduce(n, RecordingOp{&mutex, &pieces});
        EXPECT_EQ(whole.lo, 0u);
        EXPECT_EQ(whole.hi, n);
        expect_tiling(pieces, n);
    }
}

// The calling thread only waits; tiny ranges never leave it.
TEST_P(PoolOfSize, CallerRunsOnlyTinyRanges) {
    const auto caller = std::this_thread::get_id();
    for (std::size_t n : kLengths) {
        std::mutex mutex;
        std::set<std::thread::id> ran_on;
        kp::map<int>(*pool, n, [&](std::size_t) {
            std::lock_guard<std::mutex> lock(mutex);
            ran_on.insert(std::this_thread::get_id());
            return 0;
        });
        if (n == 0) {
            EXPECT_TRUE(ran_on.empty());
        } else if (n == 1) {
            EXPECT_EQ(ran_on, std::set<std::thread::id>{caller});
        } else {
            EXPECT_EQ(ran_on.count(caller), 0u) << "n=" << n;
            EXPECT_LE(ran_on.size(), pool->thread_count());
        }
    }
}

// Every worker takes part when there is enough to do: each of the first N
// threads to arrive waits until all N are inside a piece.
TEST_P(PoolOfSize, AllWorkersTakePart) {
    const std::size_t n_threads = pool->thread_count();
    std::mutex mutex;
    std::set<std::thread::id> arrived;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::atomic<bool> timed_out{false};
    kp::map<int>(*pool, 256 * n_threads, [&](std::size_t) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!arrived.insert(std::this_thread::get_id()).second) return 0;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (arrived.size() >= n_threads) return 0;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                timed_out.store(true);  // a worker that never came is a lost wake-up
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    EXPECT_FALSE(timed_out.load());
    EXPECT_EQ(arrived.size(), n_threads);
}

// ---------------------------------------------------------------------------
// Ordered map

TEST_P(PoolOfSize, MapEqualsSequentialAndWritesEachSlotOnce) {
    for (std::size_t n : kLengths) {
        std::vector<std::atomic<int>> writes(n);
        const std::vector<Vec3d> out = kp::map<Vec3d>(*pool, n, [&](std::size_t i) {
            writes[i].fetch_add(1, std::memory_order_relaxed);
            return element(i).normalize();
        });
        ASSERT_EQ(out.size(), n);
        // The caller's-buffer form, with guard slots on both sides.
        std::vector<double> buffer(n + 2, -7.0);
        kp::map_into(*pool, std::span<double>(buffer.data() + 1, n),
                     [](std::size_t i) { return element(i).magnitude(); });
        EXPECT_EQ(buffer.front(), -7.0);
        EXPECT_EQ(buffer.back(), -7.0);
        for (std::size_t i = 0; i < n; ++i) {
            const Vec3d want = element(i).normalize();
            EXPECT_TRUE(same_bits(out[i].x, want.x) && same_bits(out[i].y, want.y) && same_bits(out[i].z, want.z))
                << "n=" << n << " i=" << i;
            EXPECT_EQ(writes[i].load(), 1) << "n=" << n << " i=" << i;
            EXPECT_TRUE(same_bits(buffer[i + 1], element(i).magnitude()));
        }
    }
}

// ---------------------------------------------------------------------------
// First-minimum search

TEST(TotalOrder, KeyFollowsIeeeTotalOrder) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double nan_big = std::bit_cast<double>(std::uint64_t{0x7FFFFFFFFFFFFFFF});
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<double> ascending = {-nan_big, -nan, -inf, -1e300, -1.0, -tiny, -0.0,
                                           0.0,      tiny, 1.0,  1e300,  inf,  nan,   nan_big};
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        EXPECT_LT(kp::total_order_key(ascending[i]), kp::total_order_key(ascending[i + 1])) << "at " << i;
    }
}

// Keys from a few levels give many ties; the special values add NaNs of both
// signs, both zeros and infinities.
TEST_P(PoolOfSize, FirstMinEqualsSequentialWithTiesZerosAndNans) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> specials = {0.0, -0.0, nan, -nan, inf, -inf, 1.0, -1.0};
    std::mt19937_64 rng(GetParam());
    auto run = [&](const std::vector<double>& keys) {
        return kp::first_min(*pool, keys.size(), [&](std::size_t t) { return keys[t]; });
    };
    for (std::size_t n : kLengths) {
        for (int levels : {1, 3, 50, 0}) {
            std::vector<double> keys(n);
            for (auto& k : keys) {
                k = levels > 0 ? static_cast<double>(rng() % levels) : specials[rng() % specials.size()];
            }
            EXPECT_EQ(run(keys), sequential_first_min(keys)) << "n=" << n << " levels=" << levels;
        }
    }
    EXPECT_EQ(run({0.0, 0.0, -0.0, -0.0}), 2u);
    EXPECT_EQ(run({nan, nan, inf, nan}), 2u);
    EXPECT_EQ(run({-inf, 5.0, -nan, -nan}), 2u);
    EXPECT_EQ(run({nan, nan}), 0u);
    EXPECT_EQ(run({}), std::nullopt);
}

TEST_P(PoolOfSize, StridedAndWindowSearchesReturnElementIndices) {
    std::mt19937_64 rng(200 + GetParam());
    for (std::size_t n : kLengths) {
        std::vector<double> keys(n);
        for (auto& k : keys) k = static_cast<double>(rng() % 7);
        auto key = [&](std::size_t i) { return keys[i]; };
        for (std::size_t stride : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{10}, n + 1,
                                   std::numeric_limits<std::size_t>::max()}) {
            if (stride == 0) continue;
            std::optional<std::size_t> want;
            for (std::size_t i = 0; i < n; i += stride) {
                if (!want || keys[i] < keys[*want]) want = i;
                if (n - i <= stride) break;  // also keeps i + stride from wrapping
            }
            EXPECT_EQ(kp::first_min_strided(*pool, n, stride, key), want) << "n=" << n << " stride=" << stride;
        }
        const std::size_t lo = n / 3, hi = n - n / 4;
        std::optional<std::size_t> want;
        for (std::size_t i = lo; i < hi; ++i) {
            if (!want || keys[i] < keys[*want]) want = i;
        }
        EXPECT_EQ(kp::first_min_range(*pool, lo, hi, key), want) << "n=" << n;
    }
    EXPECT_THROW(kp::first_min_strided(*pool, 5, 0, [](std::size_t) { return 0.0; }), Panic);
}

// ---------------------------------------------------------------------------
// Ordered join of texts

TEST_P(PoolOfSize, JoinEqualsSequentialJoin) {
    for (std::size_t n : kLengths) {
        for (std::string_view sep : {std::string_view("\n"), std::string_view(", "), std::string_view("")}) {
            const std::string got = kp::join(
                *pool, n, [](std::string& out, std::size_t i) { kestrum::append_text(out, element(i)); }, sep);
            EXPECT_EQ(got, sequential_join(n, sep)) << "n=" << n;
        }
    }
    EXPECT_EQ(kp::join(
                  *pool, 0, [](std::string& out, std::size_t) { out += "x"; }, "\n"),
              "");
    EXPECT_EQ(kp::join(
                  *pool, 1, [](std::string& out, std::size_t) { out += "x"; }, "\n"),
              "x");
    EXPECT_EQ(kp::join(
                  *pool, 3, [](std::string& out, std::size_t i) { out += std::to_string(i); }, "\n"),
              "0\n1\n2");
}

// ---------------------------------------------------------------------------
// Failures

// A piece that fails still lets every other piece run to completion before
// the caller hears of it, and the caller gets the lowest failing index.
TEST_P(PoolOfSize, FailureWaitsForAllPiecesAndReportsTheLowestIndex) {
    for (std::size_t n : {2u, 3u, 17u, 1000u, 4097u}) {
        std::mutex mutex;
        std::vector<Piece> pieces;
        std::atomic<int> running{0};
        struct Op {
            std::mutex* mutex;
            std::vector<Piece>* pieces;
            std::atomic<int>* running;
            std::size_t n;
            int seq(std::size_t lo, std::size_t hi) const {
                running->fetch_add(1);
                {
                    std::lock_guard<std::mutex> lock(*mutex);
                    pieces->push_back({lo, hi});
                }
                struct Leave {
                    std::atomic<int>* r;
                    ~Leave() { r->fetch_sub(1); }
                } leave{running};
                for (std::size_t i = lo; i < hi; ++i) {
                    if (i == n / 2 || i == n - 1) throw std::runtime_error("bad element " + std::to_string(i));
                }
                // Healthy pieces are slow, so an early return would be seen.
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                return 0;
            }
            int combine(int, int) const { return 0; }
        };
        try {
            pool->reduce(n, Op{&mutex, &pieces, &running, n});
            ADD_FAILURE() << "no failure reported";
        } catch (const Panic& e) {
            EXPECT_EQ(std::string(e.what()), "bad element " + std::to_string(n / 2));
        }
        EXPECT_EQ(running.load(), 0) << "a piece was still running";
        expect_tiling(pieces, n);
    }
}

// A stop requested while the caller sleeps: the pieces that check it end,
// those not begun are skipped, and reduce throws Stopped only once no piece
// runs. Without a request the result is the plain one.
TEST_P(PoolOfSize, AStopRequestedWhileWaitingEndsTheOperation) {
    constexpr std::size_t n = 1 << 16;
    std::atomic<std::size_t> done{0};
    std::atomic<int> running{0};
    struct Op {
        std::atomic<std::size_t>* done;
        std::atomic<int>* running;
        const kp::Stop* stop;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            running->fetch_add(1);
            struct Leave {
                std::atomic<int>* r;
                ~Leave() { r->fetch_sub(1); }
            } leave{running};
            for (std::size_t i = lo; i < hi; ++i) {
                if (i % 64 == 0) stop->check();
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                done->fetch_add(1);
            }
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    int polls = 0;
    kp::Stop stop([&polls] { return ++polls == 3; }, std::chrono::milliseconds(2));
    EXPECT_THROW(pool->reduce(n, Op{&done, &running, &stop}, 1, &stop), kp::Stopped);
    EXPECT_EQ(running.load(), 0) << "a piece was still running";
    EXPECT_EQ(polls, 3);
    EXPECT_LT(done.load(), n / 2);  // a full run takes over a second per worker
    // Unrequested, and with a poll that never fires: every element, no throw.
    kp::Stop idle([] { return false; }, std::chrono::milliseconds(1));
    std::atomic<std::size_t> all{0};
    EXPECT_EQ(pool->reduce(4096, Op{&all, &running, &idle}, 1, &idle), 4096u);
    EXPECT_EQ(all.load(), 4096u);
    // Requested before the start: nothing runs.
    std::atomic<std::size_t> none{0};
    kp::Stop early(nullptr);
    early.request();
    EXPECT_THROW(pool->reduce(4096, Op{&none, &running, &early}, 1, &early), kp::Stopped);
    EXPECT_THROW(pool->reduce(1, Op{&none, &running, &early}, 1, &early), kp::Stopped);
    EXPECT_EQ(none.load(), 0u);
}

TEST_P(PoolOfSize, FailureKindsBecomePanicsWithTheSameText) {
    auto panic_text = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const Panic& e) {
            return e.what();
        }
        return "<no panic>";
    };
    EXPECT_EQ(panic_text([&] {
                  kp::map<int>(*pool, 100,
                               [](std::size_t i) { return i == 70 ? throw std::out_of_range("slot 70") : 0; });
              }),
              "slot 70");
    EXPECT_EQ(panic_text([&] {
                  kp::first_min(*pool, 50, [](std::size_t i) { return i == 3 ? kestrum::panic("inner"), 0.0 : 0.0; });
              }),
              "inner");
    // Not a std::exception at all: still a Panic, with some text.
    EXPECT_NE(panic_text([&] { kp::map<int>(*pool, 10, [](std::size_t i) { return i == 9 ? throw 42 : 0; }); }),
              "<no panic>");
    // A single element runs on the calling thread and is converted the same way.
    EXPECT_EQ(panic_text([&] {
                  kp::join(
                      *pool, 1, [](std::string&, std::size_t) { throw std::invalid_argument("lonely"); }, ",");
              }),
              "lonely");
    // The pool is still fine afterwards.
    const auto out = kp::map<std::size_t>(*pool, 1000, [](std::size_t i) { return i * 3; });
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i * 3);
}

// Running out of memory is no broken invariant: it stays std::bad_alloc.
TEST_P(PoolOfSize, AllocationFailuresArriveAsBadAlloc) {
    EXPECT_THROW(kp::map<int>(*pool, 1000, [](std::size_t i) { return i == 700 ? throw std::bad_alloc() : 0; }),
                 std::bad_alloc);
    EXPECT_THROW(kp::join(
                     *pool, 1, [](std::string&, std::size_t) { throw std::bad_alloc(); }, ","),
                 std::bad_alloc);
    // So is a size no container can hold (the caller reports MemoryError).
    EXPECT_THROW(
        kp::map<int>(*pool, 1000,
                     [](std::size_t i) {
                         return i == 500 ? throw std::length_error("cannot create std::vector larger than max_size()")
                                         : 0;
                     }),
        std::length_error);
    // A lower failing index of another kind still wins.
    EXPECT_THROW(kp::map<int>(*pool, 1000,
                              [](std::size_t i) {
                                  return i == 3 ? kestrum::panic("first"), 0 : i == 900 ? throw std::bad_alloc() : 0;
                              }),
                 Panic);
}

// Workers compute in the default floating-point environment, whatever the
// environment of the thread that started the pool or calls it: rounding
// upward, flush-to-zero or denormals-are-zero, together or alone.
TEST(FpEnv, WorkersAndTinyRangesUseTheDefaultEnvironment) {
    static const double third = 1.0 / 3.0, tiny = 1e-310;
    auto values = [](std::size_t i) {
        volatile double a = third * static_cast<double>(i + 1), b = tiny * static_cast<double>(i + 1);
        // a rounds differently upward; b (a denormal) and b * 0.5 read as
        // zero under DAZ and FTZ, and the scaling keeps them in the sum.
        return a / 7.0 + b * 0.5 * 0x1p1000;
    };
    std::vector<double> want(64);
    for (std::size_t i = 0; i < want.size(); ++i) want[i] = values(i);

    struct Env {
        int round;
        unsigned csr;  // MXCSR bits: 0x8000 flush-to-zero, 0x0040 denormals-are-zero
    };
    for (const Env env : {Env{FE_UPWARD, 0x8040u}, Env{FE_TONEAREST, 0x0040u}, Env{FE_TONEAREST, 0x8000u}}) {
        std::vector<double> got, one;
        std::thread starter([&] {
            ASSERT_EQ(std::fesetround(env.round), 0);
#if defined(__x86_64__)
            _mm_setcsr(_mm_getcsr() | env.csr);
#endif
            kp::Pool pool(3);
            got = kp::map<double>(pool, want.size(), values);
            one = kp::map<double>(pool, 1, values);  // on this thread
            // The caller's environment is its own again afterwards.
            EXPECT_EQ(std::fegetround(), env.round);
#if defined(__x86_64__)
            EXPECT_EQ(_mm_getcsr() & env.csr, env.csr);
#endif
        });
        starter.join();
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(same_bits(got[i], want[i])) << env.csr << " " << i;
        EXPECT_TRUE(same_bits(one.at(0), want[0])) << env.csr;
    }
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_P(PoolOfSize, ManyCallersAtOnceEachGetTheirOwnResult) {
    constexpr int kCallers = 6;
    constexpr int kRounds = 40;
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            std::mt19937_64 rng(c);
            for (int r = 0; r < kRounds; ++r) {
                const std::size_t n = rng() % 700;
                const std::size_t salt = rng() % 1000;
                const auto out = kp::map<std::size_t>(*pool, n, [salt](std::size_t i) { return i * 31 + salt; });
                for (std::size_t i = 0; i < n; ++i) {
                    if (out[i] != i * 31 + salt) wrong.fetch_add(1);
                }
                std::vector<double> keys(n);
                for (auto& k : keys) k = static_cast<double>(rng() % 5);
                if (kp::first_min(*pool, n, [&](std::size_t t) { return keys[t]; }) != sequential_first_min(keys)) {
                    wrong.fetch_add(1);
                }
                const std::string text = kp::join(
                    *pool, n % 50, [](std::string& out, std::size_t i) { kestrum::append_text(out, element(i)); },
                    "\n");
                if (text != sequential_join(n % 50, "\n")) wrong.fetch_add(1);
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_P(PoolOfSize, APieceMayItselfUseThePool) {
    const auto sums = kp::map<std::size_t>(*pool, 40, [&](std::size_t i) {
        const auto inner = kp::map<std::size_t>(*pool, i, [](std::size_t j) { return j; });
        std::size_t s = 0;
        for (std::size_t v : inner) s += v;
        return s;
    });
    for (std::size_t i = 0; i < sums.size(); ++i) EXPECT_EQ(sums[i], i * (i == 0 ? 0 : i - 1) / 2);
}

TEST(GlobalPool, PrimitivesRunOnTheProcessPool) {
    const auto out = kp::map<double>(3001, [](std::size_t i) { return element(i).magnitude(); });
    ASSERT_EQ(out.size(), 3001u);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_bits(out[i], element(i).magnitude()));
    const Vec3d p{1.0, 0.5, -2.0};
    auto key = [&](std::size_t i) { return element(i).distance_squared(p); };
    std::vector<double> keys(3001);
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = key(i);
    EXPECT_EQ(kp::first_min(keys.size(), key), sequential_first_min(keys));
    EXPECT_EQ(kp::join(
                  3001, [](std::string& s, std::size_t i) { kestrum::append_text(s, element(i)); }, "\n"),
              sequential_join(3001, "\n"));
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolOfSize, ::testing::Range(1, 9));
