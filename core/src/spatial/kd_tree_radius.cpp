// The radius queries: the points within a radius of one query or of many
// (all of them, or the nearest few), and their counts alone.
#include "spatial/kd_tree_search.hpp"

namespace kestrum::spatial {

using namespace detail;

namespace {

// Above this cap a row is gathered whole and then cut, rather than kept
// sorted while searching (an insertion costs up to the cap).
constexpr std::size_t kSortedCapUpTo = 256;

double radius_of(std::span<const double> radii, std::size_t i) { return radii[radii.size() == 1 ? 0 : i]; }

}  // namespace

std::vector<std::int64_t> KdTree::within(Vec3d q, double radius) const {
    const pool::DefaultFpEnv fp;
    std::vector<std::int64_t> out;
    Ball ball{d2_limit(radius), index_, &out};
    if (ball.limit >= 0.0) search(q, ball);
    g_visited.fetch_add(ball.visited, std::memory_order_relaxed);
    std::sort(out.begin(), out.end());
    return out;
}

void KdTree::within_many(std::span<const Vec3d> queries, std::span<const double> radii, std::size_t cap,
                         std::int64_t* offsets, const std::function<std::int64_t*(std::size_t)>& indices_for,
                         pool::Pool& p, pool::Stop* stop) const {
    const std::size_t m = queries.size();
    if (radii.size() != 1 && radii.size() != m) panic("one radius, or one per query");
    const std::vector<std::uint32_t> order = visit_order(queries, p, stop);
    const auto row = [&](std::size_t i, std::size_t, std::vector<std::int64_t>& out) -> std::uint64_t {
        const double limit = d2_limit(radius_of(radii, i));
        if (limit < 0.0) return 0;
        if (cap == 0) {
            const std::size_t before = out.size();
            Ball ball{limit, index_, &out};
            search(queries[i], ball);
            std::sort(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
            return ball.visited;
        }
        if (cap <= kSortedCapUpTo) {
            const std::size_t k = std::min(cap, m_), before = out.size();
            double d2[kSortedCapUpTo];
            out.resize(before + k);
            Nearest best{k, 0, d2, out.data() + before, limit};
            if (k) search(queries[i], best);
            out.resize(before + best.count);
            return best.visited;
        }
        std::vector<std::pair<double, std::int64_t>> found;
        BallD2 ball{limit, &found};
        search(queries[i], ball);
        const auto keep = static_cast<std::ptrdiff_t>(std::min(cap, found.size()));
        std::nth_element(found.begin(), found.begin() + keep, found.end());
        std::sort(found.begin(), found.begin() + keep);
        for (std::ptrdiff_t j = 0; j < keep; ++j) out.push_back(found[static_cast<std::size_t>(j)].second);
        return ball.visited;
    };
    std::int64_t* indices = nullptr;
    gather_rows(
        m, order.empty() ? nullptr : order.data(), m, offsets, row,
        [&](std::size_t total) { indices = indices_for(total); },
        [&](std::size_t, const std::int64_t* from, std::size_t n, std::size_t at) {
            std::memcpy(indices + at, from, n * sizeof(std::int64_t));
        },
        p, stop);
}

void KdTree::count_within(std::span<const Vec3d> queries, std::span<const double> radii, std::int64_t* counts,
                          pool::Pool& p, pool::Stop* stop) const {
    const std::size_t m = queries.size();
    if (radii.size() != 1 && radii.size() != m) panic("one radius, or one per query");
    const std::vector<std::uint32_t> order = visit_order(queries, p, stop);
    struct Op {
        const KdTree* tree;
        const Vec3d* q;
        std::span<const double> radii;
        std::int64_t* counts;
        const pool::Stop* stop;
        const std::uint32_t* order;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            std::uint64_t visited = 0;
            for (std::size_t j = lo; j < hi; ++j) {
                if (stop && (j - lo) % 8 == 7) stop->check();
                const std::size_t i = order ? order[j] : j;
                Count c{d2_limit(radius_of(radii, i))};
                if (c.limit >= 0.0) tree->search(q[i], c);
                visited += c.visited;
                counts[i] = static_cast<std::int64_t>(c.count);
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    const Op op{this, queries.data(), radii, counts, stop, order.empty() ? nullptr : order.data()};
    if (p.reduce(m, op, 16, stop) != m) panic("not every query was answered");
}

}  // namespace kestrum::spatial
