#pragma once
// Quaternion (w scalar first). Nothing here assumes a unit quaternion; a
// non-unit one is used as is (rotation then scales by |q|^2).
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kestrum/angle.hpp"
#include "kestrum/kernels.hpp"
#include "kestrum/nan_order.hpp"
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

    // Composition and conversions; each is the formula of the same name in
    // `formula` below, evaluated NaN-ordered.
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

// --- Composition, interpolation and conversions --------------------------
//
// The rotation a quaternion denotes is the one rotate() applies, v -> q* v q.
// That is the conjugate of the quaternion scipy's Rotation and PyGLM store
// for the same rotation, so formulas taken from their convention conjugate
// on the way in or out; negation is exact.

// Sum of squares, w first.
template <class A>
double norm2(Quat q) {
    return A::add(A::add(A::add(q.w * q.w, q.i * q.i), q.j * q.j), q.k * q.k);
}

template <class A>
double dot4(Quat a, Quat b) {
    return A::add(A::add(A::add(A::mul(a.w, b.w), A::mul(a.i, b.i)), A::mul(a.j, b.j)), A::mul(a.k, b.k));
}

// The exponent e that brings v's largest component into [1, 2) when that
// component lies outside [2^-500, 2^500] (its squares would over- or
// underflow); 0 otherwise, and for a zero, infinite or NaN vector.
inline int extreme_exponent(Vec3d v) {
    const double m = std::fmax(std::fabs(v.x), std::fmax(std::fabs(v.y), std::fabs(v.z)));
    if ((m >= 0x1p-500 && m <= 0x1p500) || !(m > 0.0) || std::isinf(m)) return 0;
    return std::ilogb(m);
}
inline Vec3d scale2(Vec3d v, int e) { return {std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e)}; }

// |v|; when the sum of squares leaves [2^-1000, 2^1000] (and v is finite and
// not zero) the components are scaled by a power of two (exact) first, so
// tiny and huge vectors keep their length. Inside that range a component too
// small to square without underflow is below the sum's rounding anyway.
template <class A>
double length(Vec3d v) {
    const double s = magnitude_squared<A>(v);
    if (s >= 0x1p-1000 && s <= 0x1p1000) return std::sqrt(s);
    const int e = extreme_exponent(v);
    if (e == 0) return std::sqrt(s);
    return std::ldexp(magnitude<A>(scale2(v, -e)), e);
}

// v / |v|, the same way: a subnormal or huge vector still has a direction.
template <class A>
Vec3d direction(Vec3d v) {
    const double s = magnitude_squared<A>(v);
    if (!(s >= 0x1p-1000 && s <= 0x1p1000)) {
        const int e = extreme_exponent(v);
        if (e != 0) return normalize<A>(scale2(v, -e));
    }
    const double m = std::sqrt(s);
    return {v.x / m, v.y / m, v.z / m};
}

// "q first, then p": p* (q* v q) p = (q p)* v (q p).
template <class A>
Quat then(Quat q, Quat p) {
    return hamilton<A>(q, p);
}

// q* / |q|^2. A magnitude whose square leaves the normal range is scaled by a
// power of two first, so only the zero quaternion has no inverse (NaN). The
// scaled path is kept out of line so the common one inlines into its caller
// (an out-of-line call cost a third of q.inverse()'s time).
template <class A>
[[gnu::noinline, gnu::cold]] Quat inverse_scaled(Quat q, double n2) {
    const double m = std::fmax(std::fmax(std::fabs(q.w), std::fabs(q.i)), std::fmax(std::fabs(q.j), std::fabs(q.k)));
    if (!(m > 0.0) || std::isinf(m)) return {q.w / n2, -q.i / n2, -q.j / n2, -q.k / n2};
    const int e = std::ilogb(m);
    const Quat s{std::ldexp(q.w, -e), std::ldexp(q.i, -e), std::ldexp(q.j, -e), std::ldexp(q.k, -e)};
    const double s2 = norm2<A>(s);
    return {std::ldexp(s.w / s2, -e), std::ldexp(-s.i / s2, -e), std::ldexp(-s.j / s2, -e), std::ldexp(-s.k / s2, -e)};
}

template <class A>
[[gnu::always_inline]] inline Quat inverse(Quat q) {
    const double n2 = norm2<A>(q);
    if (!(n2 >= 0x1p-1000 && n2 <= 0x1p1000)) [[unlikely]]
        return inverse_scaled<A>(q, n2);
    return {q.w / n2, -q.i / n2, -q.j / n2, -q.k / n2};
}

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
// arguments). A Plain evaluation, which must stay branch-free for bulk
// loops, takes the kernels' results throughout and turns `mark` from +0 to
// NaN where they do not apply; the formula adds the mark where it would add
// +0 anyway (x + +0 and +0 - x are what they were), making its result NaN,
// and the caller's NaN redo (NanOrdered) computes it. Either way the result
// is a function of the arguments alone. Marks are doubles, not bools: GCC
// vectorises bools combined from double comparisons poorly.
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
        mark = mark + redo_mark(((s >= 0x1p-1000) & (s <= 0x1p1000)) |
                                ((v.x == 0.0) & (v.y == 0.0) & (v.z == 0.0)));
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
    const double g = kernels::select(q.w < 0.0, f, -f);  // the stored quaternion is the conjugate
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

// The angle of the rotation taking q to p, in [0, pi]: that of q^-1 p, from
// atan2 of its vector part's length and |w| (no unit magnitude needed).
template <class A>
AngleRadians angle_to(Quat q, Quat p) {
    const Quat r = hamilton<A>(q.conjugate(), p);
    const double h = std::atan2(length<A>({r.i, r.j, r.k}), std::fabs(r.w));
    return {h + h};
}

