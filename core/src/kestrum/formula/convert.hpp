#pragma once
// Conversions between a quaternion and a rotation matrix, a rotation vector,
// Euler angles and a pair of directions, over an arithmetic A
// (formula/arithmetic.hpp), in the convention stated in formula/compose.hpp;
// and the Quat members evaluating them.
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "kestrum/angle.hpp"
#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/formula/vector.hpp"
#include "kestrum/kernels.hpp"
#include "kestrum/quat.hpp"

namespace kestrum {

namespace formula {
// The matrix of v -> q* v q acting on column vectors, in the homogeneous form
// (w^2 + i^2 - j^2 - k^2 on the diagonal), so m v equals rotate(v) up to
// rounding for any magnitude. For a unit q it is the transpose of
// to_rotation_matrix(). Doubling is x + x, exact.
template <class A>
Mat3 as_matrix(Quat q) {
    const double ww = q.w * q.w, ii = q.i * q.i, jj = q.j * q.j, kk = q.k * q.k;
    const double ij = A::mul(q.i, q.j), ik = A::mul(q.i, q.k), jk = A::mul(q.j, q.k);
    const double wi = A::mul(q.w, q.i), wj = A::mul(q.w, q.j), wk = A::mul(q.w, q.k);
    const double xy_p = A::add(ij, wk), xy_m = ij - wk;
    const double xz_p = A::add(ik, wj), xz_m = ik - wj;
    const double yz_p = A::add(jk, wi), yz_m = jk - wi;
    return {{
        {(A::add(ww, ii) - jj) - kk, A::add(xy_p, xy_p), A::add(xz_m, xz_m)},
        {A::add(xy_m, xy_m), A::add(ww - ii, jj) - kk, A::add(yz_p, yz_p)},
        {A::add(xz_p, xz_p), A::add(yz_m, yz_m), A::add((ww - ii) - jj, kk)},
    }};
}

// The unit quaternion with w >= 0 of the rotation m applies (m acts on
// column vectors). Markley's method: of the four candidate components the
// largest (by the diagonal and the trace) is computed from the diagonal, the
// others from sums and differences of opposite entries, so half-turns are as
// exact as any rotation; then the four are normalised. For a matrix that is
// only nearly orthonormal the result is that normalised candidate, which is
// within about the matrix's departure from orthonormality of the nearest
// rotation (it is not the polar decomposition).
template <class A>
Quat from_matrix(const Mat3& m) {
    const double tr = A::add(A::add(m[0][0], m[1][1]), m[2][2]);
    int c = 0;
    if (m[1][1] > m[c][c]) c = 1;
    if (m[2][2] > m[c][c]) c = 2;
    double v[4];  // i, j, k, w
    if (tr > m[c][c]) {
        v[0] = m[1][2] - m[2][1];
        v[1] = m[2][0] - m[0][2];
        v[2] = m[0][1] - m[1][0];
        v[3] = A::add(1.0, tr);
    } else {
        const int i = c, j = (i + 1) % 3, k = (j + 1) % 3;
        v[i] = A::add(1.0 - tr, A::add(m[i][i], m[i][i]));
        v[j] = A::add(m[i][j], m[j][i]);
        v[k] = A::add(m[i][k], m[k][i]);
        v[3] = m[j][k] - m[k][j];
    }
    const Quat q{v[3], v[0], v[1], v[2]};
    const double n = std::sqrt(norm2<A>(q));
    if (q.w < 0.0) return {-q.w / n, -q.i / n, -q.j / n, -q.k / n};
    return {q.w / n, q.i / n, q.j / n, q.k / n};
}

// The kernels where they apply, std:: elsewhere (huge, tiny, inf or NaN
// arguments); Plain takes the kernels' results throughout and marks the
// rest for the redo (formula/arithmetic.hpp). Marks are doubles, not bools:
// GCC vectorises bools combined from double comparisons poorly.
[[gnu::always_inline]] inline double redo_mark(bool direct) {
    return kernels::select_bits(direct, 0.0, std::numeric_limits<double>::quiet_NaN());
}

template <class A>
[[gnu::always_inline]] inline kernels::SinCos sin_cos(double x, double& mark) {
    const bool in_range = kernels::sin_cos_in_range(x);
    if constexpr (std::is_same_v<A, Plain>) {
        mark = mark + redo_mark(in_range);
        return kernels::sin_cos(x);
    } else {
        if (in_range) return kernels::sin_cos(x);
        return {std::sin(x), std::cos(x)};
    }
}

// atan2(y, x) for y, x >= 0 (or NaN), the same way.
template <class A>
[[gnu::always_inline]] inline double atan2_q1(double y, double x, double& mark) {
    const bool in_range = kernels::atan2_in_range(y, x);
    if constexpr (std::is_same_v<A, Plain>) {
        mark = mark + redo_mark(in_range);
        return kernels::atan2(y, x);
    } else {
        return in_range ? kernels::atan2(y, x) : std::atan2(y, x);
    }
}

// length(v), the same way: Plain takes the unscaled sum of squares, right
// unless it leaves [2^-1000, 2^1000] for a nonzero v.
template <class A>
[[gnu::always_inline]] inline double length_or_redo(Vec3d v, double& mark) {
    if constexpr (std::is_same_v<A, Plain>) {
        const double s = magnitude_squared<A>(v);
        mark = mark + redo_mark(((s >= 0x1p-1000) & (s <= 0x1p1000)) | ((v.x == 0.0) & (v.y == 0.0) & (v.z == 0.0)));
        return std::sqrt(s);
    } else {
        return length<A>(v);
    }
}

// Axis times angle, the angle in [0, pi] from atan2 (accurate at every
// angle, unlike acos near 0). Below a vector part of 2^-26 |w| the factor
// angle / |vector| is 2 / |w| to within half an ulp, which keeps tiny and
// subnormal rotations exact and avoids 0 / 0 at the identity. Zero
// components come out +0. Both factors are computed and one chosen, so a
// loop over this vectorises; inlined always, so that it is the loop's own
// instruction set copy that runs.
template <class A>
[[gnu::always_inline]] inline Vec3d as_rotvec(Quat q) {
    double mark = 0.0, angle_mark = 0.0;
    const double n = length_or_redo<A>({q.i, q.j, q.k}, mark);
    const double aw = std::fabs(q.w);
    const double h = atan2_q1<A>(n, aw, angle_mark);
    const bool tiny = n < 0x1p-26 * aw;
    const double f = kernels::select_bits(tiny, 2.0 / aw, (h + h) / n);
    const double g = kernels::select(q.w < 0.0, f, -f);                      // the stored quaternion is the conjugate
    const double zero = mark + kernels::select_bits(tiny, 0.0, angle_mark);  // the angle only counts if used
    return {A::add(A::mul(q.i, g), zero), A::add(A::mul(q.j, g), zero), A::add(A::mul(q.k, g), zero)};
}

// |v| radians about v, counterclockwise like from_axis_angle. Below |v| =
// 2^-26, sin(|v|/2) / |v| is 1/2 to within half an ulp; the zero vector gives
// (1, 0, 0, 0) exactly. Inlined always, as as_rotvec.
template <class A>
[[gnu::always_inline]] inline Quat from_rotvec(Vec3d v) {
    double mark = 0.0;
    const double t = length_or_redo<A>(v, mark);
    const kernels::SinCos h = sin_cos<A>(t * 0.5, mark);
    double s;
    if constexpr (std::is_same_v<A, Plain>) {
        // Unmarked, t is 0 or above 2^-500; below 2^-26 the kernel's
        // sin(t/2) is t/2 exactly, so the quotient is 1/2 already, and for
        // t = 0 any finite s gives the same result. No choice after the
        // division: a single call is not kept waiting.
        s = h.sin / kernels::select_bits(t == 0.0, 1.0, t);
    } else {
        s = t < 0x1p-26 ? 0.5 : h.sin / t;
    }
    return {h.cos, mark - A::mul(s, v.x), mark - A::mul(s, v.y), mark - A::mul(s, v.z)};
}

// The shortest-arc unit rotation taking the direction of a to that of b.
// With unit u, v: cos(angle/2) = |u + v| / 2 and sin(angle/2) = |u - v| / 2,
// both free of cancellation, about the axis of (u + v) x u (the conjugate's
// u x v). When that cross product is zero the axis is u x e, e the
// coordinate axis u is least along (the first of equals): so antiparallel
// directions give a half-turn about a fixed perpendicular axis, and equal
// ones the identity. A zero or non-finite vector gives NaN. Near
// antiparallel the axis is ill-conditioned: rounding in the unit vectors
// moves the result by about 2^-52 / cos(angle / 2).
template <class A>
Quat between(Vec3d a, Vec3d b) {
    const Vec3d u = direction<A>(a);
    const Vec3d v = direction<A>(b);
    const double c = magnitude<A>(sum<A>(u, v));
    const double s = magnitude<A>(u - v);
    Vec3d x = cross<A>(sum<A>(u, v), u);
    const double xn = magnitude<A>(x);
    if (xn == 0.0) {
        const double ax = std::fabs(u.x), ay = std::fabs(u.y), az = std::fabs(u.z);
        const Vec3d e = (ax <= ay && ax <= az) ? Vec3d::i() : (ay <= az ? Vec3d::j() : Vec3d::k());
        x = normalize<A>(cross<A>(u, e));
    } else {
        x = {x.x / xn, x.y / xn, x.z / xn};
    }
    const Quat q{c, A::mul(s, x.x), A::mul(s, x.y), A::mul(s, x.z)};
    const double m = std::sqrt(norm2<A>(q));
    return {q.w / m, q.i / m, q.j / m, q.k / m};
}

// One turn by `angle` about coordinate axis `axis`, as from_axis_angle makes it.
inline Quat elementary(std::uint8_t axis, double angle) {
    const double h = angle * -0.5;
    const double s = std::sin(h);
    Quat q{std::cos(h), 0.0, 0.0, 0.0};
    (axis == 0 ? q.i : axis == 1 ? q.j : q.k) = s;
    return q;
}

// scipy's from_euler: extrinsic "abc" turns about fixed a, then b, then c,
// so it is ea.then(eb).then(ec); intrinsic "ABC" is the same turns about body
// axes, ec.then(eb.then(ea)). Association as in scipy.
template <class A>
Quat from_euler(EulerSeq seq, AngleRadians a, AngleRadians b, AngleRadians c) {
    const Quat e0 = elementary(seq.axes[0], a.angle);
    const Quat e1 = elementary(seq.axes[1], b.angle);
    const Quat e2 = elementary(seq.axes[2], c.angle);
    if (seq.extrinsic) return hamilton<A>(hamilton<A>(e0, e1), e2);
    return hamilton<A>(e2, hamilton<A>(e1, e0));
}

// scipy's as_euler (the direct quaternion method of Bernardes and Viollet):
// first and third angles in [-pi, pi], the second in [0, pi] for proper
// (repeated-axis) sequences and [-pi/2, pi/2] otherwise. When the second
// angle is within 1e-7 of 0 or pi (before the -pi/2 shift of the non-proper
// ones) the rotation is in gimbal lock and the third angle is set to 0.
template <class A>
EulerAngles as_euler(Quat q, EulerSeq seq) {
    const double v[3] = {-q.i, -q.j, -q.k};  // scipy's (x, y, z) of the same rotation
    const double w = q.w;
    int i = seq.axes[0], j = seq.axes[1], k = seq.axes[2];
    if (!seq.extrinsic) std::swap(i, k);
    const bool proper = i == k;
    if (proper) k = 3 - i - j;
    const double sign = ((i - j) * (j - k) * (k - i)) > 0 ? 1.0 : -1.0;
    double a, b, c, d;
    if (proper) {
        a = w;
        b = v[i];
        c = v[j];
        d = A::mul(v[k], sign);
    } else {
        a = w - v[j];
        b = A::add(v[i], A::mul(v[k], sign));
        c = A::add(v[j], w);
        d = A::mul(v[k], sign) - v[i];
    }
    // length() rather than hypot: a square root of the sum of squares, with
    // hypot's care for over- and underflow only where the squares need it.
    const double h = std::atan2(length<A>({c, d, 0.0}), length<A>({a, b, 0.0}));
    double t2 = h + h;
    const bool at_zero = std::fabs(t2) <= 1e-7;
    const bool at_pi = std::fabs(t2 - kPi) <= 1e-7;
    const double half_sum = std::atan2(b, a);
    const double half_diff = std::atan2(d, c);
    double t1, t3;
    if (!at_zero && !at_pi) {
        t1 = half_sum - half_diff;
        t3 = A::add(half_sum, half_diff);
    } else {
        // Only the sum (at 0) or the difference (at pi) of the outer angles
        // is defined; the last angle applied is 0.
        const double first = at_zero         ? half_sum + half_sum
                             : seq.extrinsic ? -(half_diff + half_diff)
                                             : half_diff + half_diff;
        t1 = seq.extrinsic ? first : 0.0;
        t3 = seq.extrinsic ? 0.0 : first;
    }
    if (!proper) {
        t3 = A::mul(t3, sign);
        t2 = t2 - 1.5707963267948966;
    }
    if (!seq.extrinsic) std::swap(t1, t3);
    EulerAngles out{AngleRadians{t1}, AngleRadians{t2}, AngleRadians{t3}};
    for (AngleRadians& t : out) {
        if (t.angle < -kPi) {
            t.angle = t.angle + 6.283185307179586;
        } else if (t.angle > kPi) {
            t.angle = t.angle - 6.283185307179586;
        }
    }
    return out;
}
}  // namespace formula

// NanOrdered results, evaluated Plain first (nan_ordered).
inline Mat3 Quat::as_matrix() const {
    return nan_ordered([&](auto ar) { return formula::as_matrix<decltype(ar)>(*this); });
}
inline Vec3d Quat::as_rotvec() const {
    return nan_ordered([&](auto ar) { return formula::as_rotvec<decltype(ar)>(*this); });
}
inline EulerAngles Quat::as_euler(EulerSeq seq) const {
    return nan_ordered([&](auto ar) { return formula::as_euler<decltype(ar)>(*this, seq); });
}
inline Quat Quat::from_matrix(const Mat3& m) {
    return nan_ordered([&](auto ar) { return formula::from_matrix<decltype(ar)>(m); });
}
inline Quat Quat::from_rotvec(Vec3d v) {
    return nan_ordered([&](auto ar) { return formula::from_rotvec<decltype(ar)>(v); });
}
inline Quat Quat::from_euler(EulerSeq seq, AngleRadians a, AngleRadians b, AngleRadians c) {
    return nan_ordered([&](auto ar) { return formula::from_euler<decltype(ar)>(seq, a, b, c); });
}
inline Quat Quat::between(Vec3d a, Vec3d b) {
    return nan_ordered([&](auto ar) { return formula::between<decltype(ar)>(a, b); });
}

}  // namespace kestrum
