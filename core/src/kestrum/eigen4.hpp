#pragma once
// The dominant eigenvector of a symmetric 4x4 matrix, as both quaternion fits
// need it: Quat.align (Davenport's q-method) and QuatList.mean (Markley's
// average).
#include <array>

namespace kestrum {

// The eigenvector of the largest eigenvalue of the symmetric `a` (the lowest
// index wins a tie), by cyclic Jacobi rotations to full precision; `a` is
// overwritten. Every step is a fixed sequence of operations, so equal inputs
// give equal bits. The vector is unit up to the rotations' rounding.
std::array<double, 4> top_eigenvector(double (&a)[4][4]);

}  // namespace kestrum
