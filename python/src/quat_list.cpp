// Python classes QuatList and QuatListIterator: many rotations, one call on
// the pool. Element i of every result is the Quat method on element i,
// computed by the same core formula.
#include <string>
#include <variant>

#include "element_list.hpp"
#include "kestrum/quat_mean.hpp"

namespace kp {
namespace {

using kestrum::Quat;
using kestrum::Vec3d;
namespace formula = kestrum::formula;
using lists::bulk_formula;
using B = Binder<QuatListValue>;
using It = Binder<QuatListIterValue>;

// Pairwise operations need equal lengths.
void check_lengths(const char* what, std::size_t quats, std::size_t others) {
    if (quats != others)
        raise(PyExc_ValueError, std::string(what) + ": the lists have different lengths (" +
                                    std::to_string(quats) + " and " + std::to_string(others) + ")");
}

QuatListValue from_array(const Rows<4>& a) { return lists::from_rows<Quat>(a); }

// A Vec3d is rotated by every quaternion; a VecList pairwise.
VecListValue rotate(const QuatListValue& self, const OneOf<Vec3d, VecListValue>& v) {
    const Quat* q = self.items.data();
    if (const Vec3d* const* one = std::get_if<0>(&v.v)) {
        const Vec3d p = **one;
        return {bulk_formula<Vec3d>(self.items.size(), [q, p](auto a, std::size_t i) {
            return formula::rotate<decltype(a)>(q[i], p);
        }, 2)};
    }
    const VecListValue& list = *std::get<1>(v.v);
    check_lengths("rotate", self.items.size(), list.items.size());
    const Vec3d* p = list.items.data();
    return {bulk_formula<Vec3d>(self.items.size(), [q, p](auto a, std::size_t i) {
        return formula::rotate<decltype(a)>(q[i], p[i]);
    }, 2)};
}

// Negation only: exact, and a NaN keeps its payload with the sign flipped,
// as in Quat.conjugate.
QuatListValue conjugate(const QuatListValue& self) {
    const Quat* q = self.items.data();
    return {lists::bulk<Quat>(self.items.size(), [q](std::size_t i) { return q[i].conjugate(); })};
}

QuatListValue normalize(const QuatListValue& self) {
    return {bulk_formula<Quat>(self, [](auto a, Quat q) { return formula::normalize<decltype(a)>(q); }, 4)};
}

DoubleArray magnitude(const QuatListValue& self) {
    const std::size_t n = self.items.size();
    return {bulk_formula<double>(self, [](auto a, Quat q) { return formula::magnitude<decltype(a)>(q); }), {n}};
}

// Partial sums over fixed blocks, added in block order: the same sum for
// every pool size.
Quat mean(const QuatListValue& self) {
    using kestrum::kMeanBlock;
    const std::size_t n = self.items.size();
    if (n == 0) raise(PyExc_ValueError, "mean of an empty QuatList");
    const Quat* q = self.items.data();
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
    B::static_method<"from_array", &from_array, "array">("A list from an (n, 4) float64/float32 buffer or rows of four numbers, in (w, i, j, k) order."),
    B::method<"append", &lists::append<Quat>, "quat">("Adds `quat` at the end."),
    B::method<"extend", &lists::extend<Quat>, "other">("Adds the quaternions of `other` at the end."),
    B::method<"rotate", &rotate, "v">("`v` rotated by each quaternion: a Vec3d by every one, a VecList of the same length pairwise."),
    B::method<"conjugate", &conjugate>("Each quaternion's conjugate (w, -i, -j, -k)."),
    B::method<"normalize", &normalize>("Each quaternion scaled to norm 1."),
    B::method<"magnitude", &magnitude>("Each quaternion's Euclidean norm, as a read-only float64 buffer."),
    B::method<"mean", &mean>("The average rotation: the eigenvector of the summed outer products q q^T with the largest eigenvalue (Markley's method), unit, with w >= 0."),
    B::reduce(),
    {},
};

const PyType_Slot slots[] = {
    B::len<&lists::length<Quat>>("The number of quaternions."),
    B::item<&lists::item<Quat>, "index">("A copy of the quaternion at `index`."),
    B::iter<&lists::iter<Quat>>("Iterates over copies of the quaternions."),
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&lists::repr<Quat>>)},
    B::buffer<&lists::block<Quat>>("A read-only (len, 4) float64 view in (w, i, j, k) order; the list cannot change while a view is alive."),
    {Py_bf_releasebuffer, reinterpret_cast<void*>(&B::release_buffer)},
    {0, nullptr},
};

const PyType_Slot iterator_slots[] = {
    It::iter_itself("The iterator itself."),
    It::next_item<&lists::next<Quat>>("The next quaternion."),
    {0, nullptr},
};

}  // namespace

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
