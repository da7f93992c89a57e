// Reading tables of numbers, with a message for every wrong shape.
#include "frame/tables.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>

namespace kp {

namespace {

// numpy's name for a buffer element type ("int64", "complex128"), for messages.
std::string element_name(const char* format, Py_ssize_t itemsize) {
    std::string_view f = format ? format : "B";
    std::string order;
    if (!f.empty() && std::strchr("@=<>!", f[0])) {
        if (f[0] == '>' || f[0] == '!') order = "big-endian ";
        f.remove_prefix(1);
    }
    const std::string bits = std::to_string(itemsize * 8);
    if (f.size() == 1) {
        switch (f[0]) {
            case '?': return "bool";
            case 'b':
            case 'h':
            case 'i':
            case 'l':
            case 'q':
            case 'n': return order + "int" + bits;
            case 'B':
            case 'H':
            case 'I':
            case 'L':
            case 'Q':
            case 'N': return order + "uint" + bits;
            case 'e':
            case 'f':
            case 'd':
            case 'g': return order + "float" + bits;
            case 'O': return "object";
            default: break;
        }
    }
    if (f.size() == 2 && f[0] == 'Z') return order + "complex" + bits;
    return std::string("elements of format '") + (format ? format : "B") + "'";
}

// Native little-endian float64/float32, whatever byte-order prefix says so.
bool format_is(const char* format, char code) {
    if (!format) return false;
    std::string_view f = format;
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)))
        f.remove_prefix(1);
    return f.size() == 1 && f[0] == code;
}

std::string shape_text(const Py_buffer& view) {
    std::string s = "(";
    for (int i = 0; i < view.ndim; ++i) {
        if (i) s += ", ";
        s += std::to_string(view.shape ? view.shape[i] : view.len / std::max<Py_ssize_t>(view.itemsize, 1));
    }
    if (view.ndim == 1) s += ',';
    return s + ')';
}

// "(n, 3)", "(n, 3, 3)"; "(3, 3)" when exactly 3 rows are wanted.
std::string shape_pattern(std::span<const std::size_t> dims, std::size_t want_rows) {
    std::string s(1, '(');
    s += want_rows ? std::to_string(want_rows) : "n";
    for (std::size_t d : dims) s += ", " + std::to_string(d);
    return s + (dims.empty() ? ",)" : ")");
}

std::string rows_expected(std::span<const std::size_t> dims, std::size_t want_rows, bool single = false) {
    if (dims.empty() && want_rows)
        return "a (" + std::to_string(want_rows) + ",) array or a sequence of " + std::to_string(want_rows) +
               " numbers";
    if (dims.empty()) return "a 1-dimensional array or a sequence of numbers";
    if (single && dims.size() == 1)
        return "a (" + std::to_string(dims[0]) + ",) or " + shape_pattern(dims, 0) + " array, or a sequence of " +
               std::to_string(dims[0]) + " numbers or of " + std::to_string(dims[0]) + "-number sequences";
    if (single)
        return "a " + shape_pattern(dims.subspan(1), dims[0]) + " or " + shape_pattern(dims, 0) +
               " array, or a sequence of " + std::to_string(dims[0]) + " rows of " + std::to_string(dims[1]) +
               " numbers or of such matrices";
    if (want_rows && dims.size() == 1)
        return "a " + shape_pattern(dims, want_rows) + " array or " + std::to_string(want_rows) + " rows of " +
               std::to_string(dims[0]) + " numbers";
    std::string s = "an " + shape_pattern(dims, 0) + " array or a sequence of ";
    if (dims.size() == 1) return s + std::to_string(dims[0]) + "-number sequences";
    return s + std::to_string(dims[0]) + " sequences of " + std::to_string(dims[1]) + " numbers";
}

}  // namespace

std::string TableLoader::expected(std::span<const std::size_t> dims) const {
    return others_ + rows_expected(dims, want_rows_, single_ok_);
}

bool TableLoader::load(PyObject* o, std::span<const std::size_t> dims, Table& v, std::size_t want_rows) {
    want_rows_ = want_rows;
    if (PyObject_CheckBuffer(o)) return load_buffer(o, dims, v);
    return load_sequence(o, dims, v);
}

