#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "kestrum/kernels.hpp"
#include "kestrum/quat.hpp"

namespace kernels = kestrum::kernels;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
#define EXPECT_BITS(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

// |got - exact| in units of the last place of the exact value rounded to
// double (the subnormal spacing at the bottom). long double carries 11 more
// bits than double, so its sinl/cosl/atan2l serve as the exact value.
double ulp_error(double got, long double exact) {
    const double e = static_cast<double>(exact);
    const int exp = e == 0.0 ? -1074 : std::max(std::ilogb(e) - 52, -1074);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / std::ldexp(1.0L, exp));
}

struct Rng {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    std::uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
    double log_uniform(int lo, int hi) { return std::ldexp(1.0 + unit(), lo + static_cast<int>(next() % (hi - lo))); }
};

struct Worst {
    double err = 0.0, at = 0.0, at2 = 0.0;
    void add(double e, double x, double y = 0.0) {
        if (e > err) err = e, at = x, at2 = y;
    }
};

// The arguments sin_cos must handle: uniform over a few turns, log-uniform
// up to the bound, tiny and subnormal, the doubles next to multiples of pi/4
// (the reduction's cancellation and the quadrant edges), and the bound.
std::vector<double> sin_cos_arguments() {
    Rng rng;
    std::vector<double> xs;
    for (int i = 0; i < 200000; ++i) xs.push_back((rng.unit() - 0.5) * 20.0);
    for (int i = 0; i < 100000; ++i) xs.push_back(rng.log_uniform(-30, 20));
    for (int i = 0; i < 20000; ++i) xs.push_back(rng.log_uniform(-1074, -30));
    for (int i = 0; i < 100000; ++i) {
        const long double k = static_cast<long double>(rng.next() % (1u << 23));  // multiples of pi/4 < 2^20
        double x = static_cast<double>(k * 0.785398163397448309615660845819875721L);
        for (int step = static_cast<int>(rng.next() % 7); step > 3; --step) x = std::nextafter(x, kInf);
        if (x <= kernels::kSinCosBound) xs.push_back(x);
    }
    xs.push_back(kernels::kSinCosBound);
    xs.push_back(std::nextafter(kernels::kSinCosBound, 0.0));
    const std::size_t n = xs.size();
    for (std::size_t i = 0; i < n; ++i) xs.push_back(-xs[i]);
    return xs;
}

}  // namespace

TEST(Kernels, SinCosWithinAnUlp) {
    Worst ws, wc;
    for (const double x : sin_cos_arguments()) {
        ASSERT_TRUE(kernels::sin_cos_in_range(x)) << x;
        const kernels::SinCos r = kernels::sin_cos(x);
        ws.add(ulp_error(r.sin, sinl(x)), x);
        wc.add(ulp_error(r.cos, cosl(x)), x);
    }
    std::printf("sin: max %.3f ulp at %a; cos: max %.3f ulp at %a\n", ws.err, ws.at, wc.err, wc.at);
    // Measured 0.77 and 0.80 (rounding in the polynomial tail near pi/4).
    EXPECT_LT(ws.err, 0.85) << std::hexfloat << ws.at;
    EXPECT_LT(wc.err, 0.85) << std::hexfloat << wc.at;
}

TEST(Kernels, Atan2WithinAnUlp) {
    Rng rng;
    Worst w;
    const auto check = [&](double y, double x) {
        ASSERT_TRUE(kernels::atan2_in_range(y, x)) << y << ", " << x;
        w.add(ulp_error(kernels::atan2(y, x), atan2l(y, x)), y, x);
    };
    const double edges[] = {0x1.cp-2, 0x1.6p-1, 1.0, 0.5, 0x1p-26, 0x1.a827999fcef32p-2 /* tan(pi/8) */};
    for (int i = 0; i < 300000; ++i) {
        // Ratio over the whole first quadrant, then near each sector edge,
        // at scales from 2^-780 to 2^800; both ways round.
        const double x = rng.log_uniform(-780, 800);
        double r = i % 3 == 0 ? rng.unit() : rng.log_uniform(-60, 0);
        if (i % 5 == 0) r = edges[rng.next() % std::size(edges)] * (1.0 + (rng.unit() - 0.5) * 0x1p-40);
        check(x * r, x);
        check(x, x * r);
    }
    // Near the bottom of the range, where the remainder's products come
    // closest to underflow.
    for (int i = 0; i < 10000; ++i) {
        const double x = rng.log_uniform(-880, -860);
        check(std::max(x * rng.unit(), 0x1p-900), x);
    }
    // One side zero: exactly 0 and pi/2, and equal sides pi/4.
    for (const double x : {0x1p-900, 1.0, 0x1p900}) {
        EXPECT_BITS(kernels::atan2(0.0, x), std::atan2(0.0, x));
        EXPECT_BITS(kernels::atan2(x, 0.0), std::atan2(x, 0.0));
        EXPECT_BITS(kernels::atan2(x, x), std::atan2(x, x));
    }
    std::printf("atan2: max %.3f ulp at (%a, %a)\n", w.err, w.at, w.at2);
    EXPECT_LT(w.err, 0.8) << std::hexfloat << w.at << ", " << w.at2;  // measured 0.74
}

