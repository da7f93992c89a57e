// The memory-bandwidth floor of the bulk operations: how fast a plain loop
// moves the same bytes a VecList operation must move, so that an operation's
// time can be read as a multiple of what the memory allows.
//
//   copy   read n x 3 doubles, write n x 3 doubles scaled by 2.0 (48 B/element),
//          the loop behind `vl * 2.0`;
//   read   sum of n x 3 doubles (24 B/element), a floor for reductions.
//
// Each is timed on the calling thread alone (no pool) and on the library's
// process-wide pool (parallel::global(): RAYON_NUM_THREADS, else the CPUs the
// process may use), cut into pieces by the same map_ranges / reduce as the
// bulk operations. Output memory regimes for `copy`:
//   warm        one output buffer, touched before timing, reused by every call;
//   fresh       a new anonymous mapping per call (4 KiB pages), mmap + loop +
//               munmap all timed: what an operation returning a new list pays
//               when nothing is reused;
//   fresh-huge  the same, 2 MiB aligned and advised for transparent huge
//               pages from 4 MiB, as the extension's own allocator does.
// The input, and the warm output, are advised for huge pages from 4 MiB too.
// Every figure is the minimum over the repeats, which are interleaved across
// the variants so that a noisy stretch hits all of them alike.
//
// Built by CMake with -DKESTRUM_BUILD_BENCH=ON (target bandwidth_floor).
// Run: <build dir>/bandwidth_floor [--sizes 1e5,1e6,1e7] [--repeat 15] [--json]
//   --json  one JSON object per line (first a "meta" line), for bench_vec_list.py
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "memory/block_cache.hpp"
#include "parallel/algorithms.hpp"
#include "parallel/pool.hpp"
#include "parallel/sizing.hpp"

using Clock = std::chrono::steady_clock;

namespace {

// The library's own thresholds, so the fresh-huge rows follow its allocator.
using kestrum::memory::kHugeFrom;
using kestrum::memory::kHugePage;

// An anonymous mapping of at least `bytes`; with `huge`, 2 MiB aligned and
// advised for transparent huge pages when at least 4 MiB.
class Mapping {
public:
    Mapping(std::size_t bytes, bool huge) {
        bytes = std::max<std::size_t>(bytes, 1);
        const bool advise = huge && bytes >= kHugeFrom;
        len_ = advise ? (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage : bytes;
        base_ = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(base_);
        if (advise) {
            const auto at = reinterpret_cast<std::uintptr_t>(base_);
            data_ += (kHugePage - at % kHugePage) % kHugePage;
            madvise(data_, len_ - kHugePage, MADV_HUGEPAGE);  // advice only
        }
    }
    ~Mapping() { munmap(base_, len_); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    double* doubles() const noexcept { return reinterpret_cast<double*>(data_); }

private:
    void* base_;
    std::size_t len_;
    char* data_;
};

// The widest vectors the CPU has, chosen at run time: numpy's loops are
// dispatched the same way, and a floor built for the baseline would not be one.
#define KESTRUM_FLOOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))

// Elements [lo, hi) of n x 3 doubles.
KESTRUM_FLOOR_CLONES void scale(const double* __restrict in, double* __restrict out, std::size_t lo, std::size_t hi) {
    for (std::size_t k = 3 * lo; k < 3 * hi; ++k) out[k] = in[k] * 2.0;
}

// 32 independent sums (four 512-bit vectors), so the loop is bound by loads
// and not by the latency of a chain of additions (which no reassociation may
// shorten).
KESTRUM_FLOOR_CLONES double sum(const double* in, std::size_t lo, std::size_t hi) {
    constexpr std::size_t kLanes = 32;
    double acc[kLanes] = {};
    std::size_t k = 3 * lo;
    const std::size_t end = 3 * hi;
    for (; k + kLanes <= end; k += kLanes) {
        for (std::size_t j = 0; j < kLanes; ++j) acc[j] += in[k + j];
    }
    for (; k < end; ++k) acc[0] += in[k];
    double s = 0;
    for (double a : acc) s += a;
    return s;
}

struct Triple {
    double c[3];
};

void copy_on(kestrum::parallel::Pool* pool, const double* in, double* out, std::size_t n) {
    if (pool == nullptr) return scale(in, out, 0, n);
    kestrum::parallel::map_ranges(*pool, std::span<Triple>(reinterpret_cast<Triple*>(out), n),
                                  [in, out](std::size_t lo, std::size_t hi) { scale(in, out, lo, hi); });
}

double read_on(kestrum::parallel::Pool* pool, const double* in, std::size_t n) {
    if (pool == nullptr) return sum(in, 0, n);
    struct Op {
        const double* in;
        double seq(std::size_t lo, std::size_t hi) const { return sum(in, lo, hi); }
        double combine(double l, double r) const { return l + r; }
    };
    return pool->reduce(n, Op{in});
}

volatile double g_sink;  // keeps results alive

enum class Kind { Copy, Read };
enum class Regime { Warm, Fresh, FreshHuge };

const char* kind_name(Kind k) { return k == Kind::Copy ? "copy" : "read"; }
const char* regime_name(Regime r) {
    switch (r) {
        case Regime::Warm: return "warm";
        case Regime::Fresh: return "fresh";
        case Regime::FreshHuge: return "fresh-huge";
    }
    return "?";
}
std::size_t bytes_per_element(Kind k) { return k == Kind::Copy ? 48 : 24; }

struct Variant {
    Kind kind;
    Regime regime;
    kestrum::parallel::Pool* pool;  // null: the calling thread alone
    double best_ns = std::numeric_limits<double>::infinity();
};

struct Options {
    std::vector<std::size_t> sizes{100'000, 1'000'000, 10'000'000};
    int repeat = 15;
    bool json = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "bandwidth_floor: %s\nusage: bandwidth_floor [--sizes 1e5,1e6,1e7] [--repeat R] [--json]\n",
                 why);
    std::exit(2);
}

// "1e5,1000000": whole positive counts only.
std::vector<std::size_t> parse_sizes(const char* text) {
    std::vector<std::size_t> sizes;
    std::string s(text);
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t comma = std::min(s.find(',', start), s.size());
        const std::string item = s.substr(start, comma - start);
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !(v >= 1) || v > 1e12 || v != std::floor(v)) {
            usage(("bad size '" + item + "'").c_str());
        }
        sizes.push_back(static_cast<std::size_t>(v));
        start = comma + 1;
    }
    return sizes;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            o.json = true;
        } else if (a == "--sizes" && i + 1 < argc) {
            o.sizes = parse_sizes(argv[++i]);
        } else if (a == "--repeat" && i + 1 < argc) {
            char* end = nullptr;
            const long r = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || r < 1 || r > 100000) usage("bad repeat count");
            o.repeat = static_cast<int>(r);
        } else {
            usage(("unknown argument '" + a + "'").c_str());
        }
    }
    return o;
}

