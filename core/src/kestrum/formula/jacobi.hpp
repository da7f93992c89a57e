#pragma once
// Cyclic Jacobi sweeps over a symmetric N x N matrix, in one fixed pivot
// order, so the same input always gives the same bits. Shared by the 3x3
// eigenproblem of plane fits and the 4x4 one of rotation fitting.
#include <cmath>

namespace kestrum::formula {

// Diagonalises `a` in place (its diagonal ends as the eigenvalues) and
// accumulates the rotations into `v` (its columns end as the eigenvectors).
// Each rotation zeroes a[p][q]; an entry too small to change either diagonal
// entry is dropped. Convergence is quadratic: a few sweeps suffice, and
// `max_sweeps` only guards against a pathological cycle.
template <int N>
void jacobi_sweeps(double (&a)[N][N], double (&v)[N][N], int max_sweeps) {
    for (int sweep = 0; sweep < max_sweeps; ++sweep) {
        bool rotated = false;
        for (int p = 0; p < N - 1; ++p)
            for (int q = p + 1; q < N; ++q) {
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
                double t = abs_theta > 1e150 ? 0.5 / abs_theta : 1.0 / (abs_theta + std::sqrt(theta * theta + 1.0));
                if (theta < 0.0) t = -t;
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (int k = 0; k < N; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < N; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                a[p][q] = a[q][p] = 0.0;
                for (int k = 0; k < N; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
        if (!rotated) break;
    }
}

}  // namespace kestrum::formula
