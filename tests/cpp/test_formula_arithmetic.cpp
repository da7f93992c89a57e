#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kestrum/formula/arithmetic.hpp"
#include "kestrum/quat.hpp"

using namespace kestrum;

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

// nan_ordered evaluates Plain and again NanOrdered only for a NaN result: its
// results must be NanOrdered's to the last bit, NaN sign and payload included.
// The inputs mix NaNs of several payloads, infinities and zeros, so that many
// products meet two NaNs, where Plain's choice of NaN may differ.
TEST(NanOrdered, SingleValuesEqualTheNanOrderedFormulaBitForBit) {
    const double specials[] = {std::bit_cast<double>(0x7FF8000000000001ull),
                               std::bit_cast<double>(0xFFF800000000BEEFull),
                               std::bit_cast<double>(0x7FF4000000000123ull),
                               std::bit_cast<double>(0xFFF8000000000000ull),
                               kInf,
                               -kInf,
                               0.0,
                               -0.0,
                               1.5,
                               -0.75};
    std::uint64_t state = 12345;
    const auto pick = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return specials[(state >> 33) % std::size(specials)];
    };
    const auto bits_of = [](const auto& r) {
        std::array<std::uint64_t, sizeof(r) / 8> b{};
        std::memcpy(b.data(), &r, sizeof r);
        return b;
    };
    int plain_differs = 0;
    for (int n = 0; n < 20000; ++n) {
        const Quat q{pick(), pick(), pick(), pick()}, p{pick(), pick(), pick(), pick()};
        const Vec3d v{pick(), pick(), pick()};
        const Vec3d r = q.rotate(v);
        ASSERT_EQ(bits_of(r), bits_of(formula::rotate<NanOrdered>(q, v))) << n;
        ASSERT_EQ(bits_of(q * p), bits_of(formula::hamilton<NanOrdered>(q, p))) << n;
        plain_differs += bits_of(r) != bits_of(formula::rotate<Plain>(q, v));
    }
    EXPECT_GT(plain_differs, 0);  // else these inputs could not tell the two apart
    EXPECT_FALSE(has_nan(Quat{1, 2, 3, 4}));
    EXPECT_TRUE(has_nan(Quat{1, 2, 3, specials[0]}));
    EXPECT_TRUE(has_nan(specials[1]));
}

// The left operand's NaN, quieted, else the right one's, else the default
// NaN: the order as written, whatever order the hardware takes.
TEST(NanOrdered, PicksTheLeftNaN) {
    const double l = std::bit_cast<double>(0xFFF4000000000123ull);
    const double r = std::bit_cast<double>(0x7FF800000000BEEFull);
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    for (const auto op : {&NanOrdered::add, &NanOrdered::sub, &NanOrdered::mul}) {
        EXPECT_EQ(bits(op(l, r)), 0xFFFC000000000123ull);
        EXPECT_EQ(bits(op(r, l)), 0x7FF800000000BEEFull);
        EXPECT_EQ(bits(op(-1.5, l)), 0xFFFC000000000123ull);
    }
    EXPECT_EQ(bits(NanOrdered::add(kInf, -kInf)), 0xFFF8000000000000ull);
}
