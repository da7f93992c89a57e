// Python classes QuatList and QuatListIterator: many rotations, one call on
// the pool. Element i of every result is the Quat method on element i,
// computed by the same core formula.
#include <cmath>
#include <string>
#include <variant>

#include "element_list.hpp"
#include "points.hpp"
#include "kestrum/format.hpp"
#include "kestrum/formula/fit.hpp"

namespace kp {
namespace {

using kestrum::AngleRadians;
using kestrum::EulerAngles;
using kestrum::Mat3;
using kestrum::Quat;
using kestrum::Vec3d;
namespace formula = kestrum::formula;
using lists::bulk_formula;
namespace pool = kestrum::parallel;
using B = Binder<QuatListValue>;
using It = Binder<QuatListIterValue>;

// Pairwise operations need equal lengths.
void check_lengths(const char* what, std::size_t quats, std::size_t others) {
    if (quats != others)
        raise(PyExc_ValueError, std::string(what) + ": the lists have different lengths (" + std::to_string(quats) +
                                    " and " + std::to_string(others) + ")");
}

QuatListValue from_array(const Rows<4>& a) { return lists::from_rows<Quat>(a); }

// One point is rotated by every quaternion; several pairwise.
VecListValue rotate(const QuatListValue& self, const Points& v) {
    const Quat* q = self.items.data();
    if (v.single) {
        const Vec3d p = point_at(v, 0);
        return {bulk_formula<Vec3d>(
            self.items.size(), [q, p](auto a, std::size_t i) { return formula::rotate<decltype(a)>(q[i], p); }, 2)};
    }
    check_lengths("rotate", self.items.size(), v.rows);
    VecListValue copy;
    const Vec3d* p = point_span(v, copy).data();
    return {bulk_formula<Vec3d>(
        self.items.size(), [q, p](auto a, std::size_t i) { return formula::rotate<decltype(a)>(q[i], p[i]); }, 2)};
}

// Negation only: exact, and a NaN keeps its payload with the sign flipped,
// as in Quat.conjugate.
QuatListValue conjugate(const QuatListValue& self) {
    const Quat* q = self.items.data();
    return {lists::bulk<Quat>(self.items.size(), [q](std::size_t i) { return q[i].conjugate(); })};
}

QuatListValue normalize(const QuatListValue& self) {
    return {bulk_formula<Quat>(
        self, [](auto a, Quat q) { return formula::normalize<decltype(a)>(q); }, 4)};
}

Array magnitude(const QuatListValue& self) {
    const std::size_t n = self.items.size();
    return {bulk_formula<double>(self, [](auto a, Quat q) { return formula::magnitude<decltype(a)>(q); }), {n}};
}

// f(arith, element, argument): a Quat argument is used with every element,
// a QuatList pairwise.
template <class Out, class F>
ElementArray<Out> with_quats(const char* what, const QuatListValue& self, const OneOf<Quat, QuatListValue>& p,
                             const F& f, std::size_t weight) {
    const Quat* q = self.items.data();
    if (const Quat* const* one = std::get_if<0>(&p.v)) {
        const Quat r = **one;
        return bulk_formula<Out>(
            self.items.size(), [q, r, &f](auto a, std::size_t i) { return f(a, q[i], r); }, weight);
    }
    const QuatListValue& list = *std::get<1>(p.v);
    check_lengths(what, self.items.size(), list.items.size());
    const Quat* r = list.items.data();
    return bulk_formula<Out>(
        self.items.size(), [q, r, &f](auto a, std::size_t i) { return f(a, q[i], r[i]); }, weight);
}

QuatListValue then(const QuatListValue& self, const OneOf<Quat, QuatListValue>& p) {
    return {with_quats<Quat>(
        "then", self, p, [](auto a, Quat q, Quat r) { return formula::then<decltype(a)>(q, r); }, 2)};
}

QuatListValue inverse(const QuatListValue& self) {
    return {bulk_formula<Quat>(
        self, [](auto a, Quat q) { return formula::inverse<decltype(a)>(q); }, 4)};
}

Array angle_to(const QuatListValue& self, const OneOf<Quat, QuatListValue>& p) {
    return {with_quats<AngleRadians>(
                "angle_to", self, p, [](auto a, Quat q, Quat r) { return formula::angle_to<decltype(a)>(q, r); }, 8),
            {self.items.size()}};
}

QuatListValue slerp(const QuatListValue& self, const OneOf<Quat, QuatListValue>& p, double t) {
    return {with_quats<Quat>(
        "slerp", self, p, [t](auto a, Quat q, Quat r) { return formula::slerp<decltype(a)>(q, r, t); }, 8)};
}

QuatListValue slerp_path(Quat q, Quat p, const Rows<>& ts) {
    return {lists::bulk_from_table<Quat, 1, 1>(
        ts, [q, p](auto a, const std::array<double, 1>& t) { return formula::slerp<decltype(a)>(q, p, t[0]); }, 8)};
}

Array as_matrix(const QuatListValue& self) {
    return {bulk_formula<Mat3, pool::Lanes::scalar>(
                self, [](auto a, Quat q) { return formula::as_matrix<decltype(a)>(q); }, 2),
            {self.items.size(), 3, 3}};
}

QuatListValue from_matrix(const Matrices& m) {
    return {lists::bulk_from_table<Quat, 3, 3, pool::Lanes::scalar>(
        m,
        [](auto a, const std::array<double, 9>& c) {
            const Mat3 mat{{{c[0], c[1], c[2]}, {c[3], c[4], c[5]}, {c[6], c[7], c[8]}}};
            return formula::from_matrix<decltype(a)>(mat);
        },
        4)};
}

VecListValue as_rotvec(const QuatListValue& self) {
    return {bulk_formula<Vec3d>(
        self, [](auto a, Quat q) { return formula::as_rotvec<decltype(a)>(q); }, 8)};
}

// A VecList is read through its buffer export.
QuatListValue from_rotvec(const Points& v) {
    return {lists::bulk_from_table<Quat, 1, 3>(
        v,
        [](auto a, const std::array<double, 3>& c) {
            return formula::from_rotvec<decltype(a)>(Vec3d{c[0], c[1], c[2]});
        },
        8)};
}

Array as_euler(const QuatListValue& self, std::string_view seq) {
    const kestrum::EulerSeq s = euler_seq(seq);
    return {bulk_formula<EulerAngles>(
                self, [s](auto a, Quat q) { return formula::as_euler<decltype(a)>(q, s); }, 8),
            {self.items.size(), 3}};
}

QuatListValue from_euler(std::string_view seq, const Rows3& angles) {
    const kestrum::EulerSeq s = euler_seq(seq);
    return {lists::bulk_from_table<Quat, 1, 3>(
        angles,
        [s](auto a, const std::array<double, 3>& c) {
            return formula::from_euler<decltype(a)>(s, AngleRadians{c[0]}, AngleRadians{c[1]}, AngleRadians{c[2]});
        },
        8)};
}

// Partial sums over fixed blocks, added in block order: the same sum for
// every pool size. Weights scale each outer product: w q q^T is
// (sqrt(w) q)(sqrt(w) q)^T, so the blocks sum scaled copies.
Quat mean(const QuatListValue& self, const std::optional<Column>& weights) {
    using kestrum::kMeanBlock;
    const std::size_t n = self.items.size();
    if (n == 0) raise(PyExc_ValueError, "mean of an empty QuatList");
    const Quat* q = self.items.data();
    std::vector<Quat> scaled;
    if (weights) {
        const std::vector<double> w = weights_of(weights, n, "quaternion");
        const double* wp = w.data();
        scaled.resize(n);
        Quat* out = scaled.data();
        pool::map_into(std::span<Quat>(out, n), [q, wp](std::size_t i) {
            const double s = std::sqrt(wp[i]);
            return Quat{q[i].w * s, q[i].i * s, q[i].j * s, q[i].k * s};
        });
        q = scaled.data();
    }
    const auto partial = lists::bulk<kestrum::OuterSum>((n - 1) / kMeanBlock + 1, [q, n](std::size_t b) {
        const std::size_t lo = b * kMeanBlock, count = std::min(kMeanBlock, n - lo);
        kestrum::OuterSum s = kestrum::outer_sum<kestrum::Plain>(q + lo, count);
        if (kestrum::any_nan(s.data(), s.size())) s = kestrum::outer_sum<kestrum::NanOrdered>(q + lo, count);
        return s;
    });
    const kestrum::parallel::DefaultFpEnv fp;  // the rest runs here, on the calling thread
    kestrum::OuterSum total = partial[0];
    for (std::size_t b = 1; b < partial.size(); ++b) total = kestrum::add(total, partial[b]);
    return kestrum::markley_mean(total);
}

PyMethodDef methods[] = {
    B::static_method<"empty", &lists::empty<Quat>>("A list with no quaternions."),
    B::static_method<"from_array", &from_array, "array">(
        "A list from an (n, 4) float64/float32 buffer or rows of four numbers, in (w, i, j, k) order."),
    B::method<"append", &lists::append<Quat>, "quat">("Adds `quat` at the end."),
    B::method<"extend", &lists::extend<Quat>, "other">("Adds the quaternions of `other` at the end."),
    B::method<"rotate", &rotate, "v">("`v` rotated by each quaternion: one point (a Vec3d, three numbers) by every "
                                      "one, as many points (a VecList, an (n, 3) buffer, rows) pairwise.",
                                      Raises{"ValueError: rotate: the lists have different lengths"}),
    B::method<"conjugate", &conjugate>("Each quaternion's conjugate (w, -i, -j, -k)."),
    B::method<"normalize", &normalize>("Each quaternion scaled to norm 1."),
    B::method<"magnitude", &magnitude>("Each quaternion's Euclidean norm, as a read-only float64 buffer."),
    B::method<"then", &then, "p">(
        "Each rotation followed by `p`: a Quat after every one, a QuatList of the same length pairwise.",
        Raises{"ValueError: then: the lists have different lengths"}),
    B::method<"inverse", &inverse>("Each quaternion's inverse rotation, conjugate / |q|^2."),
    B::method<"angle_to", &angle_to, "p">("The angle of the rotation taking each one to `p` (a Quat, or a QuatList "
                                          "pairwise), in [0, pi], as a read-only float64 buffer.",
                                          Raises{"ValueError: angle_to: the lists have different lengths"}),
    B::method<"slerp", &slerp, "p", "t">(
        "Each quaternion interpolated towards `p` (a Quat, or a QuatList pairwise) along the shorter arc, at `t`.",
        Raises{"ValueError: slerp: the lists have different lengths"}),
    B::static_method<"slerp_path", &slerp_path, "q", "p", "ts">(
        "q.slerp(p, t) for each t of `ts`, a 1-D float buffer or sequence."),
    B::method<"as_matrix", &as_matrix>(
        "The matrices rotate applies (acting on column vectors), as a read-only (n, 3, 3) float64 buffer."),
    B::static_method<"from_matrix", &from_matrix, "m">(
        "The unit rotations (w >= 0) of rotation matrices: an (n, 3, 3) buffer or a sequence of Mat3s, rows or (3, 3) "
        "buffers; one matrix alone gives one."),
    B::method<"as_rotvec", &as_rotvec>("The rotation vectors: each axis scaled to its angle in [0, pi]."),
    B::static_method<"from_rotvec", &from_rotvec, "v">("The rotations by |v| radians about each v of a VecList, an (n, "
                                                       "3) buffer or rows; one vector alone gives one."),
    B::method<"as_euler", &as_euler, "seq">(
        "Euler angles for the axis sequence `seq`, as scipy's Rotation.as_euler, as a read-only (n, 3) float64 buffer.",
        Raises{"ValueError: invalid Euler sequence"}),
    B::static_method<"from_euler", &from_euler, "seq", "angles">(
        "The rotations by an (n, 3) buffer of Euler angles in radians for the axis sequence `seq`.",
        Raises{"ValueError: invalid Euler sequence"}),
    B::method<"mean", &mean, "weights=None">(
        "The average rotation: the eigenvector of the summed outer products w q q^T (w: `weights`, n finite "
        "non-negative numbers, default all 1) with the largest eigenvalue (Markley's method), unit, with w >= 0.",
        Raises{"ValueError: mean of an empty QuatList", "ValueError: expected", "ValueError: weights must be finite",
               "ValueError: the weights are all zero"}),
    B::reduce(),
    {},
};

const PyType_Slot slots[] = {
    B::len<&lists::length<Quat>>("The number of quaternions."),
    B::item<&lists::item<Quat>, "index">("A copy of the quaternion at `index`."),
    B::iter<&lists::iter<Quat>>("Iterates over copies of the quaternions."),
    B::repr<&lists::repr<Quat>>(),
    B::buffer<&lists::block<Quat>>(
        "A read-only (len, 4) float64 view in (w, i, j, k) order; the list cannot change while a view is alive."),
    B::buffer_release(),
    {0, nullptr},
};

const PyType_Slot iterator_slots[] = {
    It::iter_itself("The iterator itself."),
    It::next_item<&lists::next<Quat>>("The next quaternion."),
    {0, nullptr},
};

}  // namespace

// Quat.then: a fixed first rotation followed by each of a QuatList.
std::variant<Quat, QuatListValue> quat_then(const Quat& q, const OneOf<Quat, QuatListValue>& p) {
    if (const Quat* const* one = std::get_if<0>(&p.v)) return q.then(**one);
    const QuatListValue& list = *std::get<1>(p.v);
    const Quat* r = list.items.data();
    return QuatListValue{bulk_formula<Quat>(
        list.items.size(), [q, r](auto a, std::size_t i) { return formula::then<decltype(a)>(q, r[i]); }, 2)};
}

// module.cpp's _unpickle and every reduction use these.
template struct Pickled<QuatListValue>;

const TypeDef& Class<QuatListValue>::def() {
    static const TypeDef def = make_type<QuatListValue>(
        B::constructor<&lists::make<Quat>, "list">("A list of copies of the quaternions in `list`."), slots, methods);
    return def;
}

const TypeDef& Class<QuatListIterValue>::def() {
    static const TypeDef def = make_type<QuatListIterValue>({}, iterator_slots);
    return def;
}

}  // namespace kp
