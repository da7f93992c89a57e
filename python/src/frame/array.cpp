// kestrum_py.Array: the one array result, its indexing, text and equality.
// Arrays are immutable, so a part of one may share its elements or copy them
// without anyone seeing the difference: contiguous parts (a row, a run of
// rows) share, others (a column) are gathered into new storage.
#include "frame/array.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <optional>

#include "frame/binder.hpp"
#include "kestrum/format.hpp"
#include "kestrum/panic.hpp"

namespace kp {

// ---------------------------------------------------------------------------
// The value

void Array::init(std::shared_ptr<const void> keep, char format, std::initializer_list<std::size_t> shape,
                 std::size_t words) {
    if (shape.size() < 1 || shape.size() > kMaxDims) kestrum::panic("an Array has 1 to 3 dimensions");
    ndim_ = static_cast<int>(shape.size());
    std::copy(shape.begin(), shape.end(), shape_.begin());
    // Every extent, stride and the byte count must fit a Py_ssize_t, an empty
    // array's too (its other extents can be anything).
    std::size_t bytes = 8;
    for (const std::size_t e : shape) {
        if (e > static_cast<std::size_t>(PY_SSIZE_T_MAX) / bytes) throw std::bad_alloc();
        bytes *= e == 0 ? 1 : e;
    }
    if (size() != words) kestrum::panic("Array: the shape does not match the element count");
    keep_ = std::move(keep);
    data_ = static_cast<const std::uint64_t*>(keep_.get());
    format_ = format;
}

Array Array::viewing(std::shared_ptr<const void> keep, const void* data, char format,
                     std::initializer_list<std::size_t> shape, std::size_t words) {
    Array a;
    a.init(std::shared_ptr<const void>(std::move(keep), data), format, shape, words);
    return a;
}

std::size_t Array::size() const noexcept {
    std::size_t n = 1;
    for (int k = 0; k < ndim_; ++k) n *= shape_[static_cast<std::size_t>(k)];
    return n;
}

Block Array::block() const noexcept { return {data_, format_, ndim_, {shape_[0], shape_[1], shape_[2]}}; }

Array Array::part(std::size_t offset, int ndim, const std::size_t* shape) const {
    Array a;
    a.keep_ = keep_;
    a.data_ = data_ + offset;
    a.format_ = format_;
    a.ndim_ = ndim;
    std::copy(shape, shape + ndim, a.shape_.begin());
    return a;
}

// ---------------------------------------------------------------------------
// Conversions

PyObject* ToPy<ArrayItem>::convert(ArrayItem&& item) {
    if (const double* d = std::get_if<double>(&item.v)) return PyFloat_FromDouble(*d);
    if (const std::int64_t* i = std::get_if<std::int64_t>(&item.v)) return PyLong_FromLongLong(*i);
    return to_py(std::move(std::get<Array>(item.v)));
}

PyObject* ToPy<Counts>::convert(const Counts& c) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(c.v.size())));
    if (!t) return nullptr;
    for (std::size_t k = 0; k < c.v.size(); ++k) {
        PyObject* n = PyLong_FromSize_t(c.v[k]);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(k), n);
    }
    return t.release();
}

bool FromPy<ArrayKey>::load(PyObject* o) {
    const auto one = [this](PyObject* k) {
        ArrayKey::Axis a{};
        if (PySlice_Check(k)) {
            if (PySlice_Unpack(k, &a.start, &a.stop, &a.step) < 0) return false;
        } else if (PyIndex_Check(k)) {
            a.index = true;
            a.start = PyNumber_AsSsize_t(k, PyExc_IndexError);  // as a list says it
            if (a.start == -1 && PyErr_Occurred()) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "Array indices must be integers, slices or tuples of them, not %.200s",
                         Py_TYPE(k)->tp_name);
            return false;
        }
        v.axes.push_back(a);
        return true;
    };
    if (!PyTuple_Check(o)) return one(o);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
        if (!one(PyTuple_GET_ITEM(o, i))) return false;
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// Indexing