// Along the shorter arc: p is negated when q . p < 0. t = 0 and t = 1 return
// q and that p unchanged; every other t gives a normalised result. The arc's
// angle is acos(q . p), and below 2^-26 the weights are 1 - t and t. acos
// loses accuracy as q . p nears 1, but only in the common scale of the two
// sines: their ratio, all the normalised result depends on, moves by about
// phi^2 times the angle's error, far below an ulp. For the same reason the
// textbook divisor sin(phi) is never computed. One acos and two independent
// sines keep the chain of dependent steps short. Meant for unit inputs.
template <class A>
Quat slerp(Quat q, Quat p, double t) {
    double c = dot4<A>(q, p);
    if (c < 0.0) {
        p = {-p.w, -p.i, -p.j, -p.k};
        c = -c;
    }
    if (t == 0.0) return q;
    if (t == 1.0) return p;
    const double phi = std::acos(std::fmin(c, 1.0));
    double a, b;
    if (phi < 0x1p-26) {
        a = 1.0 - t;
        b = t;
    } else {
        a = std::sin((1.0 - t) * phi);
        b = std::sin(t * phi);
    }
    const Quat r{A::add(A::mul(a, q.w), A::mul(b, p.w)), A::add(A::mul(a, q.i), A::mul(b, p.i)),
                 A::add(A::mul(a, q.j), A::mul(b, p.j)), A::add(A::mul(a, q.k), A::mul(b, p.k))};
    const double n = std::sqrt(norm2<A>(r));
    return {r.w / n, r.i / n, r.j / n, r.k / n};
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
        const double first = at_zero ? half_sum + half_sum : seq.extrinsic ? -(half_diff + half_diff) : half_diff + half_diff;
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

// --- Best-fit rotation (Wahba's problem) -----------------------------------

// Sum over matched pairs (a, b) of a b^T, row-major: s[3r + c] = sum a_r b_c.
struct WahbaSums {
    std::array<double, 9> s{};
};
template <class A>
void add_pair(WahbaSums& acc, Vec3d a, Vec3d b) {
    const double ar[3] = {a.x, a.y, a.z};
    const double bc[3] = {b.x, b.y, b.z};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) acc.s[3 * r + c] = A::add(acc.s[3 * r + c], A::mul(ar[r], bc[c]));
}
template <class A>
WahbaSums add_sums(WahbaSums l, const WahbaSums& r) {
    for (int e = 0; e < 9; ++e) l.s[e] = A::add(l.s[e], r.s[e]);
    return l;
}

// |m a - b|^2, each row a dot product in x, y, z order.
template <class A>
double residual2(const Mat3& m, Vec3d a, Vec3d b) {
    const Vec3d r{dot<A>({m[0][0], m[0][1], m[0][2]}, a) - b.x, dot<A>({m[1][0], m[1][1], m[1][2]}, a) - b.y,
                  dot<A>({m[2][0], m[2][1], m[2][2]}, a) - b.z};
    return magnitude_squared<A>(r);
}

// Shared by the bulk list operations, so both give identical bits.
template <class A>
double magnitude(Quat q) {
    return std::sqrt(norm2<A>(q));
}
template <class A>
Quat normalize(Quat q) {
    const double m = magnitude<A>(q);
    return {q.w / m, q.i / m, q.j / m, q.k / m};
}
}  // namespace formula

// The unit rotation q (w >= 0) maximising sum (q.rotate(a)) . b for the pairs
// summed in `sums`: Davenport's q-method, the eigenvector of the largest
// eigenvalue of the symmetric 4x4 matrix built from the sums (Horn's form),
// found by cyclic Jacobi rotations. Every step is a fixed sequence of
// operations, so equal sums give equal bits; when the largest eigenvalue is
// repeated (fewer than two independent directions) the first such
// eigenvector is taken. Non-finite sums give NaN.
Quat wahba_rotation(const formula::WahbaSums& sums);

// NanOrdered results, evaluated Plain first (nan_ordered).
inline double Quat::magnitude() const {
    return nan_ordered([&](auto ar) { return formula::magnitude<decltype(ar)>(*this); });
}
inline Quat Quat::normalize() const {
    return nan_ordered([&](auto ar) { return formula::normalize<decltype(ar)>(*this); });
}
inline Quat operator*(Quat a, Quat b) {
    return nan_ordered([&](auto ar) { return formula::hamilton<decltype(ar)>(a, b); });
}
inline Vec3d rotate(Quat q, Vec3d v) {
    return nan_ordered([&](auto ar) { return formula::rotate<decltype(ar)>(q, v); });
}

inline Vec3d Quat::rotate(Vec3d v) const { return kestrum::rotate(*this, v); }
inline Quat Quat::then(Quat p) const {
    return nan_ordered([&](auto ar) { return formula::then<decltype(ar)>(*this, p); });
}
inline Quat Quat::inverse() const {
    return nan_ordered([&](auto ar) { return formula::inverse<decltype(ar)>(*this); });
}
inline Quat Quat::slerp(Quat p, double t) const {
    return nan_ordered([&](auto ar) { return formula::slerp<decltype(ar)>(*this, p, t); });
}
inline AngleRadians Quat::angle_to(Quat p) const {
    return nan_ordered([&](auto ar) { return formula::angle_to<decltype(ar)>(*this, p); });
}
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

static_assert(std::is_trivially_copyable_v<Quat>);

// "Quat(w, i, j, k)" appended to `out`.
void append_text(std::string& out, const Quat& q);

}  // namespace kestrum
