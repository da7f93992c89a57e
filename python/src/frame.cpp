#include "frame.hpp"

#include <pthread.h>
#include <time.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "kestrum/panic.hpp"

namespace kp {

namespace {

PyObject* panic_type() {
    static OnceCell<PyObject> cell;
    return cell.get([] {
        // Derives from BaseException so `except Exception` lets it through.
        return PyErr_NewExceptionWithDoc("kestrum_py.PanicException",
                                         "An internal invariant of kestrum_py failed.",
                                         PyExc_BaseException, nullptr);
    });
}

// Qualified name of an object's type, or the fixed fallback text.
Ref type_qualname(PyObject* obj) noexcept {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return Ref(PyUnicode_FromString("<failed to extract type name>"));
}

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

void set_argument_count_error(const FuncName& fn, std::size_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 fn.full().c_str(), count, given, given == 1 ? "was" : "were");
}

bool bind_keyword(const FuncName& fn, const char* const* names, std::size_t count,
                  PyObject** slots, PyObject* key, PyObject* value) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             fn.full().c_str(), names[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 fn.full().c_str(), key);
    return false;
}

bool check_missing(const FuncName& fn, const char* const* names, std::size_t count,
                   PyObject* const* slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (!slots[i]) missing.push_back(names[i]);
    if (missing.empty()) return true;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else if (i + 1 == missing.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 fn.full().c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                 list.c_str());
    return false;
}

}  // namespace

namespace once {
namespace {

// Bumped in every forked child, so that claims of the parent's threads, which
// do not exist there, read as stale.
std::atomic<std::uint32_t> g_generation{0};
std::atomic<std::uint32_t> g_next_serial{1};
thread_local std::uint32_t t_serial = 0;

void after_fork_in_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_registered = pthread_atfork(nullptr, nullptr, &after_fork_in_child);

}  // namespace

std::uint64_t token() noexcept {
    if (t_serial == 0) {
        std::uint32_t s;
        do s = g_next_serial.fetch_add(1, std::memory_order_relaxed); while (s == 0);
        t_serial = s;
    }
    return std::uint64_t{g_generation.load(std::memory_order_relaxed)} << 32 | t_serial;
}

bool stale(std::uint64_t token) noexcept {
    return static_cast<std::uint32_t>(token >> 32) != g_generation.load(std::memory_order_relaxed);
}

void pause(int round) noexcept {
    // Detached while waiting, so the creator can take the interpreter lock.
    PyThreadState* ts = PyEval_SaveThread();
    const long ns = round < 10 ? 20'000 : 1'000'000;
    timespec t{0, ns};
    nanosleep(&t, nullptr);
    PyEval_RestoreThread(ts);
}

}  // namespace once

std::string FuncName::full() const {
    std::string s;
    if (cls) {
        s += cls;
        s += '.';
    }
    s += name;
    s += "()";
    return s;
}

void set_panic(const char* text) noexcept {
    PyObject* type = panic_type();
    if (!type) return;  // creating the class failed; that error stays set
    PyObject* msg = PyUnicode_FromString(text);
    if (!msg) return;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
}

void set_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const Error& e) {
            PyErr_SetString(e.type, e.message.c_str());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            set_panic(e.what());
        } catch (...) {
            set_panic("internal failure without a message");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

void set_cast_error(PyObject* obj, const char* target) noexcept {
    const Ref name = type_qualname(obj);
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target);
}

void wrap_argument_error(const char* name) noexcept {
    const std::string prefix = std::string("argument '") + name + "': ";
    prefix_type_error(prefix.c_str());
}

void prefix_type_error(const char* prefix) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* exc = value;
#endif
    PyObject* wrapped = nullptr;
    if (PyObject* text = PyObject_Str(exc)) {
        PyObject* msg = PyUnicode_FromFormat("%s%U", prefix, text);
        Py_DECREF(text);
        if (msg) {
            wrapped = PyObject_CallOneArg(PyExc_TypeError, msg);
            Py_DECREF(msg);
        }
    }
    if (!wrapped) {  // could not build the new error: report that instead
        Py_DECREF(exc);
        return;
    }
    if (PyObject* cause = PyException_GetCause(exc)) PyException_SetCause(wrapped, cause);
    Py_DECREF(exc);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(wrapped)), wrapped);
    Py_DECREF(wrapped);
}

