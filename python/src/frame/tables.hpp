#pragma once
// How an (n, D...) table of numbers is read: a float64/float32 buffer in
// place, or a sequence of numbers or of rows, with the messages for each
// wrong shape; one row given alone where a table is read; a cell at a byte
// offset.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/args.hpp"

namespace kp {

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
// A table's cell: the number of type T (double or float) stored at `p`,
// unaligned, as a double (a float widens exactly). Every reader of a
// table's bytes goes through here.
template <class T>
inline double read_cell(const char* p) noexcept {
    T x;
    std::memcpy(&x, p, sizeof x);
    return static_cast<double>(x);
}
inline double read_cell(Table::Type type, const char* p) noexcept {
    return type == Table::Type::f64 ? read_cell<double>(p) : read_cell<float>(p);
}
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
                v[r][c] = read_cell(t.type, p);
            }
        return true;
    }
    const std::array<std::array<double, 3>, R>& get() const noexcept { return held ? *held : v; }
    static constexpr bool names_value_errors = true;
    static std::string py_type() {
        using Own = typename HeldBy<Array>::type;
        if constexpr (std::is_void_v<Own>)
            return "_Rows";
        else
            return std::string(Class<Own>::name) + " | _Rows";
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

}  // namespace kp
