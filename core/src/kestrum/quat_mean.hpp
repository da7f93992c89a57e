#pragma once
// The average of many rotations by Markley's method ("Averaging
// Quaternions", 2007): the unit eigenvector with the largest eigenvalue of
// M = sum of q q^T over the quaternions, which does not depend on each
// quaternion's sign. The sum is split into fixed blocks whose partial sums
// are added in block order, so the result does not depend on who summed
// which block.
#include <array>
#include <cstddef>

#include "kestrum/quat.hpp"

namespace kestrum {

// The ten distinct entries of the symmetric 4x4 M, row by row over the upper
// triangle: ww wi wj wk ii ij ik jj jk kk.
using OuterSum = std::array<double, 10>;

inline constexpr std::size_t kMeanBlock = 1024;  // elements per partial sum

// The sum of q q^T over q[0, n), in index order, over the arithmetic A
// (nan_order.hpp): Plain lets the ten running sums share vector registers,
// NanOrdered fixes which NaN comes out.
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

}  // namespace kestrum
