#pragma once
// sin/cos and first-quadrant atan2 as straight-line double arithmetic: no
// branches and no calls, so a loop over them vectorises, and every
// instruction-set copy of that loop gives the same bits (one IEEE rounding
// per operation, fixed order, no FMA). Each works on a stated range; outside
// it the result is meaningless but harmless, and callers send such
// arguments to std:: instead (the *_in_range checks). Within range both are
// within 0.81 ulp of the exact value (measured: tests/cpp/test_kernels.cpp).
// Always inlined: an out-of-line copy would be the base instruction set's,
// and a loop calling it would not vectorise at all.
// Coefficients and constants: tools/kernel_coeffs.py.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace kestrum::kernels {

namespace detail {
// sin x = x + x^3 S(x^2), cos x = 1 - x^2/2 + x^4 C(x^2) on |x| <= pi/4.
inline constexpr double kSin[] = {-0x1.5555555555555p-3, 0x1.1111111111110p-7,   -0x1.a01a01a019938p-13,
                                  0x1.71de3a5460952p-19, -0x1.ae645412c4787p-26, 0x1.61217f0ac7f98p-33,
                                  -0x1.ab17d3985bccep-41};
inline constexpr double kCos[] = {0x1.5555555555555p-5,   -0x1.6c16c16c16c16p-10, 0x1.a01a01a019d0ap-16,
                                  -0x1.27e4fb7712d61p-22, 0x1.1eed8deb97423p-29,  -0x1.9394ba0c332d9p-37,
                                  0x1.ab785aa02d659p-45};
// atan u = u + u^3 A(u^2) on |u| <= 7/16.
inline constexpr double kAtan[] = {
    -0x1.5555555555555p-2, 0x1.999999999998fp-3,  -0x1.24924924918e8p-3, 0x1.c71c71c6740a6p-4,  -0x1.745d171e3e927p-4,
    0x1.3b13abae1213cp-4,  -0x1.111090a21fcddp-4, 0x1.e1d23dc7d4c10p-5,  -0x1.ae802f3208a0cp-5, 0x1.812db948eb587p-5,
    -0x1.4ac2ea51751aep-5, 0x1.ddf3f74c0d757p-6,  -0x1.9a236a2853d82p-7};
// pi/2 as four parts; the first three have 33 significant bits, so k times
// any of them is exact for |k| < 2^20.
inline constexpr double kPio2[] = {0x1.921fb54400000p+0, 0x1.0b4611a600000p-34, 0x1.3198a2e000000p-69,
                                   0x1.b839a252049c1p-104};
inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// Leading and trailing doubles of atan(1/2), pi/4, pi/2 and pi/2 - atan(1/2).
inline constexpr double kAtanHalf[] = {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56};
inline constexpr double kPio4[] = {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55};
inline constexpr double kPio2Sum[] = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
inline constexpr double kPio2MinusAtanHalf[] = {0x1.1b6e192ebbe44p+0, 0x1.b1b466a88828ep-54};

// 1.5 * 2^52: adding it rounds to an integer, which then sits in the low
// bits of the sum's significand.
inline constexpr double kRoundMagic = 0x1.8p52;

// c[0] + c[1] z + ... by Estrin's scheme: pairs, then pairs of pairs with
// z^2, z^4, ...; a shorter dependency chain than Horner's for one call.
// Unrolled by templates, as a loop here would keep the caller's loop from
// vectorising.
template <std::size_t I, std::size_t N>
inline double estrin_pair(const std::array<double, N>& v, double p) {
    if constexpr (2 * I + 1 < N) {
        return v[2 * I] + v[2 * I + 1] * p;
    } else {
        return v[2 * I];
    }
}
template <std::size_t N, std::size_t... I>
inline std::array<double, (N + 1) / 2> estrin_level(const std::array<double, N>& v, double p,
                                                    std::index_sequence<I...>) {
    return {{estrin_pair<I>(v, p)...}};
}
template <std::size_t N>
inline double estrin(const std::array<double, N>& v, double p) {
    if constexpr (N == 1) {
        return v[0];
    } else {
        return estrin(estrin_level(v, p, std::make_index_sequence<(N + 1) / 2>{}), p * p);
    }
}
template <std::size_t N>
inline double poly(const double (&c)[N], double z) {
    return estrin(std::to_array(c), z);
}

// The rounding error of a + b: a + b == s + err exactly (Knuth).
inline double two_sum_err(double a, double b, double s) {
    const double bb = s - a;
    return (a - (s - bb)) + (b - bb);
}

// The rounding error of a * b (Dekker, with Veltkamp's split); exact while
// no product of the halves over- or underflows.
inline double two_prod_err(double a, double b, double p) {
    constexpr double kSplit = 0x1p27 + 1.0;
    const double ta = kSplit * a, tb = kSplit * b;
    const double ah = ta - (ta - a), bh = tb - (tb - b);
    const double al = a - ah, bl = b - bh;
    return (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
}

inline double flip_sign_if(double x, std::uint64_t flip) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ flip);
}
}  // namespace detail

// c ? a : b. Where GCC keeps such a choice as a branch (a division, or a
// NaN constant it then propagates, on one side), the loop around it does not
// vectorise; select_bits makes the same choice on the bits, which never
// branches but takes a single call through the integer registers.
inline double select(bool c, double a, double b) { return c ? a : b; }
inline double select_bits(bool c, double a, double b) {
    const std::uint64_t m = std::uint64_t{0} - static_cast<std::uint64_t>(c);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & m) | (std::bit_cast<std::uint64_t>(b) & ~m));
}

