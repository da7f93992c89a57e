#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <cmath>

#include "kestrum/formula/fit.hpp"

using namespace kestrum;

TEST(Fit, WahbaOfNothingAndOfNaN) {
    // A Wahba fit of nothing is the identity; of NaN, NaN.
    const Quat q = wahba_rotation({});
    EXPECT_SAME(q.w, 1.0);
    EXPECT_SAME(q.i, -0.0);
    EXPECT_SAME(q.j, -0.0);
    EXPECT_SAME(q.k, -0.0);
    formula::WahbaSums bad;
    bad.s[4] = std::nan("");
    EXPECT_TRUE(std::isnan(wahba_rotation(bad).w));
}
