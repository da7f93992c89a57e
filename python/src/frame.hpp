#pragma once
// The one call-binding frame. Every Python-visible entry (constructor, method,
// static method, property, slot, module function) is an instantiation of a
// template below around a small function on core values: argument binding,
// conversion, receiver borrowing, result conversion and error mapping live
// here and nowhere else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace kp {

// ---------------------------------------------------------------------------
// Errors

// A Python exception described by a binding function; raised by the frame.
struct Error {
    PyObject* type;
    std::string message;
};

[[noreturn]] inline void raise(PyObject* type, std::string message) {
    throw Error{type, std::move(message)};
}

// Raises PanicException(text) as the current exception.
void set_panic(const char* text) noexcept;

// Translates whatever a body threw into the current Python exception.
void set_from_current_exception() noexcept;

// An owned reference, released on every path out, C++ exceptions included.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) noexcept : o_(o) {}
    Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(o_, other.o_);
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const noexcept { return o_; }
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// Runs a body; C++ exceptions become Python exceptions and `fail` is returned.
template <class R, class F>
inline R guarded(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_from_current_exception();
        return fail;
    }
}

// "'int' object cannot be cast as 'Vec3d'"
void set_cast_error(PyObject* obj, const char* target) noexcept;
// Replaces a pending exact TypeError with "argument '<name>': <text>".
void wrap_argument_error(const char* name) noexcept;
// Replaces a pending exact TypeError with one whose text starts with
// `prefix`; the cause is kept. Other errors pass unchanged.
void prefix_type_error(const char* prefix) noexcept;

// ---------------------------------------------------------------------------
// Borrow flag: 0 free, n shared borrows, all ones = one exclusive borrow.

using BorrowFlag = std::atomic<std::uint64_t>;
inline constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

inline bool try_borrow_shared(BorrowFlag& f) noexcept {
    std::uint64_t cur = f.load(std::memory_order_relaxed);
    do {
        if (cur == kExclusive) return false;
    } while (!f.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                      std::memory_order_relaxed));
    return true;
}
inline void release_shared(BorrowFlag& f) noexcept { f.fetch_sub(1, std::memory_order_release); }
inline bool try_borrow_exclusive(BorrowFlag& f) noexcept {
    std::uint64_t expected = 0;
    return f.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                     std::memory_order_relaxed);
}
inline void release_exclusive(BorrowFlag& f) noexcept { f.store(0, std::memory_order_release); }

inline constexpr const char kMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kBorrowed[] = "Already borrowed";

// ---------------------------------------------------------------------------
// Instances and classes

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