struct SinCos {
    double sin;
    double cos;
};

// |x| <= 2^20 (zeros and subnormals included; not inf or NaN).
inline constexpr double kSinCosBound = 0x1p20;
inline bool sin_cos_in_range(double x) { return std::fabs(x) <= kSinCosBound; }

// sin x and cos x. x is reduced by k pi/2 (k the integer nearest x 2/pi)
// into r = h + lo, exact to far below an ulp of r even for x next to a
// multiple of pi/2; both polynomials are taken at h, with a first-order
// correction for lo. The long tail of the reduction (lo) runs alongside the
// polynomials: one call waits only for h.
[[gnu::always_inline]] inline SinCos sin_cos(double x) {
    using namespace detail;
    const double t = x * kTwoOverPi + kRoundMagic;
    const double k = t - kRoundMagic;
    const std::uint64_t quadrant = std::bit_cast<std::uint64_t>(t);        // k mod 4 in the low bits
    const double r1 = x - k * kPio2[0];                                    // exact (Sterbenz)
    const double p2 = k * kPio2[1], p3 = k * kPio2[2], p4 = k * kPio2[3];  // p2, p3 exact
    const double pp = p2 + p3;
    const double pp_err = (p2 - pp) + p3;  // exact: |p2| >= |p3|
    const double h = r1 - pp;
    const double lo = (two_sum_err(r1, -pp, h) - pp_err) - p4;

    const double z = h * h;
    const double hz = 0.5 * z;
    // sin(h + lo) = sin h + lo cos h, cos h ~ 1 - z/2. Written as h minus a
    // correction that is +0 for h = +-0, so that sin(-0) = -0.
    const double s = h - ((hz * lo - lo) - (h * z) * poly(kSin, z));
    // cos(h + lo) = cos h - lo sin h; 1 - hz is split off with its rounding
    // error, which is exact.
    const double w = 1.0 - hz;
    const double c = w + (((1.0 - w) - hz) + ((z * z) * poly(kCos, z) - h * lo));

    // The quadrant's signs as factors +-1, ready long before s and c.
    const bool odd = (quadrant & 1) != 0;
    const double sin_sign = flip_sign_if(1.0, (quadrant & 2) << 62);
    const double cos_sign = flip_sign_if(1.0, ((quadrant + 1) & 2) << 62);
    return {select_bits(odd, c, s) * sin_sign, select_bits(odd, s, c) * cos_sign};
}

// Both finite and >= 0, max(x, y) in [2^-900, 2^900], and min(x, y) either
// 0 or at least 2^-900 (so the exact remainder below neither over- nor
// underflows). Not inf, NaN, or x = y = 0.
[[gnu::always_inline]] inline bool atan2_in_range(double y, double x) {
    const bool swap = y > x;
    const double big = select(swap, y, x), small = select(swap, x, y);
    // & and | rather than && and ||: no branches in a loop.
    return (big >= 0x1p-900) & (big <= 0x1p900) & (small >= 0.0) & ((small == 0.0) | (small >= 0x1p-900));
}

// atan2(y, x) for x, y >= 0, in [0, pi/2]. With small = min and big = max,
// atan(small / big) is reduced by atan c, c in {0, 1/2, 1}, to atan u,
// u = (small - c big) / (big + c small), |u| <= 7/16: the numerator is
// exact and the denominator's rounding error and the division's remainder
// are carried as a correction to u. When y > x the result is pi/2 minus
// that, the constant's leading part added last with its rounding error.
[[gnu::always_inline]] inline double atan2(double y, double x) {
    using namespace detail;
    const bool swap = y > x;
    const double big = select(swap, y, x), small = select(swap, x, y);
    const bool sector0 = small <= 0x1.cp-2 * big;  // up to 7/16
    const bool sector1 = small <= 0x1.6p-1 * big;  // up to 11/16
    const double c = select(sector0, 0.0, select(sector1, 0.5, 1.0));
    const double num = small - c * big;  // exact: c big is exact and within a factor 2
    const double cs = c * small;
    const double den = big + cs;
    const double den_err = (big - den) + cs;  // exact: big >= cs
    const double u = num / den;
    const double inv = 1.0 / den;  // alongside the division above
    const double p = u * den;
    const double ul = (((num - p) - two_prod_err(u, den, p)) - u * den_err) * inv;

    const double z = u * u;
    const double tail = (u * z) * poly(kAtan, z);  // atan u - u

    const double bh = select(sector0, select(swap, kPio2Sum[0], 0.0),
                             select(sector1, select(swap, kPio2MinusAtanHalf[0], kAtanHalf[0]), kPio4[0]));
    const double bl = select(sector0, select(swap, kPio2Sum[1], 0.0),
                             select(sector1, select(swap, kPio2MinusAtanHalf[1], kAtanHalf[1]), kPio4[1]));
    const std::uint64_t flip = static_cast<std::uint64_t>(swap) << 63;
    const double su = flip_sign_if(u, flip);
    const double sum = bh + su;
    const double low = ((bh - sum) + su) + bl;  // (bh - sum) + su is exact: |bh| >= |u| or bh = 0
    return sum + (flip_sign_if(tail + ul, flip) + low);
}

}  // namespace kestrum::kernels