bool TableLoader::load_buffer(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    if (!acquire(o, PyBUF_RECORDS_RO)) {
        // An exporter that cannot describe its elements (numpy's datetime64,
        // for one) holds nothing we could read.
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyObject* cause = take_exception();
        const Ref name = type_qualname(o);
        const std::string expected = this->expected(dims);
        if (name)
            PyErr_Format(PyExc_TypeError, "expected %s, got a '%U' whose buffer cannot be read: %S", expected.c_str(),
                         name.get(), cause ? cause : Py_None);
        Py_XDECREF(cause);
        return false;
    }
    const Py_buffer& b = view();
    if (format_is(b.format, 'd') && b.itemsize == 8) {
        v.type = Table::Type::f64;
    } else if (format_is(b.format, 'f') && b.itemsize == 4) {
        v.type = Table::Type::f32;
    } else {
        const std::string got = element_name(b.format, b.itemsize);
        PyErr_Format(PyExc_TypeError, "expected float64 or float32 elements, got %s", got.c_str());
        return false;
    }
    // One row alone has the row's shape.
    single_ = single_ok_ && !dims.empty() && b.ndim == static_cast<int>(dims.size()) && b.shape;
    for (std::size_t d = 0; single_ && d < dims.size(); ++d) single_ = b.shape[d] == static_cast<Py_ssize_t>(dims[d]);
    bool shape_ok = b.ndim == static_cast<int>(dims.size()) + 1 && b.shape &&
                    (!want_rows_ || b.shape[0] == static_cast<Py_ssize_t>(want_rows_));
    for (std::size_t d = 0; shape_ok && d < dims.size(); ++d)
        shape_ok = b.shape[d + 1] == static_cast<Py_ssize_t>(dims[d]);
    if (!shape_ok && !single_) {
        std::string want = shape_pattern(dims, want_rows_);
        if (single_ok_) want = shape_pattern(dims.subspan(1), dims[0]) + " or " + want;
        const std::string got = shape_text(b);
        PyErr_Format(PyExc_ValueError, "expected an array of shape %s, got shape %s", want.c_str(), got.c_str());
        return false;
    }
    // Without strides the buffer is C-contiguous.
    std::ptrdiff_t contiguous[3] = {b.itemsize, b.itemsize, b.itemsize};
    for (int d = b.ndim - 2; d >= 0; --d) contiguous[d] = contiguous[d + 1] * b.shape[d + 1];
    const Py_ssize_t* st = b.strides ? b.strides : contiguous;
    v.base = static_cast<const char*>(b.buf);
    if (single_) {
        v.rows = 1;
        v.row_stride = 0;
        v.col_stride = st[b.ndim - 1];
        v.sub_stride = b.ndim == 2 ? st[0] : 0;
        return true;
    }
    v.rows = static_cast<std::size_t>(b.shape[0]);
    v.row_stride = st[0];
    v.col_stride = b.ndim > 1 ? st[b.ndim - 1] : 0;
    v.sub_stride = b.ndim == 3 ? st[1] : 0;
    return true;
}

bool TableLoader::load_number(PyObject* item, const std::string& label) {
    FromPy<double> number;
    if (number.load(item)) {
        collected.push_back(number.get());
        return true;
    }
    prefix_type_error((label + ": ").c_str());
    return false;
}

// One row of `cols` numbers, appended to `collected`; `label` names the row
// in messages ("row 4", "row 4[1]"). At most cols + 1 items are read, so a
// huge or endless row costs no more than a good one: a length other than
// `cols` is refused unread, and a row with no length, or one that claims
// `cols`, is read until one item too many shows up. Lists and tuples are read
// in place; the items are held from then on, so a number's __float__ that
// changes the row changes nothing read.
bool TableLoader::load_row(PyObject* row, const std::string& label, std::size_t cols) {
    const Py_ssize_t want = static_cast<Py_ssize_t>(cols);
    if (PyUnicode_Check(row) || !PySequence_Check(row)) {
        const Ref name = type_qualname(row);
        if (name)
            PyErr_Format(PyExc_TypeError, "%s: expected a sequence of %zd numbers, got '%U'", label.c_str(), want,
                         name.get());
        return false;
    }
    std::vector<Ref> items;
    items.reserve(cols);
    if (PyList_Check(row) || PyTuple_Check(row)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        if (n != want) {
            PyErr_Format(PyExc_ValueError, "%s has %zd numbers, expected %zd", label.c_str(), n, want);
            return false;
        }
        for (Py_ssize_t j = 0; j < want; ++j) items.emplace_back(Py_NewRef(PySequence_Fast_GET_ITEM(row, j)));
    } else {
        const Py_ssize_t length = PyObject_Size(row);
        if (length < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();  // no length: the items tell
        } else if (length != want) {
            PyErr_Format(PyExc_ValueError, "%s has %zd numbers, expected %zd", label.c_str(), length, want);
            return false;
        }
        const Ref it(PyObject_GetIter(row));
        if (!it) return false;
        Py_ssize_t got = 0;
        for (; got <= want; ++got) {
            Ref item(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) return false;
                break;
            }
            if (got < want) items.push_back(std::move(item));
        }
        if (got > want) {
            PyErr_Format(PyExc_ValueError, "%s has more than %zd numbers, expected %zd", label.c_str(), want, want);
            return false;
        }
        if (got != want) {
            PyErr_Format(PyExc_ValueError, "%s has %zd numbers, expected %zd", label.c_str(), got, want);
            return false;
        }
    }
    for (Py_ssize_t j = 0; j < want; ++j)
        if (!load_number(items[j].get(), label + ", column " + std::to_string(j))) return false;
    return true;
}

