#pragma once
// Typed angles. Values are never wrapped, clamped or normalised: 7 rad stays
// 7 rad. Conversions multiply first and divide second, never by a
// precomputed factor, which fixes the last bit of every result.
#include <cmath>
#include <compare>
#include <string>
#include <type_traits>

#include "kestrum/vec3d.hpp"

namespace kestrum {

// The double nearest the true pi.
inline constexpr double kPi = 3.141592653589793;

struct AngleDegrees;

struct AngleRadians {
    double angle;

    // Stored values, each exactly the double quotient/product of kPi, so
    // third_pi and sixth_pi sit one ulp below the nearest-to-true doubles.
    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {kPi}; }
    static constexpr AngleRadians two_pi() { return {6.283185307179586}; }
    static constexpr AngleRadians half_pi() { return {1.5707963267948966}; }
    static constexpr AngleRadians third_pi() { return {1.0471975511965976}; }
    static constexpr AngleRadians quarter_pi() { return {0.7853981633974483}; }
    static constexpr AngleRadians sixth_pi() { return {0.5235987755982988}; }

    inline AngleDegrees to_degrees() const;

    double sin() const { return std::sin(angle); }
    double cos() const { return std::cos(angle); }
    double tan() const { return std::tan(angle); }
    // Reciprocals of the library functions; cot is deliberately not cos/sin.
    double sec() const { return 1.0 / std::cos(angle); }
    double csc() const { return 1.0 / std::sin(angle); }
    double cot() const { return 1.0 / std::tan(angle); }

    AngleRadians operator+(AngleRadians o) const { return {angle + o.angle}; }
    AngleRadians operator-(AngleRadians o) const { return {angle - o.angle}; }
    AngleRadians operator*(double s) const { return {s * angle}; }
    AngleRadians operator/(double s) const { return {angle / s}; }
    AngleRadians operator-() const { return {-angle}; }

    // Plain IEEE comparisons: exact, NaN unordered, 0.0 == -0.0.
    bool operator==(const AngleRadians&) const = default;
    auto operator<=>(const AngleRadians&) const = default;

    // "<num> radians"
    std::string to_string() const;
};

struct AngleDegrees {
    double angle;

    AngleRadians to_radians() const { return {(angle * kPi) / 180.0}; }

    // "<num>°" (degree sign in UTF-8)
    std::string to_string() const;
};

inline AngleDegrees AngleRadians::to_degrees() const { return {(angle * 180.0) / kPi}; }

// Angle between two vectors. Rounding can push the cosine of (nearly)
// parallel vectors just past +-1, where acos is NaN, so it is clamped first;
// written as comparisons so a NaN cosine (a zero vector) passes through
// unchanged, which std::fmin/fmax would not do.
inline AngleRadians angle_to(Vec3d self, Vec3d other) {
    const double c = self.dot(other) / (self.magnitude() * other.magnitude());
    return {std::acos(c > 1.0 ? 1.0 : c < -1.0 ? -1.0 : c)};
}

static_assert(std::is_trivially_copyable_v<AngleRadians>);
static_assert(std::is_trivially_copyable_v<AngleDegrees>);
static_assert(AngleRadians::two_pi().angle == kPi * 2.0);
static_assert(AngleRadians::half_pi().angle == kPi / 2.0);
static_assert(AngleRadians::third_pi().angle == kPi / 3.0);
static_assert(AngleRadians::quarter_pi().angle == kPi / 4.0);
static_assert(AngleRadians::sixth_pi().angle == kPi / 6.0);

}  // namespace kestrum
