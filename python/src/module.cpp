// Module entry: builds `kestrum_py` and its `geometry` and `geo` submodules once per
// process and refuses a second interpreter.
#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "classes.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// CPython 3.12 runs a single-phase module's init function in an isolated
// sub-interpreter and only then refuses the module. This is the importer's own
// test (exported, declared in an internal header); asking it first keeps a
// refused import from claiming the module.
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#define KP_IMPORTER_REFUSES(name) (_PyImport_CheckSubinterpIncompatibleExtensionAllowed(name) < 0)
#else
#define KP_IMPORTER_REFUSES(name) false
#endif

namespace kp {
namespace {

struct ModuleRecord {
    PyModuleDef def;
    int (*init)(PyObject*);
    std::atomic<std::int64_t> owner{-1};
    OnceCell<PyObject> module;
};

PyObject* make_module(ModuleRecord& rec) {
    if (KP_IMPORTER_REFUSES(rec.def.m_name)) return nullptr;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!rec.owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError, "%s cannot be loaded in more than one interpreter per process", rec.def.m_name);
        return nullptr;
    }
    PyObject* mod = rec.module.get([&]() -> PyObject* {
        Ref m(PyModule_Create2(&rec.def, PYTHON_API_VERSION));
        if (!m) return nullptr;
#ifdef Py_GIL_DISABLED
        // A free-threaded interpreter switches the lock on for this module.
        if (PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
        if (rec.init(m.get()) < 0) return nullptr;
        return m.release();  // the record keeps this reference for the process's life
    });
    return mod ? Py_NewRef(mod) : nullptr;
}

template <class T>
int add_class(PyObject* module) {
    PyTypeObject* type = type_of<T>();
    if (!type) return -1;
    return add_member(module, Class<T>::name, reinterpret_cast<PyObject*>(type));
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* modname = PyModule_GetNameObject(module);
    if (!modname) return -1;
    PyObject* fn = PyCFunction_NewEx(def, module, modname);
    Py_DECREF(modname);
    if (!fn) return -1;
    const int rc = add_member(module, def->ml_name, fn);
    Py_DECREF(fn);
    return rc;
}

int init_geometry(PyObject* m) {
    namespace g = kestrum::geometry;
    if (add_class<g::Circle>(m) < 0) return -1;
    for (PyMethodDef* f = geometry_functions(); f->ml_name; ++f)
        if (add_function(m, f) < 0) return -1;
    return add_class<g::Plane>(m);
}

ModuleRecord geometry_module{
    {PyModuleDef_HEAD_INIT, "geometry", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr}, &init_geometry, {-1}, {}};

int init_geo(PyObject* m) {
    for (PyMethodDef* f = geo_functions(); f->ml_name; ++f)
        if (add_function(m, f) < 0) return -1;
    return 0;
}

ModuleRecord geo_module{
    {PyModuleDef_HEAD_INIT, "geo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr}, &init_geo, {-1}, {}};

int add_submodule(PyObject* m, ModuleRecord& rec) {
    PyObject* sub = make_module(rec);
    if (!sub) return -1;
    const int rc = add_member(m, PyModule_GetName(sub), sub);
    Py_DECREF(sub);
    return rc;
}

// The pickle reconstructor (frame/pickle.hpp): reachable as
// kestrum_py._unpickle so pickle can find it by name, but not in __all__.
int add_unpickler(PyObject* m) {
    namespace g = kestrum::geometry;
    static PyMethodDef def = function<
        "_unpickle",
        &unpickle<kestrum::AngleDegrees, kestrum::AngleRadians, kestrum::Quat, VecListValue, kestrum::Vec3d, g::Circle,
                  g::Plane, kestrum::spatial::KdTree, QuatListValue, kestrum::Matrix3, kestrum::RigidTransform>,
        "cls", "version", "state">(
        "Rebuilds a pickled value of class `cls`.", "Any",
        Raises{"ValueError: unsupported pickle format version", "ValueError: pickled ", "ValueError: unknown class",
               "BufferError: memoryview: underlying buffer is not"});
    PyObject* modname = PyModule_GetNameObject(m);
    if (!modname) return -1;
    PyObject* fn = PyCFunction_NewEx(&def, m, modname);
    Py_DECREF(modname);
    if (!fn) return -1;
    if (PyObject_SetAttrString(m, def.ml_name, fn) < 0) {
        Py_DECREF(fn);
        return -1;
    }
    set_unpickler(fn);  // keeps this reference: the module lives as long as the process
    return 0;
}

// The Python-written submodules (kestrum_py.dask) live in the directory
// kestrum_py-modules beside this shared object; naming it in __path__ lets the
// import system find them while every class stays kestrum_py.X. The hyphen
// keeps that directory from ever importing as a package of its own.
int add_module_path(PyObject* m) {
    Dl_info info{};
    std::string dir;
    if (dladdr(reinterpret_cast<void*>(&add_module_path), &info) && info.dli_fname) {
        std::error_code ec;
        const std::filesystem::path so = std::filesystem::absolute(info.dli_fname, ec);
        if (!ec) dir = (so.parent_path() / "kestrum_py-modules").string();
    }
    Ref path(dir.empty() ? PyList_New(0) : Py_BuildValue("[s]", dir.c_str()));
    if (!path) return -1;
    return PyObject_SetAttrString(m, "__path__", path.get());
}

int init_kestrum(PyObject* m) {
    if (add_class<kestrum::AngleDegrees>(m) < 0 || add_class<kestrum::AngleRadians>(m) < 0 ||
        add_class<kestrum::Quat>(m) < 0 || add_class<VecListValue>(m) < 0 || add_class<kestrum::Vec3d>(m) < 0)
        return -1;
    if (add_submodule(m, geometry_module) < 0) return -1;
    // Added later than the names above, which keep their order in __all__.
    if (add_class<kestrum::spatial::KdTree>(m) < 0 || add_class<QuatListValue>(m) < 0 ||
        add_class<kestrum::Matrix3>(m) < 0 || add_class<Array>(m) < 0 || add_class<kestrum::RigidTransform>(m) < 0 ||
        add_class<kestrum::spatial::IcpResult>(m) < 0)
        return -1;
    for (PyMethodDef* f = rigid_functions(); f->ml_name; ++f)
        if (add_function(m, f) < 0) return -1;
    if (add_submodule(m, geo_module) < 0) return -1;
    if (add_module_path(m) < 0) return -1;
    return add_unpickler(m);
}

ModuleRecord kestrum_module{
    {PyModuleDef_HEAD_INIT, "kestrum_py", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr}, &init_kestrum, {-1}, {}};

}  // namespace
}  // namespace kp

PyMODINIT_FUNC PyInit_kestrum_py(void) {
    return kp::guarded<PyObject*>(nullptr, [] { return kp::make_module(kp::kestrum_module); });
}
