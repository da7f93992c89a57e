// Hand-off cost of the worker pool: how long a caller waits for a bulk
// operation on a handful of elements, and what the pool gains on big ones.
//
// Built by CMake with -DKESTRUM_BUILD_BENCH=ON (target pool_latency).
// Run: <build dir>/pool_latency [threads...]   (default: 1, 2 and the machine's default)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kestrum/vec3d.hpp"
#include "parallel/algorithms.hpp"
#include "parallel/sizing.hpp"

using kestrum::Vec3d;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<Vec3d> make_input(std::size_t n) {
    std::vector<Vec3d> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = {1.0 + i, 2.0 - 0.5 * i, 0.25 * i};
    return v;
}

// Median and mean wall time per call, in nanoseconds.
template <class F>
void time_calls(const char* label, std::size_t calls, F&& call) {
    std::vector<double> ns(calls);
    for (std::size_t k = 0; k < 100; ++k) call();  // warm up
    for (std::size_t k = 0; k < calls; ++k) {
        const auto t0 = Clock::now();
        call();
        ns[k] = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    }
    double sum = 0;
    for (double x : ns) sum += x;
    std::sort(ns.begin(), ns.end());
    std::printf("  %-34s median %9.0f ns  p90 %9.0f ns  mean %9.0f ns\n", label, ns[calls / 2], ns[calls * 9 / 10],
                sum / calls);
}

void run(kestrum::parallel::Pool& pool) {
    std::printf("threads = %zu\n", pool.thread_count());
    for (std::size_t n : {16u, 1000u, 16000u, 100000u, 1000000u}) {
        const auto in = make_input(n);
        const std::size_t calls = n <= 1000 ? 20000 : (n <= 100000 ? 1000 : 100);
        // The output is allocated once: fresh pages would cost more than the
        // arithmetic and hide what the pool does.
        std::vector<Vec3d> out(n);
        char label[64];
        std::snprintf(label, sizeof label, "normalize n=%zu sequential", n);
        time_calls(label, calls, [&] {
            for (std::size_t i = 0; i < n; ++i) out[i] = in[i].normalize();
            if (out[n / 2].x == 12345.0) std::abort();
        });
        std::snprintf(label, sizeof label, "normalize n=%zu pool", n);
        time_calls(label, calls, [&] {
            kestrum::parallel::map_into(pool, std::span<Vec3d>(out), [&](std::size_t i) { return in[i].normalize(); });
            if (out[n / 2].x == 12345.0) std::abort();
        });
    }
    // Sparse calls: workers have gone to sleep before each one.
    const auto in = make_input(16);
    std::vector<double> ns;
    for (int k = 0; k < 200; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto t0 = Clock::now();
        auto out = kestrum::parallel::map<Vec3d>(pool, 16, [&](std::size_t i) { return in[i].normalize(); });
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count());
    }
    std::sort(ns.begin(), ns.end());
    std::printf("  %-34s median %9.0f ns  p90 %9.0f ns\n", "normalize n=16 after 2 ms idle", ns[ns.size() / 2],
                ns[ns.size() * 9 / 10]);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {1, 2, kestrum::parallel::default_thread_count()};
    for (std::size_t n : sizes) {
        kestrum::parallel::Pool pool(n);
        run(pool);
    }
}
