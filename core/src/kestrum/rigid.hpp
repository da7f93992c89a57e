#pragma once
// A rigid motion: a rotation followed by a translation, x -> q.rotate(x) + t.
// Nothing assumes a unit rotation; a non-unit q scales as Quat.rotate does.
#include <array>
#include <optional>
#include <string>
#include <type_traits>

#include "kestrum/formula/compose.hpp"
#include "kestrum/formula/vector.hpp"
#include "kestrum/quat.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum {

struct RigidTransform {
    Quat rotation;
    Vec3d translation;

    static constexpr RigidTransform identity() { return {Quat::identity(), {0.0, 0.0, 0.0}}; }

    inline Vec3d apply(Vec3d x) const;
    // Self first, then `o`: x -> o.apply(apply(x)).
    inline RigidTransform then(const RigidTransform& o) const;
    inline RigidTransform inverse() const;
    // The homogeneous 4x4 matrix, row by row: the rotation block is
    // rotation.as_matrix(), the last column the translation.
    std::array<double, 16> as_matrix() const;

    // "RigidTransform(Quat(w, i, j, k), Vec3d(x, y, z))"
    std::string to_string() const;
};
static_assert(std::is_trivially_copyable_v<RigidTransform> && sizeof(RigidTransform) == 7 * sizeof(double));

// A 4x4 matrix (row by row) as a transform, or why it is not one. The
// bottom row must be exactly (0, 0, 0, 1) and the translation finite. The
// block is a rotation when every entry of B^T B - I is within kRotationSlack
// of 0 (a product of a few rotations computed in double stays well inside;
// a block printed to six digits does not) and det B > 0; its quaternion is
// Quat::from_matrix of the block (unit, w >= 0).
inline constexpr double kRotationSlack = 64 * 0x1p-52;
struct MatrixCheck {
    std::optional<RigidTransform> transform;
    std::string error;
};
MatrixCheck from_matrix(const std::array<double, 16>& m);

namespace formula {
// q.rotate(x), then + t, in that order: the bulk apply shares it.
template <class A>
[[gnu::always_inline]] inline Vec3d apply(const RigidTransform& r, Vec3d x) {
    return sum<A>(rotate<A>(r.rotation, x), r.translation);
}
// Rotation q then p; the translation is p's image of t.
template <class A>
RigidTransform then(const RigidTransform& a, const RigidTransform& b) {
    return {then<A>(a.rotation, b.rotation), apply<A>(b, a.translation)};
}
// q^-1 and -(q^-1 rotate t).
template <class A>
RigidTransform inverse(const RigidTransform& r) {
    const Quat qi = inverse<A>(r.rotation);
    const Vec3d t = rotate<A>(qi, r.translation);
    return {qi, {-t.x, -t.y, -t.z}};
}
}  // namespace formula

inline Vec3d RigidTransform::apply(Vec3d x) const {
    return nan_ordered([&](auto a) { return formula::apply<decltype(a)>(*this, x); });
}
inline RigidTransform RigidTransform::then(const RigidTransform& o) const {
    return nan_ordered([&](auto a) { return formula::then<decltype(a)>(*this, o); });
}
inline RigidTransform RigidTransform::inverse() const {
    return nan_ordered([&](auto a) { return formula::inverse<decltype(a)>(*this); });
}

}  // namespace kestrum
