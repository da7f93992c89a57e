// KdTree.normals and normals_and_curvature: one pass of the tree's k-nearest
// search with a plane fit per point (core/src/spatial/kd_tree_normals.cpp).
#include <algorithm>
#include <limits>
#include <string>

#include "point_cloud.hpp"

namespace kp {

using kestrum::Vec3d;
using kestrum::spatial::KdTree;
namespace pool = kestrum::parallel;

namespace {

std::tuple<VecListValue, ElementArray<double>> run(const KdTree& self, std::optional<std::uint64_t> k_given,
                                                   const std::optional<Points>& points,
                                                   const std::optional<Point>& toward, bool with_curvature) {
    // Beyond the tree's size a neighbourhood is every point, as a query of
    // nearest_many pads the neighbours it cannot find.
    const std::uint64_t k = std::min<std::uint64_t>(k_given.value_or(16), self.size());
    if (k_given.value_or(16) < 3) raise(PyExc_ValueError, "k must be at least 3: a plane needs three points");
    // The queries are read once, before the pool's phases and their signal
    // polls: the tree's own points, or the caller's rows copied unless they
    // are a VecList we hold borrowed.
    VecListValue copy;
    std::span<const Vec3d> queries;
    if (points) {
        queries = point_span(*points, copy);
    } else {
        copy.items = VecArray(self.size());
        self.points_into(copy.items.data(), pool::global());
        queries = {copy.items.data(), copy.items.size()};
    }
    const Vec3d view = toward ? static_cast<Vec3d>(*toward) : Vec3d{};
    VecArray normals(queries.size());
    ElementArray<double> curvature(with_curvature ? queries.size() : 0);
    if (k == 0) {  // an empty tree: no neighbourhood, no normal
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::fill(normals.begin(), normals.end(), Vec3d{nan, nan, nan});
        std::fill(curvature.begin(), curvature.end(), nan);
        return {VecListValue{std::move(normals)}, std::move(curvature)};
    }
    interruptible([&](pool::Stop& stop) {
        self.normals(queries, k, toward ? &view : nullptr, normals.data(), with_curvature ? curvature.data() : nullptr,
                     pool::global(), &stop);
        return 0;
    });
    return {VecListValue{std::move(normals)}, std::move(curvature)};
}

}  // namespace

VecListValue tree_normals(const KdTree& self, std::optional<std::uint64_t> k, std::optional<Points> points,
                          std::optional<Point> toward) {
    return std::get<0>(run(self, k, points, toward, false));
}

std::tuple<VecListValue, Array> tree_normals_and_curvature(const KdTree& self, std::optional<std::uint64_t> k,
                                                           std::optional<Points> points, std::optional<Point> toward) {
    auto [normals, curvature] = run(self, k, points, toward, true);
    const std::size_t n = curvature.size();
    return {std::move(normals), Array(std::move(curvature), {n})};
}

}  // namespace kp
