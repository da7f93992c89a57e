// Creating classes once per process, and adding them to a module.
#include "frame/types.hpp"

#include <pthread.h>
#include <time.h>

#include <string>
#include <vector>

namespace kp {

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
