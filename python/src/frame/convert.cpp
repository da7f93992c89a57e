// Conversions that are too long to inline: integers, truth values, text,
// buffers and (n, 3) tables in; long texts and buffer exports out.
#include "frame/convert.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace kp {

namespace {

bool is_numpy_bool_type(PyTypeObject* tp) {
    Ref name(PyType_GetName(tp));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
        return false;
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool FromPy<std::uint64_t>::load(PyObject* o) noexcept {
    if (PyLong_Check(o)) {
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        const Ref index(PyNumber_Index(o));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    return !(v == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool FromPy<bool>::load(PyObject* o) noexcept {
    if (o == Py_True || o == Py_False) {
        v = (o == Py_True);
        return true;
    }
    PyTypeObject* tp = Py_TYPE(o);
    if (!is_numpy_bool_type(tp)) {
        set_cast_error(o, "bool");
        return false;
    }
    if (!tp->tp_as_number || !tp->tp_as_number->nb_bool) {
        const Ref name = type_qualname(o);
        if (name)
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         name.get());
        return false;
    }
    const int truth = tp->tp_as_number->nb_bool(o);
    if (truth < 0) return false;
    v = truth != 0;
    return true;
}

// ---------------------------------------------------------------------------
// Strings, byte blocks and (n, 3) tables as arguments

bool FromPy<std::string_view>::load(PyObject* o) noexcept {
    if (!PyUnicode_Check(o)) {
        set_cast_error(o, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &size);
    if (!text) return false;
    v = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool FromPy<Bytes>::load(PyObject* o) noexcept {
    if (!PyObject_CheckBuffer(o)) {
        set_cast_error(o, "Buffer");
        return false;
    }
    return acquire(o, PyBUF_SIMPLE);
}

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
            case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return order + "int" + bits;
            case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return order + "uint" + bits;
            case 'e': case 'f': case 'd': case 'g': return order + "float" + bits;
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
    if (!f.empty() && (f[0] == '@' || f[0] == '=' ||
                       (f[0] == '<' && std::endian::native == std::endian::little)))
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
        return "a (" + std::to_string(want_rows) + ",) array or a sequence of " + std::to_string(want_rows) + " numbers";
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
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return false;
        PyObject* cause = take_exception();
        const Ref name = type_qualname(o);
        const std::string expected = this->expected(dims);
        if (name)
            PyErr_Format(PyExc_TypeError, "expected %s, got a '%U' whose buffer cannot be read: %S",
                         expected.c_str(), name.get(), cause ? cause : Py_None);
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
        PyErr_Format(PyExc_ValueError, "expected an array of shape %s, got shape %s", want.c_str(),
                     got.c_str());
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
            PyErr_Format(PyExc_TypeError, "%s: expected a sequence of %zd numbers, got '%U'",
                         label.c_str(), want, name.get());
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
            PyErr_Format(PyExc_ValueError, "%s has more than %zd numbers, expected %zd", label.c_str(), want,
                         want);
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
    const Py_ssize_t n = in_place ? PySequence_Fast_GET_SIZE(o)
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
                    PyErr_Format(PyExc_TypeError, "%s: expected a sequence of %zd sequences, got '%U'",
                                 label.c_str(), want, name.get());
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
// Buffer export

int fill_block_view(PyObject* owner, Py_buffer* view, int flags, DoubleBlock block,
                    const char* class_name) noexcept {
    if (flags & PyBUF_WRITABLE) {
        PyErr_Format(PyExc_BufferError, "%s buffer is read-only", class_name);
        return -1;
    }
    // Row-major, so Fortran order only for a single row or column.
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && block.rows > 1 && block.cols > 1) {
        PyErr_Format(PyExc_BufferError, "%s buffer is not Fortran contiguous", class_name);
        return -1;
    }
    auto* dims = static_cast<Py_ssize_t*>(PyMem_Malloc(4 * sizeof(Py_ssize_t)));
    if (!dims) {
        PyErr_NoMemory();
        return -1;
    }
    dims[0] = static_cast<Py_ssize_t>(block.rows);
    dims[1] = static_cast<Py_ssize_t>(block.cols);
    dims[2] = static_cast<Py_ssize_t>(block.cols * sizeof(double));
    dims[3] = sizeof(double);
    static const double no_elements = 0.0;  // consumers expect a non-null pointer
    view->buf = const_cast<double*>(block.data ? block.data : &no_elements);
    view->obj = Py_NewRef(owner);
    view->len = static_cast<Py_ssize_t>(block.rows * block.cols * sizeof(double));
    view->itemsize = sizeof(double);
    view->readonly = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
    // Without PyBUF_ND the consumer reads plain bytes (buf and len).
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = nd ? 2 : 1;
    view->shape = nd ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + 2 : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

void release_block_view(Py_buffer* view) noexcept { PyMem_Free(view->internal); }

// ---------------------------------------------------------------------------
// Result arrays: a hidden owner class exporting the elements, read-only.

namespace {

struct ArrayOwner {
    PyObject_HEAD
    ArrayParts parts;
};

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    const ArrayParts& a = reinterpret_cast<ArrayOwner*>(self)->parts;
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "result arrays are read-only");
        return -1;
    }
    const std::size_t extent[3] = {a.rows, a.ndim >= 2 ? a.cols : 1, a.ndim >= 3 ? a.depth : 1};
    // C order; Fortran order too when at most one extent exceeds 1.
    const int long_axes = (extent[0] > 1) + (extent[1] > 1) + (extent[2] > 1);
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && long_axes > 1) {
        PyErr_SetString(PyExc_BufferError, "result arrays are not Fortran contiguous");
        return -1;
    }
    // shape then strides, a.ndim of each
    auto* dims = static_cast<Py_ssize_t*>(PyMem_Malloc(6 * sizeof(Py_ssize_t)));
    if (!dims) {
        PyErr_NoMemory();
        return -1;
    }
    constexpr Py_ssize_t item = 8;
    Py_ssize_t stride = item;
    for (int k = a.ndim - 1; k >= 0; --k) {
        dims[k] = static_cast<Py_ssize_t>(extent[k]);
        dims[a.ndim + k] = stride;
        stride *= dims[k];
    }
    static const std::int64_t no_elements = 0;  // consumers expect a non-null pointer
    view->buf = const_cast<void*>(a.data ? a.data : &no_elements);
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(extent[0] * extent[1] * extent[2]) * item;
    view->itemsize = item;
    view->readonly = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a.format == 'd' ? "d" : "q") : nullptr;
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    view->ndim = nd ? a.ndim : 1;
    view->shape = nd ? dims : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? dims + a.ndim : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

void array_releasebuffer(PyObject*, Py_buffer* view) noexcept { PyMem_Free(view->internal); }

void array_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(&reinterpret_cast<ArrayOwner*>(self)->parts);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyTypeObject* array_owner_type() {
    static OnceCell<PyTypeObject> cell;
    return cell.get([] {
        static PyType_Slot slots[] = {
            {Py_bf_getbuffer, reinterpret_cast<void*>(&array_getbuffer)},
            {Py_bf_releasebuffer, reinterpret_cast<void*>(&array_releasebuffer)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&array_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec{"kestrum_py._ResultArray", sizeof(ArrayOwner), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    });
}

}  // namespace

PyObject* array_owner(ArrayParts parts) {
    // Every extent, stride and the byte count must fit a Py_ssize_t, an empty
    // array's too (its other extents can be anything).
    std::size_t bytes = 8;
    const std::size_t extent[3] = {parts.rows, parts.ndim >= 2 ? parts.cols : 1, parts.ndim >= 3 ? parts.depth : 1};
    for (const std::size_t e : extent) {
        if (e > static_cast<std::size_t>(PY_SSIZE_T_MAX) / bytes) return PyErr_NoMemory();
        bytes *= e == 0 ? 1 : e;
    }
    PyTypeObject* tp = array_owner_type();
    if (!tp) return nullptr;
    PyObject* o = static_cast<PyObject*>(PyObject_Malloc(sizeof(ArrayOwner)));
    if (!o) return PyErr_NoMemory();
    PyObject_Init(o, tp);
    new (&reinterpret_cast<ArrayOwner*>(o)->parts) ArrayParts(std::move(parts));
    return o;
}

PyObject* array_view(ArrayParts parts) {
    const Ref owner(array_owner(std::move(parts)));
    return owner ? PyMemoryView_FromObject(owner.get()) : nullptr;  // the view holds the owner
}

PyObject* ToPy<DoubleArray>::convert(DoubleArray&& array) {
    const int nd = array.ndim();
    const auto extent = [&](int k) { return k < nd ? static_cast<std::size_t>(array.shape()[k]) : 0; };
    return array_view({array.storage(), array.data(), 'd', nd, extent(0), extent(1), extent(2)});
}


bool ResultLoop::check() noexcept {
    if (!pausing_) return PyErr_CheckSignals() == 0;
    if (paused_) PyGC_Enable();
    const int rc = PyErr_CheckSignals();
    paused_ = PyGC_Disable() == 1;
    return rc == 0;
}

PyObject* ToPy<PieceText>::convert(const PieceText& text) {
    ResultLoop loop(text.pieces);
    std::vector<std::string> parts(text.pieces);
    std::size_t total = 0;
    bool ascii = true;
    for (std::size_t p = 0; p < text.pieces; ++p) {
        if (!loop.check()) return nullptr;
        text.append(parts[p], p);
        total += parts[p].size();
        for (unsigned char c : parts[p]) ascii &= c < 0x80;
    }
    if (!ascii) {
        std::string all;
        all.reserve(total);
        for (const auto& part : parts) all += part;
        return PyUnicode_DecodeUTF8(all.data(), static_cast<Py_ssize_t>(all.size()), nullptr);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(total), 127);
    if (!str) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
    for (auto& part : parts) {
        if (!loop.check()) {
            Py_DECREF(str);
            return nullptr;
        }
        std::memcpy(out, part.data(), part.size());
        out += part.size();
        std::string().swap(part);  // the text's peak stays one copy plus a piece
    }
    return str;
}

}  // namespace kp
