// Nodes a KdTree query visits (inner nodes and leaves), which Python cannot
// see: bench_kdtree.py runs this beside its timings. Uniform points in the
// unit cube and Gaussian blobs, n points and n queries of each, k = 1 and 16.
//   kdtree_visits [n]    one JSON line per cloud and k
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "spatial/kd_tree.hpp"

using kestrum::Vec3d;
using kestrum::spatial::KdTree;

namespace {

std::vector<Vec3d> uniform(std::size_t n, std::mt19937_64& g) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Vec3d> v(n);
    for (auto& p : v) p = {u(g), u(g), u(g)};
    return v;
}

std::vector<Vec3d> blobs(std::size_t n, std::mt19937_64& g) {
    std::mt19937_64 fixed(64);  // the same blobs for points and queries
    std::uniform_real_distribution<double> c(-100.0, 100.0), s(0.05, 3.0);
    std::vector<Vec3d> centre(64);
    std::vector<double> scale(64);
    for (std::size_t b = 0; b < 64; ++b) centre[b] = {c(fixed), c(fixed), c(fixed)}, scale[b] = s(fixed);
    std::uniform_int_distribution<std::size_t> pick(0, 63);
    std::normal_distribution<double> z;
    std::vector<Vec3d> v(n);
    for (auto& p : v) {
        const std::size_t b = pick(g);
        p = {centre[b].x + z(g) * scale[b], centre[b].y + z(g) * scale[b], centre[b].z + z(g) * scale[b]};
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    std::mt19937_64 g(2026);
    for (const std::string cloud : {"uniform", "clustered"}) {
        const auto pts = cloud == "uniform" ? uniform(n, g) : blobs(n, g);
        const auto qs = cloud == "uniform" ? uniform(n, g) : blobs(n, g);
        const KdTree tree(pts, kestrum::parallel::global());
        for (std::size_t k : {1, 16}) {
            std::vector<std::int64_t> idx(n * k);
            std::vector<double> dist(n * k);
            const std::uint64_t before = KdTree::visited_total();
            const auto t0 = std::chrono::steady_clock::now();
            tree.nearest_many(qs, k, idx.data(), dist.data(), kestrum::parallel::global());
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::printf(
                "{\"cloud\": \"%s\", \"k\": %zu, \"n\": %zu, \"visited_per_query\": %.2f, "
                "\"ns_per_query\": %.1f, \"bytes_per_point\": %.2f}\n",
                cloud.c_str(), k, n, double(KdTree::visited_total() - before) / double(n), s / double(n) * 1e9,
                double(tree.memory_bytes()) / double(n));
        }
    }
}
