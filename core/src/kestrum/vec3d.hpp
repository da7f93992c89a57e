#pragma once
// Plain 3-component double vector. Every formula fixes its evaluation order:
// results are bit-exact, so never reorder, fuse or "simplify" these.
#include <cmath>
#include <cstdint>

#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/panic.hpp"

namespace kestrum {

inline constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

struct Vec3d {
    double x;
    double y;
    double z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }
    static Vec3d new_from_to(Vec3d from, Vec3d to) { return {to.x - from.x, to.y - from.y, to.z - from.z}; }

    double operator[](std::uint64_t index) const {
        switch (index) {
            case 0: return x;
            case 1: return y;
            case 2: return z;
            default: panic("Vec3d index out of range");
        }
    }

    // Each evaluates the formula of the same name in formula/vector.hpp.
    inline double dot(Vec3d o) const;
    inline Vec3d cross(Vec3d o) const;
    inline double magnitude_squared() const;
    inline double magnitude() const;
    inline Vec3d normalize() const;
    bool is_unit() const { return std::fabs(magnitude() - 1.0) < kEpsilon; }
    inline double distance_squared(Vec3d o) const;
    double distance_to(Vec3d o) const { return std::sqrt(distance_squared(o)); }

    // Distance to the infinite line through a and b.
    double distance_to_line(Vec3d a, Vec3d b) const {
        const Vec3d d = b - a;
        const Vec3d w = *this - a;
        const double t = d.dot(w) / d.dot(d);
        const Vec3d p{add(a.x, mul(d.x, t)), add(a.y, mul(d.y, t)), add(a.z, mul(d.z, t))};
        return (*this - p).magnitude();
    }
    // Foot of the perpendicular onto the infinite line through r and q.
    Vec3d project_onto_line(Vec3d r, Vec3d q) const {
        const Vec3d d = r - q;
        const Vec3d u = q - *this;
        const double t = d.dot(u) / d.dot(d);
        return {q.x - mul(d.x, t), q.y - mul(d.y, t), q.z - mul(d.z, t)};
    }
    // The normal is used as given; only a unit normal yields a true projection.
    Vec3d project_onto_plane(Vec3d n) const {
        const double k = dot(n);
        return {x - mul(n.x, k), y - mul(n.y, k), z - mul(n.z, k)};
    }
    double scalar_triple_product(Vec3d b, Vec3d c) const { return dot(b.cross(c)); }

    inline Vec3d operator+(Vec3d o) const;
    Vec3d operator-(Vec3d o) const { return {x - o.x, y - o.y, z - o.z}; }
    inline Vec3d operator*(double c) const;
    Vec3d operator/(double c) const { return {x / c, y / c, z / c}; }
    Vec3d operator-() const { return {-x, -y, -z}; }
};

}  // namespace kestrum

#include <string>

namespace kestrum {
// "Vec3d(x, y, z)" with every component in the shortest positional format.
void append_text(std::string& out, const Vec3d& v);
std::string to_text(const Vec3d& v);
}  // namespace kestrum

// The formulas need the complete type; formula/vector.hpp also defines the
// members above that evaluate them.
#include "kestrum/formula/vector.hpp"
