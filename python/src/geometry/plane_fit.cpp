// Plane.fit and Plane.distance_to_points: one plane and many points.
#include <cmath>
#include <string>
#include <vector>

#include "element_list.hpp"
#include "kestrum/formula/fit_plane.hpp"
#include "point_cloud.hpp"

namespace kp {

using kestrum::Sym3;
using kestrum::Vec3d;
using kestrum::geometry::Plane;
namespace formula = kestrum::formula;
namespace pool = kestrum::parallel;

namespace {

// Sums are taken over fixed blocks, each in index order, and the block sums
// are added in block order on the calling thread: the same bits for every
// pool size, whichever worker summed which block.
constexpr std::size_t kBlock = 1024;

template <class Out, class F>
Out block_sum(std::size_t n, const F& f) {
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    std::vector<Out> parts(blocks);
    Out* o = parts.data();
    pool::map_ranges(std::span<Out>(o, blocks), [o, n, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
        for (std::size_t b = lo; b < hi; ++b) o[b] = f(b * kBlock, std::min(n, (b + 1) * kBlock));
    });
    Out total{};
    for (const Out& part : parts) total = formula::add_sums(total, part);
    return total;
}

// The rows as Vec3ds in place when they already are (a VecList we hold, or
// packed, aligned float64), else null. Every pass over them runs on the
// pool with no Python code between, so the caller's buffer cannot change
// under them.
const Vec3d* in_place(const Points& points) {
    if (points.own) return points.own;
    if (points.type == Rows3::Type::f64 && points.row_stride == static_cast<std::ptrdiff_t>(sizeof(Vec3d)) &&
        points.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(points.base) % alignof(Vec3d) == 0)
        return reinterpret_cast<const Vec3d*>(points.base);
    return nullptr;
}

}  // namespace

// Points with a NaN or infinite coordinate are left out, of the centroid and
// of the scatter alike.
Plane plane_fit(const Points& points) {
    VecListValue copy;  // other rows are copied first
    const Vec3d* p = in_place(points);
    if (!p) p = point_span(points, copy).data();
    const std::size_t n = points.rows;
    const auto sum = block_sum<formula::PointSum>(
        n, [p](std::size_t lo, std::size_t hi) { return formula::point_sum(p + lo, hi - lo); });
    if (sum.count < 3.0)
        raise(PyExc_ValueError,
              "Plane.fit needs at least 3 finite points, got " + std::to_string(static_cast<std::uint64_t>(sum.count)));
    const Vec3d c{sum.sum.x / sum.count, sum.sum.y / sum.count, sum.sum.z / sum.count};
    const Sym3 s =
        block_sum<Sym3>(n, [p, c](std::size_t lo, std::size_t hi) { return formula::scatter_sum(p + lo, hi - lo, c); });
    for (double e : s)
        if (!std::isfinite(e)) raise(PyExc_ValueError, "Plane.fit: the points' spread overflows a double");
    const kestrum::NormalFit fit = kestrum::normal_from_scatter(s);
    if (!fit.separated)
        raise(PyExc_ValueError, "Plane.fit: the points are collinear or coincident, so no plane is defined");
    return {fit.normal, -fit.normal.dot(c)};
}

// Element i is distance_to_point(points[i]): the same formula, in runs.
Array plane_distance_to_points(const Plane& self, const Points& points) {
    const Vec3d n = self.normal;
    const double d = self.distance;
    const auto f = [n, d](auto a, Vec3d v) {
        using A = decltype(a);
        return A::add(d, formula::dot<A>(n, v));
    };
    if (const Vec3d* p = in_place(points)) {
        return Array(lists::bulk_formula<double>(points.rows, [p, &f](auto a, std::size_t i) { return f(a, p[i]); }),
                     {points.rows});
    }
    return Array(lists::bulk_from_table<double, 1, 3>(points,
                                                      [&f](auto a, const std::array<double, 3>& c) {
                                                          return f(a, Vec3d{c[0], c[1], c[2]});
                                                      }),
                 {points.rows});
}

}  // namespace kp
