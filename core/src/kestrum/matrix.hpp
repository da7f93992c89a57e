#pragma once
// A 3x3 double matrix as a value (the Python class Mat3): the rows of a
// rotation's matrix, products with vectors and with other matrices.
#include <string>
#include <type_traits>

#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/quat.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum {

struct Matrix3 {
    Mat3 rows;

    inline Vec3d apply(Vec3d v) const;
    inline Matrix3 then_apply(const Matrix3& n) const;  // this matrix times n
    Matrix3 transpose() const {
        const Mat3& m = rows;
        return {{{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}}}};
    }
    // "Mat3([[a, b, c], [d, e, f], [g, h, i]])"
    std::string to_string() const;
};

namespace formula {

// m v; each component is the row's dot product in x, y, z order, as in
// residual2, so m v agrees with rotate(v) to rounding.
template <class A>
Vec3d mat_vec(const Mat3& m, Vec3d v) {
    return {dot<A>({m[0][0], m[0][1], m[0][2]}, v), dot<A>({m[1][0], m[1][1], m[1][2]}, v),
            dot<A>({m[2][0], m[2][1], m[2][2]}, v)};
}

// m n; entry (r, c) is row r of m dotted with column c of n, in that order.
template <class A>
Mat3 mat_mul(const Mat3& m, const Mat3& n) {
    Mat3 out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = dot<A>({m[r][0], m[r][1], m[r][2]}, {n[0][c], n[1][c], n[2][c]});
    return out;
}

}  // namespace formula

inline Vec3d Matrix3::apply(Vec3d v) const {
    return nan_ordered([&](auto ar) { return formula::mat_vec<decltype(ar)>(rows, v); });
}
inline Matrix3 Matrix3::then_apply(const Matrix3& n) const {
    return {nan_ordered([&](auto ar) { return formula::mat_mul<decltype(ar)>(rows, n.rows); })};
}

static_assert(std::is_trivially_copyable_v<Matrix3> && sizeof(Matrix3) == 9 * sizeof(double));

}  // namespace kestrum
