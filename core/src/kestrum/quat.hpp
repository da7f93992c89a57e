#pragma once
// Quaternion (w scalar first). Nothing here assumes a unit quaternion; a
// non-unit one is used as is (rotation then scales by |q|^2).
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "kestrum/angle.hpp"
#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum {

using Mat3 = std::array<std::array<double, 3>, 3>;

struct AxisAngle {
    Vec3d axis;
    AngleRadians angle;
};

// An Euler sequence as scipy's Rotation names it: "xyz" extrinsic (fixed
// axes), "XYZ" intrinsic (body axes); three axes, no two consecutive equal.
struct EulerSeq {
    std::array<std::uint8_t, 3> axes;  // 0 = x, 1 = y, 2 = z
    bool extrinsic;
    static std::optional<EulerSeq> parse(std::string_view text);
};
using EulerAngles = std::array<AngleRadians, 3>;

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

    // Composition and conversions; each evaluates the formula of the same name
    // in formula/compose.hpp or formula/convert.hpp, NaN-ordered.
    inline Quat then(Quat p) const;
    inline Quat inverse() const;
    inline Quat slerp(Quat p, double t) const;
    inline AngleRadians angle_to(Quat p) const;
    inline Mat3 as_matrix() const;
    inline Vec3d as_rotvec() const;
    inline EulerAngles as_euler(EulerSeq seq) const;
    static inline Quat from_matrix(const Mat3& m);
    static inline Quat from_rotvec(Vec3d v);
    static inline Quat from_euler(EulerSeq seq, AngleRadians a, AngleRadians b, AngleRadians c);
    static inline Quat between(Vec3d a, Vec3d b);

    // "Quat(w, i, j, k)"
    std::string to_string() const;
};

// The product and the squared norm, which every quaternion formula builds
// on; here, so that the formula headers below need nothing from each other.
namespace formula {
// Hamilton product a ⊗ b; the term order inside each sum is part of the
// result's last bit.
// Always inlined: rotate, then and slerp all use it, and an out-of-line copy
// (passing both quaternions through memory) doubled q.rotate(v)'s time.
template <class A>
[[gnu::always_inline]] inline Quat hamilton(Quat a, Quat b) {
    return {
        A::sub(A::sub(A::sub(A::mul(a.w, b.w), A::mul(a.i, b.i)), A::mul(a.j, b.j)), A::mul(a.k, b.k)),
        A::sub(A::add(A::add(A::mul(a.w, b.i), A::mul(a.i, b.w)), A::mul(a.j, b.k)), A::mul(a.k, b.j)),
        A::sub(A::add(A::add(A::mul(a.w, b.j), A::mul(a.j, b.w)), A::mul(a.k, b.i)), A::mul(a.i, b.k)),
        A::sub(A::add(A::add(A::mul(a.w, b.k), A::mul(a.k, b.w)), A::mul(a.i, b.j)), A::mul(a.j, b.i)),
    };
}

// Sum of squares, w first.
template <class A>
double norm2(Quat q) {
    return A::add(A::add(A::add(q.w * q.w, q.i * q.i), q.j * q.j), q.k * q.k);
}
}  // namespace formula

static_assert(std::is_trivially_copyable_v<Quat>);

// "Quat(w, i, j, k)" appended to `out`.
void append_text(std::string& out, const Quat& q);

}  // namespace kestrum

// The formulas need the complete type; each formula header also defines the
// members above that evaluate it.
#include "kestrum/formula/compose.hpp"
#include "kestrum/formula/convert.hpp"
