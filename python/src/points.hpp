#pragma once
// Parameters of points and matrices as the members beyond the core set take
// them: whatever plainly means a point, a set of points or a matrix list.
// The core members keep their strict Vec3d/VecList parameters.
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classes.hpp"
#include "kestrum/format.hpp"

namespace kp {

// One point: a Vec3d, or three numbers (a sequence, a (3,) float buffer).
struct Point : kestrum::Vec3d {};
template <>
struct FromPy<Point> {
    Point v{};
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Vec3d>())) {
            Shared<kestrum::Vec3d> b;  // only while the three doubles are copied
            if (!b.acquire_checked(o)) return false;
            static_cast<kestrum::Vec3d&>(v) = b.value();
            return true;
        }
        TableLoader numbers;
        numbers.name_others("a Vec3d, ");
        Table t;
        if (!numbers.load(o, {}, t, 3)) return false;
        // Read now, before any Python code can run again.
        v.x = read_cell(t.type, t.base);
        v.y = read_cell(t.type, t.base + t.row_stride);
        v.z = read_cell(t.type, t.base + 2 * t.row_stride);
        return true;
    }
    Point get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Vec3d | _Column"; }
};

// A set of points, as a table: a VecList (borrowed, read in place), anything
// VecList.from_array reads, or one point alone (a Vec3d, three numbers, a
// (3,) buffer), which is a table of one row with `single` set.
struct Points : Rows3 {
    bool single = false;
    const kestrum::Vec3d* own = nullptr;  // the rows, when they are Vec3ds we hold
};
template <>
struct FromPy<Points> : TableLoader {
    Points v;
    kestrum::Vec3d one{};
    Shared<VecListValue> list;
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Vec3d>())) {
            Shared<kestrum::Vec3d> b;
            if (!b.acquire_checked(o)) return false;
            one = b.value();
            v.single = true;
            return held(&one, 1);
        }
        if (Py_IS_TYPE(o, type_of<VecListValue>())) {
            if (!list.acquire_checked(o)) return false;
            return held(list.value().items.data(), list.value().items.size());
        }
        static constexpr std::size_t dims[] = {3};
        name_others("a Vec3d, a VecList, ");
        if (!load_or_single(o, dims, v)) return false;
        v.single = single();
        return true;
    }
    const Points& get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Vec3d | VecList | _Rows | _Column"; }

private:
    bool held(const kestrum::Vec3d* items, std::size_t n) noexcept {
        v.own = items;
        v.base = reinterpret_cast<const char*>(items);
        v.rows = n;
        v.row_stride = sizeof(kestrum::Vec3d);
        v.col_stride = sizeof(double);
        v.type = Table::Type::f64;
        return true;
    }
};

