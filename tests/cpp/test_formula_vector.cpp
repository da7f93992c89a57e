#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <cmath>
#include <cstdint>

#include "kestrum/formula/vector.hpp"

using namespace kestrum;

// Scaling by a power of two is exact, so a huge or tiny vector (whose squares
// over- or underflow) must have the length and direction of the same vector
// at unit scale, scaled back.
TEST(FormulaVector, LengthAndDirectionIgnorePowerOfTwoScale) {
    std::uint64_t s = 7;
    const auto next = [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s >> 11) * 0x1p-53 - 0.5;
    };
    for (int n = 0; n < 1000; ++n) {
        const Vec3d v{next(), next(), next()};
        const double len = formula::length<NanOrdered>(v);
        const Vec3d dir = formula::direction<NanOrdered>(v);
        for (const int e : {-900, -600, 600, 1000}) {
            const Vec3d w{std::ldexp(v.x, e), std::ldexp(v.y, e), std::ldexp(v.z, e)};
            EXPECT_SAME(formula::length<NanOrdered>(w), std::ldexp(len, e));
            expect_vec(formula::direction<Plain>(w), dir.x, dir.y, dir.z);
        }
    }
}
