#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrum/formula/compose.hpp"

using namespace kestrum;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(Quat, HamiltonProductBasisAndGrouping) {
    expect_quat(Quat{0, 1, 0, 0} * Quat{0, 0, 1, 0}, 0, 0, 0, 1);   // i j = k
    expect_quat(Quat{0, 0, 1, 0} * Quat{0, 1, 0, 0}, 0, 0, 0, -1);  // j i = -k
    expect_quat(Quat{0, 0, 0, 1} * Quat{0, 1, 0, 0}, 0, 0, 1, 0);   // k i = j
    expect_quat(Quat{0, 1, 0, 0} * Quat{0, 1, 0, 0}, -1, 0, 0, 0);
    // At 2^53 each +1 is lost when added on its own, so the sums only come
    // out as below when evaluated strictly left to right.
    const double big = 9007199254740992.0;
    expect_quat(Quat{big, 1, 1, 1} * Quat{1, 1, 1, 1}, big - 3, big - 1, big - 1, big - 1);
    expect_quat(Quat{1, 1, 1, 1} * Quat{big, 1, 1, 1}, big - 3, big - 1, big - 1, big - 1);
}

TEST(Quat, RotationKeepsProductsWithZeroScalar) {
    // Dropping the 0.0-scalar products would leave z at -0 here.
    expect_vec(rotate({0, 0, 0, -1}, {-0.0, 1, -0.0}), 0, -1, 0);
    expect_vec(rotate(Quat::identity(), {-0.0, 2.5, -3}), 0.0, 2.5, -3);
    const double nan = std::nan("");
    expect_vec(rotate(Quat::identity(), {kInf, 0, 0}), nan, nan, nan);
    expect_vec(rotate({2, 0, 0, 0}, {1, 2, 3}), 4, 8, 12);  // never normalises
}

// "q, then p" acts as p's matrix times q's, to within a few ulps.
TEST(FormulaCompose, MatrixOfThenIsTheProduct) {
    std::uint64_t s = 11;
    const auto next = [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s >> 11) * 0x1p-53 - 0.5;
    };
    for (int n = 0; n < 2000; ++n) {
        const Quat q = Quat{next(), next(), next(), next()}.normalize();
        const Quat p = Quat{next(), next(), next(), next()}.normalize();
        const Mat3 a = p.as_matrix(), b = q.as_matrix(), m = q.then(p).as_matrix();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(m[r][c], a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c], 0x1p-49);
    }
}
