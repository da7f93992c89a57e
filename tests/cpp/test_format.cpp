// Shortest positional decimal formatter: fixed examples, then round-trip,
// minimality and layout on many random doubles, checked against strtod and
// printf's correctly rounded scientific output.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "kestrum/format.hpp"

namespace {

using kestrum::format_double;

double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }
std::uint64_t to_bits(double d) { return std::bit_cast<std::uint64_t>(d); }

std::string zeros(std::size_t n) { return std::string(n, '0'); }

// Significant digits of a positional number and its decimal exponent
// (value = 0.d1d2... * 10^point); empty digits for zero.
struct Decimal {
    std::string digits;
    int point = 0;
};

Decimal significant(const std::string& text) {
    std::string s = text[0] == '-' ? text.substr(1) : text;
    const auto dot = s.find('.');
    const std::string int_part = s.substr(0, dot);
    const std::string frac_part = dot == std::string::npos ? "" : s.substr(dot + 1);
    std::string all = int_part + frac_part;
    int point = static_cast<int>(int_part.size());
    std::size_t lead = 0;
    while (lead < all.size() && all[lead] == '0') ++lead;
    point -= static_cast<int>(lead);
    all = all.substr(lead);
    while (!all.empty() && all.back() == '0') all.pop_back();
    return {all, point};
}

// Plain positional layout of digits d1d2...dn with value 0.d1d2...dn * 10^point.
std::string layout(const std::string& digits, int point) {
    const int n = static_cast<int>(digits.size());
    if (point <= 0) return "0." + zeros(static_cast<std::size_t>(-point)) + digits;
    if (point >= n) return digits + zeros(static_cast<std::size_t>(point - n));
    return digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
}

// printf's correctly rounded `p`-significant-digit form of |v|.
Decimal rounded(double v, int p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, std::fabs(v));
    const std::string s = buf;
    const auto e = s.find('e');
    std::string digits;
    for (std::size_t i = 0; i < e; ++i)
        if (s[i] != '.') digits += s[i];
    const int exp10 = std::atoi(s.c_str() + e + 1);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    return {digits, exp10 + 1};
}

bool reads_back(const std::string& text, double v) { return to_bits(std::strtod(text.c_str(), nullptr)) == to_bits(v); }

// The full set of properties for one finite double.
void check_finite(double v) {
    const std::string out = format_double(v);
    SCOPED_TRACE(testing::Message() << "bits 0x" << std::hex << to_bits(v) << " -> " << out);
    ASSERT_FALSE(out.empty());
    // Layout: optional sign, digits, at most one point, no exponent, no plus.
    EXPECT_EQ(out.find_first_not_of("-0123456789."), std::string::npos);
    EXPECT_EQ(out[0] == '-', std::signbit(v));
    ASSERT_TRUE(reads_back(out, v));
    if (v == 0.0) {
        EXPECT_EQ(out, std::signbit(v) ? "-0" : "0");
        return;
    }
    const Decimal d = significant(out);
    ASSERT_FALSE(d.digits.empty());
    EXPECT_LE(d.digits.size(), 17u);
    // Exactly the canonical positional text of its own digits: no leading
    // zeros in the integer part, no trailing zeros after the point, no
    // fractional part for integral values.
    EXPECT_EQ(out, (std::signbit(v) ? "-" : "") + layout(d.digits, d.point));
    // Minimal: the correctly rounded form with one digit fewer does not read back.
    const int n = static_cast<int>(d.digits.size());
    if (n > 1) {
        const Decimal shorter = rounded(v, n - 1);
        EXPECT_FALSE(reads_back(layout(shorter.digits, shorter.point), v))
            << "shorter form " << shorter.digits << "e" << shorter.point << " also reads back";
    }
    // Closest: when the correctly rounded n-digit form reads back, it is the answer.
    const Decimal same = rounded(v, n);
    if (reads_back(layout(same.digits, same.point), v)) {
        EXPECT_EQ(d.digits, same.digits);
        EXPECT_EQ(d.point, same.point);
    }
}

TEST(FormatDouble, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_double(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_double(from_bits(0xFFF80000DEADBEEFull)), "NaN");
    EXPECT_EQ(format_double(from_bits(0x7FF0000000000001ull)), "NaN");
    EXPECT_EQ(format_double(inf), "inf");
    EXPECT_EQ(format_double(-inf), "-inf");
    EXPECT_EQ(format_double(0.0), "0");
    EXPECT_EQ(format_double(-0.0), "-0");
}

