#pragma once
// What the tree's build, queries and serialisation share: the block's layout,
// rounding to float boxes, the level walk and the search visitors. Private to
// core/src/spatial.
#include "spatial/kd_tree.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "kestrum/panic.hpp"

namespace kestrum::spatial {

namespace pool = kestrum::parallel;

// The block, in 64-bit words, little-endian:
//   n, m, depth                        3 words
//   points    n * 3 doubles            tree order [0, m), then the NaN points by index
//   boxes     2^(depth+1) * 6 floats   node j (heap order from 1, leaves included):
//                                      lo x y z, hi x y z, rounded outwards; slot 0 unused
//   indices   n uint32, padded to a word
struct KdTree::Layout {
    std::size_t points, boxes, indices, words;
};

namespace detail {

inline constexpr std::size_t kHeader = 3;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline std::size_t words_for_bytes(std::size_t bytes) { return (bytes + 7) / 8; }

// The fewest levels that leave at most kLeaf points per leaf.
inline unsigned depth_for(std::size_t m) {
    unsigned d = 0;
    while ((m + (std::size_t{1} << d) - 1) >> d > KdTree::kLeaf) ++d;
    return d;
}

// First tree position of node t on level d (t may be 2^d: the end).
inline std::size_t node_start(std::size_t t, unsigned d, std::size_t m) {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(t) * m) >> d);
}

inline double coord(const Vec3d& p, unsigned axis) { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

// A float at or below (above) d, so a box of floats still holds its points.
inline float float_below(double d) {
    float f = static_cast<float>(d);
    if (static_cast<double>(f) > d) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}
inline float float_above(double d) {
    float f = static_cast<float>(d);
    if (static_cast<double>(f) < d) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

inline bool has_nan(const Vec3d& p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }

// The library's d2 (formula::distance_squared). The NaN-ordered form differs
// only in which NaN comes out, and a NaN never qualifies.
inline double dist2(const Vec3d& q, const Vec3d& p) { return formula::distance_squared<Plain>(q, p); }

// Nodes visited, summed once per query batch or single query (the benchmark
// reports it); counted in the visitor, so the search pays a register add.
extern std::atomic<std::uint64_t> g_visited;

// Runs node(d, t) for every node of level d, each on the pool piece that
// holds its first position, so the work splits by points, not by nodes.
template <class F>
inline void for_level(pool::Pool& p, std::size_t m, unsigned d, const F& node, pool::Stop* stop) {
    struct Op {
        const F* node;
        std::size_t m;
        unsigned d;
        const pool::Stop* stop;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            // The first node starting at or after lo.
            std::size_t t = static_cast<std::size_t>(((static_cast<unsigned __int128>(lo) << d) + m - 1) / m);
            const std::size_t count = std::size_t{1} << d;
            std::size_t done = 0;
            for (; t < count && node_start(t, d, m) < hi; ++t, ++done) {
                if (stop) stop->check();
                (*node)(t);
            }
            return done;
        }
        std::size_t combine(std::size_t l, std::size_t r) const { return l + r; }
    };
    if (m == 0) return;
    // A small tree is built faster than workers wake up: on this thread.
    constexpr std::size_t kPoolFrom = std::size_t{1} << 16;
    const Op op{&node, m, d, stop};
    const std::size_t done = m < kPoolFrom ? op.seq(0, m) : p.reduce(m, op, 8, stop);
    if (done != (std::size_t{1} << d)) panic("a tree level ran " + std::to_string(done) + " nodes");
}

// k nearest so far, sorted by (d2, index), in the caller's output row.
struct Nearest {
    std::size_t k;
    std::size_t count = 0;
    double* d2;
    std::int64_t* index;
    double worst = kInf;
    std::uint64_t worst_index = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t visited = 0;

    void offer(double d, std::uint64_t i) {
        if (!(d < worst || (d == worst && i < worst_index))) return;  // a NaN fails both
        std::size_t pos = count < k ? count++ : k - 1;
        while (pos > 0 && (d < d2[pos - 1] || (d == d2[pos - 1] && i < static_cast<std::uint64_t>(index[pos - 1])))) {
            d2[pos] = d2[pos - 1];
            index[pos] = index[pos - 1];
            --pos;
        }
        d2[pos] = d;
        index[pos] = static_cast<std::int64_t>(i);
        if (count == k) {
            worst = d2[k - 1];
            worst_index = static_cast<std::uint64_t>(index[k - 1]);
        }
    }
    bool visit(double bound) const { return bound <= worst; }
    bool may(double d) const { return d <= worst; }
};

struct One {
    double best = kInf;
    std::uint64_t best_index = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t visited = 0;
    void offer(double d, std::uint64_t i) {
        if (d < best || (d == best && i < best_index)) {
            best = d;
            best_index = i;
        }
    }
    bool visit(double bound) const { return bound <= best; }
    bool may(double d) const { return d <= best; }
};

}  // namespace detail

}  // namespace kestrum::spatial
