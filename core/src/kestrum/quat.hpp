#pragma once
// Quaternion (w scalar first). Nothing here assumes a unit quaternion; a
// non-unit one is used as is (rotation then scales by |q|^2).
#include <array>
#include <cmath>
#include <string>
#include <type_traits>

#include "kestrum/angle.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum {

using Mat3 = std::array<std::array<double, 3>, 3>;

struct AxisAngle {
    Vec3d axis;
    AngleRadians angle;
};

struct Quat {
    double w;
    double i;
    double j;
    double k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }
    // Pure quaternion of a vector.
    static constexpr Quat from_vec3d(Vec3d v) { return {0.0, v.x, v.y, v.z}; }
    // The half angle is negated because rotate() multiplies the conjugate
    // first; together a positive angle turns counterclockwise about the axis.
    // The axis is used as given (not normalised).
    static Quat from_axis_angle(Vec3d axis, AngleRadians angle) {
        const double h = angle.angle * -0.5;
        // The compiler may merge these into one sincos; glibc gives the same bits.
        const double s = std::sin(h);
        const double c = std::cos(h);
        return {c, s * axis.x, s * axis.y, s * axis.z};
    }

    Quat conjugate() const { return {w, -i, -j, -k}; }
    inline double magnitude() const;
    bool is_unit() const { return std::fabs(magnitude() + -1.0) < kEpsilon; }
    inline Quat normalize() const;
    Vec3d to_vec3d() const { return {i, j, k}; }

    AxisAngle to_axis_angle() const;
    Mat3 to_rotation_matrix() const;
    inline Vec3d rotate(Vec3d v) const;

    // "Quat(w, i, j, k)"
    std::string to_string() const;
};

namespace formula {
// Hamilton product a ⊗ b; the term order inside each sum is part of the
// result's last bit.
template <class A>
Quat hamilton(Quat a, Quat b) {
    return {
        ((A::mul(a.w, b.w) - A::mul(a.i, b.i)) - A::mul(a.j, b.j)) - A::mul(a.k, b.k),
        A::add(A::add(A::mul(a.w, b.i), A::mul(a.i, b.w)), A::mul(a.j, b.k)) - A::mul(a.k, b.j),
        A::add(A::add(A::mul(a.w, b.j), A::mul(a.j, b.w)), A::mul(a.k, b.i)) - A::mul(a.i, b.k),
        A::add(A::add(A::mul(a.w, b.k), A::mul(a.k, b.w)), A::mul(a.i, b.j)) - A::mul(a.j, b.i),
    };
}

// conj(q) ⊗ v ⊗ q. The 0.0 scalar of the pure quaternion takes part in every
// product on purpose: it turns an infinite component into NaN everywhere and
// fixes the signs of zero results. Shared by the bulk list rotation, so both
// give identical bits.
template <class A>
Vec3d rotate(Quat q, Vec3d v) {
    const Quat t = hamilton<A>(q.conjugate(), Quat::from_vec3d(v));
    const Quat r = hamilton<A>(t, q);
    return {r.i, r.j, r.k};
}

// Shared by the bulk list operations, so both give identical bits.
template <class A>
double magnitude(Quat q) {
    return std::sqrt(A::add(A::add(A::add(q.w * q.w, q.i * q.i), q.j * q.j), q.k * q.k));
}
template <class A>
Quat normalize(Quat q) {
    const double m = magnitude<A>(q);
    return {q.w / m, q.i / m, q.j / m, q.k / m};
}
}  // namespace formula

inline double Quat::magnitude() const { return formula::magnitude<NanOrdered>(*this); }
inline Quat Quat::normalize() const { return formula::normalize<NanOrdered>(*this); }

inline Quat operator*(Quat a, Quat b) { return formula::hamilton<NanOrdered>(a, b); }
inline Vec3d rotate(Quat q, Vec3d v) { return formula::rotate<NanOrdered>(q, v); }

inline Vec3d Quat::rotate(Vec3d v) const { return kestrum::rotate(*this, v); }

static_assert(std::is_trivially_copyable_v<Quat>);

// "Quat(w, i, j, k)" appended to `out`.
void append_text(std::string& out, const Quat& q);

}  // namespace kestrum
