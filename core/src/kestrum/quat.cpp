#include "kestrum/quat.hpp"

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
    // Doubling as x + x is exact, so it is the same as 2 * x.
    const double jj_kk = j * j + k * k;
    const double ii_kk = i * i + k * k;
    const double ii_jj = i * i + j * j;
    const double ij_m = i * j - w * k;
    const double ij_p = i * j + w * k;
    const double ik_p = i * k + w * j;
    const double ik_m = i * k - w * j;
    const double jk_m = j * k - w * i;
    const double jk_p = j * k + w * i;
    return {{
        {1.0 - (jj_kk + jj_kk), ij_m + ij_m, ik_p + ik_p},
        {ij_p + ij_p, 1.0 - (ii_kk + ii_kk), jk_m + jk_m},
        {ik_m + ik_m, jk_p + jk_p, 1.0 - (ii_jj + ii_jj)},
    }};
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
