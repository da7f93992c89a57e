#include "kestrum/rigid.hpp"

#include <cmath>

#include "kestrum/format.hpp"

namespace kestrum {

std::array<double, 16> RigidTransform::as_matrix() const {
    const Mat3 r = rotation.as_matrix();
    const double t[3] = {translation.x, translation.y, translation.z};
    std::array<double, 16> m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[4 * i + j] = r[i][j];
        m[4 * i + 3] = t[i];
    }
    m[15] = 1.0;
    return m;
}

std::string RigidTransform::to_string() const {
    std::string s = "RigidTransform(";
    append_text(s, rotation);
    s += ", ";
    append_text(s, translation);
    s += ')';
    return s;
}

MatrixCheck from_matrix(const std::array<double, 16>& m) {
    if (m[12] != 0.0 || m[13] != 0.0 || m[14] != 0.0 || m[15] != 1.0)
        return {std::nullopt, "the bottom row of a rigid transform's matrix must be (0, 0, 0, 1), got (" +
                                  format_double(m[12]) + ", " + format_double(m[13]) + ", " + format_double(m[14]) +
                                  ", " + format_double(m[15]) + ")"};
    Mat3 b;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b[i][j] = m[4 * i + j];
    double worst = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += b[k][i] * b[k][j];
            const double e = std::fabs(s - (i == j ? 1.0 : 0.0));
            worst = e > worst || e != e ? e : worst;
        }
    if (!(worst <= kRotationSlack))
        return {std::nullopt,
                "the upper-left 3x3 block is not a rotation: its columns are not orthonormal "
                "(largest entry of B^T B - I is " +
                    format_double(worst) + ", allowed " + format_double(kRotationSlack) + ")"};
    const double det = b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) -
                       b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
                       b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0]);
    if (!(det > 0.0))
        return {std::nullopt,
                "the upper-left 3x3 block is a reflection (determinant " + format_double(det) + "), not a rotation"};
    const Vec3d t{m[3], m[7], m[11]};
    if (!std::isfinite(t.x) || !std::isfinite(t.y) || !std::isfinite(t.z))
        return {std::nullopt, "the translation column must be finite"};
    return {RigidTransform{Quat::from_matrix(b), t}, {}};
}

}  // namespace kestrum
