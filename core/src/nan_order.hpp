#pragma once
// Sums and products whose NaN result does not depend on operand order.
//
// When both operands of an SSE add or multiply are NaNs, the hardware returns
// the first source operand (quieted). C++ leaves NaN payloads unspecified, so
// the compiler may emit `a + b` with either operand first, and it does choose
// differently in a vectorised loop body, its scalar remainder and a lone
// scalar call. If the left operand is a NaN, the right one is replaced by it:
// then every emission order gives the left NaN, and otherwise the operation is
// exactly commutative (one NaN propagates whichever side it is on; inf - inf
// and 0 * inf give the same default NaN both ways). Non-NaN results are the
// plain IEEE results, bit for bit.
namespace kestrum {

inline double add(double a, double b) { return a + (a != a ? a : b); }
inline double mul(double a, double b) { return a * (a != a ? a : b); }

}  // namespace kestrum
