#pragma once
// What a parameter accepts: FromPy<T> turns one argument into the value a
// body declares (numbers, counts, truth values, text, byte buffers, keys,
// tuples, alternatives, instances). Tables of numbers are in tables.hpp.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "frame/borrow.hpp"

namespace kp {

// Argument conversions: FromPy<T> for every parameter type a body may declare.
// load() returns false with a Python exception set.

template <class T>
struct FromPy;

template <class Conv>
inline constexpr bool NamesValueErrorsOf = requires {
    requires Conv::names_value_errors;
};

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

// A keyword-only flag that may be left out (its row names it "*name=True"
// or "*name=False"): the slot is null then, and the default is D.
template <bool D>
struct Flag {
    bool value;
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

template <bool D>
struct FromPy<Flag<D>> : FromPy<bool> {
    bool load(PyObject* o) noexcept {
        if (o) return FromPy<bool>::load(o);
        v = D;
        return true;
    }
    Flag<D> get() const noexcept { return {v}; }
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
        for (Py_ssize_t k = 0; k < count; ++k)
            out[static_cast<std::size_t>(k)] = static_cast<std::size_t>(lo + k * step);
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
        }
        (std::index_sequence_for<Ts...>{});
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
        }
        (std::index_sequence_for<Ts...>{});
        if (!done) set_cast_error(o, py_type().c_str());
        return ok;
    }
    std::variant<Ts...> get() const {
        std::optional<std::variant<Ts...>> out;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((chosen == I ? (out.emplace(std::in_place_index<I>, std::get<I>(forms).get()), 0) : 0), ...);
        }
        (std::index_sequence_for<Ts...>{});
        return std::move(*out);
    }
    static std::string py_type() {
        std::string s;
        ((s += (s.empty() ? "" : " | ") + FromPy<Ts>::py_type()), ...);
        return s;
    }
};

// An optional parameter (a row name "name=default"): not given or None is
// nullopt, anything else converts as T. The value is copied out of T's
// conversion, which stays alive (and keeps its borrows) until the call returns.
template <class T>
struct FromPy<std::optional<T>> {
    std::optional<FromPy<T>> inner;
    bool load(PyObject* o) {
        if (!o || o == Py_None) return true;
        return inner.emplace().load(o);
    }
    std::optional<T> get() const {
        if (!inner) return std::nullopt;
        return T(inner->get());
    }
    static constexpr bool names_value_errors = NamesValueErrorsOf<FromPy<T>>;
    static std::string py_type() { return FromPy<T>::py_type() + " | None"; }
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
        }
        (std::index_sequence_for<Ts...>{});
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

}  // namespace kp