bool TableLoader::load_sequence(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) {
        const Ref name = type_qualname(o);
        const std::string expected = this->expected(dims);
        if (name) PyErr_Format(PyExc_TypeError, "expected %s, got '%U'", expected.c_str(), name.get());
        return false;
    }
    if (single_ok_ && looks_single(o, dims)) return load_single_sequence(o, dims, v);
    // A list or tuple is read in place, anything else through its iterator,
    // a row at a time, so a bad row ends the reading there (no copy of a
    // huge sequence is made first). A fixed row count reads one row past it
    // at most.
    const bool in_place = PyList_Check(o) || PyTuple_Check(o);
    const Py_ssize_t n = in_place     ? PySequence_Fast_GET_SIZE(o)
                         : want_rows_ ? static_cast<Py_ssize_t>(want_rows_) + 1
                                      : PY_SSIZE_T_MAX;
    const std::string what = dims.size() == 1 ? " of " + std::to_string(dims[0]) + " numbers" : "";
    if (in_place && want_rows_ && n != static_cast<Py_ssize_t>(want_rows_)) {
        const char* unit = dims.empty() ? "numbers" : "rows";
        PyErr_Format(PyExc_ValueError, "expected %zu %s%s, got %zd %s", want_rows_, unit, what.c_str(), n, unit);
        return false;
    }
    std::size_t per_row = 1;
    for (std::size_t d : dims) per_row *= d;
    Ref it;
    if (in_place) {
        collected.reserve(per_row * static_cast<std::size_t>(n));
    } else if (!(it = Ref(PyObject_GetIter(o)))) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref row;
        if (in_place) {
            // A list can shrink while a row is read.
            if (i >= PySequence_Fast_GET_SIZE(o)) {
                PyErr_SetString(PyExc_ValueError, "the sequence changed its length while being read");
                return false;
            }
            row = Ref(Py_NewRef(PySequence_Fast_GET_ITEM(o, i)));
        } else if (!(row = Ref(PyIter_Next(it.get())))) {
            if (PyErr_Occurred()) return false;
            break;
        }
        const std::string label = (dims.empty() ? "item " : "row ") + std::to_string(i);
        bool ok = true;
        if (dims.empty()) {
            ok = load_number(row.get(), label);
        } else if (dims.size() == 1) {
            ok = load_row(row.get(), label, dims[0]);
        } else {
            // A row of sub-rows: each read as a row of the last axis.
            const Py_ssize_t want = static_cast<Py_ssize_t>(dims[0]);
            PyObject* subs = nullptr;
            if (PyObject_CheckBuffer(row.get()) && !PyList_Check(row.get()) && !PyTuple_Check(row.get())) {
                ok = load_block(row.get(), label, dims);  // a Mat3, an array
            } else if (PyUnicode_Check(row.get()) || !PySequence_Check(row.get())) {
                const Ref name = type_qualname(row.get());
                if (name)
                    PyErr_Format(PyExc_TypeError, "%s: expected a sequence of %zd sequences, got '%U'", label.c_str(),
                                 want, name.get());
                ok = false;
            } else if (PyObject_Size(row.get()) != want) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_ValueError, "%s has %zd sequences, expected %zd", label.c_str(),
                                 PyObject_Size(row.get()), want);
                ok = false;
            } else if (!(subs = PySequence_Fast(row.get(), ""))) {
                ok = false;
            } else if (PySequence_Fast_GET_SIZE(subs) != want) {
                PyErr_Format(PyExc_ValueError, "%s has %zd sequences, expected %zd", label.c_str(),
                             PySequence_Fast_GET_SIZE(subs), want);
                ok = false;
            }
            for (Py_ssize_t r = 0; ok && subs && r < want; ++r) {
                if (r >= PySequence_Fast_GET_SIZE(subs)) {
                    PyErr_Format(PyExc_ValueError, "%s changed its length while being read", label.c_str());
                    ok = false;
                    break;
                }
                PyObject* sub = Py_NewRef(PySequence_Fast_GET_ITEM(subs, r));
                ok = load_row(sub, label + "[" + std::to_string(r) + "]", dims[1]);
                Py_DECREF(sub);
            }
            Py_XDECREF(subs);
        }
        if (!ok) return false;
    }
    if (want_rows_ && collected.size() / per_row != want_rows_) {
        const std::size_t got = collected.size() / per_row;
        const char* unit = dims.empty() ? "numbers" : "rows";
        PyErr_Format(PyExc_ValueError, "expected %zu %s%s, got %s %s", want_rows_, unit, what.c_str(),
                     got > want_rows_ ? "more" : std::to_string(got).c_str(), unit);
        return false;
    }
    v.type = Table::Type::f64;
    v.base = reinterpret_cast<const char*>(collected.data());
    v.rows = collected.size() / per_row;
    v.row_stride = static_cast<std::ptrdiff_t>(per_row * sizeof(double));
    v.col_stride = dims.empty() ? 0 : sizeof(double);
    v.sub_stride = dims.size() == 2 ? static_cast<std::ptrdiff_t>(dims[1] * sizeof(double)) : 0;
    return true;
}

