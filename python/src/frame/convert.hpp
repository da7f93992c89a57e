#pragma once
// Conversions in both directions. FromPy<T> turns an argument into
// the value a body declares; ToPy<T> turns the body's result into an object.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "frame/borrow.hpp"
#include "parallel/stop.hpp"

namespace kp {

// ---------------------------------------------------------------------------
// Argument conversions: FromPy<T> for every parameter type a body may declare.
// load() returns false with a Python exception set.

template <class T>
struct FromPy;

template <>
struct FromPy<double> {
    double v = 0.0;
    bool load(PyObject* o) noexcept {
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        v = PyFloat_AsDouble(o);
        return !(v == -1.0 && PyErr_Occurred());
    }
    double get() const noexcept { return v; }
    static std::string py_type() { return "_Float"; }
};

// Indices and counts: negative or >= 2^64 raise OverflowError (not wrapped).
template <>
struct FromPy<std::uint64_t> {
    std::uint64_t v = 0;
    bool load(PyObject* o) noexcept;
    std::uint64_t get() const noexcept { return v; }
    static std::string py_type() { return "SupportsIndex"; }
};

// Only True/False, plus numpy's bool scalars.
template <>
struct FromPy<bool> {
    bool v = false;
    bool load(PyObject* o) noexcept;
    bool get() const noexcept { return v; }
    static std::string py_type() { return "bool"; }
};

// Instances of the module's classes: borrowed shared until the call returns.
template <Wrapped T>
struct FromPy<T> : Shared<T> {
    bool load(PyObject* o) noexcept { return this->acquire(o); }
    const T& get() const noexcept { return this->value(); }
    static std::string py_type() { return Class<T>::name; }
};
template <Wrapped T>
struct FromPy<const T&> : FromPy<T> {};

template <class T>
struct FromPy<const T> : FromPy<T> {};

// Exactly a str (or subclass); the text stays owned by the argument.
template <>
struct FromPy<std::string_view> {
    std::string_view v;
    bool load(PyObject* o) noexcept;
    std::string_view get() const noexcept { return v; }
    static std::string py_type() { return "str"; }
};

// An argument's buffer, held until the call returns.
class HeldBuffer : Pinned {
public:
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* o, int flags) noexcept {
        if (PyObject_GetBuffer(o, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Any object exporting a contiguous buffer (bytes, bytearray, memoryview,
// PickleBuffer, ...), read in place as bytes.
struct Bytes {
    const std::byte* data;
    std::size_t size;
};
template <>
struct FromPy<Bytes> : HeldBuffer {
    bool load(PyObject* o) noexcept;
    Bytes get() const noexcept {
        return {static_cast<const std::byte*>(view().buf), static_cast<std::size_t>(view().len)};
    }
    static std::string py_type() { return "Buffer"; }
};

// An (n, D...) table of numbers (D: the fixed trailing shape, none for a
// column of numbers, (3) for vectors, (4) for quaternions, (3, 3) for
// matrices): a float64 or float32 buffer of that shape with any strides, read
// in place, or else a sequence of (nested sequences of) numbers, each number
// converted as a float argument is.
struct Table {
    enum class Type : std::uint8_t { f64, f32 };
    const char* base = nullptr;  // element (0, 0[, 0])
    std::size_t rows = 0;
    std::ptrdiff_t row_stride = 0;  // in bytes, may be negative
    std::ptrdiff_t col_stride = 0;  // along the last axis
    std::ptrdiff_t sub_stride = 0;  // along the middle axis of an (n, r, c) table
    Type type = Type::f64;
};
template <std::size_t... Dims>
struct Rows : Table {
    static_assert(sizeof...(Dims) <= 2);
};
using Rows3 = Rows<3>;

class TableLoader : public HeldBuffer {
public:
    // `want_rows` > 0 demands exactly that many rows (a ValueError otherwise).
    bool load(PyObject* o, std::span<const std::size_t> dims, Table& v, std::size_t want_rows = 0);
    // As load, but one row given alone (a buffer of the row's shape, a list
    // or tuple shaped as one row) is a table of that row: single() tells.
    bool load_or_single(PyObject* o, std::span<const std::size_t> dims, Table& v);
    bool single() const noexcept { return single_; }
    // What the caller accepts besides, named first in messages ("a Vec3d, ").
    void name_others(const char* others) noexcept { others_ = others; }

private:
    std::size_t want_rows_ = 0;
    bool single_ok_ = false;
    bool single_ = false;
    const char* others_ = "";
    std::string expected(std::span<const std::size_t> dims) const;
    static bool looks_single(PyObject* o, std::span<const std::size_t> dims) noexcept;
    bool load_single_sequence(PyObject* o, std::span<const std::size_t> dims, Table& v);
    bool load_block(PyObject* item, const std::string& label, std::span<const std::size_t> dims);
    bool load_buffer(PyObject* o, std::span<const std::size_t> dims, Table& v);
    bool load_sequence(PyObject* o, std::span<const std::size_t> dims, Table& v);
    bool load_row(PyObject* row, const std::string& label, std::size_t cols);
    bool load_number(PyObject* item, const std::string& label);
    std::vector<double> collected;  // the sequence form, row after row
};
template <std::size_t... Dims>
struct FromPy<Rows<Dims...>> : TableLoader {
    Rows<Dims...> v;
    bool load(PyObject* o) {
        static constexpr std::array<std::size_t, sizeof...(Dims)> dims{Dims...};
        return TableLoader::load(o, dims, v);
    }
    const Rows<Dims...>& get() const noexcept { return v; }
    static std::string py_type() {
        constexpr std::size_t rank = sizeof...(Dims);
        return rank == 0 ? "_Column" : rank == 1 ? "_Rows" : "_Rows3d";
    }
};

// Any object, borrowed from the caller: for a body that decides by the
// object's kind itself (==, which answers NotImplemented to strangers).
template <>
struct FromPy<PyObject*> {
    PyObject* v = nullptr;
    bool load(PyObject* o) noexcept {
        v = o;
        return true;
    }
    PyObject* get() const noexcept { return v; }
    static std::string py_type() { return "object"; }
};

// A sequence index as a list takes it: any __index__ object, negative
// allowed (the body counts those from the end); an integer beyond the index
// range is clamped to it, so it is out of range rather than an OverflowError.
struct Index {
    Py_ssize_t v;
};
template <>
struct FromPy<Index> {
    Index v{};
    bool load(PyObject* o) noexcept {
        v.v = PyNumber_AsSsize_t(o, nullptr);
        return !(v.v == -1 && PyErr_Occurred());
    }
    Index get() const noexcept { return v; }
    static std::string py_type() { return "SupportsIndex"; }
};

// A slice key, resolved by the body against its length: `positions(n)` are
// the indices it selects, as a list's slicing would (steps, negative bounds).
struct Slice {
    Py_ssize_t start, stop, step;
    std::vector<std::size_t> positions(std::size_t n) const {
        Py_ssize_t lo = start, hi = stop;
        const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(n), &lo, &hi, step);
        std::vector<std::size_t> out(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) out[static_cast<std::size_t>(k)] = static_cast<std::size_t>(lo + k * step);
        return out;
    }
};
template <>
struct FromPy<Slice> {
    Slice v{};
    bool load(PyObject* o) noexcept {
        if (!PySlice_Check(o)) {
            set_cast_error(o, "slice");
            return false;
        }
        return PySlice_Unpack(o, &v.start, &v.stop, &v.step) == 0;
    }
    Slice get() const noexcept { return v; }
    static std::string py_type() { return "slice"; }
};

// Exactly a tuple of as many items, each converted as its own argument is.
template <class... Ts>
struct FromPy<std::tuple<Ts...>> {
    std::tuple<FromPy<Ts>...> parts;
    bool load(PyObject* o) {
        if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != static_cast<Py_ssize_t>(sizeof...(Ts))) {
            set_cast_error(o, py_type().c_str());
            return false;
        }
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (std::get<I>(parts).load(PyTuple_GET_ITEM(o, I)) && ...);
        }(std::index_sequence_for<Ts...>{});
    }
    std::tuple<Ts...> get() const {
        return std::apply([](const auto&... p) { return std::tuple<Ts...>(p.get()...); }, parts);
    }
    static std::string py_type() {
        std::string s;
        ((s += (s.empty() ? "" : ", ") + FromPy<Ts>::py_type()), ...);
        return "tuple[" + s + "]";
    }
};

// The first of the forms Ts the argument converts to, tried in order; a
// form's TypeError only moves on to the next, any other error is raised.
template <class... Ts>
struct FromPy<std::variant<Ts...>> {
    std::tuple<FromPy<Ts>...> forms;
    std::size_t chosen = 0;
    bool load(PyObject* o) {
        bool done = false, ok = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((done ? 0
                   : (std::get<I>(forms).load(o)
                          ? (done = ok = true, chosen = I, 0)
                          : (PyErr_ExceptionMatches(PyExc_TypeError) ? (PyErr_Clear(), 0) : (done = true, 0)))),
             ...);
        }(std::index_sequence_for<Ts...>{});
        if (!done) set_cast_error(o, py_type().c_str());
        return ok;
    }
    std::variant<Ts...> get() const {
        std::optional<std::variant<Ts...>> out;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((chosen == I ? (out.emplace(std::in_place_index<I>, std::get<I>(forms).get()), 0) : 0), ...);
        }(std::index_sequence_for<Ts...>{});
        return std::move(*out);
    }
    static std::string py_type() {
        std::string s;
        ((s += (s.empty() ? "" : " | ") + FromPy<Ts>::py_type()), ...);
        return s;
    }
};

