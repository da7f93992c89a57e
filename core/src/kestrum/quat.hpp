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

static_assert(std::is_trivially_copyable_v<Quat>);

// "Quat(w, i, j, k)" appended to `out`.
void append_text(std::string& out, const Quat& q);

}  // namespace kestrum

// The formulas need the complete type; each formula header also defines the
// members above that evaluate it.
#include "kestrum/formula/compose.hpp"
#include "kestrum/formula/convert.hpp"
