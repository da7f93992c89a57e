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
        {{1, 0, 0}, {0, 0, 0}},         {{0, 0, 0}, {0, 0, 0}},    {{0, 0, -0.0}, {2, 3, 4}},
        {{kInf, 0, 0}, {1, 0, 0}},      {{qnan, 1, 1}, {1, 1, 1}}, {{1, 1, 1}, {1, -qnan, 1}},
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
    expect_quat(Quat{1, 2, 3, 4}.normalize(), 0.18257418583505536, 0.3651483716701107, 0.5477225575051661,
                0.7302967433402214);
    // Four divisions; multiplying by 1/m would change i and k here.
    expect_quat(Quat{2, 0.3, 0.9, -1.9}.normalize(), 0.685591170191061, 0.10283867552865913, 0.30851602658597743,
                -0.6513116116815079);
    expect_vec(Quat{1, 2, 3, 4}.to_vec3d(), 2, 3, 4);
    expect_quat(Quat::from_vec3d({-0.0, 0, 0}), 0.0, -0.0, 0, 0);

    EXPECT_EQ(Quat::identity().conjugate().to_string(), "Quat(1, -0, -0, -0)");
    EXPECT_EQ((Quat{0.5, -0.0, std::nan(""), kInf}.to_string()), "Quat(0.5, -0, NaN, inf)");
}
