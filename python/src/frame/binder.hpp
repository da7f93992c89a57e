#pragma once
// The binder. One Binder<C> per class turns a body on core values
// into a table row or slot; every row runs the steps above in order.
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/buffers.hpp"
#include "frame/tables.hpp"
#include "frame/pickle.hpp"
#include "frame/signature.hpp"
#include "frame/stubs.hpp"

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
concept NamesValueErrors = requires { requires Conv::names_value_errors; };

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
                if constexpr (NamesValueErrors<std::tuple_element_t<I, std::tuple<FromPy<std::remove_cvref_t<P>>...>>>)
                    wrap_argument_value_error(names[I]);
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
    // `summary` is the member's one-line description for the type stubs;
    // `result` spells the result type only where it cannot be derived (a
    // body returning PyObject*).
    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef method(const char* summary, const char* result = nullptr) {
        static_assert(std::tuple_size_v<typename MethodSig<Fn>::Params> == sizeof...(Params),
                      "one name per parameter");
        add_stub({"method", Class<C>::name, MethodName.s,
                  StubParams<typename MethodSig<Fn>::Params>::of({Params.s...}),
                  result ? result : result_type<RetOf<Fn>>(), summary});
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
    static PyMethodDef static_method(const char* summary) {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params),
                      "one name per parameter");
        add_stub({"static", Class<C>::name, MethodName.s, StubParams<ArgsOf<Fn>>::of({Params.s...}),
                  result_type<RetOf<Fn>>(), summary});
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
    static PyGetSetDef property(const char* summary) {
        add_stub({"property", Class<C>::name, PropName.s, {}, result_type<RetOf<Get>>(), summary});
        if constexpr (!std::is_null_pointer_v<decltype(Set)>)
            add_stub({"setter", Class<C>::name, PropName.s,
                      {{"value", arg_type<std::tuple_element_t<1, ArgsOf<Set>>>()}}, "None", summary});
        if constexpr (std::is_null_pointer_v<decltype(Set)>) {
            return {PropName.s, &getter<Get>, nullptr, nullptr, nullptr};
        } else {
            return {PropName.s, &getter<Get>, &setter<Set>, nullptr, nullptr};
        }
    }

    // A data member exposed as a settable property, e.g. field<"x", &Vec3d::x>().
    // A float member's getter recycles its result (FloatCell).
    template <Name PropName, auto Member>
    static PyGetSetDef field(const char* summary) {
        PyGetSetDef row = property<PropName, &read_field<Member>, &write_field<Member>>(summary);
        if constexpr (std::is_same_v<FieldType<Member>, double>) row.get = &float_getter<Member>;
        return row;
    }

    // -- constructor ----------------------------------------------------------

    // The class's one constructor: Fn builds the core value from the converted
    // arguments. The parameters named here give tp_new, the vectorcall and
    // the class doc "Vec3d(x, y, z)".
    template <auto Fn, Name... Params>
    static Constructor constructor(const char* summary) {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
        add_stub({"new", Class<C>::name, "__new__", StubParams<ArgsOf<Fn>>::of({Params.s...}),
                  Class<C>::name, summary});
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
                        PyObject* eq = NeMirrorsEq ? maybe_binary<Eq>(self, other)
                                                   : PyObject_RichCompare(self, other, Py_EQ);
                        if (!eq || eq == Py_NotImplemented) return eq;
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

    // A property row that makes numpy's operators give way when an instance
    // is their right operand: numpy defers to an operand without
    // __array_ufunc__ whose __array_priority__ exceeds its own, so a numpy
    // scalar or array on the left reaches this class's reflected operator (or
    // the usual TypeError) instead of reading the instance as an array.
    // Ufuncs called directly (np.sqrt(vl)) still read the buffer.
    static PyGetSetDef numpy_defers(const char* summary) {
        return property<"__array_priority__", &array_priority>(summary);
    }

    // __reduce_ex__(protocol): the pickled form of frame/pickle.hpp.
    static PyMethodDef reduce() {
        return method<"__reduce_ex__", &reduce_ex, "protocol">(
            "Pickle support: kestrum_py._unpickle and its arguments.", "_Reduced");
    }

    // -- slot rows: the slot plus its typed description --------------------

    // A number slot (+, -, *, /, @); the stub's dunder names follow the slot.
    template <int Slot, auto Fwd, auto Refl = nullptr>
    static PyType_Slot number(const char* summary) {
        static_assert(Slot == Py_nb_add || Slot == Py_nb_subtract || Slot == Py_nb_multiply ||
                      Slot == Py_nb_true_divide || Slot == Py_nb_matrix_multiply);
        constexpr const char* name = Slot == Py_nb_add         ? "add"
                                     : Slot == Py_nb_subtract  ? "sub"
                                     : Slot == Py_nb_multiply  ? "mul"
                                     : Slot == Py_nb_true_divide ? "truediv"
                                                                 : "matmul";
        operand_stub<Fwd>(std::string("__") + name + "__", summary);
        if constexpr (!std::is_null_pointer_v<decltype(Refl)>)
            operand_stub<Refl>(std::string("__r") + name + "__", summary);
        return {Slot, reinterpret_cast<void*>(&binary<Fwd, Refl>)};
    }
    template <auto Fn>
    static PyType_Slot negative(const char* summary) {
        add_stub({"op", Class<C>::name, "__neg__", {}, result_type<RetOf<Fn>>(), summary});
        return {Py_nb_negative, reinterpret_cast<void*>(&unary<Fn>)};
    }
    template <auto Fn, Name Key>
    static PyType_Slot item(const char* summary) {
        add_stub({"op", Class<C>::name, "__getitem__",
                  StubParams<typename MethodSig<Fn>::Params>::of({Key.s}), result_type<RetOf<Fn>>(),
                  summary});
        return {Py_mp_subscript, reinterpret_cast<void*>(&subscript<Fn, Key>)};
    }
    template <auto Fn>
    static PyType_Slot len(const char* summary) {
        add_stub({"op", Class<C>::name, "__len__", {}, "int", summary});
        return {Py_mp_length, reinterpret_cast<void*>(&length<Fn>)};
    }
    template <auto Fn>
    static PyType_Slot iter(const char* summary) {
        add_stub({"op", Class<C>::name, "__iter__", {}, result_type<RetOf<Fn>>(), summary});
        return {Py_tp_iter, reinterpret_cast<void*>(&unary<Fn>)};
    }
    static PyType_Slot iter_itself(const char* summary) {
        add_stub({"op", Class<C>::name, "__iter__", {}, Class<C>::name, summary});
        return {Py_tp_iter, reinterpret_cast<void*>(&iter_self)};
    }
    template <auto Fn>
    static PyType_Slot next_item(const char* summary) {
        add_stub({"op", Class<C>::name, "__next__", {},
                  result_type<typename RetOf<Fn>::value_type>(), summary});
        return {Py_tp_iternext, reinterpret_cast<void*>(&next<Fn>)};
    }
    // Comparisons; a class that defines == has no hash (None in the stubs).
    template <auto Lt, auto Le, auto Eq, auto Gt, auto Ge, bool NeMirrorsEq = false>
    static PyType_Slot comparison(const char* summary) {
        if constexpr (!std::is_null_pointer_v<decltype(Eq)>) {
            add_stub({"op", Class<C>::name, "__eq__", {{"other", "object"}}, "bool", summary});
            add_stub({"op", Class<C>::name, "__ne__", {{"other", "object"}}, "bool", summary});
            add_stub({"hash_none", Class<C>::name, "__hash__", {}, "", summary});
        }
        order_stub<Lt>("__lt__", summary);
        order_stub<Le>("__le__", summary);
        order_stub<Gt>("__gt__", summary);
        order_stub<Ge>("__ge__", summary);
        return {Py_tp_richcompare, reinterpret_cast<void*>(&compare<Lt, Le, Eq, Gt, Ge, NeMirrorsEq>)};
    }
    template <auto Fn>
    static PyType_Slot buffer(const char* summary) {
        add_stub({"op", Class<C>::name, "__buffer__", {{"flags", "int"}}, "memoryview", summary});
        add_stub({"op", Class<C>::name, "__release_buffer__", {{"buffer", "memoryview"}}, "None",
                  summary});
        return {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer<Fn>)};
    }

