#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kestrum/formula/convert.hpp"

using namespace kestrum;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

namespace {

// Every rotation formula under both arithmetics: a plain result without a
// NaN must be the NaN-ordered bits, and a NaN-ordered result with a NaN must
// have one plain too, so a caller may evaluate Plain first and redo only
// results with a NaN. (Plain may also give NaN where the NaN-ordered result
// has none: arguments beyond the sin/cos and atan2 kernels.)
template <class F>
void expect_plain_matches(const F& f) {
    const auto a = f(Plain{});
    const auto b = f(NanOrdered{});
    if (has_nan(b)) {
        EXPECT_TRUE(has_nan(a));
    }
    if (has_nan(a)) return;
    const double* pa = reinterpret_cast<const double*>(&a);
    const double* pb = reinterpret_cast<const double*>(&b);
    for (std::size_t n = 0; n < sizeof(a) / sizeof(double); ++n)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(pa[n]), std::bit_cast<std::uint64_t>(pb[n])) << n;
}

}  // namespace

TEST(Quat, RotationFormulasGivePlainBitsWhereNotNaN) {
    const double nan = std::nan("");
    const double values[] = {0.5, -0.25, 0.0, -0.0, 1.0, 0.7071067811865476, 1e-300, 3e200, 5e-324, nan, kInf};
    const EulerSeq seqs[] = {*EulerSeq::parse("xyz"), *EulerSeq::parse("ZXZ"), *EulerSeq::parse("yxz")};
    std::uint64_t state = 88172645463325252ull;
    const auto pick = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return values[state % std::size(values)];
    };
    for (int round = 0; round < 3000; ++round) {
        const Quat q{pick(), pick(), pick(), pick()};
        const Quat p{pick(), pick(), pick(), pick()};
        const Vec3d v{pick(), pick(), pick()};
        const Vec3d u{pick(), pick(), pick()};
        const Mat3 m{{{pick(), pick(), pick()}, {pick(), pick(), pick()}, {pick(), pick(), pick()}}};
        const double t = pick();
        const EulerSeq seq = seqs[round % 3];
        expect_plain_matches([&](auto a) { return formula::then<decltype(a)>(q, p); });
        expect_plain_matches([&](auto a) { return formula::inverse<decltype(a)>(q); });
        expect_plain_matches([&](auto a) { return formula::slerp<decltype(a)>(q, p, t); });
        expect_plain_matches([&](auto a) { return formula::angle_to<decltype(a)>(q, p); });
        expect_plain_matches([&](auto a) { return formula::as_matrix<decltype(a)>(q); });
        expect_plain_matches([&](auto a) { return formula::from_matrix<decltype(a)>(m); });
        expect_plain_matches([&](auto a) { return formula::as_rotvec<decltype(a)>(q); });
        expect_plain_matches([&](auto a) { return formula::from_rotvec<decltype(a)>(v); });
        expect_plain_matches([&](auto a) { return formula::as_euler<decltype(a)>(q, seq); });
        expect_plain_matches([&](auto a) {
            return formula::from_euler<decltype(a)>(seq, AngleRadians{v.x}, AngleRadians{v.y}, AngleRadians{v.z});
        });
        expect_plain_matches([&](auto a) { return formula::between<decltype(a)>(v, u); });
    }
}

TEST(Quat, RotationSpecialValues) {
    // The half-turn about x: exact from its matrix, w = +0.
    expect_quat(Quat::from_matrix({{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}), 0.0, 1.0, 0.0, 0.0);
    expect_quat(Quat::from_rotvec({0, 0, 0}), 1.0, 0.0, 0.0, 0.0);
    expect_vec(Quat::identity().as_rotvec(), 0.0, 0.0, 0.0);
    // Subnormal rotation vectors survive the round trip.
    expect_vec(Quat::from_rotvec({1e-323, 0, 0}).as_rotvec(), 1e-323, 0.0, 0.0);
    expect_quat(Quat::between({1, 0, 0}, {-3, 0, 0}), 0.0, 0.0, 0.0, 1.0);
    EXPECT_TRUE(std::isnan(Quat::between({0, 0, 0}, {1, 0, 0}).w));
    EXPECT_TRUE(std::isnan(Quat{0, 0, 0, 0}.inverse().w));
    expect_quat(Quat{0, 0, 0, 1e-200}.inverse(), 0.0, -0.0, -0.0, -1e200);
    EXPECT_FALSE(EulerSeq::parse("xYz"));
    EXPECT_FALSE(EulerSeq::parse("zzx"));
    EXPECT_TRUE(EulerSeq::parse("XYX"));
}
