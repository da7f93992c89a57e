#include "kestrum/quat.hpp"

#include <limits>

#include "kestrum/format.hpp"

namespace kestrum {

AxisAngle Quat::to_axis_angle() const {
    // Only w is tested: near identity the axis is meaningless, so report a
    // fixed one rather than dividing by a vanishing sine.
    if (std::fabs(w + -1.0) < kEpsilon) {
        return {{1.0, 0.0, 0.0}, AngleRadians{0.0}};
    }
    const double a = std::acos(w);
    const double angle = a + a;
    const double s = std::sin(angle * 0.5);
    return {{i / s, j / s, k / s}, AngleRadians{angle}};
}

Mat3 Quat::to_rotation_matrix() const {
    // Over the NaN-ordered arithmetic like every formula: with plain operators
    // GCC and clang returned different NaNs. Doubling as x + x is exact, so
    // it is the same as 2 * x.
    return nan_ordered([this](auto ar) {
        using A = decltype(ar);
        const double jj_kk = A::add(A::mul(j, j), A::mul(k, k));
        const double ii_kk = A::add(A::mul(i, i), A::mul(k, k));
        const double ii_jj = A::add(A::mul(i, i), A::mul(j, j));
        const double ij_m = A::sub(A::mul(i, j), A::mul(w, k));
        const double ij_p = A::add(A::mul(i, j), A::mul(w, k));
        const double ik_p = A::add(A::mul(i, k), A::mul(w, j));
        const double ik_m = A::sub(A::mul(i, k), A::mul(w, j));
        const double jk_m = A::sub(A::mul(j, k), A::mul(w, i));
        const double jk_p = A::add(A::mul(j, k), A::mul(w, i));
        return Mat3{{
            {A::sub(1.0, A::add(jj_kk, jj_kk)), A::add(ij_m, ij_m), A::add(ik_p, ik_p)},
            {A::add(ij_p, ij_p), A::sub(1.0, A::add(ii_kk, ii_kk)), A::add(jk_m, jk_m)},
            {A::add(ik_m, ik_m), A::add(jk_p, jk_p), A::sub(1.0, A::add(ii_jj, ii_jj))},
        }};
    });
}

std::optional<EulerSeq> EulerSeq::parse(std::string_view text) {
    if (text.size() != 3) return std::nullopt;
    const bool lower = text[0] >= 'x' && text[0] <= 'z';
    const char base = lower ? 'x' : 'X';
    EulerSeq seq{{}, lower};
    for (std::size_t n = 0; n < 3; ++n) {
        const char c = text[n];
        if (c < base || c > base + 2) return std::nullopt;
        seq.axes[n] = static_cast<std::uint8_t>(c - base);
    }
    if (seq.axes[0] == seq.axes[1] || seq.axes[1] == seq.axes[2]) return std::nullopt;
    return seq;
}

void append_text(std::string& out, const Quat& q) {
    out += "Quat(";
    append_double(out, q.w);
    out += ", ";
    append_double(out, q.i);
    out += ", ";
    append_double(out, q.j);
    out += ", ";
    append_double(out, q.k);
    out += ')';
}

std::string Quat::to_string() const {
    std::string out;
    append_text(out, *this);
    return out;
}

}  // namespace kestrum