// Several 3x3 matrices: an (n, 3, 3) buffer, a sequence whose items are
// each a Mat3, three rows of three numbers or a (3, 3) buffer, or one matrix
// alone in any of those forms (a table of one, `single` set).
struct Matrices : Rows<3, 3> {
    bool single = false;
};
template <>
struct FromPy<Matrices> : TableLoader {
    Matrices v;
    kestrum::Mat3 one{};
    bool load(PyObject* o) {
        if (Py_IS_TYPE(o, type_of<kestrum::Matrix3>())) {
            one = as_object<kestrum::Matrix3>(o)->value.rows;  // immutable: no borrow
            v.single = true;
            v.base = reinterpret_cast<const char*>(one.data());
            v.rows = 1;
            v.sub_stride = sizeof(one[0]);
            v.col_stride = sizeof(double);
            v.type = Table::Type::f64;
            return true;
        }
        static constexpr std::size_t dims[] = {3, 3};
        name_others("a Mat3, ");
        if (!load_or_single(o, dims, v)) return false;
        v.single = single();
        return true;
    }
    const Matrices& get() const noexcept { return v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() { return "Mat3 | _Rows | Sequence[Mat3 | _Rows]"; }
};

// Positions into a list: a 1-D buffer of integers (any signed or unsigned
// integer format) or a sequence of ints, copied out at once.
struct Indices {
    std::vector<std::int64_t> v;
    bool too_big = false;  // an unsigned value beyond int64: out of range anyway
    std::uint64_t big = 0;
};
template <>
struct FromPy<Indices> {
    Indices v;
    bool load(PyObject* o) {
        if (PyObject_CheckBuffer(o) && !PyBytes_Check(o) && !PyByteArray_Check(o)) return load_buffer(o);
        if (PyUnicode_Check(o) || !PySequence_Check(o)) {
            set_cast_error(o, "Sequence[int] | a 1-D integer buffer");
            return false;
        }
        const Ref it(PyObject_GetIter(o));
        if (!it) return false;
        ResultLoop signals(0);
        std::size_t step = 0;
        while (const Ref item{PyIter_Next(it.get())}) {
            if (!signals.poll(++step)) return false;
            if (PyFloat_Check(item.get()) || PyBool_Check(item.get())) {
                PyErr_Format(PyExc_TypeError, "indices must be integers, got %s", Py_TYPE(item.get())->tp_name);
                return false;
            }
            const Ref index(PyNumber_Index(item.get()));
            if (!index) return false;
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (x == -1 && PyErr_Occurred()) return false;
            if (overflow) {
                PyErr_Format(PyExc_IndexError, "index %S is out of range", index.get());
                return false;
            }
            v.v.push_back(x);
        }
        return !PyErr_Occurred();
    }
    const Indices& get() const noexcept { return v; }
    static std::string py_type() { return "Buffer | Sequence[SupportsIndex]"; }

private:
    bool load_buffer(PyObject* o) {
        HeldBuffer held;
        if (!held.acquire(o, PyBUF_RECORDS_RO)) return false;
        const Py_buffer& b = held.view();
        std::string_view f = b.format ? b.format : "B";
        if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
        const bool ok = f.size() == 1 && std::string_view("bBhHiIlLqQnN").find(f[0]) != std::string_view::npos &&
                        (f[0] == 'n' || f[0] == 'N' || b.itemsize == static_cast<Py_ssize_t>(size_of(f[0])));
        if (b.ndim != 1 || !ok) {
            PyErr_Format(PyExc_TypeError, "indices must be a 1-D buffer of integers, got %d-D format '%s'", b.ndim,
                         b.format ? b.format : "B");
            return false;
        }
        const bool is_signed = std::string_view("bhilqn").find(f[0]) != std::string_view::npos;
        v.v.resize(static_cast<std::size_t>(b.shape[0]));
        const char* base = static_cast<const char*>(b.buf);
        for (std::size_t i = 0; i < v.v.size(); ++i) {
            const char* p = base + static_cast<std::ptrdiff_t>(i) * b.strides[0];
            std::int64_t s = 0;
            std::uint64_t u = 0;
            switch (b.itemsize) {
                case 1: is_signed ? s = load_as<std::int8_t>(p) : u = load_as<std::uint8_t>(p); break;
                case 2: is_signed ? s = load_as<std::int16_t>(p) : u = load_as<std::uint16_t>(p); break;
                case 4: is_signed ? s = load_as<std::int32_t>(p) : u = load_as<std::uint32_t>(p); break;
                default: is_signed ? s = load_as<std::int64_t>(p) : u = load_as<std::uint64_t>(p); break;
            }
            if (!is_signed && u > static_cast<std::uint64_t>(INT64_MAX) && !v.too_big) {
                v.too_big = true;
                v.big = u;
            }
            v.v[i] = is_signed ? s : static_cast<std::int64_t>(u);
        }
        return true;
    }
    template <class T>
    static T load_as(const char* p) noexcept {
        T x;
        std::memcpy(&x, p, sizeof x);
        return x;
    }
    static std::size_t size_of(char c) noexcept {
        switch (c) {
            case 'b':
            case 'B': return 1;
            case 'h':
            case 'H': return 2;
            case 'i':
            case 'I': return sizeof(int);
            case 'l':
            case 'L': return sizeof(long);
            default: return 8;
        }
    }
};

// A 1-D column of numbers (a float buffer or a sequence), copied out at once.
struct Column {
    std::vector<double> v;
};
template <>
struct FromPy<Column> : FromPy<Rows<>> {
    Column c;
    bool load(PyObject* o) {
        if (!FromPy<Rows<>>::load(o)) return false;
        const Rows<>& t = FromPy<Rows<>>::get();
        c.v.resize(t.rows);
        for (std::size_t i = 0; i < t.rows; ++i)
            c.v[i] = read_cell(t.type, t.base + static_cast<std::ptrdiff_t>(i) * t.row_stride);
        return true;
    }
    const Column& get() const noexcept { return c; }
    static std::string py_type() { return FromPy<Rows<>>::py_type(); }
};

// Row i of a table of points.
inline kestrum::Vec3d point_at(const Rows3& t, std::size_t i) noexcept {
    const char* row = t.base + static_cast<std::ptrdiff_t>(i) * t.row_stride;
    return {read_cell(t.type, row), read_cell(t.type, row + t.col_stride), read_cell(t.type, row + 2 * t.col_stride)};
}

// The weights of n elements: none, or n finite non-negative numbers not all
// zero, else a ValueError naming the first bad one.
inline std::vector<double> weights_of(const std::optional<Column>& weights, std::size_t n, const char* per) {
    if (!weights) return {};
    const std::vector<double>& w = weights->v;
    if (w.size() != n)
        raise(PyExc_ValueError,
              "expected " + std::to_string(n) + " weights, one per " + per + ", got " + std::to_string(w.size()));
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(w[i] >= 0.0) || std::isinf(w[i]))
            raise(PyExc_ValueError, "weights must be finite and non-negative; weights[" + std::to_string(i) + "] is " +
                                        kestrum::format_double(w[i]));
        any |= w[i] > 0.0;
    }
    if (!any && n > 0) raise(PyExc_ValueError, "the weights are all zero");
    return w;
}

// The points as Vec3ds: the ones we hold in place, any other rows copied
// into `copy` first, so a caller's buffer is read once, before the work.
inline std::span<const kestrum::Vec3d> point_span(const Points& p, VecListValue& copy) {
    if (p.own) return {p.own, p.rows};
    copy = vec_list_from_rows(p);
    return {copy.items.data(), copy.items.size()};
}

}  // namespace kp
