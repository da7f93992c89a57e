// The tree's queries: nearest and k nearest, one or many (the radius
// queries are in kd_tree_radius.cpp and kd_tree_pairs.cpp).
#include "spatial/kd_tree_search.hpp"

namespace kestrum::spatial {

using namespace detail;

namespace detail {
std::atomic<std::uint64_t> g_visited{0};
}  // namespace detail

std::uint64_t KdTree::visited_total() noexcept { return g_visited.load(std::memory_order_relaxed); }

KdTree::Hit KdTree::nearest(Vec3d q) const {
    const pool::DefaultFpEnv fp;
    One best;
    search(q, best);
    g_visited.fetch_add(best.visited, std::memory_order_relaxed);
    if (best.best_index == std::numeric_limits<std::uint64_t>::max()) return {n_, kInf};
    return {best.best_index, std::sqrt(best.best)};
}

// Points with sqrt(d2) <= r have d2 <= r^2 (1 + 2^-52) or so: a search
// that starts from a slightly larger d2 bound loses none of them, and the
// answer is then held to the asked distance exactly.
KdTree::Hit KdTree::nearest(Vec3d q, double max_distance) const {
    return nearest(q, max_distance, std::numeric_limits<std::uint64_t>::max(), kInf);
}

KdTree::Hit KdTree::nearest(Vec3d q, double max_distance, std::uint64_t index, double d2) const {
    const pool::DefaultFpEnv fp;
    One best;
    if (!(max_distance >= 0.0)) return {n_, kInf};
    best.best = max_distance * max_distance * (1.0 + 0x1p-40);
    if (d2 <= best.best) {
        best.best = d2;
        best.best_index = index;
    }
    search(q, best);
    g_visited.fetch_add(best.visited, std::memory_order_relaxed);
    if (best.best_index == std::numeric_limits<std::uint64_t>::max()) return {n_, kInf};
    const double d = std::sqrt(best.best);
    if (!(d <= max_distance)) return {n_, kInf};
    return {best.best_index, d};
}

// The order to answer many queries in: along a Morton curve over the tree's
// box, so consecutive queries walk the same nodes while they are in cache.
// Only worth it when the tree outgrows the caches; each query's answer is
// its own, so the order changes no result.
std::vector<std::uint32_t> KdTree::visit_order(std::span<const Vec3d> queries, pool::Pool& p, pool::Stop* stop) const {
    constexpr std::size_t kFrom = std::size_t{1} << 16;
    std::vector<std::uint32_t> order;
    if (queries.size() < kFrom || m_ < kFrom || queries.size() > kMaxPoints) return order;
    const Box& root = box_[1];
    double lo[3], scale[3];
    for (unsigned c = 0; c < 3; ++c) {
        lo[c] = root.lo[c];
        const double span = static_cast<double>(root.hi[c]) - lo[c];
        scale[c] = span > 0.0 && span < kInf ? 1023.0 / span : 0.0;
    }
    const auto spread = [](std::uint32_t v) {  // 10 bits to every third of 30
        v = (v | (v << 16)) & 0x030000FFu;
        v = (v | (v << 8)) & 0x0300F00Fu;
        v = (v | (v << 4)) & 0x030C30C3u;
        return (v | (v << 2)) & 0x09249249u;
    };
    std::vector<std::uint64_t> keyed(queries.size());  // key << 32 | query
    const Vec3d* q = queries.data();
    std::uint64_t* out = keyed.data();
    struct Keys {
        const Vec3d* q;
        std::uint64_t* out;
        const double* lo;
        const double* scale;
        decltype(spread) sp;
        std::size_t seq(std::size_t a, std::size_t b) const {
            for (std::size_t i = a; i < b; ++i) {
                const double c[3] = {q[i].x, q[i].y, q[i].z};
                std::uint32_t key = 0;
                for (unsigned j = 0; j < 3; ++j) {
                    double t = (c[j] - lo[j]) * scale[j];
                    t = t >= 0.0 ? (t <= 1023.0 ? t : 1023.0) : 0.0;  // NaN: 0
                    key |= sp(static_cast<std::uint32_t>(t)) << j;
                }
                out[i] = std::uint64_t{key} << 32 | i;
            }
            return b - a;
        }
        std::size_t combine(std::size_t x, std::size_t y) const { return x + y; }
    };
    p.reduce(queries.size(), Keys{q, out, lo, scale, spread}, 1, stop);
    // Three passes of ten bits over the 30-bit keys.
    std::vector<std::uint64_t> tmp(keyed.size());
    for (unsigned shift = 32; shift < 62; shift += 10) {
        if (stop && stop->poll()) throw pool::Stopped();  // this runs on the calling thread
        std::vector<std::size_t> count(1025, 0);
        for (std::uint64_t v : keyed) ++count[((v >> shift) & 1023) + 1];
        for (std::size_t b = 1; b <= 1024; ++b) count[b] += count[b - 1];
        for (std::uint64_t v : keyed) tmp[count[(v >> shift) & 1023]++] = v;
        keyed.swap(tmp);
    }
    order.resize(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = static_cast<std::uint32_t>(keyed[i]);
    return order;
}

void KdTree::nearest_many(std::span<const Vec3d> queries, std::size_t k, std::int64_t* idx, double* dist, pool::Pool& p,
                          pool::Stop* stop, double max_distance) const {
    if (k == 0) panic("assertion failed: k >= 1");
    const std::vector<std::uint32_t> order = visit_order(queries, p, stop);
    struct Op {
        const KdTree* tree;
        const Vec3d* q;
        std::size_t k;
        std::int64_t* idx;
        double* dist;
        const pool::Stop* stop;
        const std::uint32_t* order;
        double limit;  // the search starts bounded by it, as if k points lay there
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            std::uint64_t visited = 0;
            for (std::size_t j = lo; j < hi; ++j) {
                if (stop && (j - lo) % 8 == 7) stop->check();
                const std::size_t i = order ? order[j] : j;
                std::int64_t* ri = idx + i * k;
                double* rd = dist + i * k;
                Nearest best{k, 0, rd, ri, limit};
                tree->search(q[i], best);
                visited += best.visited;
                for (std::size_t j = 0; j < best.count; ++j) rd[j] = std::sqrt(rd[j]);
                for (std::size_t j = best.count; j < k; ++j) {
                    ri[j] = static_cast<std::int64_t>(tree->n_);
                    rd[j] = kInf;
                }
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    const double limit = [&] {
        const pool::DefaultFpEnv fp;  // found on the calling thread
        return d2_limit(max_distance);
    }();
    const Op op{this, queries.data(), k, idx, dist, stop, order.empty() ? nullptr : order.data(), limit};
    if (p.reduce(queries.size(), op, 16, stop) != queries.size()) panic("not every query was answered");
}

// For the neighbourhood queries in other units (kd_tree_normals.cpp).
template void KdTree::search<Nearest>(Vec3d, Nearest&) const;

}  // namespace kestrum::spatial
