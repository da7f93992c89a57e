// Exception mapping and the fixed error texts.
#include "frame/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

#include "frame/once.hpp"
#include "parallel/stop.hpp"

namespace kp {

namespace {

PyObject* panic_type() {
    static OnceCell<PyObject> cell;
    return cell.get([] {
        // Derives from BaseException so `except Exception` lets it through.
        return PyErr_NewExceptionWithDoc("kestrum_py.PanicException", "An internal invariant of kestrum_py failed.",
                                         PyExc_BaseException, nullptr);
    });
}

}  // namespace

// Qualified name of an object's type, or the fixed fallback text.
Ref type_qualname(PyObject* obj) noexcept {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return Ref(PyUnicode_FromString("<failed to extract type name>"));
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
        } catch (const ErrorAlreadySet&) {
            if (!PyErr_Occurred()) set_panic("an error was reported but none is set");
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::length_error&) {
            PyErr_NoMemory();  // a size beyond any container is an allocation that cannot succeed
        } catch (const std::system_error& e) {
            // The system refused a resource (a worker thread, say): short of
            // memory, or else a condition of the run, never a broken invariant.
            const std::error_code code = e.code();
            const bool memory =
                code == std::errc::not_enough_memory || code == std::errc::resource_unavailable_try_again;
            PyErr_SetString(memory ? PyExc_MemoryError : PyExc_RuntimeError, e.what());
        } catch (const kestrum::parallel::WorkersInParent& e) {
            // A signal handler forked while the call waited for the pool; an
            // exception it raised in this child is the one to see.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
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
    const std::string prefix = std::string("argument '") + std::string(param_name(name)) + "': ";
    prefix_type_error(prefix.c_str());
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

// Only a ValueError raised here, by the conversion itself, has no traceback
// yet: one from the caller's code (a __float__, say) passes as it is.
void wrap_argument_value_error(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Restore(type, value, Py_XNewRef(tb));
#endif
    const bool ours = !tb;
    Py_XDECREF(tb);
    if (!ours) return;
    const std::string prefix = std::string("argument '") + std::string(param_name(name)) + "': ";
    prefix_error(prefix.c_str(), PyExc_ValueError);
}

void prefix_type_error(const char* prefix) noexcept { prefix_error(prefix, PyExc_TypeError); }

void prefix_error(const char* prefix, PyObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(type)) {
        PyErr_SetRaisedException(exc);
        return;
    }
#else
    PyObject *pending, *value, *tb;
    PyErr_Fetch(&pending, &value, &tb);
    if (pending != type) {
        PyErr_Restore(pending, value, tb);
        return;
    }
    PyErr_NormalizeException(&pending, &value, &tb);
    Py_XDECREF(pending);
    Py_XDECREF(tb);
    PyObject* exc = value;
#endif
    PyObject* wrapped = nullptr;
    if (PyObject* text = PyObject_Str(exc)) {
        PyObject* msg = PyUnicode_FromFormat("%s%U", prefix, text);
        Py_DECREF(text);
        if (msg) {
            wrapped = PyObject_CallOneArg(type, msg);
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

}  // namespace kp
