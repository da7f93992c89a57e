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

namespace kp {

// Borrow flag: 0 free, n shared borrows, all ones = one exclusive borrow
// (taken and given back in borrow.hpp).
using BorrowFlag = std::atomic<std::uint64_t>;

template <class T>
struct Object {
    PyObject_HEAD
    T value;
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

// Once-per-process creation, safe against fork and re-entry. No lock is ever
// held across a call into the interpreter: the creating thread claims the cell
// with a token, others poll with the interpreter released until the value is
// published. A creation that re-enters on its own thread (a finalizer run by
// the garbage collector inside the type machinery) creates its own value; the
// first one published wins and a later one is dropped. A claim made before a
// fork is stale in the child, whose first use creates afresh.
namespace once {
// Non-zero, unique to the calling thread and to this process image.
std::uint64_t token() noexcept;
// True for a token taken before the most recent fork of this process.
bool stale(std::uint64_t token) noexcept;
// Lets other threads run for a moment.
void pause(int round) noexcept;
}  // namespace once

template <class T>
class OnceCell {
public:
    template <class Make>
    T* get(Make&& make) {
        if (T* v = peek()) return v;
        return create(make);
    }

private:
    // Kept out of line so that every caller's fast path stays one load.
    template <class Make>
    [[gnu::noinline, gnu::cold]] T* create(Make& make) {
        const std::uint64_t me = once::token();
        for (int round = 0;; ++round) {
            std::uint64_t holder = owner_.load(std::memory_order_acquire);
            if (holder == me) return publish(make());  // re-entered inside our own creation
            if (holder == 0 || once::stale(holder)) {
                if (owner_.compare_exchange_strong(holder, me, std::memory_order_acq_rel)) break;
                continue;
            }
            once::pause(round);
            if (T* v = peek()) return v;
        }
        struct Release {  // also when make() throws
            std::atomic<std::uint64_t>& owner;
            ~Release() { owner.store(0, std::memory_order_release); }
        } release{owner_};
        return publish(make());  // nullptr with an exception set: a later call retries
    }

    T* peek() const noexcept { return value_.load(std::memory_order_acquire); }
    // The first value published is the one everybody gets.
    T* publish(T* made) noexcept {
        if (!made) return nullptr;
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
        Py_DECREF(reinterpret_cast<PyObject*>(made));
        return expected;
    }

    std::atomic<T*> value_{nullptr};
    std::atomic<std::uint64_t> owner_{0};
};

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
    PyObject* o = static_cast<PyObject*>(Free::count > 0 ? Free::items[--Free::count]
                                                         : PyObject_Malloc(sizeof(Object<V>)));
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
    return TypeDef{Class<C>::name, ctor,  static_cast<int>(sizeof(Object<C>)), &dealloc<C>,
                   slots,          methods, getset};
}

// Sets module.<name> and lists it in the module's __all__.
int add_member(PyObject* module, const char* name, PyObject* value) noexcept;

}  // namespace kp
