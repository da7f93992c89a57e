#include <gtest/gtest.h>

#include "same_bits.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kestrum/angle.hpp"
#include "kestrum/quat.hpp"

using namespace kestrum;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

void expect_quat(Quat q, double w, double i, double j, double k) {
    EXPECT_SAME(q.w, w);
    EXPECT_SAME(q.i, i);
    EXPECT_SAME(q.j, j);
    EXPECT_SAME(q.k, k);
}

}  // namespace

TEST(Angle, ConversionsMultiplyThenDivide) {
    EXPECT_SAME(AngleRadians::third_pi().to_degrees().angle, 59.99999999999999);
    EXPECT_SAME(AngleRadians::sixth_pi().to_degrees().angle, 29.999999999999996);
    EXPECT_SAME(AngleRadians::pi().to_degrees().angle, 180.0);
    EXPECT_SAME(AngleRadians::half_pi().to_degrees().angle, 90.0);
    EXPECT_SAME(AngleRadians::quarter_pi().to_degrees().angle, 45.0);
    EXPECT_SAME(AngleRadians::two_pi().to_degrees().angle, 360.0);
    EXPECT_SAME(AngleRadians{1.1}.to_degrees().angle, 63.02535746439057);
    EXPECT_SAME(AngleDegrees{19.0}.to_radians().angle, 0.3316125578789226);
    EXPECT_SAME(AngleDegrees{33.0}.to_radians().angle, 0.5759586531581288);
    EXPECT_SAME(AngleDegrees{720.0}.to_radians().angle, 12.566370614359172);
}

TEST(Angle, TrigReciprocalsAndArithmetic) {
    EXPECT_SAME(AngleRadians{0.0}.cot(), kInf);
    EXPECT_SAME(AngleRadians{0.0}.csc(), kInf);
    EXPECT_SAME(AngleRadians{-0.0}.cot(), -kInf);
    EXPECT_SAME(AngleRadians::half_pi().cot(), 6.123233995736766e-17);
    EXPECT_SAME(AngleRadians{1.0}.cot(), 0.6420926159343306);  // cos/sin gives ...308
    EXPECT_SAME(AngleRadians{1.0}.sec(), 1.8508157176809255);
    EXPECT_SAME(AngleRadians{1.0}.csc(), 1.1883951057781212);
    EXPECT_TRUE(std::isnan(AngleRadians{kInf}.sin()));
    EXPECT_SAME((-AngleRadians::zero()).angle, -0.0);
    EXPECT_SAME((AngleRadians{1.0} / 0.0).angle, kInf);
    EXPECT_SAME((AngleRadians{3.0} * 2.0 - AngleRadians{1.0} + AngleRadians{0.5}).angle, 5.5);
    EXPECT_TRUE(AngleRadians{0.0} == AngleRadians{-0.0});
    const AngleRadians nan{std::nan("")};
    EXPECT_FALSE(nan == nan);
    EXPECT_TRUE(nan != nan);
    EXPECT_FALSE(nan < AngleRadians{1.0} || nan >= AngleRadians{1.0});
    EXPECT_TRUE(AngleRadians{1.0} < AngleRadians{2.0});
}

namespace {
// The formula without the clamp, to show what the clamp may change.
double unclamped_angle(Vec3d s, Vec3d o) { return std::acos(s.dot(o) / (s.magnitude() * o.magnitude())); }
std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }
}  // namespace

TEST(Angle, AngleBetweenVectorsClampsTheCosine) {
    EXPECT_TRUE(std::isnan(unclamped_angle({1, 1, 1}, {1, 1, 1})));
    EXPECT_SAME(angle_to({1, 1, 1}, {1, 1, 1}).angle, 0.0);
    EXPECT_SAME(angle_to({1, 1, 1}, {-3, -3, -3}).angle, std::acos(-1.0));
    EXPECT_SAME(angle_to({1, 0, 0}, {0, 1, 0}).angle, 1.5707963267948966);
    // A cosine of +-inf (one magnitude underflows to 0, the dot does not).
    EXPECT_SAME(angle_to({1e100, 0, 0}, {1e-170, 0, 0}).angle, 0.0);
    EXPECT_SAME(angle_to({1e100, 0, 0}, {-1e-170, 0, 0}).angle, std::acos(-1.0));
}

