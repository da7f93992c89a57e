#pragma once
// Rotation fitting: the best-fit rotation of matched vector pairs (Wahba's
// problem) and the mean rotation.
//
// The average of many rotations by Markley's method ("Averaging
// Quaternions", 2007): the unit eigenvector with the largest eigenvalue of
// M = sum of q q^T over the quaternions, which does not depend on each
// quaternion's sign. The sum is split into fixed blocks whose partial sums
// are added in block order, so the result does not depend on who summed
// which block.
#include <array>
#include <cstddef>

#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/formula/vector.hpp"
#include "kestrum/quat.hpp"

namespace kestrum {

// The ten distinct entries of the symmetric 4x4 M, row by row over the upper
// triangle: ww wi wj wk ii ij ik jj jk kk.
using OuterSum = std::array<double, 10>;

inline constexpr std::size_t kMeanBlock = 1024;  // elements per partial sum

// The sum of q q^T over q[0, n), in index order, over the arithmetic A
// (formula/arithmetic.hpp): Plain lets the ten running sums share vector
// registers, NanOrdered fixes which NaN comes out.
template <class A>
OuterSum outer_sum(const Quat* q, std::size_t n) {
    OuterSum s{};
    for (std::size_t e = 0; e < n; ++e) {
        const double w = q[e].w, i = q[e].i, j = q[e].j, k = q[e].k;
        s[0] = A::add(s[0], w * w);
        s[1] = A::add(s[1], A::mul(w, i));
        s[2] = A::add(s[2], A::mul(w, j));
        s[3] = A::add(s[3], A::mul(w, k));
        s[4] = A::add(s[4], i * i);
        s[5] = A::add(s[5], A::mul(i, j));
        s[6] = A::add(s[6], A::mul(i, k));
        s[7] = A::add(s[7], j * j);
        s[8] = A::add(s[8], A::mul(j, k));
        s[9] = A::add(s[9], k * k);
    }
    return s;
}
// a + b, entry by entry.
OuterSum add(const OuterSum& a, const OuterSum& b);

// The eigenvector of M with the largest eigenvalue, normalised, with w >= 0
// (or the first non-zero component positive when w is 0). Cyclic Jacobi
// rotations to full precision. A sum that is not finite (NaN or infinite
// inputs) gives NaN components; so does a zero sum (no rotation to average).
Quat markley_mean(const OuterSum& m);

namespace formula {
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
}  // namespace formula

// The unit rotation q (w >= 0) maximising sum (q.rotate(a)) . b for the pairs
// summed in `sums`: Davenport's q-method, the eigenvector of the largest
// eigenvalue of the symmetric 4x4 matrix built from the sums (Horn's form),
// found by cyclic Jacobi rotations. Every step is a fixed sequence of
// operations, so equal sums give equal bits; when the largest eigenvalue is
// repeated (fewer than two independent directions) the first such
// eigenvector is taken. Non-finite sums give NaN.
Quat wahba_rotation(const formula::WahbaSums& sums);

}  // namespace kestrum