struct TypeDef {
    const char* name;  // bare class name
    const char* doc;   // "Vec3d(x, y, z)\n--\n\n", or "" without constructor
    int basicsize;
    destructor dealloc;
    const PyType_Slot* slots;  // terminated by {0, nullptr}
    PyMethodDef* methods;      // may be null
    PyGetSetDef* getset;       // may be null
    vectorcallfunc vectorcall; // fast constructor path, may be null
    bool instantiable;
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

private:
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

// Wraps a core value in a new instance of its class (a new reference).
template <Wrapped T>
inline PyObject* new_object(T&& value) {
    using V = std::remove_cvref_t<T>;
    PyTypeObject* tp = type_of<V>();
    if (!tp) return nullptr;
    // Our types are neither GC-tracked nor subclassable, so the object
    // allocator plus header initialisation is all tp_alloc would do, minus
    // its zero fill.
    PyObject* o = static_cast<PyObject*>(PyObject_Malloc(sizeof(Object<V>)));
    if (!o) return PyErr_NoMemory();
    PyObject_Init(o, tp);
    auto* obj = as_object<V>(o);
    new (&obj->value) V(std::forward<T>(value));
    new (&obj->flag) BorrowFlag(0);
    return o;
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(&as_object<T>(self)->value);
    PyObject_Free(self);  // pairs with new_object's PyObject_Malloc
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Borrow guards

// Holds one borrow of an object of class T for the guard's lifetime.
template <class T, bool Exclusive_>
class Borrow {
public:
    Borrow() = default;
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (!obj_) return;
        if constexpr (Exclusive_)
            release_exclusive(obj_->flag);
        else
            release_shared(obj_->flag);
    }
    // Instance check (cast error naming the class), then the borrow.
    bool acquire(PyObject* o) noexcept {
        if (!PyObject_TypeCheck(o, type_of<T>())) {
            set_cast_error(o, Class<T>::name);
            return false;
        }
        return acquire_checked(o);
    }
    bool acquire_checked(PyObject* o) noexcept {
        auto* obj = as_object<T>(o);
        const bool ok = Exclusive_ ? try_borrow_exclusive(obj->flag) : try_borrow_shared(obj->flag);
        if (!ok) {
            PyErr_SetString(PyExc_RuntimeError, Exclusive_ ? kBorrowed : kMutablyBorrowed);
            return false;
        }
        obj_ = obj;
        return true;
    }
    std::conditional_t<Exclusive_, T&, const T&> value() const noexcept { return obj_->value; }
    // The borrow outlives the guard; whoever took it over releases it.
    void hand_over() noexcept { obj_ = nullptr; }

private:
    Object<T>* obj_ = nullptr;
};
template <class T>
using Shared = Borrow<T, false>;
template <class T>
using Exclusive = Borrow<T, true>;

// The receiver of an entry: `const C&` borrows shared, `C&` exclusive.
template <class P>
struct Receiver;
template <Wrapped C>
struct Receiver<const C&> : Shared<C> {
    using Class_ = C;
    const C& get() const noexcept { return this->value(); }
};
template <Wrapped C>
struct Receiver<C> : Receiver<const C&> {};  // by-value receiver: a shared borrow
template <Wrapped C>
struct Receiver<C&> : Exclusive<C> {
    using Class_ = C;
    C& get() const noexcept { return this->value(); }
};

// ---------------------------------------------------------------------------
// Argument conversions: Param<T> for every parameter type a body may declare.
// load() returns false with a Python exception set.

template <class T>
struct Param;

template <>
struct Param<double> {
    double v = 0.0;
    bool load(PyObject* o) noexcept {
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        v = PyFloat_AsDouble(o);
        return !(v == -1.0 && PyErr_Occurred());
    }
    double get() const noexcept { return v; }
};

// Indices and counts: negative or >= 2^64 raise OverflowError (not wrapped).
template <>
struct Param<std::uint64_t> {
    std::uint64_t v = 0;
    bool load(PyObject* o) noexcept;
    std::uint64_t get() const noexcept { return v; }
};

// Only True/False, plus numpy's bool scalars.
template <>
struct Param<bool> {
    bool v = false;
    bool load(PyObject* o) noexcept;
    bool get() const noexcept { return v; }
};

// Instances of the module's classes: borrowed shared until the call returns.
template <Wrapped T>
struct Param<T> : Shared<T> {
    bool load(PyObject* o) noexcept { return this->acquire(o); }
    const T& get() const noexcept { return this->value(); }
};
template <Wrapped T>
struct Param<const T&> : Param<T> {};

template <class T>
struct Param<const T> : Param<T> {};

// Exactly a str (or subclass); the text stays owned by the argument.
template <>
struct Param<std::string_view> {
    std::string_view v;
    bool load(PyObject* o) noexcept;
    std::string_view get() const noexcept { return v; }
};

// An argument's buffer, held until the call returns.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* o, int flags) noexcept {
        if (PyObject_GetBuffer(o, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Any object exporting a contiguous buffer (bytes, bytearray, memoryview,
// PickleBuffer, ...), read in place as bytes.
struct Bytes {
    const std::byte* data;
    std::size_t size;
};
template <>
struct Param<Bytes> : HeldBuffer {
    bool load(PyObject* o) noexcept;
    Bytes get() const noexcept {
        return {static_cast<const std::byte*>(view().buf), static_cast<std::size_t>(view().len)};
    }
};

// An (n, 3) table of numbers: a two-dimensional float64 or float32 buffer
// with any strides, read in place, or else a sequence of 3-number sequences,
// each number converted as a float argument is.
struct Rows3 {
    enum class Type : std::uint8_t { f64, f32 };
    const char* base = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::ptrdiff_t row_stride = 0;  // in bytes, may be negative
    std::ptrdiff_t col_stride = 0;
    Type type = Type::f64;
};
template <>
struct Param<Rows3> : HeldBuffer {
    Rows3 v;
    std::vector<double> collected;  // the sequence form, row after row
    bool load(PyObject* o);
    const Rows3& get() const noexcept { return v; }

private:
    bool load_buffer(PyObject* o);
    bool load_sequence(PyObject* o);
};

// ---------------------------------------------------------------------------
// Result conversions

template <class T>
struct ToPy;

template <class T>
inline PyObject* to_py(T&& v) {
    return ToPy<std::remove_cvref_t<T>>::convert(std::forward<T>(v));
}

template <>
struct ToPy<double> {
    static PyObject* convert(double v) { return PyFloat_FromDouble(v); }
};
template <>
struct ToPy<bool> {
    static PyObject* convert(bool v) { return PyBool_FromLong(v); }
};
// A truth value stored as a whole byte: bulk results are written from several
// threads at once, which std::vector<bool>'s packed bits would not allow.
struct Truth {
    bool value;
};
template <>
struct ToPy<Truth> {
    static PyObject* convert(Truth v) { return PyBool_FromLong(v.value); }
};
template <>
struct ToPy<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
};
template <>
struct ToPy<std::string> {
    static PyObject* convert(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
};
template <Wrapped T>
struct ToPy<T> {
    template <class U>
    static PyObject* convert(U&& v) {
        return new_object(std::forward<U>(v));
    }
};

// A long loop on the calling thread that builds a Python result. It keeps
// Ctrl-C working: poll() checks for pending signals every kEvery steps, and
// a false return (the handler's exception set, KeyboardInterrupt for SIGINT)
// means drop the partial result. Loops of at least kEvery steps also pause
// the cyclic collector, which the new containers would otherwise trigger
// again and again although nothing can reference them yet; the collector's
// previous state comes back on every path.
class ResultLoop {
public:
    static constexpr std::size_t kEvery = 4096;  // well under a millisecond of work
    explicit ResultLoop(std::size_t steps) noexcept
        : pausing_(steps >= kEvery), paused_(pausing_ && PyGC_Disable() == 1) {}
    ResultLoop(const ResultLoop&) = delete;
    ResultLoop& operator=(const ResultLoop&) = delete;
    ~ResultLoop() {
        if (paused_) PyGC_Enable();
    }
    bool poll(std::size_t step) noexcept { return step % kEvery != 0 || check(); }
    // Runs pending signal handlers now, with the collector in the state the
    // caller left it, so a handler sees (and may change) the real state.
    bool check() noexcept;

private:
    bool pausing_;
    bool paused_;  // we turned the collector off and owe turning it back on
};

template <class Seq>
inline PyObject* list_from(Seq&& seq) {
    const auto n = static_cast<Py_ssize_t>(std::size(seq));
    ResultLoop loop(static_cast<std::size_t>(n));
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (auto&& item : seq) {
        if (!loop.poll(static_cast<std::size_t>(i) + 1)) return nullptr;
        PyObject* o = to_py(std::move(item));
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    return list.release();
}
template <class E, class A>
struct ToPy<std::vector<E, A>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
};
template <class E, std::size_t N>
struct ToPy<std::array<E, N>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
};
template <class... E>
struct ToPy<std::tuple<E...>> {
    template <class U>
    static PyObject* convert(U&& t) {
        Ref tuple(PyTuple_New(sizeof...(E)));
        if (!tuple) return nullptr;
        bool ok = std::apply(
            [&](auto&&... items) {
                Py_ssize_t i = 0;
                return ([&](PyObject* o) {
                    if (!o) return false;
                    PyTuple_SET_ITEM(tuple.get(), i++, o);
                    return true;
                }(to_py(std::move(items))) && ...);
            },
            std::forward<U>(t));
        return ok ? tuple.release() : nullptr;
    }
};
template <class A, class B>
struct ToPy<std::pair<A, B>> {
    template <class U>
    static PyObject* convert(U&& p) {
        return ToPy<std::tuple<A, B>>::convert(std::tuple<A, B>(std::forward<U>(p)));
    }
};
template <class E>
struct ToPy<std::optional<E>> {
    template <class U>
    static PyObject* convert(U&& v) {
        if (!v) Py_RETURN_NONE;
        return to_py(std::move(*v));
    }
};

// A text produced piece by piece on demand (e.g. a block of elements at a
// time by the worker pool), so that ResultLoop can poll between pieces both
// while the text is made and while it is copied into the str.
struct PieceText {
    std::size_t pieces;
    std::function<void(std::string& out, std::size_t piece)> append;
};
template <>
struct ToPy<PieceText> {
    static PyObject* convert(const PieceText& text);
};

// ---------------------------------------------------------------------------
// Names as template arguments

template <std::size_t N>
struct Name {
    char s[N];
    constexpr Name(const char (&in)[N]) { std::copy_n(in, N, s); }
};

// "Vec3d.dot()" or "plane_line()", built only when a message needs it.
struct FuncName {
    const char* cls;  // null for module functions
    const char* name;
    std::string full() const;
};

// Binds positional and keyword arguments to `slots` (null-initialised,
// one per parameter). Both calling conventions end up here.
bool bind_vector_slow(const FuncName& fn, const char* const* names, std::size_t count,
                      PyObject** slots, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
// Exactly the parameters by position is the common call; keep it inline.
inline bool bind_vector(const FuncName& fn, const char* const* names, std::size_t count,
                        PyObject** slots, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    if (!kwnames && static_cast<std::size_t>(nargs) == count) {
        std::copy_n(args, count, slots);
        return true;
    }
    return bind_vector_slow(fn, names, count, slots, args, nargs, kwnames);
}
bool bind_tuple(const FuncName& fn, const char* const* names, std::size_t count,
                PyObject** slots, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Signature introspection of bodies: free functions and member functions.

template <class F>
struct Sig;
template <class R, class... A>
struct Sig<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...) const> {
    using Ret = R;
    using Args = std::tuple<const C&, A...>;
};
template <class R, class C, class... A>
struct Sig<R (C::*)(A...)> {
    using Ret = R;
    using Args = std::tuple<C&, A...>;
};

template <auto Fn>
using RetOf = typename Sig<decltype(Fn)>::Ret;
template <auto Fn>
using ArgsOf = typename Sig<decltype(Fn)>::Args;

template <class Tuple>
struct DropFirst;
template <class A, class... B>
struct DropFirst<std::tuple<A, B...>> {
    using type = std::tuple<B...>;
};

// Calls Fn and converts its result; `void` becomes None.
template <auto Fn, class... A>
inline PyObject* call_and_convert(A&&... args) {
    using R = RetOf<Fn>;
    if constexpr (std::is_void_v<R>) {
        std::invoke(Fn, std::forward<A>(args)...);
        Py_RETURN_NONE;
    } else if constexpr (std::is_same_v<R, PyObject*>) {
        return std::invoke(Fn, std::forward<A>(args)...);
    } else {
        return to_py(std::invoke(Fn, std::forward<A>(args)...));
    }
}

// Converts the bound slots in declaration order, then runs the body.
// On a conversion failure the TypeError is wrapped with the parameter name.
template <auto Fn, class Params, class... Pre>
struct Invoke;
template <auto Fn, class... P, class... Pre>
struct Invoke<Fn, std::tuple<P...>, Pre...> {
    template <class... R>
    static PyObject* run([[maybe_unused]] PyObject* const* slots,
                         [[maybe_unused]] const char* const* names, R&&... pre) {
        std::tuple<Param<std::remove_cvref_t<P>>...> params;
        bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ([&] {
                if (std::get<I>(params).load(slots[I])) return true;
                wrap_argument_error(names[I]);
                return false;
            }() && ...);
        }(std::index_sequence_for<P...>{});
        if (!ok) return nullptr;
        return std::apply(
            [&](auto&... p) { return call_and_convert<Fn>(std::forward<R>(pre)..., p.get()...); },
            params);
    }
};

// Converts the operand of a two-operand slot or comparison; failure of any
// kind means NotImplemented, so errors are dropped.
template <auto Fn>
inline PyObject* try_binary(PyObject* self, PyObject* other) {
    using Args = ArgsOf<Fn>;
    using RecvT = std::tuple_element_t<0, Args>;
    using ArgT = std::remove_cvref_t<std::tuple_element_t<1, Args>>;
    using C = std::remove_cvref_t<RecvT>;
    if (!PyObject_TypeCheck(self, type_of<C>())) Py_RETURN_NOTIMPLEMENTED;
    Receiver<RecvT> recv;
    if (!recv.acquire_checked(self)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    Param<ArgT> arg;
    if (!arg.load(other)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return call_and_convert<Fn>(recv.get(), arg.get());
}

// Binds a vector call and runs a body that has no receiver (constructors,
// static methods, module functions).
template <auto Fn, Name... Params>
PyObject* bind_and_run(const FuncName& fn, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static constexpr const char* names[] = {Params.s..., nullptr};
    PyObject* slots[sizeof...(Params) + 1] = {};
    if (!bind_vector(fn, names, sizeof...(Params), slots, args, nargs, kwnames)) return nullptr;
    return Invoke<Fn, ArgsOf<Fn>>::run(slots, names);
}

// ---------------------------------------------------------------------------
// Buffer export

// A C-contiguous (rows, cols) block of doubles lent out read-only.
struct DoubleBlock {
    const double* data;
    std::size_t rows;
    std::size_t cols;
};
// Fills `view` for `flags` (format "d", strides (cols * 8, 8)); the shape and
// strides live in view->internal until release_block_view. On failure a
// BufferError is set and nothing is held.
int fill_block_view(PyObject* owner, Py_buffer* view, int flags, DoubleBlock block,
                    const char* class_name) noexcept;
void release_block_view(Py_buffer* view) noexcept;

// ---------------------------------------------------------------------------
// Pickling and copying
//
// Every class reduces to a call of kestrum_py._unpickle(cls, version, state).
// The classes report __module__ "builtins", where pickle could never find
// them, so the reconstructor is a real attribute of kestrum_py (left out of
// __all__): pickle stores it as "kestrum_py _unpickle" and a fresh process
// finds it by importing kestrum_py. copy.copy and copy.deepcopy go the same
// way through __reduce_ex__.
//
// The pickled form, version 1 (a later library keeps reading every version
// it ever wrote):
//   cls      the class name: "Vec3d", "Quat", "AngleRadians", "AngleDegrees",
//            "VecList", "Plane" or "Circle"
//   version  1
//   state    the stored doubles as little-endian IEEE-754 binary64, bit for
//            bit, in this order:
//              Vec3d         x y z
//              Quat          w i j k
//              AngleRadians, AngleDegrees   angle
//              Plane         normal.x normal.y normal.z distance
//              Circle        center.x center.y center.z radius normal.x normal.y normal.z
//              VecList       x y z of each element in order (24 bytes each);
//                            protocol 5 hands over the elements as one
//                            out-of-band-capable PickleBuffer, others as bytes
inline constexpr std::uint64_t kPickleVersion = 1;
static_assert(std::endian::native == std::endian::little,
              "the pickled state is the values' own bytes, little-endian");

// kestrum_py._unpickle (borrowed; set once at import).
PyObject* unpickler() noexcept;
void set_unpickler(PyObject* fn) noexcept;

// The state of one value. A value that is a fixed run of doubles (checked by
// each class's static_assert in classes.hpp) is pickled as its own bytes.
template <class C>
struct Pickled {
    static_assert(std::is_trivially_copyable_v<C> && sizeof(C) % sizeof(double) == 0);
    static PyObject* state(PyObject*, const C& value, std::uint64_t) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&value), sizeof value);
    }
    static C load(Bytes state) {
        if (state.size != sizeof(C))
            raise(PyExc_ValueError, std::string("pickled ") + Class<C>::name + " state must be " +
                                        std::to_string(sizeof(C)) + " bytes, got " +
                                        std::to_string(state.size));
        C value;
        std::memcpy(static_cast<void*>(&value), state.data, sizeof value);
        return value;
    }
};

// ---------------------------------------------------------------------------
// The binder: one per wrapped class; produces table rows and slots.

template <class C>
struct Binder {
    // -- methods --------------------------------------------------------------

    // Instance method; Fn's first parameter is the receiver (`const C&` or `C&`).
    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef method() {
        using Rest = typename DropFirst<ArgsOf<Fn>>::type;
        static_assert(std::tuple_size_v<Rest> == sizeof...(Params),
                      "one name per parameter");
        static const std::string doc = make_doc(MethodName.s, {Params.s...}, true);
        if constexpr (sizeof...(Params) == 0) {
            return {MethodName.s, &noargs<Fn>, METH_NOARGS, doc.c_str()};
        } else {
            return {MethodName.s, reinterpret_cast<PyCFunction>(
                                      reinterpret_cast<void (*)()>(&fast<MethodName, Fn, Params...>)),
                    METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
        }
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef static_method() {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params),
                      "one name per parameter");
        static const std::string doc = make_doc(MethodName.s, {Params.s...}, false);
        if constexpr (sizeof...(Params) == 0) {
            return {MethodName.s, &static_noargs<Fn>, METH_NOARGS | METH_STATIC, doc.c_str()};
        } else {
            return {MethodName.s,
                    reinterpret_cast<PyCFunction>(
                        reinterpret_cast<void (*)()>(&static_fast<MethodName, Fn, Params...>)),
                    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc.c_str()};
        }
    }

    // -- properties -----------------------------------------------------------

    template <Name PropName, auto Get, auto Set = nullptr>
    static PyGetSetDef property() {
        if constexpr (std::is_null_pointer_v<decltype(Set)>) {
            return {PropName.s, &getter<Get>, nullptr, nullptr, nullptr};
        } else {
            return {PropName.s, &getter<Get>, &setter<Set>, nullptr, nullptr};
        }
    }

    // A data member exposed as a settable property, e.g. field<"x", &Vec3d::x>().
    template <Name PropName, auto Member>
    static PyGetSetDef field() {
        return property<PropName, &read_field<Member>, &write_field<Member>>();
    }

    // -- constructor ----------------------------------------------------------

    // Fn builds the core value from the converted arguments.
    template <auto Fn, Name... Params>
    static PyObject* ctor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr const char* names[] = {Params.s..., nullptr};
            PyObject* slots[sizeof...(Params) + 1] = {};
            if (!bind_tuple({Class<C>::name, "__new__"}, names, sizeof...(Params), slots, args,
                            kwargs))
                return nullptr;
            return Invoke<Fn, ArgsOf<Fn>>::run(slots, names);
        });
    }
    template <auto Fn, Name... Params>
    static PyObject* ctor_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            return bind_and_run<Fn, Params...>({Class<C>::name, "__new__"}, args,
                                               PyVectorcall_NARGS(nargsf), kwnames);
        });
    }

    // -- slots ----------------------------------------------------------------

    // Two-operand number slot: forward body, then the reflected one (if any)
    // with the operands swapped.
    template <auto Fwd, auto Refl = nullptr>
    static PyObject* binary(PyObject* left, PyObject* right) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* r = try_binary<Fwd>(left, right);
            if constexpr (!std::is_null_pointer_v<decltype(Refl)>) {
                if (r == Py_NotImplemented) {
                    Py_DECREF(r);
                    r = try_binary<Refl>(right, left);
                }
            }
            return r;
        });
    }

    template <auto Fn>
    static PyObject* unary(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&] { return run_method<Fn>(self, nullptr, nullptr); });
    }

    // Subscript: the receiver is borrowed before the key is converted.
    template <auto Fn, Name Key>
    static PyObject* subscript(PyObject* self, PyObject* key) {
        return guarded<PyObject*>(nullptr, [&] {
            static constexpr const char* names[] = {Key.s};
            PyObject* slots[] = {key};
            return run_method<Fn>(self, slots, names);
        });
    }

    template <auto Fn>
    static Py_ssize_t length(PyObject* self) {
        return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
            Receiver<std::tuple_element_t<0, ArgsOf<Fn>>> recv;
            if (!recv.acquire(self)) return -1;
            return static_cast<Py_ssize_t>(std::invoke(Fn, recv.get()));
        });
    }

    // Iterator step: an empty optional ends the iteration (no exception).
    template <auto Fn>
    static PyObject* next(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            Receiver<std::tuple_element_t<0, ArgsOf<Fn>>> recv;
            if (!recv.acquire(self)) return nullptr;
            auto item = std::invoke(Fn, recv.get());
            if (!item) return nullptr;
            return to_py(std::move(*item));
        });
    }

    // `iter(it) is it`, after checking the receiver can be read.
    static PyObject* iter_self(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            Shared<C> recv;
            if (!recv.acquire(self)) return nullptr;
            return Py_NewRef(self);
        });
    }

    // Rich comparison; a null body means the class leaves that operator out.
    // `!=` negates the interpreter's full `==` when the class defines `==`.
    template <auto Lt, auto Le, auto Eq, auto Gt, auto Ge>
    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            switch (op) {
                case Py_LT: return maybe_binary<Lt>(self, other);
                case Py_LE: return maybe_binary<Le>(self, other);
                case Py_EQ: return maybe_binary<Eq>(self, other);
                case Py_GT: return maybe_binary<Gt>(self, other);
                case Py_GE: return maybe_binary<Ge>(self, other);
                case Py_NE:
                    if constexpr (std::is_null_pointer_v<decltype(Eq)>) {
                        Py_RETURN_NOTIMPLEMENTED;
                    } else {
                        PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
                        if (!eq) return nullptr;
                        const int truth = PyObject_IsTrue(eq);
                        Py_DECREF(eq);
                        if (truth < 0) return nullptr;
                        return PyBool_FromLong(!truth);
                    }
                default:
                    set_panic("unknown comparison operator");
                    return nullptr;
            }
        });
    }

    // Buffer export of Fn's DoubleBlock. Each export keeps a shared borrow
    // of the receiver until it is released, so writers fail meanwhile.
    template <auto Fn>
    static int get_buffer(PyObject* self, Py_buffer* view, int flags) {
        return guarded<int>(-1, [&]() -> int {
            view->obj = nullptr;
            Shared<C> recv;
            if (!recv.acquire(self)) return -1;
            if (fill_block_view(self, view, flags, std::invoke(Fn, recv.value()), Class<C>::name) < 0)
                return -1;
            recv.hand_over();  // given back by release_buffer
            return 0;
        });
    }
    static void release_buffer(PyObject* self, Py_buffer* view) {
        release_block_view(view);
        release_shared(as_object<C>(self)->flag);
    }

    // __reduce_ex__(protocol): the pickled form described above.
    static PyMethodDef reduce() {
        static const std::string doc = make_doc("__reduce_ex__", {"protocol"}, true);
        return {"__reduce_ex__",
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reduce_ex)),
                METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    }