TEST(Angle, ClampChangesOnlyWhatWasNaN) {
    // Zero, infinite and NaN components keep their NaN, bit for bit.
    const double qnan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000abc});
    const Vec3d nan_cases[][2] = {
        {{1, 0, 0}, {0, 0, 0}},  {{0, 0, 0}, {0, 0, 0}},  {{0, 0, -0.0}, {2, 3, 4}},
        {{kInf, 0, 0}, {1, 0, 0}}, {{qnan, 1, 1}, {1, 1, 1}}, {{1, 1, 1}, {1, -qnan, 1}},
        {{1e200, 0, 0}, {1e200, 0, 0}},
    };
    for (const auto& c : nan_cases) {
        const double want = unclamped_angle(c[0], c[1]);
        ASSERT_TRUE(std::isnan(want));
        EXPECT_EQ(bits(angle_to(c[0], c[1]).angle), bits(want));
    }
    // Random and near-parallel pairs: every non-NaN result is unchanged, and
    // every formerly NaN one is now 0 or pi.
    std::uint64_t state = 0x243f6a8885a308d3;
    auto next = [&state] {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return static_cast<double>(state >> 11) * 0x1p-53 * 2.0 - 1.0;
    };
    int fixed = 0;
    for (int n = 0; n < 200000; ++n) {
        const Vec3d s{next() * 100, next(), next() * 1e-3};
        const double k = n % 2 ? next() * 10 : -next();
        const Vec3d o = n % 3 ? Vec3d{s.x * k, s.y * k, s.z * k} : Vec3d{next(), next(), next()};
        const double before = unclamped_angle(s, o), after = angle_to(s, o).angle;
        if (std::isnan(before) && !std::isnan(after)) {
            ++fixed;
            EXPECT_TRUE(bits(after) == bits(0.0) || bits(after) == bits(std::acos(-1.0)));
        } else {
            ASSERT_EQ(bits(after), bits(before)) << s.x << " " << s.y << " " << s.z;
        }
    }
    EXPECT_GT(fixed, 1000);  // the near-parallel pairs did reach the clamp
}

TEST(Angle, TextForms) {
    EXPECT_EQ(AngleRadians{0.5}.to_string(), "0.5 radians");
    EXPECT_EQ(AngleRadians::pi().to_string(), "3.141592653589793 radians");
    EXPECT_EQ(AngleRadians{-0.0}.to_string(), "-0 radians");
    EXPECT_EQ(AngleDegrees{90.0}.to_string(), "90\xC2\xB0");
    EXPECT_EQ(AngleDegrees{std::nan("")}.to_string(), "NaN\xC2\xB0");
}

TEST(Quat, AxisAngleRoundTripAndRotation) {
    const Quat q = Quat::from_axis_angle({0, 0, 1}, AngleRadians::half_pi());
    expect_quat(q, 0.7071067811865476, -0.0, -0.0, -0.7071067811865475);
    expect_quat(Quat::from_axis_angle({0, 0, 1}, AngleRadians::zero()), 1, -0.0, -0.0, -0.0);
    expect_vec(q.rotate({1, 0, 0}), 2.220446049250313e-16, 1, 0);
    const AxisAngle back = q.to_axis_angle();
    expect_vec(back.axis, -0.0, -0.0, -1);
    EXPECT_SAME(back.angle.angle, 1.5707963267948966);

    const Quat flip = Quat::from_axis_angle({1, 0, 0}, AngleRadians::pi());
    expect_quat(flip, 6.123233995736766e-17, -1, -0.0, -0.0);
    expect_vec(rotate(flip, {0, 1, 0}), 0, -1, 1.2246467991473532e-16);
    const AxisAngle flip_back = flip.to_axis_angle();
    expect_vec(flip_back.axis, -1, -0.0, -0.0);
    EXPECT_SAME(flip_back.angle.angle, 3.141592653589793);
}

