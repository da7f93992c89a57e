// Creating classes once per process, and adding them to a module.
#include "frame/types.hpp"

#include <string>
#include <vector>

namespace kp {

PyTypeObject* create_type(const TypeDef& def) {
    // The type takes the name by pointer on some versions: keep it forever.
    std::string* qualified = new std::string(std::string("builtins.") + def.name);
    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* s = def.slots; s && s->slot; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    if (def.ctor.tp_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.ctor.tp_new)});
    slots.push_back({Py_tp_doc, const_cast<char*>(def.ctor.doc)});
    if (def.methods) slots.push_back({Py_tp_methods, def.methods});
    if (def.getset) slots.push_back({Py_tp_getset, def.getset});
    slots.push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (!def.ctor.tp_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_spec{qualified->c_str(), def.basicsize, 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) {
        PyObject* cause = take_exception();
        PyObject* err = PyObject_CallFunction(
            PyExc_RuntimeError, "s", ("An error occurred while initializing class " + std::string(def.name)).c_str());
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
    if (def.ctor.vectorcall) tp->tp_vectorcall = def.ctor.vectorcall;
    return tp;
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
