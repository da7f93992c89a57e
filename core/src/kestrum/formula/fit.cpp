#include "kestrum/formula/fit.hpp"

#include "kestrum/eigen4.hpp"

#include <cmath>
#include <limits>

namespace kestrum {

OuterSum add(const OuterSum& a, const OuterSum& b) {
    OuterSum s;
    for (std::size_t t = 0; t < s.size(); ++t) s[t] = kestrum::add(a[t], b[t]);
    return s;
}

Quat markley_mean(const OuterSum& m) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double a[4][4];
    std::size_t t = 0;
    bool any = false;
    for (int r = 0; r < 4; ++r)
        for (int k = r; k < 4; ++k, ++t) {
            if (!std::isfinite(m[t])) return {nan, nan, nan, nan};
            any |= m[t] != 0.0;
            a[r][k] = a[k][r] = m[t];
        }
    if (!any) return {nan, nan, nan, nan};
    const auto e = top_eigenvector(a);
    Quat q{e[0], e[1], e[2], e[3]};
    const double first = q.w != 0.0 ? q.w : q.i != 0.0 ? q.i : q.j != 0.0 ? q.j : q.k;
    if (first < 0.0) q = {-q.w, -q.i, -q.j, -q.k};
    return q.normalize();
}

Quat wahba_rotation(const formula::WahbaSums& sums) {
    const auto& s = sums.s;
    const double sxx = s[0], sxy = s[1], sxz = s[2], syx = s[3], syy = s[4], syz = s[5], szx = s[6], szy = s[7],
                 szz = s[8];
    // Horn's matrix: its top eigenvector (w, x, y, z) rotates a onto b as
    // q v q*; the stored quaternion is its conjugate.
    double n[4][4] = {
        {(sxx + syy) + szz, syz - szy, szx - sxz, sxy - syx},
        {syz - szy, (sxx - syy) - szz, sxy + syx, szx + sxz},
        {szx - sxz, sxy + syx, (syy - sxx) - szz, syz + szy},
        {sxy - syx, szx + sxz, syz + szy, (szz - sxx) - syy},
    };
    for (const auto& row : n)
        for (double e : row)
            if (!std::isfinite(e)) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                return {nan, nan, nan, nan};
            }
    const auto e = top_eigenvector(n);
    const Quat q{e[0], -e[1], -e[2], -e[3]};
    const double m = std::sqrt(formula::norm2<Plain>(q));
    if (q.w < 0.0) return {-q.w / m, -q.i / m, -q.j / m, -q.k / m};
    return {q.w / m, q.i / m, q.j / m, q.k / m};
}

}  // namespace kestrum
