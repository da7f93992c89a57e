#pragma once
// Circle in space: center, radius and the normal of its plane.
#include <cmath>
#include <limits>
#include <type_traits>

#include "kestrum/angle.hpp"
#include "kestrum/geometry/plane.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum::geometry {

// Equal or opposite within epsilon per component; a normal and its negation
// describe the same plane.
inline bool normals_parallel(Vec3d a, Vec3d b) {
    const bool same =
        std::fabs(a.x - b.x) < kEpsilon && std::fabs(a.y - b.y) < kEpsilon && std::fabs(a.z - b.z) < kEpsilon;
    const bool opposite =
        std::fabs(a.x + b.x) < kEpsilon && std::fabs(a.y + b.y) < kEpsilon && std::fabs(a.z + b.z) < kEpsilon;
    return same || opposite;
}

struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    // fabs clears the sign bit: -0.0 -> 0.0, NaN stays NaN.
    static Circle make(Vec3d center, double radius, Vec3d normal) {
        return {center, std::fabs(radius), normal.normalize()};
    }
    // Stands for "no circle"; it is equal to nothing, itself included.
    static Circle none() {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {{0.0, 0.0, 0.0}, 0.0, {nan, nan, nan}};
    }

    double area() const { return (radius * radius) * kPi; }
    // normal·center with the stored normal, not renormalised.
    double plane_offset() const { return normal.dot(center); }
    Plane get_plane() const { return Plane::from_point(normal, center); }
    // Offsets are compared as they are even for opposite normals, so such
    // circles only share a plane through the origin.
    bool in_same_plane(Circle other) const {
        return normals_parallel(normal, other.normal) && std::fabs(other.plane_offset() - plane_offset()) < kEpsilon;
    }
    bool is_degenerate() const { return radius == 0.0; }

    // Tolerant on centers, exact on radius, either orientation of the normal.
    // Not an equivalence relation (NaN normals, epsilon chains).
    friend bool operator==(Circle a, Circle b) {
        return std::fabs(a.center.x - b.center.x) < kEpsilon && std::fabs(a.center.y - b.center.y) < kEpsilon &&
               std::fabs(a.center.z - b.center.z) < kEpsilon && a.radius == b.radius &&
               normals_parallel(a.normal, b.normal);
    }
};

static_assert(std::is_trivially_copyable_v<Plane> && std::is_trivially_copyable_v<Circle>);

}  // namespace kestrum::geometry
