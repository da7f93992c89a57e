#include "kestrum/formula/fit_plane.hpp"

#include <limits>

#include "kestrum/formula/jacobi.hpp"

namespace kestrum {

Eigen3 eigen_symmetric(const Sym3& in) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double scale_max = 0.0;
    for (double e : in) {
        if (!std::isfinite(e)) return {{nan, nan, nan}, {Vec3d{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}};
        scale_max = std::fmax(scale_max, std::fabs(e));
    }
    // Outside [2^-400, 2^400] a power of two brings the largest entry near 1:
    // exact, and no square or product below over- or underflows.
    const int e = scale_max > 0x1p400 || (scale_max < 0x1p-400 && scale_max > 0.0) ? std::ilogb(scale_max) : 0;
    const auto scaled = [e](double x) { return e == 0 ? x : std::ldexp(x, -e); };
    double a[3][3] = {
        {scaled(in[0]), scaled(in[1]), scaled(in[2])}, {0.0, scaled(in[3]), scaled(in[4])}, {0.0, 0.0, scaled(in[5])}};
    a[1][0] = a[0][1];
    a[2][0] = a[0][2];
    a[2][1] = a[1][2];
    double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    formula::jacobi_sweeps(a, v, 32);
    // Ascending by a fixed three-element sort; a tie keeps the column order.
    int o[3] = {0, 1, 2};
    const auto swap_if = [&](int i, int j) {
        if (a[o[j]][o[j]] < a[o[i]][o[i]]) std::swap(o[i], o[j]);
    };
    swap_if(0, 1);
    swap_if(1, 2);
    swap_if(0, 1);
    Eigen3 r;
    for (int i = 0; i < 3; ++i) {
        const int c = o[i];
        r.values[i] = e == 0 ? a[c][c] : std::ldexp(a[c][c], e);
        r.vectors[i] = formula::normalize<Plain>(Vec3d{v[0][c], v[1][c], v[2][c]});
    }
    return r;
}

Vec3d orient_normal(Vec3d n) {
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    const double big = ax >= ay ? (ax >= az ? n.x : n.z) : (ay >= az ? n.y : n.z);
    return big < 0.0 ? -n : n;
}

NormalFit normal_from_scatter(const Sym3& s) {
    const Eigen3 e = eigen_symmetric(s);
    const double l0 = e.values[0] > 0.0 ? e.values[0] : 0.0;
    const double total = (l0 + e.values[1]) + e.values[2];
    const bool separated = e.values[1] - e.values[0] > std::ldexp(e.values[2], -40);
    return {orient_normal(e.vectors[0]), l0 / total, separated};
}

}  // namespace kestrum