private:
    template <auto Member>
    using FieldType = std::remove_cvref_t<decltype(std::declval<const C&>().*Member)>;
    template <auto Member>
    static FieldType<Member> read_field(const C& c) {
        return c.*Member;
    }
    template <auto Member>
    static void write_field(C& c, FieldType<Member> value) {
        c.*Member = value;
    }

    template <auto Fn>
    static PyObject* maybe_binary(PyObject* self, PyObject* other) {
        if constexpr (std::is_null_pointer_v<decltype(Fn)>) {
            Py_RETURN_NOTIMPLEMENTED;
        } else {
            return try_binary<Fn>(self, other);
        }
    }

    static std::string make_doc(const char* name, std::initializer_list<const char*> params,
                                bool with_self) {
        std::string doc = name;
        doc += '(';
        bool first = true;
        if (with_self) {
            doc += "$self";
            first = false;
        }
        for (const char* p : params) {
            if (!first) doc += ", ";
            doc += p;
            first = false;
        }
        doc += ")\n--\n\n";
        return doc;
    }

    // The receiver is borrowed (its class checked first), then the bound
    // slots are converted and the body runs.
    template <auto Fn>
    static PyObject* run_method(PyObject* self, PyObject* const* slots, const char* const* names) {
        Receiver<std::tuple_element_t<0, ArgsOf<Fn>>> recv;
        if (!recv.acquire(self)) return nullptr;
        return Invoke<Fn, typename DropFirst<ArgsOf<Fn>>::type>::run(slots, names, recv.get());
    }

    static PyObject* reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr const char* names[] = {"protocol"};
            PyObject* slots[1] = {};
            if (!bind_vector({Class<C>::name, "__reduce_ex__"}, names, 1, slots, args, nargs,
                             kwnames))
                return nullptr;
            Shared<C> recv;
            if (!recv.acquire(self)) return nullptr;
            Param<std::uint64_t> protocol;
            if (!protocol.load(slots[0])) {
                wrap_argument_error(names[0]);
                return nullptr;
            }
            PyObject* fn = unpickler();
            if (!fn) throw std::logic_error("kestrum_py._unpickle is not set");
            PyObject* state = Pickled<C>::state(self, recv.value(), protocol.get());
            if (!state) return nullptr;
            return Py_BuildValue("(O(sKN))", fn, Class<C>::name,
                                 static_cast<unsigned long long>(kPickleVersion), state);
        });
    }

    template <auto Fn>
    static PyObject* noargs(PyObject* self, PyObject*) {
        return unary<Fn>(self);
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr const char* names[] = {Params.s...};
            PyObject* slots[sizeof...(Params)] = {};
            if (!bind_vector({Class<C>::name, MethodName.s}, names, sizeof...(Params), slots,
                             args, nargs, kwnames))
                return nullptr;
            return run_method<Fn>(self, slots, names);
        });
    }

    template <auto Fn>
    static PyObject* static_noargs(PyObject*, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return call_and_convert<Fn>(); });
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyObject* static_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            return bind_and_run<Fn, Params...>({Class<C>::name, MethodName.s}, args, nargs,
                                               kwnames);
        });
    }

    template <auto Get>
    static PyObject* getter(PyObject* self, void*) {
        return unary<Get>(self);
    }

    // The value is converted before the receiver is borrowed exclusively, and
    // stored only after every check passed.
    template <auto Set>
    static int setter(PyObject* self, PyObject* value, void*) {
        return guarded<int>(-1, [&]() -> int {
            if (!value) {
                PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
                return -1;
            }
            using Args = ArgsOf<Set>;
            Param<std::remove_cvref_t<std::tuple_element_t<1, Args>>> arg;
            if (!arg.load(value)) {
                wrap_argument_error("value");
                return -1;
            }
            Receiver<std::tuple_element_t<0, Args>> recv;
            if (!recv.acquire(self)) return -1;
            std::invoke(Set, recv.get(), arg.get());
            return 0;
        });
    }
};

