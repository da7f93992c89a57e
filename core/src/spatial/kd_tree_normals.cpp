// Point normals: the least-squares plane of each query's k nearest points.
#include "kestrum/formula/fit_plane.hpp"
#include "spatial/kd_tree_impl.hpp"

namespace kestrum::spatial {

using namespace detail;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Normal {
    Vec3d n;
    double curvature;
};

// The plane of the neighbours nb[0, count), summed in neighbour order. Any
// NaN comes out as the one quiet NaN, so its bits do not depend on which
// operation made it.
Normal neighbourhood_normal(const Vec3d* pts, const std::int64_t* nb, std::size_t count, Vec3d q, const Vec3d* toward) {
    if (count < 3 || !formula::finite(q)) return {{kNan, kNan, kNan}, kNan};
    Vec3d sum{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < count; ++j) {
        const Vec3d& p = pts[nb[j]];
        sum = {sum.x + p.x, sum.y + p.y, sum.z + p.z};
    }
    const double c = static_cast<double>(count);
    const Vec3d centre{sum.x / c, sum.y / c, sum.z / c};
    Sym3 s{};
    for (std::size_t j = 0; j < count; ++j) formula::add_scatter(s, pts[nb[j]] - centre);
    const NormalFit fit = normal_from_scatter(s);
    Normal out{fit.normal, fit.curvature};
    if (!fit.separated || has_nan(out.n)) out.n = {kNan, kNan, kNan};
    if (std::isnan(out.curvature)) out.curvature = kNan;
    if (toward && formula::dot<Plain>(out.n, *toward - q) < 0.0) out.n = -out.n;
    return out;
}

}  // namespace

void KdTree::normals(std::span<const Vec3d> queries, std::size_t k, const Vec3d* toward, Vec3d* normals,
                     double* curvature, pool::Pool& p, pool::Stop* stop) const {
    if (k == 0) panic("assertion failed: k >= 1");
    // The neighbours are looked up by original index.
    std::vector<Vec3d> pts(n_);
    points_into(pts.data(), p);
    const std::vector<std::uint32_t> order = visit_order(queries, p, stop);
    struct Op {
        const KdTree* tree;
        const Vec3d* pts;
        const Vec3d* q;
        std::size_t k;
        const Vec3d* toward;
        Vec3d* normals;
        double* curvature;
        const pool::Stop* stop;
        const std::uint32_t* order;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            std::vector<double> d2(k);
            std::vector<std::int64_t> nb(k);
            std::uint64_t visited = 0;
            for (std::size_t j = lo; j < hi; ++j) {
                if (stop && (j - lo) % 8 == 7) stop->check();
                const std::size_t i = order ? order[j] : j;
                Nearest best{k, 0, d2.data(), nb.data()};
                tree->search(q[i], best);
                visited += best.visited;
                const Normal r = neighbourhood_normal(pts, nb.data(), best.count, q[i], toward);
                normals[i] = r.n;
                if (curvature) curvature[i] = r.curvature;
            }
            g_visited.fetch_add(visited, std::memory_order_relaxed);
            return hi - lo;
        }
        std::size_t combine(std::size_t a, std::size_t b) const { return a + b; }
    };
    const Op op{
        this, pts.data(), queries.data(), k, toward, normals, curvature, stop, order.empty() ? nullptr : order.data()};
    if (p.reduce(queries.size(), op, 16, stop) != queries.size()) panic("not every query was answered");
}

}  // namespace kestrum::spatial
