#include "kestrum/quat_mean.hpp"

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

}  // namespace kestrum