// Elements between neighbours along each axis.
std::array<std::size_t, Array::kMaxDims> element_strides(const Array& a) {
    std::array<std::size_t, Array::kMaxDims> s{};
    std::size_t step = 1;
    for (int k = a.ndim() - 1; k >= 0; --k) {
        s[static_cast<std::size_t>(k)] = step;
        step *= a.extent(k);
    }
    return s;
}

ArrayItem scalar(const Array& a, std::size_t at) {
    const std::uint64_t w = a.words()[at];
    if (a.format() == 'd') return {std::bit_cast<double>(w)};
    return {std::bit_cast<std::int64_t>(w)};
}

// Row i (or element i of a 1-D array), i already in range.
ArrayItem at(const Array& a, std::size_t i) {
    if (a.ndim() == 1) return scalar(a, i);
    std::size_t rest[Array::kMaxDims] = {a.extent(1), a.ndim() > 2 ? a.extent(2) : 1, 1};
    return {a.part(i * element_strides(a)[0], a.ndim() - 1, rest)};
}

// The elements of a strided selection copied in C order, bit for bit.
template <class T>
Array gather(const Array& a, std::size_t offset, int nd, const std::size_t* shape, const std::ptrdiff_t* step) {
    std::vector<T> out;
    out.reserve(shape[0] * (nd > 1 ? shape[1] : 1) * (nd > 2 ? shape[2] : 1));
    const std::uint64_t* w = a.words();
    const std::size_t n1 = nd > 1 ? shape[1] : 1, n2 = nd > 2 ? shape[2] : 1;
    const std::ptrdiff_t s1 = nd > 1 ? step[1] : 0, s2 = nd > 2 ? step[2] : 0;
    for (std::size_t i = 0; i < shape[0]; ++i)
        for (std::size_t j = 0; j < n1; ++j)
            for (std::size_t k = 0; k < n2; ++k) {
                const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(offset) +
                                          static_cast<std::ptrdiff_t>(i) * step[0] +
                                          static_cast<std::ptrdiff_t>(j) * s1 + static_cast<std::ptrdiff_t>(k) * s2;
                out.push_back(std::bit_cast<T>(w[at]));
            }
    const std::size_t count = out.size();
    Array result(std::move(out), {count});
    return result.part(0, nd, shape);
}

ArrayItem item(const Array& a, const ArrayKey& key) {
    const int nd = a.ndim();
    if (key.axes.size() > static_cast<std::size_t>(nd))
        raise(PyExc_IndexError,
              "too many indices for a " + std::to_string(nd) + "-D Array: " + std::to_string(key.axes.size()));
    const auto strides = element_strides(a);
    std::size_t offset = 0;
    int out_nd = 0;
    std::size_t shape[Array::kMaxDims] = {1, 1, 1};
    std::ptrdiff_t step[Array::kMaxDims] = {};
    for (int k = 0; k < nd; ++k) {
        const auto n = static_cast<Py_ssize_t>(a.extent(k));
        const auto stride = static_cast<Py_ssize_t>(strides[static_cast<std::size_t>(k)]);
        const bool given = static_cast<std::size_t>(k) < key.axes.size();
        if (given && key.axes[static_cast<std::size_t>(k)].index) {
            Py_ssize_t i = key.axes[static_cast<std::size_t>(k)].start;
            if (i < -n || i >= n)
                raise(PyExc_IndexError, "index " + std::to_string(i) + " is out of range for axis " +
                                            std::to_string(k) + " with length " + std::to_string(n));
            offset += static_cast<std::size_t>((i < 0 ? i + n : i) * stride);
            continue;
        }
        Py_ssize_t start = 0, stop = n, by = 1;
        if (given) {
            const ArrayKey::Axis& s = key.axes[static_cast<std::size_t>(k)];
            start = s.start, stop = s.stop, by = s.step;
        }
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, by);
        if (count > 0) offset += static_cast<std::size_t>(start * stride);
        shape[out_nd] = static_cast<std::size_t>(count);
        step[out_nd++] = count > 1 ? by * stride : 0;  // |by| * stride < n * stride then
    }
    if (out_nd == 0) return scalar(a, offset);
    // Contiguous in C order (axes of one element aside): a part that shares.
    std::ptrdiff_t expected = 1;
    bool contiguous = true;
    std::size_t total = 1;
    for (int k = out_nd - 1; k >= 0; --k) {
        if (shape[k] > 1 && step[k] != expected) contiguous = false;
        expected *= static_cast<std::ptrdiff_t>(shape[k]);
        total *= shape[k];
    }
    if (contiguous || total == 0) return {a.part(total == 0 ? 0 : offset, out_nd, shape)};
    return {a.format() == 'd' ? gather<double>(a, offset, out_nd, shape, step)
                              : gather<std::int64_t>(a, offset, out_nd, shape, step)};
}