// An instance of one of the classes Ts, borrowed shared until the call
// returns; the body visits the one given.
template <Wrapped... Ts>
struct OneOf {
    std::variant<const Ts*...> v;
};
template <Wrapped... Ts>
struct FromPy<OneOf<Ts...>> {
    std::tuple<Shared<Ts>...> borrows;
    OneOf<Ts...> v;
    bool load(PyObject* o) noexcept {
        bool found = false, ok = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((!found && PyObject_TypeCheck(o, type_of<Ts>())
                  ? (found = true, ok = std::get<I>(borrows).acquire_checked(o),
                     ok ? (v.v.template emplace<I>(&std::get<I>(borrows).value()), 0) : 0)
                  : 0),
             ...);
        }(std::index_sequence_for<Ts...>{});
        if (!found) set_cast_error(o, names().c_str());
        return ok;
    }
    const OneOf<Ts...>& get() const noexcept { return v; }
    static std::string names() {
        std::string s;
        ((s += (s.empty() ? "" : " | ") + std::string(Class<Ts>::name)), ...);
        return s;
    }
    static std::string py_type() { return names(); }
};

// The class (if any) whose instances hold exactly a value of type T and are
// read by T's conversion directly, before its general forms: `type` the
// class's core value, `of(value)` the T inside. Immutable classes only (no
// borrow is taken). Declared in classes.hpp, which every unit converting a
// T includes.
template <class T>
struct HeldBy {
    using type = void;
};