// ---------------------------------------------------------------------------
// One row given where a table is read: a point where points are, a matrix
// where matrices are.

namespace {

// A number, not a row: Python's and numpy's scalars (an array has a float
// conversion too, but is a sequence). Asks the type only, runs no code.
bool is_number(PyObject* o) noexcept { return PyNumber_Check(o) && !PySequence_Check(o); }

}  // namespace

bool TableLoader::load_or_single(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    single_ok_ = true;
    return load(o, dims, v);
}

// A list or tuple whose first item is a number (one point), or whose first
// item is a list or tuple starting with a number (one matrix's rows). Other
// sequences are read as tables: telling would take their first item twice.
bool TableLoader::looks_single(PyObject* o, std::span<const std::size_t> dims) noexcept {
    for (std::size_t depth = 0; depth < dims.size(); ++depth) {
        if (!(PyList_Check(o) || PyTuple_Check(o)) || PySequence_Fast_GET_SIZE(o) == 0) return false;
        o = PySequence_Fast_GET_ITEM(o, 0);
    }
    return is_number(o);
}

// The row read as a table of its own shape, then described as one row.
bool TableLoader::load_single_sequence(PyObject* o, std::span<const std::size_t> dims, Table& v) {
    single_ok_ = false;
    single_ = true;
    if (!load(o, dims.subspan(1), v, dims[0])) return false;
    v.rows = 1;
    if (dims.size() == 1) {
        v.col_stride = v.row_stride;
    } else {
        v.sub_stride = v.row_stride;
        v.col_stride = sizeof(double);
    }
    v.row_stride = 0;
    return true;
}

// One item of a table of matrices given as a buffer (a Mat3, a (3, 3)
// array): read at once, in any strides, into the collected numbers.
bool TableLoader::load_block(PyObject* item, const std::string& label, std::span<const std::size_t> dims) {
    TableLoader inner;
    Table t;
    if (!inner.load(item, dims.subspan(1), t, dims[0])) {
        prefix_type_error((label + ": ").c_str());
        prefix_error((label + ": ").c_str(), PyExc_ValueError);
        return false;
    }
    for (std::size_t r = 0; r < dims[0]; ++r)
        for (std::size_t c = 0; c < dims[1]; ++c) {
            const char* p =
                t.base + static_cast<std::ptrdiff_t>(r) * t.row_stride + static_cast<std::ptrdiff_t>(c) * t.col_stride;
            collected.push_back(read_cell(t.type, p));
        }
    return true;
}

}  // namespace kp
