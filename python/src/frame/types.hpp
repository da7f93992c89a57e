#pragma once
// What an instance and a class are, and how a class is created once per
// process. Everything after this reads and makes instances.
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "frame/errors.hpp"
#include "frame/once.hpp"

namespace kp {

// Borrow flag: 0 free, n shared borrows, all ones = one exclusive borrow
// (taken and given back in borrow.hpp).
using BorrowFlag = std::atomic<std::uint64_t>;

template <class T>
struct Object {
    PyObject_HEAD T value;
    BorrowFlag flag;
};

// Specialised by every class unit for the core type it wraps:
//   static constexpr bool wrapped = true;
//   static constexpr const char* name = "Vec3d";
//   static const TypeDef& def();
template <class T>
struct Class {
    static constexpr bool wrapped = false;
};
template <class T>
concept Wrapped = Class<std::remove_cvref_t<T>>::wrapped;

// A class's constructor, from one row (Binder::constructor): both calling
// conventions and the class doc. All null for a class Python cannot call.
struct Constructor {
    newfunc tp_new = nullptr;
    vectorcallfunc vectorcall = nullptr;  // the fast path of Class(...)
    const char* doc = "";                 // "Vec3d(x, y, z)\n--\n\n"
};

struct TypeDef {
    const char* name;  // bare class name
    Constructor ctor;
    int basicsize;
    destructor dealloc;
    const PyType_Slot* slots;  // terminated by {0, nullptr}
    PyMethodDef* methods;      // may be null
    PyGetSetDef* getset;       // may be null
};

PyTypeObject* create_type(const TypeDef& def);

template <class T>
inline PyTypeObject* type_of() {
    static OnceCell<PyTypeObject> cell;
    return cell.get([] { return create_type(Class<T>::def()); });
}

template <class T>
inline Object<T>* as_object(PyObject* o) noexcept {
    return reinterpret_cast<Object<T>*>(o);
}

// Freed instances of class T kept for the next new_object of T: a result
// made and dropped per call (v + w, q.rotate(v)) then skips the object
// allocator, about half of such a call's instructions. Only under the
// interpreter lock, which every new_object and dealloc holds.
template <class T>
struct FreeList {
#ifdef Py_GIL_DISABLED
    static constexpr int kMax = 0;
#else
    static constexpr int kMax = 64;
#endif
    static inline void* items[kMax > 0 ? kMax : 1];
    static inline int count = 0;
};

// Wraps a core value in a new instance of its class (a new reference).
template <Wrapped T>
inline PyObject* new_object(T&& value) {
    using V = std::remove_cvref_t<T>;
    PyTypeObject* tp = type_of<V>();
    if (!tp) return nullptr;
    // Our types are neither GC-tracked nor subclassable, so the object
    // allocator plus header initialisation is all tp_alloc would do, minus
    // its zero fill.
    using Free = FreeList<V>;
    PyObject* o =
        static_cast<PyObject*>(Free::count > 0 ? Free::items[--Free::count] : PyObject_Malloc(sizeof(Object<V>)));
    if (!o) return PyErr_NoMemory();
    auto* obj = as_object<V>(o);
    // The value first: a copy that throws leaves only raw memory to free.
    try {
        new (&obj->value) V(std::forward<T>(value));
    } catch (...) {
        PyObject_Free(o);
        throw;
    }
    new (&obj->flag) BorrowFlag(0);
    PyObject_Init(o, tp);
    return o;
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(&as_object<T>(self)->value);
    if (FreeList<T>::count < FreeList<T>::kMax)
        FreeList<T>::items[FreeList<T>::count++] = self;
    else
        PyObject_Free(self);  // pairs with new_object's PyObject_Malloc
    Py_DECREF(tp);
}

// Builds a type definition for class C from its tables.
template <class C>
TypeDef make_type(Constructor ctor, const PyType_Slot* slots, PyMethodDef* methods = nullptr,
                  PyGetSetDef* getset = nullptr) {
    return TypeDef{Class<C>::name, ctor, static_cast<int>(sizeof(Object<C>)), &dealloc<C>, slots, methods, getset};
}

// Sets module.<name> and lists it in the module's __all__.
int add_member(PyObject* module, const char* name, PyObject* value) noexcept;

}  // namespace kp
