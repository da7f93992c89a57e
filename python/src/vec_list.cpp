// Python classes VecList and VecListIterator. Element i of every bulk result
// is the single-vector operation on element i, computed by the same core
// function, so results match Vec3d/Quat bit for bit whatever the pool size.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "classes.hpp"
#include "parallel/algorithms.hpp"

namespace kp {
namespace {

using kestrum::Quat;
using kestrum::Vec3d;
namespace formula = kestrum::formula;
namespace pool = kestrum::parallel;
using B = Binder<VecListValue>;
using It = Binder<VecListIterValue>;

// One output array at its final length, every slot written by the pool.
template <class Out, class F>
std::vector<Out, UninitAllocator<Out>> bulk(std::size_t n, const F& f) {
    std::vector<Out, UninitAllocator<Out>> out(n);
    pool::map_into(std::span<Out>(out.data(), n), f);
    return out;
}

// f applied to every element, in place of the element's index.
template <class Out, class F>
std::vector<Out, UninitAllocator<Out>> bulk_values(const VecListValue& self, const F& f) {
    const Vec3d* e = self.items.data();
    return bulk<Out>(self.items.size(), [e, &f](std::size_t i) { return f(e[i]); });
}

template <class F>
VecListValue bulk_vectors(const VecListValue& self, const F& f) {
    return {bulk_values<Vec3d>(self, f)};
}

// f(arith, element) evaluates a core formula (nan_order.hpp). Each run of
// elements is evaluated with Plain, which vectorises, and again with
// NanOrdered if any result came out NaN; results are then the single-value
// bits wherever the runs and pieces start.
constexpr std::size_t kRun = 256;

// `weight`: an element's cost relative to `v * s` (Pool::reduce).
template <class Out, class F>
std::vector<Out, UninitAllocator<Out>> bulk_formula(const VecListValue& self, const F& f, std::size_t weight = 1) {
    static_assert(sizeof(Out) % sizeof(double) == 0, "results are doubles");
    const std::size_t n = self.items.size();
    std::vector<Out, UninitAllocator<Out>> out(n);
    const Vec3d* e = self.items.data();
    Out* o = out.data();
    pool::map_ranges(std::span<Out>(o, n), [e, o, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
        for (std::size_t a = lo, b; a < hi; a = b) {
            b = std::min(hi, a + kRun);
            for (std::size_t i = a; i < b; ++i) o[i] = f(kestrum::Plain{}, e[i]);
            if (kestrum::any_nan(reinterpret_cast<const double*>(o + a), (b - a) * (sizeof(Out) / sizeof(double)))) {
                for (std::size_t i = a; i < b; ++i) o[i] = f(kestrum::NanOrdered{}, e[i]);
            }
        }
    }, weight);
    return out;
}

VecListValue make(const std::vector<Vec3d>& list) {
    const Vec3d* src = list.data();
    return {bulk<Vec3d>(list.size(), [src](std::size_t i) { return src[i]; })};
}

VecListValue empty() { return {}; }

double read_double(const char* p) {
    double d;
    std::memcpy(&d, p, sizeof d);
    return d;
}
double read_float(const char* p) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return static_cast<double>(f);  // exact
}

// Copied by the pool. float64 elements are moved as raw bytes (NaN payloads
// and -0.0 untouched); unaligned and negative strides are fine.
VecListValue from_array(const Rows3& a) {
    const char* base = a.base;
    const std::ptrdiff_t rs = a.row_stride, cs = a.col_stride;
    const auto row = [base, rs](std::size_t i) { return base + static_cast<std::ptrdiff_t>(i) * rs; };
    if (a.type == Rows3::Type::f32) {
        return {bulk<Vec3d>(a.rows, [row, cs](std::size_t i) {
            const char* r = row(i);
            return Vec3d{read_float(r), read_float(r + cs), read_float(r + 2 * cs)};
        })};
    }
    if (cs == static_cast<std::ptrdiff_t>(sizeof(double)) &&
        rs == static_cast<std::ptrdiff_t>(sizeof(Vec3d))) {  // one block: a memcpy per piece
        struct Copy {
            char* dst;
            const char* src;
            std::size_t seq(std::size_t lo, std::size_t hi) const {
                if (hi > lo)  // an empty list has no storage to copy to
                    std::memcpy(dst + lo * sizeof(Vec3d), src + lo * sizeof(Vec3d),
                                (hi - lo) * sizeof(Vec3d));
                return hi - lo;
            }
            std::size_t combine(std::size_t l, std::size_t r) const { return l + r; }
        };
        VecArray out(a.rows);
        const std::size_t copied =
            pool::global().reduce(a.rows, Copy{reinterpret_cast<char*>(out.data()), base});
        if (copied != a.rows)
            kestrum::panic("from_array copied " + std::to_string(copied) + " rows of " +
                           std::to_string(a.rows));
        return {std::move(out)};
    }
    if (cs == static_cast<std::ptrdiff_t>(sizeof(double))) {  // rows of three adjacent doubles
        return {bulk<Vec3d>(a.rows, [row](std::size_t i) {
            const char* r = row(i);
            return Vec3d{read_double(r), read_double(r + 8), read_double(r + 16)};
        })};
    }
    return {bulk<Vec3d>(a.rows, [row, cs](std::size_t i) {
        const char* r = row(i);
        return Vec3d{read_double(r), read_double(r + cs), read_double(r + 2 * cs)};
    })};
}

// The elements, in place: shape (len, 3), row-major.
DoubleBlock block(const VecListValue& self) {
    static_assert(sizeof(Vec3d) == 3 * sizeof(double));
    return {reinterpret_cast<const double*>(self.items.data()), self.items.size(), 3};
}

void append(VecListValue& self, Vec3d vec) { self.items.push_back(vec); }

void extend(VecListValue& self, const VecListValue& other) {
    self.items.insert(self.items.end(), other.items.begin(), other.items.end());
}

std::uint64_t length(const VecListValue& self) { return self.items.size(); }

Vec3d item(const VecListValue& self, std::uint64_t index) {
    if (index >= self.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return self.items[index];
}

VecListIterValue iter(const VecListValue& self) { return {self.items, 0}; }

const VecArray& as_list(const VecListValue& self) { return self.items; }

std::vector<std::array<double, 3>, UninitAllocator<std::array<double, 3>>> to_array(
    const VecListValue& self) {
    return bulk_values<std::array<double, 3>>(
        self, [](Vec3d v) { return std::array<double, 3>{v.x, v.y, v.z}; });
}

std::vector<double, UninitAllocator<double>> magnitude(const VecListValue& self) {
    return bulk_formula<double>(self, [](auto a, Vec3d v) { return formula::magnitude<decltype(a)>(v); });
}

VecListValue normalize(const VecListValue& self) {
    return {bulk_formula<Vec3d>(self, [](auto a, Vec3d v) { return formula::normalize<decltype(a)>(v); }, 4)};
}

std::vector<Truth, UninitAllocator<Truth>> is_unit(const VecListValue& self) {
    return bulk_values<Truth>(self, [](Vec3d v) { return Truth{v.is_unit()}; });
}

std::vector<double, UninitAllocator<double>> dot(const VecListValue& self, Vec3d other) {
    return bulk_formula<double>(self, [other](auto a, Vec3d v) { return formula::dot<decltype(a)>(v, other); });
}

VecListValue cross(const VecListValue& self, Vec3d other) {
    return {bulk_formula<Vec3d>(self, [other](auto a, Vec3d v) { return formula::cross<decltype(a)>(v, other); })};
}

std::vector<double, UninitAllocator<double>> distance_to(const VecListValue& self, Vec3d other) {
    return bulk_formula<double>(self, [other](auto a, Vec3d v) {
        return std::sqrt(formula::distance_squared<decltype(a)>(v, other));
    });
}

// Coarse pass over every stride-th element, then a fine pass over the
// window of one stride on either side of the best sample.
std::pair<std::uint64_t, double> minimum_distance_to(const VecListValue& self, Vec3d other,
                                                     std::uint64_t stride) {
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
    VecListValue rotated{
        bulk_formula<Vec3d>(self, [quat](auto a, Vec3d v) { return formula::rotate<decltype(a)>(quat, v); }, 2)};
    self.items.swap(rotated.items);
}

// Each component of v + p and v * s is one operation on an element component
// and an argument. With no NaN in the argument, at most one operand of each
// is a NaN, which then wins in either operand order: the plain result is the
// NaN-ordered one, bit for bit, and the per-run NaN test can be skipped.
bool has_nan(Vec3d p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }

VecListValue add(const VecListValue& self, Vec3d other) {
    if (!has_nan(other))
        return bulk_vectors(self, [other](Vec3d v) { return formula::sum<kestrum::Plain>(v, other); });
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

// Formatted a block of elements at a time (each block spread over the pool),
// so that the frame can poll for Ctrl-C between blocks. The receiver stays
// borrowed until the frame has converted the text.
PieceText repr(const VecListValue& self) {
    constexpr std::size_t kBlock = std::size_t{1} << 15;
    const Vec3d* e = self.items.data();
    const std::size_t n = self.items.size();
    const std::size_t pieces = n == 0 ? 1 : (n - 1) / kBlock + 1;
    return {pieces, [e, n](std::string& out, std::size_t piece) {
                const std::size_t lo = piece * kBlock;
                const std::size_t hi = std::min(n, lo + kBlock);
                out += piece == 0 ? '[' : '\n';
                out += pool::join(
                    hi - lo,
                    [b = e + lo](std::string& text, std::size_t i) { kestrum::append_text(text, b[i]); },
                    "\n");
                if (hi == n) out += ']';
            }};
}

std::optional<Vec3d> next(VecListIterValue& it) {
    if (it.cursor >= it.items.size()) return std::nullopt;
    return it.items[it.cursor++];
}

PyMethodDef methods[] = {
    B::static_method<"empty", &empty>("A list with no vectors."),
    B::static_method<"from_array", &from_array, "array">("A list from an (n, 3) float64/float32 buffer or rows of three numbers."),
    B::method<"append", &append, "vec">("Adds `vec` at the end."),
    B::method<"extend", &extend, "other">("Adds the vectors of the VecList `other` at the end."),
    B::method<"to_array", &to_array>("The vectors as [[x, y, z], ...]."),
    B::method<"magnitude", &magnitude>("The length of each vector."),
    B::method<"normalize", &normalize>("Each vector divided by its length; a zero vector gives NaNs (sign bit set)."),
    B::method<"is_unit", &is_unit>("Whether abs(length - 1) < 2**-52 for each vector, strictly, as Vec3d.is_unit."),
    B::method<"dot", &dot, "other">("Each vector's dot product with `other`."),
    B::method<"cross", &cross, "other">("Each vector's cross product with `other`."),
    B::method<"distance_to", &distance_to, "other">("Each vector's distance to the point `other`."),
    B::method<"minimum_distance_to", &minimum_distance_to, "other", "stride">("(index, distance) near `other`: best of every `stride`-th, refined within `stride`; a NaN with sign bit set ranks lowest; PanicException if empty or stride 0."),
    B::method<"collapse", &collapse, "axis">("The vectors with component `axis` (0, 1 or 2) set to 0; another axis raises PanicException."),
    B::method<"rotate", &rotate, "quat">("Rotates every vector in place by `quat`, as Quat.rotate; fails while a buffer view is alive."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::property<"list", &as_list>("The vectors as a list of Vec3d."),
    B::numpy_defers("Makes numpy operators give way: `np.float64(2) * vl` is `vl * 2.0`; ufuncs such as np.sqrt(vl) still read the buffer."),
    {},
};

const PyType_Slot slots[] = {
    B::len<&length>("The number of vectors."),
    B::item<&item, "index">("A copy of the vector at `index`; a negative index raises OverflowError."),
    B::iter<&iter>("Iterates over copies of the vectors."),
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&repr>)},
    B::number<Py_nb_add, &add>("Each vector plus a vector."),
    B::number<Py_nb_subtract, &sub>("Each vector minus a vector."),
    B::number<Py_nb_multiply, &mul, &mul>("Each vector scaled by a number, on either side."),
    B::number<Py_nb_true_divide, &div>("Each vector divided by a number; by 0 gives inf or NaN, no error."),
    B::buffer<&block>("A read-only (len, 3) float64 view; the list cannot change while a view is alive."),
    {Py_bf_releasebuffer, reinterpret_cast<void*>(&B::release_buffer)},
    {0, nullptr},
};

const PyType_Slot iterator_slots[] = {
    It::iter_itself("The iterator itself."),
    It::next_item<&next>("The next vector."),
    {0, nullptr},
};

}  // namespace

VecListValue vec_list_from_rows(const Rows3& rows) { return from_array(rows); }

// Protocol 5 lends the elements out as one buffer: pickle writes it in-band
// or gives it to buffer_callback, either way without an extra copy here.
PyObject* Pickled<VecListValue>::state(PyObject* self, const VecListValue& value,
                                       std::uint64_t protocol) {
    if (protocol >= 5) return PyPickleBuffer_FromObject(self);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value.items.data()),
                                     static_cast<Py_ssize_t>(value.items.size() * sizeof(Vec3d)));
}

VecListValue Pickled<VecListValue>::load(Bytes state) {
    if (state.size % sizeof(Vec3d) != 0)
        raise(PyExc_ValueError, "pickled VecList state must be a multiple of 24 bytes, got " +
                                    std::to_string(state.size));
    Rows3 rows;
    rows.base = reinterpret_cast<const char*>(state.data);
    rows.rows = state.size / sizeof(Vec3d);
    rows.row_stride = sizeof(Vec3d);
    rows.col_stride = sizeof(double);
    return from_array(rows);
}

const TypeDef& Class<VecListValue>::def() {
    static const TypeDef def =
        make_type<VecListValue>(B::constructor<&make, "list">("A list of copies of the vectors in `list`; == is identity."), slots, methods, properties);
    return def;
}

const TypeDef& Class<VecListIterValue>::def() {
    static const TypeDef def =
        make_type<VecListIterValue>({}, iterator_slots);
    return def;
}

}  // namespace kp