std::string thp_mode() {
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    if (!f || !std::getline(f, line)) return "unknown";
    const auto l = line.find('['), r = line.find(']');
    return l != std::string::npos && r != std::string::npos && r > l ? line.substr(l + 1, r - l - 1) : line;
}

// One sample of a variant: `calls` calls, in nanoseconds per call.
double sample(Variant& v, const double* in, double* warm_out, std::size_t n, std::size_t calls) {
    const auto t0 = Clock::now();
    for (std::size_t c = 0; c < calls; ++c) {
        if (v.kind == Kind::Read) {
            g_sink = read_on(v.pool, in, n);
        } else if (v.regime == Regime::Warm) {
            copy_on(v.pool, in, warm_out, n);
            g_sink = warm_out[3 * n - 1];
        } else {
            const Mapping out(3 * n * sizeof(double), v.regime == Regime::FreshHuge);
            copy_on(v.pool, in, out.doubles(), n);
            g_sink = out.doubles()[3 * n - 1];
        }
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / static_cast<double>(calls);
}

void run_size(std::size_t n, const Options& o, kestrum::parallel::Pool& pool) {
    const std::size_t bytes = 3 * n * sizeof(double);
    const Mapping input(bytes, true);
    const Mapping warm(bytes, true);
    double* in = input.doubles();
    for (std::size_t k = 0; k < 3 * n; ++k) in[k] = 1.0 + static_cast<double>(k % 1000) * 0.001;
    std::memset(warm.doubles(), 0, bytes);

    std::vector<Variant> variants;
    for (auto* p : {static_cast<kestrum::parallel::Pool*>(nullptr), &pool}) {
        for (Regime r : {Regime::Warm, Regime::Fresh, Regime::FreshHuge}) variants.push_back({Kind::Copy, r, p});
        variants.push_back({Kind::Read, Regime::Warm, p});
    }
    // Short calls are timed in batches (up to a million elements' worth, at
    // most 1000 calls), so the clock's own cost stays out of the figure.
    const std::size_t calls = std::clamp<std::size_t>(1'000'000 / n, 1, 1000);
    for (auto& v : variants) sample(v, in, warm.doubles(), n, 1);  // warm up: pool started, pages touched
    for (int r = 0; r < o.repeat; ++r) {
        for (auto& v : variants) v.best_ns = std::min(v.best_ns, sample(v, in, warm.doubles(), n, calls));
    }

    for (const auto& v : variants) {
        const std::size_t threads = v.pool ? v.pool->thread_count() : 1;
        const double moved = static_cast<double>(bytes_per_element(v.kind) * n);
        const double gbps = moved / v.best_ns;  // bytes per ns = GB/s
        if (o.json) {
            std::printf(
                "{\"kind\": \"%s\", \"regime\": \"%s\", \"where\": \"%s\", \"threads\": %zu, \"n\": %zu, "
                "\"bytes_per_element\": %zu, \"ns_per_call\": %.1f, \"ns_per_element\": %.4f, \"gbps\": %.3f, "
                "\"repeat\": %d, \"calls_per_sample\": %zu}\n",
                kind_name(v.kind), regime_name(v.regime), v.pool ? "pool" : "caller", threads, n,
                bytes_per_element(v.kind), v.best_ns, v.best_ns / static_cast<double>(n), gbps, o.repeat, calls);
        } else {
            char where[32];
            std::snprintf(where, sizeof where, "%s (%zu)", v.pool ? "pool" : "caller", threads);
            std::printf("%-6s %-11s %-12s n=%-10zu %12.1f us  %8.3f ns/elem  %7.2f GB/s\n", kind_name(v.kind),
                        regime_name(v.regime), where, n, v.best_ns / 1e3, v.best_ns / static_cast<double>(n), gbps);
        }
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto& pool = kestrum::parallel::global();
    const long page = sysconf(_SC_PAGESIZE);
    if (o.json) {
        std::printf(
            "{\"kind\": \"meta\", \"pool_threads\": %zu, \"runnable\": %zu, \"page_size\": %ld, \"thp\": \"%s\", "
            "\"repeat\": %d}\n",
            pool.thread_count(), pool.runnable(), page, thp_mode().c_str(), o.repeat);
    } else {
        std::printf("bandwidth floor: pool of %zu threads (%zu runnable), %ld-byte pages, THP %s, min of %d\n",
                    pool.thread_count(), pool.runnable(), page, thp_mode().c_str(), o.repeat);
        std::printf("copy = read 24 B + write 24 B per element (x 2.0); read = sum of 24 B per element\n");
    }
    for (std::size_t n : o.sizes) run_size(n, o, pool);
}