TEST(FormatDouble, FixedExamples) {
    const struct {
        double v;
        std::string text;
    } cases[] = {
        {1.0, "1"},
        {-1.0, "-1"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {0.5, "0.5"},
        {100.0, "100"},
        {1234.5, "1234.5"},
        {123.456, "123.456"},
        {1e-7, "0.0000001"},
        {1.5e-5, "0.000015"},
        {1e20, "1" + zeros(20)},
        {1e21, "1" + zeros(21)},
        {-1e22, "-1" + zeros(22)},
        {1e23, "1" + zeros(23)},
        {1e16, "1" + zeros(16)},
        {5e-324, "0." + zeros(323) + "5"},
        {-5e-324, "-0." + zeros(323) + "5"},
        {2.2250738585072014e-308, "0." + zeros(307) + "22250738585072014"},
        {from_bits(0x000FFFFFFFFFFFFFull), "0." + zeros(307) + "2225073858507201"},
        {1.7976931348623157e308, "17976931348623157" + zeros(292)},
        {0.30000000000000004, "0.30000000000000004"},
        {1.0 / 3.0, "0.3333333333333333"},
        {9007199254740992.0, "9007199254740992"},
        {9007199254740994.0, "9007199254740994"},
        {9223372036854775808.0, "9223372036854776000"},
        {123456789012345680.0, "123456789012345680"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.0 + 0x1p-52, "1.0000000000000002"},
        {1.0 - 0x1p-53, "0.9999999999999999"},
        {0x1p1023, "898846567431158" + zeros(293)},
        {12345678.9, "12345678.9"},
        {0.001, "0.001"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_double(c.v), c.text) << std::hexfloat << c.v;
        check_finite(c.v);
    }
}

TEST(FormatDouble, AppendKeepsExistingText) {
    std::string s = "x=";
    kestrum::append_double(s, 2.5);
    s += ',';
    kestrum::append_double(s, -0.0);
    kestrum::append_double(s, std::numeric_limits<double>::infinity());
    EXPECT_EQ(s, "x=2.5,-0inf");
}

TEST(FormatDouble, RandomBitPatterns) {
    std::mt19937_64 rng(0x5eed1234);
    int checked = 0;
    while (checked < 100000) {
        const double v = from_bits(rng());
        if (std::isnan(v)) continue;
        if (std::isinf(v)) continue;
        check_finite(v);
        ++checked;
        if (HasFailure()) return;
    }
}

TEST(FormatDouble, RandomMagnitudes) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exp2(-1074, 1023);
    std::uniform_int_distribution<int> exp10(-30, 30);
    for (int i = 0; i < 20000 && !HasFailure(); ++i) {
        check_finite(std::ldexp(unit(rng), exp2(rng)));
        check_finite(unit(rng) * std::pow(10.0, exp10(rng)));
        check_finite(std::nextafter(std::ldexp(1.0, exp2(rng)), 0.0));  // just below 2^k
        check_finite(std::ldexp(1.0, exp2(rng)));                       // powers of two
        check_finite(from_bits(rng() & 0x000FFFFFFFFFFFFFull));         // subnormals
    }
}

// Short decimals written out must come back with at most as many digits,
// and integers below 2^53 print exactly as themselves.
TEST(FormatDouble, ShortDecimalsAndIntegers) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> ndigits(1, 15);
    std::uniform_int_distribution<int> exp10(-320, 300);
    for (int i = 0; i < 50000 && !HasFailure(); ++i) {
        const int n = ndigits(rng);
        std::string digits(1, static_cast<char>('1' + rng() % 9));
        for (int k = 1; k < n; ++k) digits += static_cast<char>('0' + rng() % 10);
        const std::string text = digits + "e" + std::to_string(exp10(rng));
        const double v = std::strtod(text.c_str(), nullptr);
        if (v == 0.0 || std::isinf(v)) continue;
        const std::string out = format_double(v);
        EXPECT_LE(significant(out).digits.size(), static_cast<std::size_t>(n)) << text << " -> " << out;
        check_finite(v);

        const std::uint64_t k = rng() >> 11;  // below 2^53: exactly representable
        EXPECT_EQ(format_double(static_cast<double>(k)), std::to_string(k));
        EXPECT_EQ(format_double(-static_cast<double>(k)), k ? "-" + std::to_string(k) : "-0");
    }
}

}  // namespace
