// The tree's build, its serialised form and the copy of its points.
#include "spatial/kd_tree_select.hpp"

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

namespace {

struct Cell {
    double lo[3], hi[3];
};

// Widest axis, lowest on ties; inf - inf (all at one infinity) never wins.
unsigned widest(const Cell& c) {
    unsigned a = 0;
    double best = -1.0;
    for (unsigned e = 0; e < 3; ++e) {
        const double spread = c.hi[e] - c.lo[e];
        if (spread > best) best = spread, a = e;
    }
    return a;
}

// What one pass over the caller's points finds: its NaN rows and the box of
// the others. Signed zeros may come out either way round between pool sizes,
// which changes no spread and so no split.
struct Scan {
    std::size_t nans = 0;
    double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
};

// The records of level d's nodes are in buf[d % 2] at the nodes' positions;
// a split writes the children into the other buffer. The leaves' buffer is
// the block itself.
struct Builder {
    Recs buf[2];
    std::size_t m;
    unsigned depth;
    KdTree::Box* boxes;
    const pool::Stop* stop;

    // Splits node t of level d at its middle position along its cell's
    // widest axis; the children's cells are the cell cut at the split.
    void split(std::size_t t, unsigned d, const Cell& c, Cell* children) const {
        const std::size_t lo = node_start(t, d, m), hi = node_start(t + 1, d, m);
        const std::size_t mid = node_start(2 * t + 1, d + 1, m);
        const unsigned a = widest(c);
        const Recs dst = buf[(d + 1) % 2];
        select_into(a, buf[d % 2] + lo, dst + lo, hi - lo, mid - lo, stop);
        const double at = coord(dst.p[mid], a);
        children[0] = c, children[1] = c;
        children[0].hi[a] = at;
        children[1].lo[a] = at;
    }

    // The whole subtree under node t of level d, depth first (it fits the
    // cache); returns its box.
    KdTree::Box subtree(std::size_t t, unsigned d, const Cell& c) const {
        if (d == depth) return leaf(t);
        Cell children[2];
        split(t, d, c, children);
        const KdTree::Box l = subtree(2 * t, d + 1, children[0]), r = subtree(2 * t + 1, d + 1, children[1]);
        KdTree::Box& u = boxes[(std::size_t{1} << d) + t];
        for (unsigned k = 0; k < 3; ++k) u.lo[k] = std::min(l.lo[k], r.lo[k]), u.hi[k] = std::max(l.hi[k], r.hi[k]);
        return u;
    }

    KdTree::Box leaf(std::size_t t) const {
        const std::size_t lo = node_start(t, depth, m), hi = node_start(t + 1, depth, m);
        const Vec3d* p = buf[depth % 2].p;
        double mn[3] = {kInf, kInf, kInf}, mx[3] = {-kInf, -kInf, -kInf};
        for (std::size_t i = lo; i < hi; ++i) {
            mn[0] = std::min(mn[0], p[i].x), mx[0] = std::max(mx[0], p[i].x);
            mn[1] = std::min(mn[1], p[i].y), mx[1] = std::max(mx[1], p[i].y);
            mn[2] = std::min(mn[2], p[i].z), mx[2] = std::max(mx[2], p[i].z);
        }
        KdTree::Box& b = boxes[(std::size_t{1} << depth) + t];
        for (unsigned c = 0; c < 3; ++c) b.lo[c] = float_below(mn[c]), b.hi[c] = float_above(mx[c]);
        return b;
    }
};

}  // namespace