TEST(Quat, HamiltonProductBasisAndGrouping) {
    expect_quat(Quat{0, 1, 0, 0} * Quat{0, 0, 1, 0}, 0, 0, 0, 1);  // i j = k
    expect_quat(Quat{0, 0, 1, 0} * Quat{0, 1, 0, 0}, 0, 0, 0, -1);  // j i = -k
    expect_quat(Quat{0, 0, 0, 1} * Quat{0, 1, 0, 0}, 0, 0, 1, 0);  // k i = j
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

TEST(Quat, ZeroQuaternion) {
    const Quat z{0, 0, 0, 0};
    expect_vec(z.rotate({1, 2, 3}), 0, 0, 0);
    const double nan = std::nan("");
    expect_quat(z.normalize(), nan, nan, nan, nan);
    EXPECT_SAME(z.magnitude(), 0.0);
    EXPECT_FALSE(z.is_unit());
    const AxisAngle aa = z.to_axis_angle();
    expect_vec(aa.axis, 0, 0, 0);
    EXPECT_SAME(aa.angle.angle, 3.141592653589793);
    const Mat3 m = z.to_rotation_matrix();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_SAME(m[r][c], r == c ? 1.0 : 0.0);
    }
}

TEST(Quat, UnitToleranceAndAxisAngleEdges) {
    EXPECT_TRUE((Quat{0.9999999999999999, 0, 0, 0}.is_unit()));
    EXPECT_TRUE((Quat{0.5, 0.5, 0.5, 0.5}.is_unit()));
    EXPECT_FALSE((Quat{1.0000000000000002, 0, 0, 0}.is_unit()));
    EXPECT_FALSE((Quat{std::nan(""), 0, 0, 0}.is_unit()));

    AxisAngle aa = Quat{1, 5, 0, 0}.to_axis_angle();  // only w is tested
    expect_vec(aa.axis, 1, 0, 0);
    EXPECT_SAME(aa.angle.angle, 0.0);
    aa = Quat{-1, 0, 0, 0}.to_axis_angle();
    expect_vec(aa.axis, 0, 0, 0);
    EXPECT_SAME(aa.angle.angle, 6.283185307179586);
    aa = Quat{2, 0, 0, 0}.to_axis_angle();
    EXPECT_TRUE(std::isnan(aa.axis.x) && std::isnan(aa.angle.angle));
}

TEST(Quat, MatrixNormalizeAndText) {
    const Mat3 m = Quat::from_axis_angle({0, 0, 1}, AngleRadians::half_pi()).to_rotation_matrix();
    const Mat3 want{{{2.220446049250313e-16, 1, 0}, {-1, 2.220446049250313e-16, 0}, {0, 0, 1}}};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_SAME(m[r][c], want[r][c]) << r << "," << c;
    }
    EXPECT_SAME((Quat{1, 1, 1, 1}.magnitude()), 2.0);
    expect_quat(Quat{1, 2, 3, 4}.normalize(), 0.18257418583505536, 0.3651483716701107,
                0.5477225575051661, 0.7302967433402214);
    // Four divisions; multiplying by 1/m would change i and k here.
    expect_quat(Quat{2, 0.3, 0.9, -1.9}.normalize(), 0.685591170191061, 0.10283867552865913,
                0.30851602658597743, -0.6513116116815079);
    expect_vec(Quat{1, 2, 3, 4}.to_vec3d(), 2, 3, 4);
    expect_quat(Quat::from_vec3d({-0.0, 0, 0}), 0.0, -0.0, 0, 0);

    EXPECT_EQ(Quat::identity().conjugate().to_string(), "Quat(1, -0, -0, -0)");
    EXPECT_EQ((Quat{0.5, -0.0, std::nan(""), kInf}.to_string()), "Quat(0.5, -0, NaN, inf)");
}

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
    // A Wahba fit of nothing is the identity; of NaN, NaN.
    expect_quat(wahba_rotation({}), 1.0, -0.0, -0.0, -0.0);
    formula::WahbaSums bad;
    bad.s[4] = std::nan("");
    EXPECT_TRUE(std::isnan(wahba_rotation(bad).w));
}

// nan_ordered evaluates Plain and again NanOrdered only for a NaN result: its
// results must be NanOrdered's to the last bit, NaN sign and payload included.
// The inputs mix NaNs of several payloads, infinities and zeros, so that many
// products meet two NaNs, where Plain's choice of NaN may differ.
TEST(NanOrdered, SingleValuesEqualTheNanOrderedFormulaBitForBit) {
    const double specials[] = {std::bit_cast<double>(0x7FF8000000000001ull),
                               std::bit_cast<double>(0xFFF800000000BEEFull),
                               std::bit_cast<double>(0x7FF4000000000123ull),
                               std::bit_cast<double>(0xFFF8000000000000ull),
                               kInf, -kInf, 0.0, -0.0, 1.5, -0.75};
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
