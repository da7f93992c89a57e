// Python classes VecList and VecListIterator. Element i of every bulk result
// is the single-vector operation on element i, computed by the same core
// function, so results match Vec3d/Quat bit for bit whatever the pool size.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "element_list.hpp"
#include "points.hpp"
#include "spatial/rigid_fit.hpp"

namespace kp {
namespace {

using kestrum::Quat;
using kestrum::Vec3d;
namespace formula = kestrum::formula;
namespace pool = kestrum::parallel;
using lists::bulk_formula;
using lists::kRun;
using B = Binder<VecListValue>;
using It = Binder<VecListIterValue>;

// f applied to every element, in place of the element's index.
template <class Out, class F>
ElementArray<Out> bulk_values(const VecListValue& self, const F& f) {
    const Vec3d* e = self.items.data();
    return lists::bulk<Out>(self.items.size(), [e, &f](std::size_t i) { return f(e[i]); });
}

template <class F>
VecListValue bulk_vectors(const VecListValue& self, const F& f) {
    return {bulk_values<Vec3d>(self, f)};
}

VecListValue from_array(const Rows3& a) { return lists::from_rows<Vec3d>(a); }

const VecArray& as_list(const VecListValue& self) { return self.items; }

ElementArray<std::array<double, 3>> to_array(const VecListValue& self) {
    return bulk_values<std::array<double, 3>>(self, [](Vec3d v) { return std::array<double, 3>{v.x, v.y, v.z}; });
}

ElementArray<double> magnitude(const VecListValue& self) {
    return bulk_formula<double>(self, [](auto a, Vec3d v) { return formula::magnitude<decltype(a)>(v); });
}

VecListValue normalize(const VecListValue& self) {
    return {bulk_formula<Vec3d>(
        self, [](auto a, Vec3d v) { return formula::normalize<decltype(a)>(v); }, 4)};
}

ElementArray<Truth> is_unit(const VecListValue& self) {
    return bulk_values<Truth>(self, [](Vec3d v) { return Truth{v.is_unit()}; });
}

ElementArray<double> dot(const VecListValue& self, Vec3d other) {
    return bulk_formula<double>(self, [other](auto a, Vec3d v) { return formula::dot<decltype(a)>(v, other); });
}

VecListValue cross(const VecListValue& self, Vec3d other) {
    return {bulk_formula<Vec3d>(self, [other](auto a, Vec3d v) { return formula::cross<decltype(a)>(v, other); })};
}

ElementArray<double> distance_to(const VecListValue& self, Vec3d other) {
    return bulk_formula<double>(
        self, [other](auto a, Vec3d v) { return std::sqrt(formula::distance_squared<decltype(a)>(v, other)); });
}

// Coarse pass over every stride-th element, then a fine pass over the
// window of one stride on either side of the best sample.
std::pair<std::uint64_t, double> minimum_distance_to(const VecListValue& self, Vec3d other, std::uint64_t stride) {
    if (stride == 0) kestrum::panic("assertion failed: stride != 0");
    const Vec3d* e = self.items.data();
    const std::size_t n = self.items.size();
    const auto key = [e, other](std::size_t i) { return e[i].distance_squared(other); };
    const auto coarse = pool::first_min_strided(n, stride, key);
    if (!coarse) kestrum::panic("called `Option::unwrap()` on a `None` value");
    const std::size_t c = *coarse;
    const std::size_t start = c >= stride ? c - stride : 0;
    const std::size_t end = stride >= n - c ? n : c + stride;  // c + stride may overflow
    const std::size_t j = *pool::first_min_range(start, end, key);
    const pool::DefaultFpEnv fp;  // computed here, on the calling thread
    return {j, std::sqrt(key(j))};
}

// A copy with one component zeroed: each run is copied as one block (the
// element-wise loop does not vectorise over the 24-byte stride) and then
// zeroed while still in cache. Bits are copied, so NaNs keep sign and payload.
template <double Vec3d::*Axis>
VecListValue collapse_axis(const VecListValue& self) {
    const std::size_t n = self.items.size();
    VecArray out(n);
    const Vec3d* e = self.items.data();
    Vec3d* o = out.data();
    pool::map_ranges(std::span<Vec3d>(o, n), [e, o](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
        for (std::size_t a = lo, b; a < hi; a = b) {
            b = std::min(hi, a + kRun);
            std::memcpy(static_cast<void*>(o + a), e + a, (b - a) * sizeof(Vec3d));
            for (std::size_t i = a; i < b; ++i) o[i].*Axis = 0.0;
        }
    });
    return {std::move(out)};
}

VecListValue collapse(const VecListValue& self, std::uint64_t axis) {
    if (axis > 2) kestrum::panic("assertion failed: axis <= 2");
    switch (axis) {
        case 0: return collapse_axis<&Vec3d::x>(self);
        case 1: return collapse_axis<&Vec3d::y>(self);
        default: return collapse_axis<&Vec3d::z>(self);
    }
}

// Readers never see a half-rotated list: the new array is complete before it
// replaces the old one.
void rotate(VecListValue& self, Quat quat) {
    VecListValue rotated{bulk_formula<Vec3d>(
        self, [quat](auto a, Vec3d v) { return formula::rotate<decltype(a)>(quat, v); }, 2)};
    self.items.swap(rotated.items);
}

// Each component of v + p and v * s is one operation on an element component
// and an argument. With no NaN in the argument, at most one operand of each
// is a NaN, which then wins in either operand order: the plain result is the
// NaN-ordered one, bit for bit, and the per-run NaN test can be skipped.
bool has_nan(Vec3d p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }

VecListValue add(const VecListValue& self, Vec3d other) {
    if (!has_nan(other)) return bulk_vectors(self, [other](Vec3d v) { return formula::sum<kestrum::Plain>(v, other); });
    return {bulk_formula<Vec3d>(self, [other](auto a, Vec3d v) { return formula::sum<decltype(a)>(v, other); })};
}
VecListValue sub(const VecListValue& self, Vec3d other) {
    return bulk_vectors(self, [other](Vec3d v) { return v - other; });
}
VecListValue mul(const VecListValue& self, double s) {
    if (!std::isnan(s)) return bulk_vectors(self, [s](Vec3d v) { return formula::scale<kestrum::Plain>(v, s); });
    return {bulk_formula<Vec3d>(self, [s](auto a, Vec3d v) { return formula::scale<decltype(a)>(v, s); })};
}
VecListValue div(const VecListValue& self, double s) {
    return bulk_vectors(self, [s](Vec3d v) { return v / s; });
}

// Summed in fixed chunks (spatial/rigid_fit.hpp): the same bits for every
// pool size.
Vec3d mean(const VecListValue& self) {
    if (self.items.empty()) raise(PyExc_ValueError, "mean of an empty VecList");
    return kestrum::spatial::mean({self.items.data(), self.items.size()}, nullptr, pool::global());
}

// Negative indices count from the end, as in Python; every index is checked
// before anything is built.
VecListValue take(const VecListValue& self, const Indices& indices) {
    const std::size_t n = self.items.size();
    const auto& idx = indices.v;
    if (indices.too_big)
        raise(PyExc_IndexError, "index " + std::to_string(indices.big) + " is out of range for a VecList of " +
                                    std::to_string(n) + " vectors");
    const auto size = static_cast<std::int64_t>(n);
    for (const std::int64_t i : idx)
        if (i >= size || i < -size)
            raise(PyExc_IndexError,
                  "index " + std::to_string(i) + " is out of range for a VecList of " + std::to_string(n) + " vectors");
    const Vec3d* e = self.items.data();
    const std::int64_t* k = idx.data();
    return {lists::bulk<Vec3d>(idx.size(), [e, k, size](std::size_t j) { return e[k[j] < 0 ? k[j] + size : k[j]]; })};
}

PyMethodDef methods[] = {
    B::static_method<"empty", &lists::empty<Vec3d>>("A list with no vectors."),
    B::static_method<"from_array", &from_array, "array">(
        "A list from an (n, 3) float64/float32 buffer or rows of three numbers."),
    B::method<"append", &lists::append<Vec3d>, "vec">("Adds `vec` at the end."),
    B::method<"extend", &lists::extend<Vec3d>, "other">("Adds the vectors of the VecList `other` at the end."),
    B::method<"to_array", &to_array>("The vectors as [[x, y, z], ...]."),
    B::method<"magnitude", &magnitude>("The length of each vector."),
    B::method<"normalize", &normalize>("Each vector divided by its length; a zero vector gives NaNs (sign bit set)."),
    B::method<"is_unit", &is_unit>("Whether abs(length - 1) < 2**-52 for each vector, strictly, as Vec3d.is_unit."),
    B::method<"dot", &dot, "other">("Each vector's dot product with `other`."),
    B::method<"cross", &cross, "other">("Each vector's cross product with `other`."),
    B::method<"distance_to", &distance_to, "other">("Each vector's distance to the point `other`."),
    B::method<"minimum_distance_to", &minimum_distance_to, "other", "stride">(
        "(index, distance) near `other`: best of every `stride`-th, refined within `stride`; a NaN with sign bit set "
        "ranks lowest; PanicException if empty or stride 0.",
        Raises{"PanicException: assertion failed: stride != 0",
               "PanicException: called `Option::unwrap()` on a `None` value"}),
    B::method<"collapse", &collapse, "axis">(
        "The vectors with component `axis` (0, 1 or 2) set to 0; another axis raises PanicException.",
        Raises{"PanicException: assertion failed: axis <= 2"}),
    B::method<"rotate", &rotate, "quat">(
        "Rotates every vector in place by `quat`, as Quat.rotate; fails while a buffer view is alive."),
    B::method<"mean", &mean>("The centroid, summed in fixed chunks (the same bits for every pool size); NaN in, NaN "
                             "out; ValueError if empty.",
                             Raises{"ValueError: mean of an empty VecList"}),
    B::method<"take", &take, "indices">(
        "A new VecList of the vectors at `indices` (int64 buffer or sequence of ints; negative ones count from the "
        "end); IndexError naming the first index out of range.",
        Raises{"IndexError: index"}),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::property<"list", &as_list>("The vectors as a list of Vec3d."),
    B::numpy_defers("Makes numpy operators give way: `np.float64(2) * vl` is `vl * 2.0`; ufuncs such as np.sqrt(vl) "
                    "still read the buffer."),
    {},
};

const PyType_Slot slots[] = {
    B::len<&lists::length<Vec3d>>("The number of vectors."),
    B::item<&lists::item<Vec3d>, "index">("A copy of the vector at `index`; a negative index raises OverflowError."),
    B::iter<&lists::iter<Vec3d>>("Iterates over copies of the vectors."),
    B::repr<&lists::repr<Vec3d>>(),
    B::number<Py_nb_add, &add>("Each vector plus a vector."),
    B::number<Py_nb_subtract, &sub>("Each vector minus a vector."),
    B::number<Py_nb_multiply, &mul, &mul>("Each vector scaled by a number, on either side."),
    B::number<Py_nb_true_divide, &div>("Each vector divided by a number; by 0 gives inf or NaN, no error."),
    B::buffer<&lists::block<Vec3d>>("A read-only (len, 3) float64 view; the list cannot change while a view is alive."),
    B::buffer_release(),
    {0, nullptr},
};

const PyType_Slot iterator_slots[] = {
    It::iter_itself("The iterator itself."),
    It::next_item<&lists::next<Vec3d>>("The next vector."),
    {0, nullptr},
};

}  // namespace

VecListValue vec_list_from_rows(const Rows3& rows) { return from_array(rows); }

// module.cpp's _unpickle and every reduction use these.
template struct Pickled<VecListValue>;

const TypeDef& Class<VecListValue>::def() {
    static const TypeDef def = make_type<VecListValue>(
        B::constructor<&lists::make<Vec3d>, "list">("A list of copies of the vectors in `list`; == is identity."),
        slots, methods, properties);
    return def;
}

const TypeDef& Class<VecListIterValue>::def() {
    static const TypeDef def = make_type<VecListIterValue>({}, iterator_slots);
    return def;
}

}  // namespace kp
