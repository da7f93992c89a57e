#pragma once
// Plane fitting: the symmetric 3x3 eigenproblem, the sums a least-squares
// plane is made of, and the normal of a neighbourhood.
//
// A fitted plane passes through the centroid c of the points, and its normal
// is the eigenvector of the smallest eigenvalue of the scatter matrix
// S = sum (p - c)(p - c)^T. Every step is a fixed sequence of operations in
// index order, so equal inputs give equal bits, and the sums split into fixed
// blocks whose partial sums are added in block order.
#include <array>
#include <cmath>
#include <cstddef>

#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/vec3d.hpp"

namespace kestrum {

// The six distinct entries of a symmetric 3x3: xx xy xz yy yz zz.
using Sym3 = std::array<double, 6>;

// Eigenvalues ascending (equal ones keep the solver's column order), each
// with its unit eigenvector.
struct Eigen3 {
    std::array<double, 3> values;
    std::array<Vec3d, 3> vectors;
};

// Cyclic Jacobi rotations, pivots (0,1), (0,2), (1,2) in that order, until
// every off-diagonal entry is too small to change its diagonal. Accurate for
// repeated and clustered eigenvalues (the vectors stay orthonormal to
// rounding); the matrix is first scaled by a power of two, so no range of
// finite entries overflows. A non-finite entry gives NaN everywhere.
Eigen3 eigen_symmetric(const Sym3& a);

// The sign convention of every fitted normal: the component largest in
// magnitude is made positive (on a tie, the first of them in x, y, z order).
Vec3d orient_normal(Vec3d n);

// A plane from a scatter matrix: the oriented unit normal, the curvature
// lambda0 / (lambda0 + lambda1 + lambda2) (lambda0 clamped at 0), and whether
// the normal is defined: the two smallest eigenvalues differ by more than
// 2^-40 of the largest (not so for collinear or coincident points).
struct NormalFit {
    Vec3d normal;
    double curvature;
    bool separated;
};
NormalFit normal_from_scatter(const Sym3& s);

namespace formula {

// The finite points of a block: their count and coordinate sums, in index
// order. A point with a NaN or infinite coordinate is skipped (a select, so
// its value never enters a sum).
struct PointSum {
    double count = 0.0;
    Vec3d sum{0.0, 0.0, 0.0};
};
inline bool finite(const Vec3d& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

inline PointSum point_sum(const Vec3d* p, std::size_t n) {
    PointSum s;
    for (std::size_t i = 0; i < n; ++i) {
        const bool keep = finite(p[i]);
        s.count += keep ? 1.0 : 0.0;
        s.sum.x += keep ? p[i].x : 0.0;
        s.sum.y += keep ? p[i].y : 0.0;
        s.sum.z += keep ? p[i].z : 0.0;
    }
    return s;
}
inline PointSum add_sums(PointSum a, const PointSum& b) {
    return {a.count + b.count, {a.sum.x + b.sum.x, a.sum.y + b.sum.y, a.sum.z + b.sum.z}};
}

// sum (p - c)(p - c)^T over the finite points of a block, in index order.
inline void add_scatter(Sym3& s, Vec3d d) {
    s[0] += d.x * d.x;
    s[1] += d.x * d.y;
    s[2] += d.x * d.z;
    s[3] += d.y * d.y;
    s[4] += d.y * d.z;
    s[5] += d.z * d.z;
}
inline Sym3 scatter_sum(const Vec3d* p, std::size_t n, Vec3d c) {
    Sym3 s{};
    for (std::size_t i = 0; i < n; ++i) {
        const bool keep = finite(p[i]);
        add_scatter(s, keep ? p[i] - c : Vec3d{0.0, 0.0, 0.0});
    }
    return s;
}
inline Sym3 add_sums(Sym3 a, const Sym3& b) {
    for (std::size_t t = 0; t < a.size(); ++t) a[t] += b[t];
    return a;
}

}  // namespace formula

}  // namespace kestrum
