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

namespace {

constexpr std::size_t kHeader = 3;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::size_t words_for_bytes(std::size_t bytes) { return (bytes + 7) / 8; }

// The fewest levels that leave at most kLeaf points per leaf.
unsigned depth_for(std::size_t m) {
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
std::atomic<std::uint64_t> g_visited{0};

// Runs node(d, t) for every node of level d, each on the pool piece that
// holds its first position, so the work splits by points, not by nodes.
template <class F>
void for_level(pool::Pool& p, std::size_t m, unsigned d, const F& node, pool::Stop* stop) {
    struct Op {
        const F* node;
        std::size_t m;
        unsigned d;
        const pool::Stop* stop;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            // The first node starting at or after lo.
            std::size_t t = static_cast<std::size_t>(
                ((static_cast<unsigned __int128>(lo) << d) + m - 1) / m);
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

// The boundary is the rounded distance against the radius, as asked; sqrt is
// monotone, so sqrt(bound) <= sqrt(d2) for every point below.
struct Within {
    double radius;
    std::vector<std::int64_t>* out;
    std::uint64_t visited = 0;
    void offer(double d, std::uint64_t i) {
        if (std::sqrt(d) <= radius) out->push_back(static_cast<std::int64_t>(i));
    }
    bool visit(double bound) const { return std::sqrt(bound) <= radius; }
    bool may(double) const { return true; }
};

}  // namespace

KdTree::Layout KdTree::layout() const noexcept {
    Layout l{};
    const std::size_t nodes = std::size_t{2} << depth_;
    l.points = kHeader;
    l.boxes = l.points + 3 * n_;
    l.indices = l.boxes + 3 * nodes;
    l.words = l.indices + words_for_bytes(4 * n_);
    return l;
}

void KdTree::attach() {
    const Layout l = layout();
    const std::uint64_t* w = block_.data();
    pts_ = reinterpret_cast<const Vec3d*>(w + l.points);
    box_ = reinterpret_cast<const Box*>(w + l.boxes);
    index_ = reinterpret_cast<const std::uint32_t*>(w + l.indices);
}

KdTree::KdTree() {
    block_.assign(layout().words, 0);
    attach();
}

KdTree::KdTree(std::span<const Vec3d> points, pool::Pool& p, pool::Stop* stop) {
    static_assert(sizeof(Vec3d) == 24);
    if (points.size() > kMaxPoints)
        throw std::length_error("a KdTree holds at most " + std::to_string(kMaxPoints) + " points");
    n_ = points.size();
    struct Rec {
        Vec3d p;
        std::uint32_t i;
    };
    // The one read of the caller's points, before the first pool phase polls
    // `stop` (whose poll may run code that writes to them): the NaN points
    // too are kept from it, not read again at the end.
    std::vector<Rec> rec, nan_rec;
    rec.reserve(n_);
    for (std::size_t i = 0; i < n_; ++i) {
        const Vec3d v = points[i];
        (has_nan(v) ? nan_rec : rec).push_back({v, static_cast<std::uint32_t>(i)});
    }
    m_ = rec.size();
    depth_ = depth_for(m_);
    const Layout l = layout();
    block_.resize(l.words);
    block_[0] = n_;
    block_[1] = m_;
    block_[2] = depth_;
    auto* box = reinterpret_cast<Box*>(block_.data() + l.boxes);
    Rec* r = rec.data();
    const std::size_t m = m_;
    // Level by level, each node split at its median along the widest axis
    // of its cell (the root's box cut by the splits above it), which needs no
    // pass over the points; the leaves' boxes are then measured and the inner
    // boxes are their unions.
    struct Cell {
        double lo[3], hi[3];
    };
    std::vector<Cell> cells(1), next;
    {
        Cell& c = cells[0];
        for (unsigned a = 0; a < 3; ++a) c.lo[a] = kInf, c.hi[a] = -kInf;
        for (std::size_t i = 0; i < m; ++i)
            for (unsigned a = 0; a < 3; ++a)
                c.lo[a] = std::min(c.lo[a], coord(r[i].p, a)), c.hi[a] = std::max(c.hi[a], coord(r[i].p, a));
    }
    for (unsigned d = 0; d < depth_; ++d) {
        next.resize(cells.size() * 2);
        Cell* cur = cells.data();
        Cell* out = next.data();
        for_level(p, m, d, [r, m, d, cur, out](std::size_t t) {
            const std::size_t lo = node_start(t, d, m), hi = node_start(t + 1, d, m);
            const Cell& c = cur[t];
            // Widest axis, lowest on ties; inf - inf (all at one infinity) never wins.
            unsigned a = 0;
            double best = -1.0;
            for (unsigned e = 0; e < 3; ++e) {
                const double spread = c.hi[e] - c.lo[e];
                if (spread > best) best = spread, a = e;
            }
            const std::size_t mid = node_start(2 * t + 1, d + 1, m);
            switch (a) {
                case 0: std::nth_element(r + lo, r + mid, r + hi, [](const Rec& x, const Rec& y) { return x.p.x < y.p.x; }); break;
                case 1: std::nth_element(r + lo, r + mid, r + hi, [](const Rec& x, const Rec& y) { return x.p.y < y.p.y; }); break;
                default: std::nth_element(r + lo, r + mid, r + hi, [](const Rec& x, const Rec& y) { return x.p.z < y.p.z; }); break;
            }
            const double split = coord(r[mid].p, a);
            out[2 * t] = c, out[2 * t + 1] = c;
            out[2 * t].hi[a] = split;
            out[2 * t + 1].lo[a] = split;
        }, stop);
        cells.swap(next);
    }
    const std::size_t first_leaf = std::size_t{1} << depth_;
    const unsigned d = depth_;
    for_level(p, m, d, [r, m, d, box, first_leaf](std::size_t t) {
        const std::size_t lo = node_start(t, d, m), hi = node_start(t + 1, d, m);
        double mn[3] = {kInf, kInf, kInf}, mx[3] = {-kInf, -kInf, -kInf};
        for (std::size_t i = lo; i < hi; ++i) {
            const Vec3d& q = r[i].p;
            mn[0] = std::min(mn[0], q.x), mx[0] = std::max(mx[0], q.x);
            mn[1] = std::min(mn[1], q.y), mx[1] = std::max(mx[1], q.y);
            mn[2] = std::min(mn[2], q.z), mx[2] = std::max(mx[2], q.z);
        }
        Box& b = box[first_leaf + t];
        for (unsigned c = 0; c < 3; ++c) b.lo[c] = float_below(mn[c]), b.hi[c] = float_above(mx[c]);
    }, stop);
    if (m > 0) {
        for (std::size_t j = first_leaf - 1; j >= 1; --j) {
            const Box &a = box[2 * j], &b = box[2 * j + 1];
            for (unsigned c = 0; c < 3; ++c)
                box[j].lo[c] = std::min(a.lo[c], b.lo[c]), box[j].hi[c] = std::max(a.hi[c], b.hi[c]);
        }
    }
    auto* pts = reinterpret_cast<Vec3d*>(block_.data() + l.points);
    auto* index = reinterpret_cast<std::uint32_t*>(block_.data() + l.indices);
    struct Copy {
        const Rec* r;
        Vec3d* pts;
        std::uint32_t* index;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            for (std::size_t i = lo; i < hi; ++i) pts[i] = r[i].p, index[i] = r[i].i;
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    if (p.reduce(m_, Copy{r, pts, index}, 1, stop) != m_) panic("the tree's points were not all copied");
    for (std::size_t j = 0; j < nan_rec.size(); ++j) pts[m_ + j] = nan_rec[j].p, index[m_ + j] = nan_rec[j].i;
    attach();
}

std::span<const std::byte> KdTree::bytes() const noexcept {
    return {reinterpret_cast<const std::byte*>(block_.data()), block_.size() * sizeof(std::uint64_t)};
}

KdTree KdTree::from_bytes(std::span<const std::byte> bytes, pool::Pool& p, pool::Stop* stop) {
    const auto bad = [](const std::string& what) { throw std::invalid_argument("pickled KdTree state " + what); };
    if (bytes.size() < kHeader * 8 || bytes.size() % 8 != 0) bad("has " + std::to_string(bytes.size()) + " bytes");
    std::uint64_t head[kHeader];
    std::memcpy(head, bytes.data(), sizeof head);
    if (head[0] > kMaxPoints || head[1] > head[0]) bad("has an impossible point count");
    KdTree t;
    t.n_ = head[0];
    t.m_ = head[1];
    t.depth_ = depth_for(t.m_);
    if (head[2] != t.depth_) bad("has the wrong depth for its size");
    const Layout l = t.layout();
    if (bytes.size() != l.words * 8)
        bad("must be " + std::to_string(l.words * 8) + " bytes, got " + std::to_string(bytes.size()));
    t.block_.resize(l.words);
    std::memcpy(t.block_.data(), bytes.data(), bytes.size());
    t.attach();
    // Everything the queries rely on: a permutation of indices, NaN points
    // exactly after the tree's, in index order, and every box holding its
    // node's points (which makes the pruning exact).
    std::vector<bool> seen(t.n_);
    for (std::size_t i = 0; i < t.n_; ++i) {
        const std::uint32_t k = t.index_[i];
        if (k >= t.n_ || seen[k]) bad("has indices that are not a permutation");
        seen[k] = true;
        if (has_nan(t.pts_[i]) != (i >= t.m_)) bad("has a NaN point in the wrong place");
        if (i > t.m_ && t.index_[i - 1] >= k) bad("has NaN points out of order");
    }
    const std::size_t m = t.m_;
    const Vec3d* pts = t.pts_;
    const Box* box = t.box_;
    for (unsigned d = 0; d <= t.depth_; ++d) {
        std::atomic<bool> ok{true};
        for_level(p, m, d, [&ok, pts, box, m, d](std::size_t s) {
            const Box& b = box[(std::size_t{1} << d) + s];
            const std::size_t lo = node_start(s, d, m), hi = node_start(s + 1, d, m);
            bool good = true;
            for (std::size_t i = lo; good && i < hi; ++i)
                for (unsigned c = 0; c < 3; ++c) good &= b.lo[c] <= coord(pts[i], c) && coord(pts[i], c) <= b.hi[c];
            if (!good) ok.store(false, std::memory_order_relaxed);
        }, stop);
        if (!ok.load()) bad("has a box that does not hold its points");
    }
    return t;
}

void KdTree::points_into(Vec3d* out, pool::Pool& p) const {
    struct Scatter {
        const Vec3d* pts;
        const std::uint32_t* index;
        Vec3d* out;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            for (std::size_t i = lo; i < hi; ++i) out[index[i]] = pts[i];
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    if (p.reduce(n_, Scatter{pts_, index_, out}) != n_) panic("the tree's points were not all copied out");
}

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

template <class V>
void KdTree::descend(const Vec3d& q, std::size_t node, unsigned d, V& v) const {
    ++v.visited;
    if (d == depth_) {
        const std::size_t t = node - (std::size_t{1} << d);
        const std::size_t lo = node_start(t, d, m_), hi = node_start(t + 1, d, m_);
        // All distances first (a loop the compiler can widen), then the rare
        // candidates look up their index.
        double d2[kLeaf];
        const Vec3d* p = pts_ + lo;
        const std::size_t len = hi - lo;
        for (std::size_t i = 0; i < len; ++i) d2[i] = dist2(q, p[i]);
        for (std::size_t i = 0; i < len; ++i)
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
    if (m_ == 0 || has_nan(q)) return;
    if (v.visit(bound(q, 1))) descend(q, 1, 0, v);
}

std::uint64_t KdTree::visited_total() noexcept { return g_visited.load(std::memory_order_relaxed); }

KdTree::Hit KdTree::nearest(Vec3d q) const {
    const pool::DefaultFpEnv fp;
    One best;
    search(q, best);
    g_visited.fetch_add(best.visited, std::memory_order_relaxed);
    if (best.best_index == std::numeric_limits<std::uint64_t>::max()) return {n_, kInf};
    return {best.best_index, std::sqrt(best.best)};
}

// The order to answer many queries in: along a Morton curve over the tree's
// box, so consecutive queries walk the same nodes while they are in cache.
// Only worth it when the tree outgrows the caches; each query's answer is
// its own, so the order changes no result.
std::vector<std::uint32_t> KdTree::visit_order(std::span<const Vec3d> queries, pool::Pool& p,
                                               pool::Stop* stop) const {
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

void KdTree::nearest_many(std::span<const Vec3d> queries, std::size_t k, std::int64_t* idx, double* dist,
                          pool::Pool& p, pool::Stop* stop) const {
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
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            std::uint64_t visited = 0;
            for (std::size_t j = lo; j < hi; ++j) {
                if (stop && (j - lo) % 8 == 7) stop->check();
                const std::size_t i = order ? order[j] : j;
                std::int64_t* ri = idx + i * k;
                double* rd = dist + i * k;
                Nearest best{k, 0, rd, ri};
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
    const Op op{this, queries.data(), k, idx, dist, stop, order.empty() ? nullptr : order.data()};
    if (p.reduce(queries.size(), op, 16, stop) != queries.size())
        panic("not every query was answered");
}

std::vector<std::int64_t> KdTree::within(Vec3d q, double radius) const {
    const pool::DefaultFpEnv fp;
    std::vector<std::int64_t> out;
    if (!(radius >= 0.0)) return out;
    Within w{radius, &out};
    search(q, w);
    g_visited.fetch_add(w.visited, std::memory_order_relaxed);
    std::sort(out.begin(), out.end());
    return out;
}

void KdTree::within_many(std::span<const Vec3d> queries, double radius, std::int64_t* offsets,
                         const std::function<std::int64_t*(std::size_t)>& indices_for, pool::Pool& p,
                         pool::Stop* stop) const {
    // Each piece keeps its own run of indices; the runs are joined in order.
    struct Run {
        std::size_t lo;
        std::vector<std::int64_t> indices;
    };
    struct Op {
        const KdTree* tree;
        const Vec3d* q;
        double radius;
        std::int64_t* offsets;  // offsets[i + 1] holds query i's count until the sum
        const pool::Stop* stop;
        std::vector<Run> seq(std::size_t lo, std::size_t hi) const {
            std::vector<Run> runs(1);
            runs[0].lo = lo;
            auto& out = runs[0].indices;
            std::uint64_t visited = 0;
            for (std::size_t i = lo; i < hi; ++i) {
                if (stop && (i - lo) % 8 == 7) stop->check();
                const std::size_t before = out.size();
                if (radius >= 0.0) {
                    Within w{radius, &out};
                    tree->search(q[i], w);
                    visited += w.visited;
                    std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
                }
                offsets[i + 1] = static_cast<std::int64_t>(out.size() - before);
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return runs;
        }
        std::vector<Run> combine(std::vector<Run> a, std::vector<Run> b) const {
            a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
            return a;
        }
    };
    const std::size_t m = queries.size();
    offsets[0] = 0;
    std::vector<Run> runs = p.reduce(m, Op{this, queries.data(), radius, offsets, stop}, 16, stop);
    for (std::size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
    std::int64_t* out = indices_for(static_cast<std::size_t>(offsets[m]));
    for (const Run& r : runs) {
        if (!r.indices.empty())
            std::memcpy(out + offsets[r.lo], r.indices.data(), r.indices.size() * sizeof(std::int64_t));
    }
}

}  // namespace kestrum::spatial