KdTree::KdTree(std::span<const Vec3d> points, pool::Pool& p, pool::Stop* stop) {
    static_assert(sizeof(Vec3d) == 24);
    if (points.size() > kMaxPoints)
        throw std::length_error("a KdTree holds at most " + std::to_string(kMaxPoints) + " points");
    n_ = m_ = points.size();
    depth_ = depth_for(m_);
    // Level 0 reads the buffer of the same parity as the leaves', the block,
    // so the last split writes the tree's points in place. The layout is the
    // one for no NaN point; a NaN moves things once more below.
    block_.resize(layout().words);
    const auto block_recs = [this] {
        const Layout l = layout();
        return Recs{reinterpret_cast<Vec3d*>(block_.data() + l.points),
                    reinterpret_cast<std::uint32_t*>(block_.data() + l.indices)};
    };
    RecBuf scratch;
    const auto first_for = [&]() -> Recs {
        if (depth_ % 2 == 0) return block_recs();
        if (scratch.size() < m_) scratch.resize(m_);
        return scratch.data();
    };
    Recs first = first_for();
    // The one read of the caller's points, with no stop given, so nothing
    // polls (a poll may run code that writes to them) until every point is
    // in our own records; the NaN points too are kept from it.
    struct Read {
        const Vec3d* in;
        Recs out;
        Scan seq(std::size_t lo, std::size_t hi) const {
            Scan s;
            for (std::size_t i = lo; i < hi; ++i) {
                const Vec3d v = in[i];
                out.p[i] = v;
                out.i[i] = static_cast<std::uint32_t>(i);
                if (has_nan(v)) {
                    ++s.nans;
                    continue;
                }
                s.lo[0] = std::min(s.lo[0], v.x), s.hi[0] = std::max(s.hi[0], v.x);
                s.lo[1] = std::min(s.lo[1], v.y), s.hi[1] = std::max(s.hi[1], v.y);
                s.lo[2] = std::min(s.lo[2], v.z), s.hi[2] = std::max(s.hi[2], v.z);
            }
            return s;
        }
        Scan combine(Scan l, const Scan& r) const {
            l.nans += r.nans;
            for (unsigned c = 0; c < 3; ++c) l.lo[c] = std::min(l.lo[c], r.lo[c]), l.hi[c] = std::max(l.hi[c], r.hi[c]);
            return l;
        }
    };
    const Read read{points.data(), first};
    const Scan scan = n_ < (std::size_t{1} << 15) ? read.seq(0, n_) : p.reduce(n_, read, 2);
    RecBuf nans;
    if (scan.nans > 0) {  // rare: set apart in index order, the rest laid out anew
        RecBuf kept(n_ - scan.nans);
        nans.resize(scan.nans);
        for (std::size_t i = 0, k = 0, j = 0; i < n_; ++i) {
            if (has_nan(first.p[i]))
                nans.p[j] = first.p[i], nans.i[j++] = first.i[i];
            else
                kept.p[k] = first.p[i], kept.i[k++] = first.i[i];
        }
        m_ = kept.size();
        depth_ = depth_for(m_);
        block_.resize(layout().words);
        first = first_for();
        copy_recs(kept.data(), m_, first);
    }
    const Layout l = layout();
    block_[0] = n_;
    block_[1] = m_;
    block_[2] = depth_;
    auto* box = reinterpret_cast<Box*>(block_.data() + l.boxes);
    const Recs out = block_recs();
    box[0] = Box{};  // unused, but part of the bytes
    if (m_ == 0) box[1] = Box{};
    if (n_ % 2) out.i[n_] = 0;  // the padding word's other half
    const std::size_t m = m_;
    if (depth_ > 0 && scratch.size() < m) scratch.resize(m);
    const Recs other = depth_ % 2 == 0 ? scratch.data() : out;
    const Builder build{{first, other}, m, depth_, box, stop};
    // Levels whose nodes outgrow the cache are split one level at a time,
    // each level across the pool; below them each node's subtree is built
    // depth first by one piece.
    constexpr std::size_t kInCache = std::size_t{1} << 14;
    unsigned top = 0;
    while (top < depth_ && (m >> top) > kInCache) ++top;
    std::vector<Cell> cells(1), next;
    for (unsigned c = 0; c < 3; ++c) cells[0].lo[c] = scan.lo[c], cells[0].hi[c] = scan.hi[c];
    for (unsigned d = 0; d < top; ++d) {
        next.resize(cells.size() * 2);
        const Cell* cur = cells.data();
        Cell* to = next.data();
        for_level(
            p, m, d, [&build, d, cur, to](std::size_t t) { build.split(t, d, cur[t], to + 2 * t); }, stop);
        cells.swap(next);
    }
    const Cell* cur = cells.data();
    for_level(
        p, m, top, [&build, top, cur](std::size_t t) { build.subtree(t, top, cur[t]); }, stop);
    for (std::size_t j = (std::size_t{1} << top) - 1; m > 0 && j >= 1; --j) {
        const Box &x = box[2 * j], &y = box[2 * j + 1];
        for (unsigned c = 0; c < 3; ++c)
            box[j].lo[c] = std::min(x.lo[c], y.lo[c]), box[j].hi[c] = std::max(x.hi[c], y.hi[c]);
    }
    copy_recs(nans.data(), nans.size(), out + m_);
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
        for_level(
            p, m, d,
            [&ok, pts, box, m, d](std::size_t s) {
                const Box& b = box[(std::size_t{1} << d) + s];
                const std::size_t lo = node_start(s, d, m), hi = node_start(s + 1, d, m);
                bool good = true;
                for (std::size_t i = lo; good && i < hi; ++i)
                    for (unsigned c = 0; c < 3; ++c) good &= b.lo[c] <= coord(pts[i], c) && coord(pts[i], c) <= b.hi[c];
                if (!good) ok.store(false, std::memory_order_relaxed);
            },
            stop);
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
