#pragma once
// The tree walk every query shares, over a visitor: the node bounds, the
// descent and the radius limit. Private to core/src/spatial.
#include "spatial/kd_tree_impl.hpp"

#include <utility>
#include <vector>

namespace kestrum::spatial {

namespace detail {

// The largest d2 whose rounded square root is <= r, found once per query, so
// `d2 <= limit` is exactly `sqrt(d2) <= r` (sqrt is monotone) with no root
// taken per node or point. A NaN or negative r admits nothing: -1.
inline double d2_limit(double r) {
    if (!(r >= 0.0)) return -1.0;
    if (r == kInf) return kInf;
    double l = r * r;  // within an ulp or two of the limit (inf past ~1.3e154)
    while (l > 0.0 && std::sqrt(l) > r) l = std::nextafter(l, 0.0);
    for (double up = std::nextafter(l, kInf); up != kInf && std::sqrt(up) <= r; up = std::nextafter(l, kInf)) l = up;
    return l;
}

}  // namespace detail

// The bound for a box: per-axis gaps fl(lo - q) or fl(q - hi), which are at
// most |fl(p - q)| for every point inside, in the d2 formula.
inline double KdTree::bound(const Vec3d& q, std::size_t node) const {
    const Box& b = box_[node];
    double g[3];
    const double c[3] = {q.x, q.y, q.z};
    for (unsigned i = 0; i < 3; ++i) {
        // Branch-free (maxsd); a NaN gap (inf - inf at one infinity) gives 0.
        const double below = b.lo[i] - c[i], above = c[i] - b.hi[i];
        double gi = 0.0;
        gi = below > gi ? below : gi;
        gi = above > gi ? above : gi;
        g[i] = gi;
    }
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

// At least the rounded d2 of every point inside: per axis the larger of
// fl(q - lo) and fl(hi - q), one of which is at least |fl(p - q)|. An
// infinity on both sides (inf - inf) could hide a NaN distance: NaN then,
// which no limit admits.
inline double KdTree::far_bound(const Vec3d& q, std::size_t node) const {
    const Box& b = box_[node];
    double g[3];
    const double c[3] = {q.x, q.y, q.z};
    bool nan = false;
    for (unsigned i = 0; i < 3; ++i) {
        const double a = c[i] - b.lo[i], z = b.hi[i] - c[i];
        nan |= a != a || z != z;
        g[i] = a > z ? a : z;
    }
    const double d2 = (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
    return nan ? std::numeric_limits<double>::quiet_NaN() : d2;
}

// A visitor with take_all(lo, hi) is handed every node whose far bound it
// admits as the range of tree positions, unvisited; one with `after` sees
// only the points at tree positions past it.
template <class V>
void KdTree::descend(const Vec3d& q, std::size_t node, unsigned d, V& v) const {
    ++v.visited;
    if constexpr (requires { v.after; }) {
        const std::size_t t = node - (std::size_t{1} << d);
        if (detail::node_start(t + 1, d, m_) <= v.after + 1) return;
    }
    if constexpr (requires { v.take_all(std::size_t{}, std::size_t{}); }) {
        if (v.visit(far_bound(q, node))) {
            const std::size_t t = node - (std::size_t{1} << d);
            v.take_all(detail::node_start(t, d, m_), detail::node_start(t + 1, d, m_));
            return;
        }
    }
    if (d == depth_) {
        const std::size_t t = node - (std::size_t{1} << d);
        const std::size_t lo = detail::node_start(t, d, m_), hi = detail::node_start(t + 1, d, m_);
        // All distances first (a loop the compiler can widen), then the rare
        // candidates look up their index.
        double d2[kLeaf];
        const Vec3d* p = pts_ + lo;
        const std::size_t len = hi - lo;
        for (std::size_t i = 0; i < len; ++i) d2[i] = detail::dist2(q, p[i]);
        std::size_t i = 0;
        if constexpr (requires { v.after; }) i = v.after + 1 > lo ? v.after + 1 - lo : 0;
        for (; i < len; ++i)
            if (v.may(d2[i])) v.offer(d2[i], index_[lo + i]);
        return;
    }
    std::size_t near = 2 * node, far = 2 * node + 1;
    double bn = bound(q, near), bf = bound(q, far);
    if (bf < bn) std::swap(near, far), std::swap(bn, bf);
    if (v.visit(bn)) descend(q, near, d + 1, v);
    if (v.visit(bf)) descend(q, far, d + 1, v);
}

template <class V>
void KdTree::search(Vec3d q, V& v) const {
    if (m_ == 0 || detail::has_nan(q)) return;
    if (v.visit(bound(q, 1))) descend(q, 1, 0, v);
}

namespace detail {

// The points with d2 <= limit, their original indices appended to `out`.
struct Ball {
    double limit;
    const std::uint32_t* index;  // the tree's, for whole nodes
    std::vector<std::int64_t>* out;
    std::uint64_t visited = 0;
    bool visit(double bound) const { return bound <= limit; }
    bool may(double d) const { return d <= limit; }
    void offer(double, std::uint64_t i) { out->push_back(static_cast<std::int64_t>(i)); }
    void take_all(std::size_t lo, std::size_t hi) {
        for (std::size_t t = lo; t < hi; ++t) out->push_back(index[t]);
    }
};

struct Count {
    double limit;
    std::uint64_t count = 0;
    std::uint64_t visited = 0;
    bool visit(double bound) const { return bound <= limit; }
    bool may(double d) const { return d <= limit; }
    void offer(double, std::uint64_t) { ++count; }
    void take_all(std::size_t lo, std::size_t hi) { count += hi - lo; }
};

// The points with d2 <= limit and their d2, for a cap too large to keep a
// sorted row while searching.
struct BallD2 {
    double limit;
    std::vector<std::pair<double, std::int64_t>>* out;
    std::uint64_t visited = 0;
    bool visit(double bound) const { return bound <= limit; }
    bool may(double d) const { return d <= limit; }
    void offer(double d, std::uint64_t i) { out->emplace_back(d, static_cast<std::int64_t>(i)); }
};

// Rows of a batch answered in a chosen order and kept by the pieces that
// answered them, then placed by row number: position j of [0, count) answers
// row i = order[j] (j without an order) by `row(i, j, out)`, appending its entries
// and returning the nodes it visited;
// offsets[0, rows] become the CSR offsets (rows never answered stay empty);
// `ready(total)` is told the number of entries, and `place(i, entries,
// number, at)` puts row i's where the rows before it end. Pieces and places
// are cut by positions, not threads, so the bytes are the same for every
// pool size.
template <class Row, class Ready, class Place>
void gather_rows(std::size_t count, const std::uint32_t* order, std::size_t rows, std::int64_t* offsets, const Row& row,
                 const Ready& ready, const Place& place, parallel::Pool& p, parallel::Stop* stop) {
    struct Run {
        std::size_t lo;
        std::vector<std::int64_t> entries;
    };
    std::vector<std::size_t> start(count);  // where position j's entries begin in its run
    struct Answer {
        const Row* row;
        const std::uint32_t* order;
        std::int64_t* offsets;
        std::size_t* start;
        const parallel::Stop* stop;
        std::vector<Run> seq(std::size_t lo, std::size_t hi) const {
            std::vector<Run> runs(1);
            runs[0].lo = lo;
            auto& out = runs[0].entries;
            std::uint64_t visited = 0;
            for (std::size_t j = lo; j < hi; ++j) {
                if (stop && (j - lo) % 8 == 7) stop->check();
                const std::size_t i = order ? order[j] : j;
                start[j] = out.size();
                visited += (*row)(i, j, out);
                offsets[i + 1] = static_cast<std::int64_t>(out.size() - start[j]);
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return runs;
        }
        std::vector<Run> combine(std::vector<Run> a, std::vector<Run> b) const {
            a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
            return a;
        }
    };
    std::fill(offsets, offsets + rows + 1, std::int64_t{0});
    const std::vector<Run> runs = p.reduce(count, Answer{&row, order, offsets, start.data(), stop}, 16, stop);
    for (std::size_t i = 0; i < rows; ++i) offsets[i + 1] += offsets[i];
    ready(static_cast<std::size_t>(offsets[rows]));
    struct Place_ {
        const Place* place;
        const std::vector<Run>* runs;
        const std::uint32_t* order;
        const std::int64_t* offsets;
        const std::size_t* start;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            const auto& rs = *runs;
            std::size_t r = static_cast<std::size_t>(
                std::upper_bound(rs.begin(), rs.end(), lo, [](std::size_t j, const Run& x) { return j < x.lo; }) -
                rs.begin() - 1);
            for (std::size_t j = lo; j < hi; ++j) {
                while (r + 1 < rs.size() && rs[r + 1].lo <= j) ++r;
                const std::size_t i = order ? order[j] : j;
                const auto n = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
                if (n) (*place)(i, rs[r].entries.data() + start[j], n, static_cast<std::size_t>(offsets[i]));
            }
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    if (count != 0 && p.reduce(count, Place_{&place, &runs, order, offsets, start.data()}, 4, stop) != count)
        panic("not every row was placed");
}

}  // namespace detail

}  // namespace kestrum::spatial
