#pragma once
// Bodies of the point-cloud members that live in their own units: the
// plane fit and bulk plane distances (geometry/plane_fit.cpp) and the
// tree's point normals (kd_tree_normals.cpp). The rows are in the classes'
// tables.
#include <cstdint>
#include <optional>
#include <tuple>

#include "kestrum/geometry/plane.hpp"
#include "points.hpp"

namespace kp {

kestrum::geometry::Plane plane_fit(const Points& points);
Array plane_distance_to_points(const kestrum::geometry::Plane& self, const Points& points);

VecListValue tree_normals(const kestrum::spatial::KdTree& self, std::optional<std::uint64_t> k,
                          std::optional<Points> points, std::optional<Point> toward);
std::tuple<VecListValue, Array> tree_normals_and_curvature(const kestrum::spatial::KdTree& self,
                                                           std::optional<std::uint64_t> k, std::optional<Points> points,
                                                           std::optional<Point> toward);

}  // namespace kp