// Module-level functions: no receiver, named "fn()" in messages. `module` is
// the owning module's name, used as the function's __module__.
template <Name FnName, auto Fn, Name... Params>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return bind_and_run<Fn, Params...>({nullptr, FnName.s}, args, nargs, kwnames);
    });
}

template <Name FnName, auto Fn, Name... Params>
PyMethodDef function() {
    static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
    static const std::string doc = [] {
        std::string d = FnName.s;
        d += '(';
        const char* ps[] = {Params.s...};
        for (std::size_t i = 0; i < sizeof...(Params); ++i) {
            if (i) d += ", ";
            d += ps[i];
        }
        return d + ")\n--\n\n";
    }();
    return {FnName.s,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&module_function<FnName, Fn, Params...>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

template <class C>
PyObject* unpickle_as(std::uint64_t version, Bytes state) {
    if (version == 0 || version > kPickleVersion)
        raise(PyExc_ValueError, "unsupported pickle format version " + std::to_string(version) +
                                    " of " + Class<C>::name + " (this kestrum_py reads version " +
                                    std::to_string(kPickleVersion) + ")");
    return to_py(Pickled<C>::load(state));
}

// Body of kestrum_py._unpickle over the classes Cs: a new object of the class
// named `cls`, from the state of a version this library reads.
template <class... Cs>
PyObject* unpickle(std::string_view cls, std::uint64_t version, Bytes state) {
    PyObject* out = nullptr;
    const bool known = ((cls == Class<Cs>::name && (out = unpickle_as<Cs>(version, state), true)) || ...);
    if (!known)
        raise(PyExc_ValueError, "unknown class '" + std::string(cls) + "' in pickled kestrum_py data");
    return out;
}
// Builds a type definition for class C from its tables.
template <class C>
TypeDef make_type(const char* doc, const PyType_Slot* slots, PyMethodDef* methods,
                  PyGetSetDef* getset, vectorcallfunc vectorcall = nullptr,
                  bool instantiable = true) {
    return TypeDef{Class<C>::name, doc,          static_cast<int>(sizeof(Object<C>)),
                   &dealloc<C>,    slots,        methods,
                   getset,         vectorcall,   instantiable};
}

// Module building (module.cpp).
struct ModuleDef;
int add_member(PyObject* module, const char* name, PyObject* value) noexcept;

}  // namespace kp
