#pragma once
// The entry points: what the interpreter calls. Each converts the arguments,
// borrows the receiver and runs a body on core values inside `guarded`;
// class units never name them, they write rows (frame/binder.hpp).
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/args.hpp"
#include "frame/buffers.hpp"
#include "frame/results.hpp"
#include "frame/tables.hpp"
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
// On a conversion failure the TypeError is wrapped with the parameter name,
// and so is the ValueError of a conversion that declares names_value_errors.
template <class Conv>
concept NamesValueErrors = requires {
    requires Conv::names_value_errors;
};

template <auto Fn, class Params>
struct Invoke;
template <auto Fn, class... P>
struct Invoke<Fn, std::tuple<P...>> {
    template <class Out = AsObject, class... R>
    static typename Out::type run([[maybe_unused]] PyObject* const* slots, [[maybe_unused]] const char* const* names,
                                  R&&... pre) {
        std::tuple<FromPy<std::remove_cvref_t<P>>...> params;
        bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ([&] {
                if (std::get<I>(params).load(slots[I])) return true;
                const std::string name(param_name(names[I]));
                wrap_argument_error(name.c_str());
                if constexpr (NamesValueErrors<std::tuple_element_t<I, std::tuple<FromPy<std::remove_cvref_t<P>>...>>>)
                    wrap_argument_value_error(name.c_str());
                return false;
            }() && ...);
        }
        (std::index_sequence_for<P...>{});
        if (!ok) return Out::fail;
        return std::apply([&](auto&... p) { return Out::template finish<Fn>(std::forward<R>(pre)..., p.get()...); },
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
    // Our classes have no subclasses: the exact test answers, and a foreign
    // left operand (2.0 * v) is turned away without a walk of its MRO.
    if (!Py_IS_TYPE(self, type_of<C>())) Py_RETURN_NOTIMPLEMENTED;
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
PyObject* bind_and_run(const FuncName& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {Params.s..., nullptr};
    PyObject* slots[sizeof...(Params) + 1] = {};
    if (!bind_vector(fn, names, sizeof...(Params), slots, args, nargs, kwnames)) return nullptr;
    return Invoke<Fn, ArgsOf<Fn>>::run(slots, names);
}

// ---------------------------------------------------------------------------
// The entry points of one wrapped class, which Binder<C>'s rows hand out.

template <class C>
struct Entry {
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
    // `!=` negates the interpreter's full `==` when the class defines `==`;
    // with `NeMirrorsEq`, it negates this class's own `==` and, like it,
    // declines what that declines (so numpy answers `m != array` as it
    // answers `m == array`, element by element).
    template <auto Lt, auto Le, auto Eq, auto Gt, auto Ge, bool NeMirrorsEq = false>
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
                        PyObject* eq =
                            NeMirrorsEq ? maybe_binary<Eq>(self, other) : PyObject_RichCompare(self, other, Py_EQ);
                        if (!eq || eq == Py_NotImplemented) return eq;
                        const int truth = PyObject_IsTrue(eq);
                        Py_DECREF(eq);
                        if (truth < 0) return nullptr;
                        return PyBool_FromLong(!truth);
                    }
                default: set_panic("unknown comparison operator"); return nullptr;
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
            if (fill_block_view(self, view, flags, std::invoke(Fn, recv.value()), Class<C>::name) < 0) return -1;
            recv.hand_over();  // given back by release_buffer
            return 0;
        });
    }
    static void release_buffer(PyObject* self, Py_buffer* view) {
        release_block_view(view);
        release_shared(as_object<C>(self)->flag);
    }

    // -- constructor, methods and properties ----------------------------------

    template <auto Fn, Name... Params>
    static PyObject* ctor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr const char* names[] = {Params.s..., nullptr};
            PyObject* slots[sizeof...(Params) + 1] = {};
            if (!bind_tuple({Class<C>::name, "__new__"}, names, sizeof...(Params), slots, args, kwargs)) return nullptr;
            return Invoke<Fn, ArgsOf<Fn>>::run(slots, names);
        });
    }
    template <auto Fn, Name... Params>
    static PyObject* ctor_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            return bind_and_run<Fn, Params...>({Class<C>::name, "__new__"}, args, PyVectorcall_NARGS(nargsf), kwnames);
        });
    }

    template <auto Fn>
    static PyObject* noargs(PyObject* self, PyObject*) {
        return unary<Fn>(self);
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr const char* names[] = {Params.s...};
            PyObject* slots[sizeof...(Params)] = {};
            if (!bind_vector({Class<C>::name, MethodName.s}, names, sizeof...(Params), slots, args, nargs, kwnames))
                return nullptr;
            return run_method<Fn>(self, slots, names);
        });
    }

    template <auto Fn>
    static PyObject* static_noargs(PyObject*, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return call_and_convert<Fn>(); });
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyObject* static_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            return bind_and_run<Fn, Params...>({Class<C>::name, MethodName.s}, args, nargs, kwnames);
        });
    }

    template <auto Get>
    static PyObject* getter(PyObject* self, void*) {
        return unary<Get>(self);
    }

    // The receiver is checked and glanced at (frame/borrow.hpp): making the
    // float calls no Python code; nothing here throws.
    template <auto Member>
    static PyObject* float_getter(PyObject* self, void*) {
        static constinit FloatCell cell;
        Glance<C> recv;
        if (!recv.acquire(self)) return nullptr;
        return cell.make(recv.value().*Member);
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

private:
    template <auto Fn>
    static PyObject* maybe_binary(PyObject* self, PyObject* other) {
        if constexpr (std::is_null_pointer_v<decltype(Fn)>) {
            Py_RETURN_NOTIMPLEMENTED;
        } else {
            return try_binary<Fn>(self, other);
        }
    }

    static PyObject* same_object(PyObject* self, const C&) { return Py_NewRef(self); }
};

// Module-level functions: no receiver, named "fn()" in messages.
template <Name FnName, auto Fn, Name... Params>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return bind_and_run<Fn, Params...>({nullptr, FnName.s}, args, nargs, kwnames);
    });
}

}  // namespace kp