// A fixed number R of rows of 3 numbers (R = 3: a 3x3 matrix, row by row),
// accepted in the same forms as Rows3 and copied out as doubles.
template <std::size_t R>
struct FromPy<std::array<std::array<double, 3>, R>> {
    using Array = std::array<std::array<double, 3>, R>;
    std::array<std::array<double, 3>, R> v{};
    const Array* held = nullptr;  // the instance's own value, read in place
    bool load(PyObject* o) {
        using Own = typename HeldBy<Array>::type;
        if constexpr (!std::is_void_v<Own>) {
            if (Py_IS_TYPE(o, type_of<Own>())) {
                held = &HeldBy<Array>::of(as_object<Own>(o)->value);
                return true;
            }
        }
        if (load_floats(o)) return true;
        static constexpr std::size_t dims[] = {3};
        TableLoader table;
        if constexpr (!std::is_void_v<Own>) {
            static const std::string others = std::string("a ") + Class<Own>::name + ", ";
            table.name_others(others.c_str());
        }
        Rows3 t;
        if (!table.load(o, dims, t, R)) return false;
        for (std::size_t r = 0; r < R; ++r)
            for (std::size_t c = 0; c < 3; ++c) {
                const char* p = t.base + static_cast<std::ptrdiff_t>(r) * t.row_stride +
                                static_cast<std::ptrdiff_t>(c) * t.col_stride;
                if (t.type == Rows3::Type::f64) {
                    std::memcpy(&v[r][c], p, sizeof(double));
                } else {
                    float f;
                    std::memcpy(&f, p, sizeof f);
                    v[r][c] = f;
                }
            }
        return true;
    }
    const std::array<std::array<double, 3>, R>& get() const noexcept { return held ? *held : v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() {
        using Own = typename HeldBy<Array>::type;
        if constexpr (std::is_void_v<Own>) return "_Rows";
        else return std::string(Class<Own>::name) + " | _Rows";
    }

private:
    // The common form, a list or tuple of lists or tuples of floats (what
    // Quat.as_matrix returns), read directly: no Python code can run, so
    // nothing can change under the reads. Anything else takes the general path.
    static PyObject* const* items(PyObject* o, Py_ssize_t n) noexcept {
        if (PyList_CheckExact(o) && PyList_GET_SIZE(o) == n) return &PyList_GET_ITEM(o, 0);
        if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == n) return &PyTuple_GET_ITEM(o, 0);
        return nullptr;
    }
    bool load_floats(PyObject* o) noexcept {
        PyObject* const* rows = items(o, static_cast<Py_ssize_t>(R));
        if (!rows) return false;
        for (std::size_t r = 0; r < R; ++r) {
            PyObject* const* row = items(rows[r], 3);
            if (!row) return false;
            for (std::size_t c = 0; c < 3; ++c) {
                if (!PyFloat_CheckExact(row[c])) return false;
                v[r][c] = PyFloat_AS_DOUBLE(row[c]);
            }
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// Result conversions

template <class T>
struct ToPy;

template <class T>
inline PyObject* to_py(T&& v) {
    return ToPy<std::remove_cvref_t<T>>::convert(std::forward<T>(v));
}

template <>
struct ToPy<double> {
    static PyObject* convert(double v) { return PyFloat_FromDouble(v); }
    static std::string py_type() { return "float"; }
};
// The floats a getter row hands out, made anew only while the last two are
// still held elsewhere (so `v.x * v.x` reuses too): once the caller has
// dropped one, this cell owns the only reference, nobody can see the object,
// and its value is overwritten in place (the interpreter reuses zip's and
// enumerate's result tuples the same way). No destructor: the references are
// dropped with the process. A free-threaded build, where a count of one
// proves nothing across threads, always makes a new float.
class FloatCell {
public:
    PyObject* make(double v) noexcept {
#ifdef Py_GIL_DISABLED
        return PyFloat_FromDouble(v);
#else
        for (PyObject* f : spare_) {
            if (f && Py_REFCNT(f) == 1) {
                reinterpret_cast<PyFloatObject*>(f)->ob_fval = v;
                return Py_NewRef(f);
            }
        }
        PyObject* f = PyFloat_FromDouble(v);
        if (!f) return nullptr;
        // The float replaced is still held elsewhere, so this cannot free it.
        Py_XSETREF(spare_[next_], Py_NewRef(f));
        next_ ^= 1;
        return f;
#endif
    }

private:
    PyObject* spare_[2] = {};
    unsigned next_ = 0;
};
template <>
struct ToPy<bool> {
    static PyObject* convert(bool v) { return PyBool_FromLong(v); }
    static std::string py_type() { return "bool"; }
};
// A truth value stored as a whole byte: bulk results are written from several
// threads at once, which std::vector<bool>'s packed bits would not allow.
struct Truth {
    bool value;
};
template <>
struct ToPy<Truth> {
    static PyObject* convert(Truth v) { return PyBool_FromLong(v.value); }
    static std::string py_type() { return "bool"; }
};
template <>
struct ToPy<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
    static std::string py_type() { return "int"; }
};
template <>
struct ToPy<std::string> {
    static PyObject* convert(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    static std::string py_type() { return "str"; }
};
template <Wrapped T>
struct ToPy<T> {
    template <class U>
    static PyObject* convert(U&& v) {
        return new_object(std::forward<U>(v));
    }
    static std::string py_type() { return Class<T>::name; }
};

// A long loop on the calling thread that builds a Python result. It keeps
// Ctrl-C working: poll() checks for pending signals every kEvery steps, and
// a false return (the handler's exception set, KeyboardInterrupt for SIGINT)
// means drop the partial result. Loops of at least kEvery steps also pause
// the cyclic collector, which the new containers would otherwise trigger
// again and again although nothing can reference them yet; the collector's
// previous state comes back on every path.
class ResultLoop : Pinned {
public:
    static constexpr std::size_t kEvery = 4096;  // well under a millisecond of work
    explicit ResultLoop(std::size_t steps) noexcept
        : pausing_(steps >= kEvery), paused_(pausing_ && PyGC_Disable() == 1) {}
    ~ResultLoop() {
        if (paused_) PyGC_Enable();
    }
    bool poll(std::size_t step) noexcept { return step % kEvery != 0 || check(); }
    // Runs pending signal handlers now, with the collector in the state the
    // caller left it, so a handler sees (and may change) the real state.
    bool check() noexcept;

private:
    bool pausing_;
    bool paused_;  // we turned the collector off and owe turning it back on
};

// Python code runs while the list fills: a signal handler at a poll, a
// collection (and its callbacks) started by an item's allocation or at the
// poll, another thread either of them lets in. None of it may find the list
// with an empty slot, so it stays untracked until full: the collector's
// functions (gc.get_objects, get_referrers) see tracked objects only, and
// nothing else refers to the list yet. Its slots are filled in place, so Ctrl-C
// still drops the partial result at once and nothing is copied at the end.
template <class Seq>
inline PyObject* list_from(Seq&& seq) {
    const auto n = static_cast<Py_ssize_t>(std::size(seq));
    ResultLoop loop(static_cast<std::size_t>(n));
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    Py_ssize_t i = 0;
    for (auto&& item : seq) {
        if (!loop.poll(static_cast<std::size_t>(i) + 1)) return nullptr;
        PyObject* o = to_py(std::move(item));
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}
template <class E, class A>
struct ToPy<std::vector<E, A>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
    static std::string py_type() { return "list[" + ToPy<E>::py_type() + "]"; }
};
template <class E, std::size_t N>
struct ToPy<std::array<E, N>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
    static std::string py_type() { return "list[" + ToPy<E>::py_type() + "]"; }
};
template <class... E>
struct ToPy<std::tuple<E...>> {
    // The items are made before the tuple, which is then filled with no
    // allocation in between: no collection can find it with an empty slot.
    template <class U>
    static PyObject* convert(U&& t) {
        std::array<Ref, sizeof...(E)> made;
        const bool ok = std::apply(
            [&](auto&&... items) {
                std::size_t i = 0;
                return (static_cast<bool>(made[i++] = Ref(to_py(std::move(items)))) && ...);
            },
            std::forward<U>(t));
        if (!ok) return nullptr;
        PyObject* tuple = PyTuple_New(sizeof...(E));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < sizeof...(E); ++i)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), made[i].release());
        return tuple;
    }
    static std::string py_type() {
        std::string items;
        ((items += (items.empty() ? "" : ", ") + ToPy<E>::py_type()), ...);
        return "tuple[" + items + "]";
    }
};
template <class A, class B>
struct ToPy<std::pair<A, B>> {
    template <class U>
    static PyObject* convert(U&& p) {
        return ToPy<std::tuple<A, B>>::convert(std::tuple<A, B>(std::forward<U>(p)));
    }
    static std::string py_type() { return ToPy<std::tuple<A, B>>::py_type(); }
};
template <class E>
struct ToPy<std::optional<E>> {
    template <class U>
    static PyObject* convert(U&& v) {
        if (!v) Py_RETURN_NONE;
        return to_py(std::move(*v));
    }
    static std::string py_type() { return ToPy<E>::py_type() + " | None"; }
};

