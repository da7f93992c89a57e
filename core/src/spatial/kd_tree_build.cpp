// The tree's build, its serialised form and the copy of its points.
#include "spatial/kd_tree_impl.hpp"

namespace kestrum::spatial {

using namespace detail;

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

}  // namespace kestrum::spatial
