#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kestrum/formula/fit_plane.hpp"
#include "kestrum/quat.hpp"

using namespace kestrum;

namespace {

// Q diag(l) Q^T for a random rotation Q.
Sym3 with_eigenvalues(std::mt19937_64& rng, const double (&l)[3]) {
    std::normal_distribution<double> g;
    const Mat3 q = Quat{g(rng), g(rng), g(rng), g(rng)}.normalize().as_matrix();
    Sym3 s{};
    const int at[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int t = 0; t < 6; ++t)
        for (int k = 0; k < 3; ++k) s[t] += q[at[t][0]][k] * l[k] * q[at[t][1]][k];
    return s;
}

}  // namespace

// Eigenpairs of random, repeated and clustered spectra at every scale: the
// residual |S v - l v|, orthonormality and the trace, relative to |S|.
TEST(FitPlane, EigenpairsOfRandomAndRepeatedSpectra) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double spectra[][3] = {{0.1, 0.5, 1.0},          {1.0, 1.0, 1.0},  {0.0, 0.0, 1.0},    {0.0, 1.0, 1.0},
                                 {1e-12, 1.0, 1.0 + 1e-9}, {-1.0, 0.0, 1.0}, {1e-30, 1e-20, 1.0}};
    for (int trial = 0; trial < 400; ++trial) {
        const int exps[] = {-1000, -500, 0, 500, 1021};  // near underflow to near overflow
        const double scale = std::ldexp(1.0, exps[trial % 5]);
        Sym3 s = trial < 7 * 20 ? with_eigenvalues(rng, spectra[trial % 7])
                                : Sym3{u(rng), u(rng), u(rng), u(rng), u(rng), u(rng)};
        for (double& e : s) e *= scale;
        double norm = 0.0;
        for (double e : s) norm = std::fmax(norm, std::fabs(e));
        const double at[3][3] = {{s[0] / norm, s[1] / norm, s[2] / norm},
                                 {s[1] / norm, s[3] / norm, s[4] / norm},
                                 {s[2] / norm, s[4] / norm, s[5] / norm}};
        const Eigen3 e = eigen_symmetric(s);
        EXPECT_LE(e.values[0], e.values[1]);
        EXPECT_LE(e.values[1], e.values[2]);
        EXPECT_NEAR((e.values[0] / norm + e.values[1] / norm) + e.values[2] / norm, (at[0][0] + at[1][1]) + at[2][2],
                    1e-14);
        for (int i = 0; i < 3; ++i) {
            const Vec3d v = e.vectors[i];
            const double c[3] = {v.x, v.y, v.z};
            for (int r = 0; r < 3; ++r) {
                const double sv = at[r][0] * c[0] + at[r][1] * c[1] + at[r][2] * c[2];
                EXPECT_NEAR(sv, e.values[i] / norm * c[r], 1e-14) << trial;
            }
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(v.dot(e.vectors[j]), i == j ? 1.0 : 0.0, 1e-15);
        }
    }
}

TEST(FitPlane, OrientationAndNonFiniteInput) {
    // The largest component positive; a tie goes to the first axis.
    const Vec3d n = orient_normal({0.6, -0.8, 0.0});
    EXPECT_EQ(n.y, 0.8);
    EXPECT_EQ(orient_normal({-0.5, 0.5, 0.0}).x, 0.5);
    EXPECT_EQ(orient_normal({0.0, -0.0, -1.0}).z, 1.0);
    const Eigen3 e = eigen_symmetric({1.0, 0.0, 0.0, std::nan(""), 0.0, 1.0});
    EXPECT_TRUE(std::isnan(e.values[0]) && std::isnan(e.vectors[0].x));
    EXPECT_FALSE(normal_from_scatter({1.0, 1.0, 1.0, 1.0, 1.0, 1.0}).separated);  // rank one: a line
    EXPECT_FALSE(normal_from_scatter({}).separated);                              // coincident points
}
