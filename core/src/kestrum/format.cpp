#include "kestrum/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kestrum {

void append_double(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::signbit(v)) out += '-';
    if (std::isinf(v)) {
        out += "inf";
        return;
    }
    const double m = std::fabs(v);
    if (m == 0.0) {
        out += '0';
        return;
    }
    // Scientific form yields exactly the shortest round-trip digits
    // ("d.ddde±x"); lay them out positionally ourselves.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, m, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(res.ptr - buf)));
    char digits[32];
    int nd = 0;
    for (const char* p = buf; p < e; ++p)
        if (*p != '.') digits[nd++] = *p;
    int exp10 = 0;  // value = d1.d2d3... * 10^exp10; to_chars does not terminate the text
    std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, exp10);
    const int point = exp10 + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(nd));
    } else if (point >= nd) {
        out.append(digits, static_cast<std::size_t>(nd));
        out.append(static_cast<std::size_t>(point - nd), '0');
    } else {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, static_cast<std::size_t>(nd - point));
    }
}

std::string format_double(double v) {
    std::string s;
    append_double(s, v);
    return s;
}

}  // namespace kestrum