// An iterator over a sequence result, made as a list first (the list's own
// iterator): for a value class that iterates like a list of its parts.
template <class Seq>
struct IterOf {
    Seq items;
};
template <class Seq>
struct ToPy<IterOf<Seq>> {
    static PyObject* convert(IterOf<Seq>&& s) {
        const Ref list(to_py(std::move(s.items)));
        return list ? PyObject_GetIter(list.get()) : nullptr;
    }
    static std::string py_type() { return "Iterator[" + ToPy<typename Seq::value_type>::py_type() + "]"; }
};

// A text produced piece by piece on demand (e.g. a block of elements at a
// time by the worker pool), so that ResultLoop can poll between pieces both
// while the text is made and while it is copied into the str.
struct PieceText {
    std::size_t pieces;
    std::function<void(std::string& out, std::size_t piece)> append;
};
template <>
struct ToPy<PieceText> {
    static PyObject* convert(const PieceText& text);
    static std::string py_type() { return "str"; }
};

// A result array of int64 ("q") or float64 ("d") elements in C order, one or
// two dimensions. Python gets a read-only memoryview over an object that takes
// over the elements, so nothing is copied: `numpy.asarray` wraps it in place
// and `.tolist()` gives lists. The library itself needs no numpy.
template <class T, class A = std::allocator<T>>
struct NdArray {
    static_assert(std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>);
    std::vector<T, A> values;  // rows * cols of them (cols == 0: one dimension)
    std::size_t rows = 0;
    std::size_t cols = 0;
};
// The type-erased form the owner object keeps.
struct ArrayParts {
    std::shared_ptr<void> keep;  // owns the elements
    const void* data;
    char format;  // 'q' or 'd'
    int ndim;     // 1, 2 or 3: shape (rows), (rows, cols) or (rows, cols, depth)
    std::size_t rows, cols, depth;
};
PyObject* array_view(ArrayParts parts);
// The owner alone, exporting the elements read-only: for a PickleBuffer, which
// must not wrap a memoryview (a collected cycle through the two would clear
// the memoryview while the PickleBuffer still holds its export).
PyObject* array_owner(ArrayParts parts);
template <class T, class A>
struct ToPy<NdArray<T, A>> {
    static PyObject* convert(NdArray<T, A>&& a) {
        auto held = std::make_shared<std::vector<T, A>>(std::move(a.values));
        const void* data = held->data();
        return array_view({std::move(held), data, std::is_same_v<T, double> ? 'd' : 'q', a.cols ? 2 : 1,
                           a.rows, a.cols, 0});
    }
    static std::string py_type() { return "memoryview"; }
};

