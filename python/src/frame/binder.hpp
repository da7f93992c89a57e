#pragma once
// The binder. One Binder<C> per class turns a body on core values
// into a table row or slot; every row runs the steps above in order.
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/convert.hpp"
#include "frame/pickle.hpp"
#include "frame/signature.hpp"

namespace kp {

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

// What an entry hands back to the interpreter: the converted result ...
struct AsObject {
    using type = PyObject*;
    static constexpr PyObject* fail = nullptr;
    template <auto Fn, class... A>
    static PyObject* finish(A&&... args) {
        return call_and_convert<Fn>(std::forward<A>(args)...);
    }
};
// ... a length (mp_length) ...
struct AsLength {
    using type = Py_ssize_t;
    static constexpr Py_ssize_t fail = -1;
    template <auto Fn, class... A>
    static Py_ssize_t finish(A&&... args) {
        return static_cast<Py_ssize_t>(std::invoke(Fn, std::forward<A>(args)...));
    }
};
// ... or an iterator's next item, where an empty optional ends the iteration
// without an exception.
struct AsNext {
    using type = PyObject*;
    static constexpr PyObject* fail = nullptr;
    template <auto Fn, class... A>
    static PyObject* finish(A&&... args) {
        auto item = std::invoke(Fn, std::forward<A>(args)...);
        if (!item) return nullptr;
        return to_py(std::move(*item));
    }
};

// Converts the bound slots in declaration order, then runs the body.
// On a conversion failure the TypeError is wrapped with the parameter name.
template <auto Fn, class Params>
struct Invoke;
template <auto Fn, class... P>
struct Invoke<Fn, std::tuple<P...>> {
    template <class Out = AsObject, class... R>
    static typename Out::type run([[maybe_unused]] PyObject* const* slots,
                                  [[maybe_unused]] const char* const* names, R&&... pre) {
        std::tuple<FromPy<std::remove_cvref_t<P>>...> params;
        bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ([&] {
                if (std::get<I>(params).load(slots[I])) return true;
                wrap_argument_error(names[I]);
                return false;
            }() && ...);
        }(std::index_sequence_for<P...>{});
        if (!ok) return Out::fail;
        return std::apply(
            [&](auto&... p) { return Out::template finish<Fn>(std::forward<R>(pre)..., p.get()...); },
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
    FromPy<ArgT> arg;
    if (!arg.load(other)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return call_and_convert<Fn>(recv.get(), arg.get());
}

// The parameters of a body with a receiver. A body whose result must refer
// to the Python object itself (iter() returning it, a pickle lending its
// buffer) declares `PyObject*` before the receiver and is handed the object.
template <auto Fn>
struct MethodSig {
    using All = ArgsOf<Fn>;
    static constexpr bool takes_object = std::is_same_v<std::tuple_element_t<0, All>, PyObject*>;
    using FromReceiver = std::conditional_t<takes_object, typename DropFirst<All>::type, All>;
    using Receiver_ = std::tuple_element_t<0, FromReceiver>;
    using Params = typename DropFirst<FromReceiver>::type;
};

// The one path of every entry with a receiver: the receiver is borrowed (its
// class checked first), then the bound slots are converted and the body runs.
template <auto Fn, class Out = AsObject>
typename Out::type run_method(PyObject* self, PyObject* const* slots, const char* const* names) {
    using S = MethodSig<Fn>;
    Receiver<typename S::Receiver_> recv;
    if (!recv.acquire(self)) return Out::fail;
    if constexpr (S::takes_object)
        return Invoke<Fn, typename S::Params>::template run<Out>(slots, names, self, recv.get());
    else
        return Invoke<Fn, typename S::Params>::template run<Out>(slots, names, recv.get());
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
// The binder: one per wrapped class; produces table rows and slots.

template <class C>
struct Binder {
    // -- methods --------------------------------------------------------------

    // Instance method; Fn's first parameter is the receiver (`const C&` or `C&`).
    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef method() {
        static_assert(std::tuple_size_v<typename MethodSig<Fn>::Params> == sizeof...(Params),
                      "one name per parameter");
        static const std::string doc = doc_text(MethodName.s, {Params.s...}, true);
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
        static const std::string doc = doc_text(MethodName.s, {Params.s...}, false);
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

    // The class's one constructor: Fn builds the core value from the converted
    // arguments. The parameters named here give tp_new, the vectorcall and
    // the class doc "Vec3d(x, y, z)".
    template <auto Fn, Name... Params>
    static Constructor constructor() {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
        static const std::string doc = doc_text(Class<C>::name, {Params.s...}, false);
        return {&ctor_new<Fn, Params...>, &ctor_vectorcall<Fn, Params...>, doc.c_str()};
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
        return guarded<Py_ssize_t>(-1, [&] { return run_method<Fn, AsLength>(self, nullptr, nullptr); });
    }

    // Iterator step: an empty optional ends the iteration (no exception).
    template <auto Fn>
    static PyObject* next(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&] { return run_method<Fn, AsNext>(self, nullptr, nullptr); });
    }

    // `iter(it) is it`, after checking the receiver can be read.
    static PyObject* iter_self(PyObject* self) { return unary<&same_object>(self); }

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

    // __reduce_ex__(protocol): the pickled form of frame/pickle.hpp.
    static PyMethodDef reduce() { return method<"__reduce_ex__", &reduce_ex, "protocol">(); }

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

    static PyObject* same_object(PyObject* self, const C&) { return Py_NewRef(self); }

    static PyObject* reduce_ex(PyObject* self, const C& value, std::uint64_t protocol) {
        PyObject* fn = unpickler();
        if (!fn) throw std::logic_error("kestrum_py._unpickle is not set");
        PyObject* state = Pickled<C>::state(self, value, protocol);
        if (!state) return nullptr;
        return Py_BuildValue("(O(sKN))", fn, Class<C>::name,
                             static_cast<unsigned long long>(kPickleVersion), state);
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
            FromPy<std::remove_cvref_t<std::tuple_element_t<1, Args>>> arg;
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

// Module-level functions: no receiver, named "fn()" in messages.
template <Name FnName, auto Fn, Name... Params>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return bind_and_run<Fn, Params...>({nullptr, FnName.s}, args, nargs, kwnames);
    });
}

template <Name FnName, auto Fn, Name... Params>
PyMethodDef function() {
    static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
    static const std::string doc = doc_text(FnName.s, {Params.s...}, false);
    return {FnName.s,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&module_function<FnName, Fn, Params...>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace kp
