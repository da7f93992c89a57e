#pragma once
// Quaternion composition over an arithmetic A (formula/arithmetic.hpp):
// rotation, then, inverse, angle_to and slerp, and the Quat members
// evaluating them (the product itself is in quat.hpp).
#include <cmath>

#include "kestrum/angle.hpp"
#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/formula/vector.hpp"
#include "kestrum/quat.hpp"

namespace kestrum {

namespace formula {
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

template <class A>
double dot4(Quat a, Quat b) {
    return A::add(A::add(A::add(A::mul(a.w, b.w), A::mul(a.i, b.i)), A::mul(a.j, b.j)), A::mul(a.k, b.k));
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

}  // namespace kestrum