TEST(Kernels, SignedZerosAndSubnormalsExact) {
    for (const double x : {0.0, -0.0, 5e-324, -5e-324, 0x1p-1022, -0x1.8p-600}) {
        const kernels::SinCos r = kernels::sin_cos(x);
        EXPECT_BITS(r.sin, std::sin(x));
        EXPECT_BITS(r.cos, 1.0);
    }
}

TEST(Kernels, RangeChecksRejectWhatTheyCannotDo) {
    const double nan = std::nan("");
    for (const double x : {nan, -nan, kInf, -kInf, std::nextafter(kernels::kSinCosBound, kInf), -1e300})
        EXPECT_FALSE(kernels::sin_cos_in_range(x)) << x;
    const double bad[][2] = {{0.0, 0.0},      {nan, 1.0},       {1.0, nan},    {kInf, 1.0},
                             {1.0, kInf},     {-1.0, 1.0},      {1.0, -0.5},   {0x1p901, 1.0},
                             {1.0, 0x1p-901}, {5e-324, 5e-324}, {5e-324, 0.0}, {0.0, 0x1p-901}};
    for (const auto& p : bad) EXPECT_FALSE(kernels::atan2_in_range(p[0], p[1])) << p[0] << ", " << p[1];
    EXPECT_TRUE(kernels::atan2_in_range(0x1p-900, 0.0));
    EXPECT_TRUE(kernels::atan2_in_range(0x1p900, 0x1p-900));
}

// Out of range the formulas fall back to std::, whichever arithmetic: the
// NaN-ordered evaluation is exactly std::'s, and the plain one turns the
// mark NaN (its formula then gives NaN and its caller redoes it
// NaN-ordered).
TEST(Kernels, FormulasFallBackToStdOutOfRange) {
    using kestrum::NanOrdered;
    using kestrum::Plain;
    namespace formula = kestrum::formula;
    const double nan_payload = std::bit_cast<double>(0xFFF8000000001234ull);
    for (const double x : {4e6, -1e300, kInf, -kInf, nan_payload, 0x1.0000000000001p20}) {
        double mark = 0.0;
        const kernels::SinCos e = formula::sin_cos<NanOrdered>(x, mark);
        EXPECT_BITS(e.sin, std::sin(x));
        EXPECT_BITS(e.cos, std::cos(x));
        EXPECT_BITS(mark, 0.0);
        formula::sin_cos<Plain>(x, mark);
        EXPECT_TRUE(std::isnan(mark)) << x;
    }
    const double pairs[][2] = {{0.0, 0.0},  {1e-310, 3e-320},   {1e300, 3.0},      {kInf, 2.0},
                               {0.5, kInf}, {nan_payload, 1.0}, {1.0, nan_payload}};
    for (const auto& p : pairs) {
        double mark = 0.0;
        EXPECT_BITS(formula::atan2_q1<NanOrdered>(p[0], p[1], mark), std::atan2(p[0], p[1]));
        formula::atan2_q1<Plain>(p[0], p[1], mark);
        EXPECT_TRUE(std::isnan(mark)) << p[0] << ", " << p[1];
    }
    // In range both give the kernel's bits and leave the mark +0.
    double mark = 0.0;
    EXPECT_BITS(formula::sin_cos<Plain>(2.5, mark).sin, kernels::sin_cos(2.5).sin);
    EXPECT_BITS(formula::sin_cos<NanOrdered>(2.5, mark).cos, kernels::sin_cos(2.5).cos);
    EXPECT_BITS(formula::atan2_q1<Plain>(0.3, 0.7, mark), kernels::atan2(0.3, 0.7));
    EXPECT_BITS(formula::atan2_q1<NanOrdered>(0.3, 0.7, mark), kernels::atan2(0.3, 0.7));
    EXPECT_BITS(mark, 0.0);
    // Through the single calls: a rotation vector too long for the kernel,
    // and a vector part too small for it (w = 0, so not the tiny-angle rule).
    const kestrum::Quat q = kestrum::Quat::from_rotvec({3e6, 0.0, 0.0});
    EXPECT_BITS(q.w, std::cos(1.5e6));
    EXPECT_BITS(q.i, 0.0 - (std::sin(1.5e6) / 3e6) * 3e6);
    const double h = std::atan2(1e-310, 0.0);
    EXPECT_BITS((kestrum::Quat{0.0, 1e-310, 0.0, 0.0}.as_rotvec().x), 1e-310 * -((h + h) / 1e-310) + 0.0);
}