std::uint64_t length(const Array& a) { return a.extent(0); }

ArrayIter iter(const Array& a) { return {a, 0}; }

std::optional<ArrayItem> next(ArrayIter& it) {
    if (it.next >= it.array.extent(0)) return std::nullopt;
    return at(it.array, it.next++);
}

Counts shape(const Array& a) {
    Counts c;
    for (int k = 0; k < a.ndim(); ++k) c.v.push_back(a.extent(k));
    return c;
}

Counts strides(const Array& a) {
    const auto s = element_strides(a);
    Counts c;
    for (int k = 0; k < a.ndim(); ++k) c.v.push_back(s[static_cast<std::size_t>(k)] * 8);
    return c;
}

std::uint64_t ndim(const Array& a) { return static_cast<std::uint64_t>(a.ndim()); }
std::string format(const Array& a) { return std::string(1, a.format()); }
std::uint64_t itemsize(const Array&) { return 8; }
std::uint64_t nbytes(const Array& a) { return a.size() * 8; }
bool always(const Array&) { return true; }
Block block(const Array& a) { return a.block(); }

PyObject* tobytes(const Array& a) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(a.words()), static_cast<Py_ssize_t>(a.size() * 8));
}

// ---------------------------------------------------------------------------
// Lists, text and equality

PyObject* number(const Array& a, std::size_t at) {
    const std::uint64_t w = a.words()[at];
    return a.format() == 'd' ? PyFloat_FromDouble(std::bit_cast<double>(w))
                             : PyLong_FromLongLong(std::bit_cast<std::int64_t>(w));
}

// Nested lists along `axis` from element `pos` on; each list stays untracked
// until full (as frame/results.hpp's lists), and Ctrl-C drops the lot.
PyObject* list_of(const Array& a, int axis, std::size_t& pos, std::size_t& made, ResultLoop& loop) {
    const auto n = static_cast<Py_ssize_t>(a.extent(axis));
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!loop.poll(++made)) return nullptr;
        PyObject* o = axis + 1 == a.ndim() ? number(a, pos++) : list_of(a, axis + 1, pos, made, loop);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i, o);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

PyObject* tolist(const Array& a) {
    ResultLoop loop(a.size());
    std::size_t pos = 0, made = 0;
    return list_of(a, 0, pos, made, loop);
}

// Axes longer than this show their first and last kEdge entries only.
constexpr std::size_t kShown = 6, kEdge = 3;

void append_axis(std::string& out, const Array& a, int axis, std::size_t base, bool& cut) {
    const std::size_t n = a.extent(axis);
    const std::size_t stride = element_strides(a)[static_cast<std::size_t>(axis)];
    out += '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += ", ";
        if (n > kShown && i == kEdge) {
            out += "..., ";
            i = n - kEdge;
            cut = true;
        }
        if (axis + 1 < a.ndim()) {
            append_axis(out, a, axis + 1, base + i * stride, cut);
        } else if (a.format() == 'd') {
            kestrum::append_double(out, std::bit_cast<double>(a.words()[base + i]));
        } else {
            out += std::to_string(std::bit_cast<std::int64_t>(a.words()[base + i]));
        }
    }
    out += ']';
}