// Ctrl-C in a long pool operation: the calling thread runs the pending signal
// handlers while it waits (parallel/stop.hpp). interruptible(f) runs
// f(stop); when a handler raised, the operation ends with that exception.
class SignalStop : public kestrum::parallel::Stop {
public:
    SignalStop() : Stop([] { return PyErr_CheckSignals() != 0; }) {}
};
template <class F>
auto interruptible(F&& f) {
    SignalStop stop;
    try {
        return f(stop);
    } catch (const kestrum::parallel::Stopped&) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        throw;
    }
}

// One of several result types.
template <class... E>
struct ToPy<std::variant<E...>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return std::visit([](auto&& e) { return to_py(std::move(e)); }, std::forward<U>(v));
    }
    static std::string py_type() {
        std::string s;
        ((s += (s.empty() ? "" : " | ") + ToPy<E>::py_type()), ...);
        return s;
    }
};

// A bulk result of doubles with shape (n,), (n, c) or (n, r, c), handed out
// as a read-only memoryview over an object that owns the storage: consumers
// (numpy.asarray, memoryview.tolist) read it in place, and no library
// outside the standard one is needed.
class DoubleArray {
public:
    // `values` is any contiguous container of doubles or of fixed runs of
    // doubles (Quat, std::array<double, 9>); it is moved in, not copied.
    template <class V>
    DoubleArray(V&& values, std::initializer_list<std::size_t> shape)
        : ndim_(static_cast<int>(shape.size())) {
        using Held = Holder<std::remove_cvref_t<V>>;
        auto held = std::make_shared<Held>(std::forward<V>(values));
        data_ = reinterpret_cast<const double*>(held->values.data());
        storage_ = std::move(held);
        std::size_t i = 0;
        for (std::size_t d : shape) shape_[i++] = static_cast<Py_ssize_t>(d);
        Py_ssize_t stride = sizeof(double);
        for (int k = ndim_ - 1; k >= 0; --k) {
            strides_[k] = stride;
            stride *= shape_[k];
        }
    }
    const double* data() const noexcept { return data_; }
    int ndim() const noexcept { return ndim_; }
    const Py_ssize_t* shape() const noexcept { return shape_; }
    const Py_ssize_t* strides() const noexcept { return strides_; }
    std::size_t size() const noexcept {
        std::size_t n = 1;
        for (int k = 0; k < ndim_; ++k) n *= static_cast<std::size_t>(shape_[k]);
        return n;
    }
    std::shared_ptr<void> storage() const noexcept { return storage_; }

private:
    struct Storage {
        virtual ~Storage() = default;
    };
    template <class V>
    struct Holder : Storage {
        explicit Holder(V&& v) : values(std::move(v)) {}
        explicit Holder(const V& v) : values(v) {}
        V values;
    };
    std::shared_ptr<Storage> storage_;
    const double* data_ = nullptr;
    int ndim_;
    Py_ssize_t shape_[3] = {0, 0, 0};
    Py_ssize_t strides_[3] = {0, 0, 0};
};
template <>
struct ToPy<DoubleArray> {
    static PyObject* convert(DoubleArray&& array);
    static std::string py_type() { return "memoryview"; }
};

// ---------------------------------------------------------------------------
// Buffer export

// A C-contiguous (rows, cols) block of doubles lent out read-only.
struct DoubleBlock {
    const double* data;
    std::size_t rows;
    std::size_t cols;
};
// Fills `view` for `flags` (format "d", strides (cols * 8, 8)); the shape and
// strides live in view->internal until release_block_view. On failure a
// BufferError is set and nothing is held.
int fill_block_view(PyObject* owner, Py_buffer* view, int flags, DoubleBlock block,
                    const char* class_name) noexcept;
void release_block_view(Py_buffer* view) noexcept;

}  // namespace kp
