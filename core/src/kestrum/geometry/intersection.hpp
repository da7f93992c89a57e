#pragma once
// Lines, points and circles against planes and circles. Degenerate input
// yields NaN/inf or "no result", never an error.
#include <cmath>
#include <optional>
#include <utility>

#include "kestrum/geometry/circle.hpp"
#include "kestrum/geometry/plane.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum::geometry {

// Where the infinite line through a and b meets the plane. Substituting
// p = a + v·t into n·p + d = 0 gives t = -(d + n·a) / (n·v). The numerator is
// the negated signed distance of a, i.e. the same expression contains_point
// evaluates, so a point the plane reports at offset exactly 0 yields t = ∓0
// and comes back unchanged. Parallel lines (n·v = 0) are not tested for and
// give non-finite components.
inline Vec3d plane_line(Plane plane, Vec3d a, Vec3d b) {
    const Vec3d v = b - a;
    const double denom = v.dot(plane.normal);
    const double t = -plane.distance_to_point(a) / denom;
    return a + v * t;
}

// Sphere test around the center only; the plane is not considered.
inline bool circle_point_unchecked(Circle circle, Vec3d point, bool inner) {
    const double dist = point.distance_to(circle.center);
    if (inner && dist < circle.radius) {
        return true;
    }
    return std::fabs(dist - circle.radius) < kEpsilon;
}

// Plane test first; it is the one-sided Plane::contains_point.
inline bool circle_point(Circle circle, Vec3d point, bool inner) {
    if (!circle.get_plane().contains_point(point)) {
        return false;
    }
    return circle_point_unchecked(circle, point, inner);
}

// Intersection points of two coplanar circles, or nothing when they are
// equal, not coplanar, too far apart or nested. P1 lies on the side of
// (c2 - c1) × N2. Tangent circles give two equal points.
inline std::optional<std::pair<Vec3d, Vec3d>> circle_circle(Circle circle1, Circle circle2) {
    if (circle1 == circle2) {
        return std::nullopt;
    }
    if (!circle1.in_same_plane(circle2)) {
        return std::nullopt;
    }
    const Vec3d c1 = circle1.center;
    const Vec3d c2 = circle2.center;
    const double r1 = circle1.radius;
    const double r2 = circle2.radius;
    const double w = c1.distance_to(c2);
    // Strict, so touching circles go on; NaN radii go on and give NaN points.
    if (w > r1 + r2 || w < std::fabs(r1 - r2)) {
        return std::nullopt;
    }
    const Vec3d d = c2 - c1;
    const double ww = w * w;
    // Fraction of c1→c2 at which the common chord crosses the center line.
    const double u = (r1 * r1 - r2 * r2) / (ww + ww) + 0.5;
    const Vec3d q = d.cross(circle2.normal);
    const double len = q.magnitude();
    const double h = std::sqrt(r1 * r1 - ww * (u * u));
    const Vec3d m = c1 + d * u;
    const Vec3d off = (q / len) * h;
    return std::pair{m + off, m - off};
}

}  // namespace kestrum::geometry
