// Python class Quat.
#include <algorithm>
#include <cmath>
#include <span>
#include <string>

#include "kestrum/formula/fit.hpp"
#include "points.hpp"
#include "parallel/algorithms.hpp"

namespace kp {
namespace {

using kestrum::AngleRadians;
using kestrum::EulerAngles;
using kestrum::EulerSeq;
using kestrum::Mat3;
using kestrum::Quat;
using kestrum::Vec3d;
namespace formula = kestrum::formula;
namespace pool = kestrum::parallel;
using B = Binder<Quat>;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

// A plain tuple, not a Vec3d.
std::tuple<double, double, double> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }
std::pair<Vec3d, AngleRadians> to_axis_angle(const Quat& q) {
    const kestrum::AxisAngle r = q.to_axis_angle();
    return {r.axis, r.angle};
}

kestrum::Matrix3 as_matrix(const Quat& q) { return {q.as_matrix()}; }

std::tuple<AngleRadians, AngleRadians, AngleRadians> as_euler(const Quat& q, std::string_view seq) {
    const EulerAngles e = q.as_euler(euler_seq(seq));
    return {e[0], e[1], e[2]};
}
Quat from_euler(std::string_view seq, AngleRadians a, AngleRadians b, AngleRadians c) {
    return Quat::from_euler(euler_seq(seq), a, b, c);
}

// Pairs are summed in fixed chunks, each in index order, and the chunk sums
// are added in chunk order on the calling thread: the result is the same
// bits for every pool size, whichever worker ran which chunk.
constexpr std::size_t kChunk = 256;

// One value per chunk: f(arith, lo, hi) evaluated Plain, and again
// NaN-ordered when it comes out NaN (a NaN anywhere in a chain of sums
// reaches its end, so a non-NaN chunk saw none).
template <class Out, class F>
std::vector<Out> chunk_sums(std::size_t n, const F& f) {
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    std::vector<Out> out(chunks);
    Out* o = out.data();
    pool::map_ranges(
        std::span<Out>(o, chunks),
        [o, n, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
            for (std::size_t c = lo; c < hi; ++c) {
                const std::size_t a = c * kChunk, b = std::min(n, a + kChunk);
                o[c] = f(kestrum::Plain{}, a, b);
                if (kestrum::any_nan(reinterpret_cast<const double*>(&o[c]), sizeof(Out) / sizeof(double)))
                    o[c] = f(kestrum::NanOrdered{}, a, b);
            }
        },
        kChunk);
    return out;
}

Quat from_rotvec(Point v) { return Quat::from_rotvec(v); }
Quat between(Point a, Point b) { return Quat::between(a, b); }

std::pair<Quat, double> align(const Points& a, const Points& b) {
    const std::size_t n = a.rows;
    if (b.rows != n)
        raise(PyExc_ValueError,
              "a and b differ in length (" + std::to_string(n) + " and " + std::to_string(b.rows) + ")");
    if (n == 0) raise(PyExc_ValueError, "align needs at least one pair of vectors");
    VecListValue copy_a, copy_b;
    const Vec3d* pa = point_span(a, copy_a).data();
    const Vec3d* pb = point_span(b, copy_b).data();
    const auto parts = chunk_sums<formula::WahbaSums>(n, [pa, pb](auto arith, std::size_t lo, std::size_t hi) {
        formula::WahbaSums s;
        for (std::size_t i = lo; i < hi; ++i) formula::add_pair<decltype(arith)>(s, pa[i], pb[i]);
        return s;
    });
    formula::WahbaSums total = parts[0];
    for (std::size_t c = 1; c < parts.size(); ++c) total = formula::add_sums<kestrum::NanOrdered>(total, parts[c]);
    const Quat q = kestrum::wahba_rotation(total);
    // The residual is summed anew rather than taken from the eigenvalue,
    // whose difference from the sums of squares cancels to noise on a close fit.
    const Mat3 m = q.as_matrix();
    const auto res = chunk_sums<double>(n, [pa, pb, &m](auto arith, std::size_t lo, std::size_t hi) {
        using A = decltype(arith);
        double s = 0.0;
        for (std::size_t i = lo; i < hi; ++i) s = A::add(s, formula::residual2<A>(m, pa[i], pb[i]));
        return s;
    });
    double sum = res[0];
    for (std::size_t c = 1; c < res.size(); ++c) sum = kestrum::add(sum, res[c]);
    return {q, std::sqrt(sum / static_cast<double>(n))};
}

PyMethodDef methods[] = {
    B::static_method<"identity", &Quat::identity>("The identity rotation (1, 0, 0, 0)."),
    B::static_method<"from_axis_angle", &Quat::from_axis_angle, "axis", "angle">(
        "The rotation by `angle` about `axis` (used as given): (cos(angle/2), -sin(angle/2) * axis), the conjugate of "
        "PyGLM's."),
    B::method<"conjugate", &Quat::conjugate>("The conjugate (w, -i, -j, -k)."),
    B::method<"magnitude", &Quat::magnitude>("Euclidean norm."),
    B::method<"normalize", &Quat::normalize>("This quaternion divided by its norm."),
    B::method<"is_unit", &Quat::is_unit>("Whether abs(norm - 1) < 2**-52, strictly."),
    B::method<"to_vec3d", &to_vec3d>("The vector part (i, j, k) as a tuple."),
    B::method<"to_axis_angle", &to_axis_angle>(
        "The rotation's axis and angle; ((1, 0, 0), 0) when w is within 2**-52 of 1."),
    B::method<"to_rotation_matrix", &Quat::to_rotation_matrix>("The 3x3 rotation matrix, row by row."),
    B::method<"rotate", &Quat::rotate, "v">(
        "`v` rotated: conj(q) * v * q, counterclockwise for from_axis_angle; a non-unit q also scales by |q|**2."),
    B::method<"then", &quat_then, "p">("The rotation by this quaternion followed by `p`: the Hamilton product self p; "
                                       "with a QuatList, that for each of its rotations.",
                                       Raises{"ValueError: then: the lists have different lengths"}),
    B::method<"inverse", &Quat::inverse>("The inverse rotation, conjugate / |q|^2."),
    B::method<"slerp", &Quat::slerp, "p", "t">(
        "Spherical interpolation towards `p` along the shorter arc; t = 0 gives self."),
    B::method<"angle_to", &Quat::angle_to, "p">("The angle of the rotation taking this one to `p`, in [0, pi]."),
    B::method<"as_matrix", &as_matrix>("The 3x3 matrix that rotate applies (acting on column vectors), as a Mat3."),
    B::method<"as_rotvec", &Quat::as_rotvec>("The rotation vector: the axis scaled to the angle, in [0, pi]."),
    B::method<"as_euler", &as_euler, "seq">("Euler angles for the axis sequence `seq`, as scipy's Rotation.as_euler.",
                                            Raises{"ValueError: invalid Euler sequence"}),
    B::static_method<"from_matrix", &Quat::from_matrix, "m">(
        "The unit rotation (w >= 0) a 3x3 rotation matrix applies."),
    B::static_method<"from_rotvec", &from_rotvec, "v">("The rotation by |v| radians about v."),
    B::static_method<"from_euler", &from_euler, "seq", "a", "b", "c">(
        "The rotation by Euler angles for the axis sequence `seq`, as scipy's Rotation.from_euler.",
        Raises{"ValueError: invalid Euler sequence"}),
    B::static_method<"between", &between, "a", "b">(
        "The shortest-arc rotation taking the direction of `a` to that of `b`."),
    B::static_method<"align", &align, "a", "b">(
        "The rotation q minimising the squared distances of q.rotate(a[i]) to b[i], and the RMS residual.",
        Raises{"ValueError: a and b differ in length", "ValueError: align needs at least one pair"}),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"w", &Quat::w>("The scalar part."),
    B::field<"i", &Quat::i>("The i component."),
    B::field<"j", &Quat::j>("The j component."),
    B::field<"k", &Quat::k>("The k component."),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&Quat::to_string>(),
    {0, nullptr},
};

}  // namespace

EulerSeq euler_seq(std::string_view text) {
    if (const auto seq = EulerSeq::parse(text)) return *seq;
    raise(PyExc_ValueError, "invalid Euler sequence '" + std::string(text) +
                                "': expected three of 'x', 'y', 'z' (extrinsic) or of 'X', 'Y', 'Z' (intrinsic), "
                                "no two consecutive equal, such as 'xyz', 'ZYX' or 'zxz'");
}

const TypeDef& Class<Quat>::def() {
    static const TypeDef def =
        make_type<Quat>(B::constructor<&make, "w", "i", "j", "k">(
                            "A quaternion from its four components, scalar first; == is identity."),
                        slots, methods, properties);
    return def;
}

}  // namespace kp
