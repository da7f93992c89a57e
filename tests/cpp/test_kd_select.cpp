// The build's median selection against its contract, over seeded inputs:
// a permutation whose k-th record splits the keys, for sizes on both sides of
// the sampled path and keys with few distinct values (bands of equal keys).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "spatial/kd_tree_select.hpp"

using namespace kestrum::spatial::detail;

TEST(KdSelect, SplitsAtTheKthKeyAsAPermutation) {
    for (unsigned seed = 0; seed < 600; ++seed) {
        std::mt19937_64 g(seed);
        std::uniform_real_distribution<double> u;
        const std::size_t n = 1 + g() % (seed % 4 == 0 ? 50000 : 6000), k = g() % n;
        const unsigned axis = seed % 3;
        RecBuf src(n), dst(n);
        for (std::size_t i = 0; i < n; ++i) {
            // y: 7 values; z: two values half the time, signed zeros among them
            src.p[i] = {u(g), double(g() % 7), seed % 2 ? u(g) : (g() % 2 ? 0.0 : -0.0)};
            src.i[i] = static_cast<std::uint32_t>(i);
        }
        select_into(axis, src.data(), dst.data(), n, k, nullptr);
        std::vector<bool> seen(n);
        const double kth = coord(dst.p[k], axis);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t from = dst.i[i];
            ASSERT_LT(from, n);
            ASSERT_FALSE(seen[from]) << seed;
            seen[from] = true;
            ASSERT_EQ(std::memcmp(&dst.p[i], &src.p[from], sizeof(kestrum::Vec3d)), 0) << seed;
            const double v = coord(dst.p[i], axis);
            ASSERT_TRUE(i < k ? !(v > kth) : i > k ? !(v < kth) : true) << seed << " at " << i;
        }
    }
}
