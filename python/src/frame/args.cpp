// Argument conversions too long to inline: integers, truth values, text
// and byte buffers.
#include "frame/args.hpp"

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
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
        return false;
    }
    const int truth = tp->tp_as_number->nb_bool(o);
    if (truth < 0) return false;
    v = truth != 0;
    return true;
}

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

}  // namespace kp