bool Param<std::uint64_t>::load(PyObject* o) noexcept {
    if (PyLong_Check(o)) {
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        const Ref index(PyNumber_Index(o));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    return !(v == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool Param<bool>::load(PyObject* o) noexcept {
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

bool bind_vector_slow(const FuncName& fn, const char* const* names, std::size_t count,
                      PyObject** slots, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    if (static_cast<std::size_t>(nargs) > count) {
        set_argument_count_error(fn, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(fn, names, count, slots, PyTuple_GET_ITEM(kwnames, k),
                              args[nargs + k]))
                return false;
    } else if (static_cast<std::size_t>(nargs) == count) {
        return true;
    }
    return check_missing(fn, names, count, slots);
}

bool bind_tuple(const FuncName& fn, const char* const* names, std::size_t count,
                PyObject** slots, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > count) {
        set_argument_count_error(fn, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(fn, names, count, slots, key, value)) return false;
    }
    return check_missing(fn, names, count, slots);
}

PyTypeObject* create_type(const TypeDef& def) {
    // The type takes the name by pointer on some versions: keep it forever.
    std::string* qualified = new std::string(std::string("builtins.") + def.name);
    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* s = def.slots; s && s->slot; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    if (def.methods) slots.push_back({Py_tp_methods, def.methods});
    if (def.getset) slots.push_back({Py_tp_getset, def.getset});
    slots.push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (!def.instantiable) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{qualified->c_str(), def.basicsize, 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* cause = PyErr_GetRaisedException();
#else
        PyObject *t, *cause, *tb;
        PyErr_Fetch(&t, &cause, &tb);
        PyErr_NormalizeException(&t, &cause, &tb);
        Py_XDECREF(t);
        Py_XDECREF(tb);
#endif
        PyObject* err = PyObject_CallFunction(PyExc_RuntimeError, "s",
                                              ("An error occurred while initializing class " +
                                               std::string(def.name))
                                                  .c_str());
        if (err) {
            if (cause) PyException_SetCause(err, cause);
            PyErr_SetObject(PyExc_RuntimeError, err);
            Py_DECREF(err);
        } else {
            Py_XDECREF(cause);
        }
        return nullptr;
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (def.vectorcall) tp->tp_vectorcall = def.vectorcall;
    return tp;
}

// ---------------------------------------------------------------------------
// Strings, byte blocks and (n, 3) tables as arguments

bool Param<std::string_view>::load(PyObject* o) noexcept {
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

bool Param<Bytes>::load(PyObject* o) noexcept {
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

// The pending exception as one object (a new reference), normalised.
PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

constexpr const char kRowsExpected[] = "an (n, 3) array or a sequence of 3-number sequences";

}  // namespace

bool Param<Rows3>::load(PyObject* o) {
    if (PyObject_CheckBuffer(o)) return load_buffer(o);
    return load_sequence(o);
}

bool Param<Rows3>::load_buffer(PyObject* o) {
    if (!acquire(o, PyBUF_RECORDS_RO)) {
        // An exporter that cannot describe its elements (numpy's datetime64,
        // for one) holds nothing we could read.
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return false;
        PyObject* cause = take_exception();
        const Ref name = type_qualname(o);
        if (name)
            PyErr_Format(PyExc_TypeError, "expected %s, got a '%U' whose buffer cannot be read: %S",
                         kRowsExpected, name.get(), cause ? cause : Py_None);
        Py_XDECREF(cause);
        return false;
    }
    const Py_buffer& b = view();
    if (format_is(b.format, 'd') && b.itemsize == 8) {
        v.type = Rows3::Type::f64;
    } else if (format_is(b.format, 'f') && b.itemsize == 4) {
        v.type = Rows3::Type::f32;
    } else {
        const std::string got = element_name(b.format, b.itemsize);
        PyErr_Format(PyExc_TypeError, "expected float64 or float32 elements, got %s", got.c_str());
        return false;
    }
    if (b.ndim != 2 || !b.shape || b.shape[1] != 3) {
        const std::string got = shape_text(b);
        PyErr_Format(PyExc_ValueError, "expected an array of shape (n, 3), got shape %s", got.c_str());
        return false;
    }
    v.base = static_cast<const char*>(b.buf);
    v.rows = static_cast<std::size_t>(b.shape[0]);
    v.row_stride = b.strides ? b.strides[0] : 3 * b.itemsize;
    v.col_stride = b.strides ? b.strides[1] : b.itemsize;
    return true;
}

bool Param<Rows3>::load_sequence(PyObject* o) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) {
        const Ref name = type_qualname(o);
        if (name) PyErr_Format(PyExc_TypeError, "expected %s, got '%U'", kRowsExpected, name.get());
        return false;
    }
    PyObject* seq = PySequence_Fast(o, "");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    bool ok = true;
    try {
        collected.reserve(3 * static_cast<std::size_t>(n));
    } catch (...) {
        Py_DECREF(seq);
        throw;
    }
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        // A list can shrink while a number's __float__ runs.
        if (i >= PySequence_Fast_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_ValueError, "the sequence changed its length while being read");
            ok = false;
            break;
        }
        PyObject* row = Py_NewRef(PySequence_Fast_GET_ITEM(seq, i));
        PyObject* numbers = nullptr;
        if (PyUnicode_Check(row) || !PySequence_Check(row)) {
            const Ref name = type_qualname(row);
            if (name)
                PyErr_Format(PyExc_TypeError, "row %zd: expected a sequence of 3 numbers, got '%U'",
                             i, name.get());
            ok = false;
        } else if (!(numbers = PySequence_Fast(row, ""))) {
            ok = false;
        } else if (PySequence_Fast_GET_SIZE(numbers) != 3) {
            PyErr_Format(PyExc_ValueError, "row %zd has %zd numbers, expected 3", i,
                         PySequence_Fast_GET_SIZE(numbers));
            ok = false;
        } else {
            for (Py_ssize_t j = 0; ok && j < 3; ++j) {
                Param<double> number;
                // A list row can change under a number's __float__: hold the item.
                PyObject* item = Py_NewRef(PySequence_Fast_GET_ITEM(numbers, j));
                if (number.load(item)) {
                    collected.push_back(number.get());
                } else {
                    const std::string prefix =
                        "row " + std::to_string(i) + ", column " + std::to_string(j) + ": ";
                    prefix_type_error(prefix.c_str());
                    ok = false;
                }
                Py_DECREF(item);
                if (ok && PySequence_Fast_GET_SIZE(numbers) != 3) {
                    PyErr_Format(PyExc_ValueError, "row %zd changed its length while being read", i);
                    ok = false;
                }
            }
        }
        Py_XDECREF(numbers);
        Py_DECREF(row);
    }
    Py_DECREF(seq);
    if (!ok) return false;
    v.type = Rows3::Type::f64;
    v.base = reinterpret_cast<const char*>(collected.data());
    v.rows = collected.size() / 3;
    v.row_stride = 3 * sizeof(double);
    v.col_stride = sizeof(double);
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
// Pickling

namespace {
std::atomic<PyObject*> g_unpickler{nullptr};  // the module keeps the function alive forever
}  // namespace

PyObject* unpickler() noexcept { return g_unpickler.load(std::memory_order_acquire); }
void set_unpickler(PyObject* fn) noexcept { g_unpickler.store(fn, std::memory_order_release); }


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

int add_member(PyObject* module, const char* name, PyObject* value) noexcept {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (!all) {
        all = PyList_New(0);
        if (!all) return -1;
        const int rc = PyDict_SetItemString(dict, "__all__", all);
        Py_DECREF(all);
        if (rc < 0) return -1;
    } else if (!PyList_Check(all)) {
        set_cast_error(all, "list");
        return -1;
    }
    PyObject* pyname = PyUnicode_FromString(name);
    if (!pyname) return -1;
    int rc = PyList_Append(all, pyname);
    if (rc == 0) rc = PyObject_SetAttr(module, pyname, value);
    Py_DECREF(pyname);
    return rc;
}

}  // namespace kp