private:
    template <auto Fn>
    static void operand_stub(std::string name, const char* summary) {
        add_stub({"op", Class<C>::name, std::move(name),
                  {{"other", arg_type<std::tuple_element_t<1, ArgsOf<Fn>>>()}},
                  result_type<RetOf<Fn>>(), summary});
    }
    template <auto Fn>
    static void order_stub(const char* name, const char* summary) {
        if constexpr (!std::is_null_pointer_v<decltype(Fn)>) operand_stub<Fn>(name, summary);
    }

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
    static double array_priority(const C&) { return 1000.0; }  // ndarray 0, numpy scalars -1e6

    static PyObject* reduce_ex(PyObject* self, const C& value, std::uint64_t protocol) {
        PyObject* fn = unpickler();
        if (!fn) throw std::logic_error("kestrum_py._unpickle is not set");
        // Every part first, then the tuples, each filled at once (Py_BuildValue
        // would allocate the inner tuple while the outer one has an empty slot).
        const Ref state(Pickled<C>::state(self, value, protocol));
        if (!state) return nullptr;
        const Ref name(PyUnicode_FromString(Class<C>::name));
        if (!name) return nullptr;
        const Ref version(PyLong_FromUnsignedLongLong(kPickleVersion));
        if (!version) return nullptr;
        const Ref args(PyTuple_Pack(3, name.get(), version.get(), state.get()));
        if (!args) return nullptr;
        return PyTuple_Pack(2, fn, args.get());
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
};

// Module-level functions: no receiver, named "fn()" in messages.
template <Name FnName, auto Fn, Name... Params>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        return bind_and_run<Fn, Params...>({nullptr, FnName.s}, args, nargs, kwnames);
    });
}

template <Name FnName, auto Fn, Name... Params>
PyMethodDef function(const char* summary, const char* result = nullptr) {
    static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
    add_stub({"function", "", FnName.s, StubParams<ArgsOf<Fn>>::of({Params.s...}),
              result ? result : result_type<RetOf<Fn>>(), summary});
    static const std::string doc = doc_text(FnName.s, {Params.s...}, false);
    return {FnName.s,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&module_function<FnName, Fn, Params...>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace kp
