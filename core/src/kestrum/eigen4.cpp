#include "kestrum/eigen4.hpp"

#include <cmath>

namespace kestrum {

std::array<double, 4> top_eigenvector(double (&a)[4][4]) {
    double v[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    // Each rotation zeroes a[p][q]; an entry too small to change either
    // diagonal entry is dropped. Convergence is quadratic: a handful of
    // sweeps suffice, the cap only guards against a pathological cycle.
    for (int sweep = 0; sweep < 64; ++sweep) {
        bool rotated = false;
        for (int p = 0; p < 3; ++p)
            for (int q = p + 1; q < 4; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0) continue;
                const double g = 100.0 * std::fabs(apq);
                if (std::fabs(a[p][p]) + g == std::fabs(a[p][p]) && std::fabs(a[q][q]) + g == std::fabs(a[q][q])) {
                    a[p][q] = a[q][p] = 0.0;
                    continue;
                }
                rotated = true;
                const double theta = (a[q][q] - a[p][p]) / (apq + apq);
                const double abs_theta = std::fabs(theta);
                // The smaller root of t^2 + 2 theta t - 1 = 0: |angle| <= pi/4.
                double tan = abs_theta > 1e150 ? 0.5 / abs_theta : 1.0 / (abs_theta + std::sqrt(theta * theta + 1.0));
                if (theta < 0.0) tan = -tan;
                const double c = 1.0 / std::sqrt(tan * tan + 1.0);
                const double s = tan * c;
                for (int k = 0; k < 4; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 4; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                a[p][q] = a[q][p] = 0.0;
                for (int k = 0; k < 4; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
        if (!rotated) break;
    }
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (a[k][k] > a[best][best]) best = k;
    return {v[0][best], v[1][best], v[2][best], v[3][best]};
}

}  // namespace kestrum