// Array([[0, 3], [1, 2]], int64); the shape is added where the values do not
// show it (empty or shortened).
std::string repr(const Array& a) {
    std::string out = "Array(";
    bool cut = false;
    append_axis(out, a, 0, 0, cut);
    if (cut || a.size() == 0) {
        out += ", shape=(";
        for (int k = 0; k < a.ndim(); ++k) out += (k ? ", " : "") + std::to_string(a.extent(k));
        out += a.ndim() == 1 ? ",)" : ")";
    }
    out += a.format() == 'd' ? ", float64)" : ", int64)";
    return out;
}

// Python's == between an int64 and a float64: exact.
bool same_number(std::uint64_t w, char f, std::uint64_t v, char g) {
    if (f == g) return f == 'd' ? std::bit_cast<double>(w) == std::bit_cast<double>(v) : w == v;
    if (f == 'd') return same_number(v, g, w, f);
    const auto i = std::bit_cast<std::int64_t>(w);
    const double d = std::bit_cast<double>(v);
    // Every double in [-2^63, 2^63) that is whole converts exactly.
    return d >= -0x1p63 && d < 0x1p63 && d == static_cast<double>(static_cast<std::int64_t>(d)) &&
           static_cast<std::int64_t>(d) == i;
}

// Equal to another Array of the same shape with equal numbers, or to the
// nested list tolist() gives; anything else is the other side's question.
PyObject* equals(const Array& a, PyObject* other) {
    if (PyList_Check(other)) {
        const Ref list(tolist(a));
        return list ? PyObject_RichCompare(list.get(), other, Py_EQ) : nullptr;
    }
    if (!Py_IS_TYPE(other, type_of<Array>())) Py_RETURN_NOTIMPLEMENTED;
    const Array& b = as_object<Array>(other)->value;  // immutable: nothing to borrow against
    bool same = a.ndim() == b.ndim();
    for (int k = 0; same && k < a.ndim(); ++k) same = a.extent(k) == b.extent(k);
    for (std::size_t i = 0, n = a.size(); same && i < n; ++i)
        same = same_number(a.words()[i], a.format(), b.words()[i], b.format());
    return PyBool_FromLong(same);
}

using B = Binder<Array>;
using It = Binder<ArrayIter>;

PyMethodDef methods[] = {
    B::method<"tolist", &tolist>("The elements as nested lists of int or float.", "list[Any]"),
    B::method<"tobytes", &tobytes>("The elements' bytes in C order.", "bytes"),
    {},
};

PyGetSetDef properties[] = {
    B::property<"shape", &shape>("The extent of each axis."),
    B::property<"strides", &strides>("Bytes between neighbours along each axis (C order)."),
    B::property<"ndim", &ndim>("The number of axes (1 to 3)."),
    B::property<"format", &format>("The element type as a struct code: 'd' float64, 'q' int64."),
    B::property<"itemsize", &itemsize>("Bytes per element (8)."),
    B::property<"nbytes", &nbytes>("Bytes of all elements."),
    B::property<"readonly", &always>("Always True: results cannot be changed."),
    B::property<"c_contiguous", &always>("Always True: every Array is in C order."),
    {},
};

const PyType_Slot slots[] = {
    B::len<&length>("The extent of the first axis."),
    B::item<&item, "key">("An element (int or float) when every axis is indexed, else an Array; "
                          "a row or a run of rows shares memory with this one."),
    B::iter<&iter>("Iterates over the first axis: numbers for 1-D, rows otherwise."),
    B::comparison<nullptr, nullptr, &equals, nullptr, nullptr, true>(
        "Equal shapes and numbers, or equal to a list as tolist() gives it."),
    B::buffer<&block>("A read-only view of the elements, no copy (numpy.asarray wraps it)."),
    B::buffer_release(),
    B::repr<&repr>(),
    {0, nullptr},
};

const PyType_Slot iterator_slots[] = {
    It::iter_itself("The iterator itself."),
    It::next_item<&next>("The next number or row."),
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Array>::def() {
    static const TypeDef def = make_type<Array>({}, slots, methods, properties);
    return def;
}

const TypeDef& Class<ArrayIter>::def() {
    static const TypeDef def = make_type<ArrayIter>({}, iterator_slots);
    return def;
}

}  // namespace kp
