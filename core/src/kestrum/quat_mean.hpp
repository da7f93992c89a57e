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

// The sum of q q^T over q[0, n), in index order.
OuterSum outer_sum(const Quat* q, std::size_t n);
// a + b, entry by entry.
OuterSum add(const OuterSum& a, const OuterSum& b);

// The eigenvector of M with the largest eigenvalue, normalised, with w >= 0
// (or the first non-zero component positive when w is 0). Cyclic Jacobi
// rotations to full precision. A sum that is not finite (NaN or infinite
// inputs) gives NaN components; so does a zero sum (no rotation to average).
Quat markley_mean(const OuterSum& m);

}  // namespace kestrum
