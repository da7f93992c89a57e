#pragma once
// The binder: what class units call. One Binder<C> per class turns a body
// on core values into a table row or slot row, describes it for the stubs,
// and hands out the entry point (frame/entry.hpp) that runs the steps above.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/buffers.hpp"
#include "frame/entry.hpp"
#include "frame/tables.hpp"
#include "frame/pickle.hpp"
#include "frame/signature.hpp"
#include "frame/stubs.hpp"

namespace kp {

template <class C>
struct Binder {
    using E = Entry<C>;

    // -- methods --------------------------------------------------------------

    // Instance method; Fn's first parameter is the receiver (`const C&` or `C&`).
    // `summary` is the member's one-line description for the type stubs;
    // `result` spells the result type only where it cannot be derived (a
    // body returning PyObject*); `raises`, the errors the body raises on
    // purpose (frame/stubs.hpp).
    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef method(const char* summary, Raises raises) {
        return method<MethodName, Fn, Params...>(summary, nullptr, std::move(raises));
    }
    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef method(const char* summary, const char* result = nullptr, Raises raises = {}) {
        static_assert(std::tuple_size_v<typename MethodSig<Fn>::Params> == sizeof...(Params), "one name per parameter");
        add_stub({"method", Class<C>::name, MethodName.s, StubParams<typename MethodSig<Fn>::Params>::of({Params.s...}),
                  result ? result : result_type<RetOf<Fn>>(), summary, std::move(raises)});
        static const std::string doc = doc_text(MethodName.s, {Params.s...}, true);
        if constexpr (sizeof...(Params) == 0) {
            return {MethodName.s, &E::template noargs<Fn>, METH_NOARGS, doc.c_str()};
        } else {
            return {MethodName.s,
                    reinterpret_cast<PyCFunction>(
                        reinterpret_cast<void (*)()>(&E::template fast<MethodName, Fn, Params...>)),
                    METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
        }
    }

    template <Name MethodName, auto Fn, Name... Params>
    static PyMethodDef static_method(const char* summary, Raises raises = {}) {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
        add_stub({"static", Class<C>::name, MethodName.s, StubParams<ArgsOf<Fn>>::of({Params.s...}),
                  result_type<RetOf<Fn>>(), summary, std::move(raises)});
        static const std::string doc = doc_text(MethodName.s, {Params.s...}, false);
        if constexpr (sizeof...(Params) == 0) {
            return {MethodName.s, &E::template static_noargs<Fn>, METH_NOARGS | METH_STATIC, doc.c_str()};
        } else {
            return {MethodName.s,
                    reinterpret_cast<PyCFunction>(
                        reinterpret_cast<void (*)()>(&E::template static_fast<MethodName, Fn, Params...>)),
                    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc.c_str()};
        }
    }

    // -- properties -----------------------------------------------------------

    template <Name PropName, auto Get, auto Set = nullptr>
    static PyGetSetDef property(const char* summary) {
        add_stub({"property", Class<C>::name, PropName.s, {}, result_type<RetOf<Get>>(), summary});
        if constexpr (!std::is_null_pointer_v<decltype(Set)>)
            add_stub({"setter",
                      Class<C>::name,
                      PropName.s,
                      {{"value", arg_type<std::tuple_element_t<1, ArgsOf<Set>>>()}},
                      "None",
                      summary});
        if constexpr (std::is_null_pointer_v<decltype(Set)>) {
            return {PropName.s, &E::template getter<Get>, nullptr, nullptr, nullptr};
        } else {
            return {PropName.s, &E::template getter<Get>, &E::template setter<Set>, nullptr, nullptr};
        }
    }

    // A data member exposed as a settable property, e.g. field<"x", &Vec3d::x>().
    // A float member's getter recycles its result (FloatCell).
    template <Name PropName, auto Member>
    static PyGetSetDef field(const char* summary) {
        PyGetSetDef row = property<PropName, &read_field<Member>, &write_field<Member>>(summary);
        if constexpr (std::is_same_v<FieldType<Member>, double>) row.get = &E::template float_getter<Member>;
        return row;
    }

    // -- constructor ----------------------------------------------------------

    // The class's one constructor: Fn builds the core value from the converted
    // arguments. The parameters named here give tp_new, the vectorcall and
    // the class doc "Vec3d(x, y, z)".
    template <auto Fn, Name... Params>
    static Constructor constructor(const char* summary, Raises raises = {}) {
        static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
        add_stub({"new", Class<C>::name, "__new__", StubParams<ArgsOf<Fn>>::of({Params.s...}), Class<C>::name, summary,
                  std::move(raises)});
        static const std::string doc = doc_text(Class<C>::name, {Params.s...}, false);
        return {&E::template ctor_new<Fn, Params...>, &E::template ctor_vectorcall<Fn, Params...>, doc.c_str()};
    }

    // -- rows of the binder's own bodies ---------------------------------------

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
        constexpr const char* name = Slot == Py_nb_add           ? "add"
                                     : Slot == Py_nb_subtract    ? "sub"
                                     : Slot == Py_nb_multiply    ? "mul"
                                     : Slot == Py_nb_true_divide ? "truediv"
                                                                 : "matmul";
        operand_stub<Fwd>(std::string("__") + name + "__", summary);
        if constexpr (!std::is_null_pointer_v<decltype(Refl)>)
            operand_stub<Refl>(std::string("__r") + name + "__", summary);
        return {Slot, reinterpret_cast<void*>(&E::template binary<Fwd, Refl>)};
    }
    template <auto Fn>
    static PyType_Slot negative(const char* summary) {
        add_stub({"op", Class<C>::name, "__neg__", {}, result_type<RetOf<Fn>>(), summary});
        return {Py_nb_negative, reinterpret_cast<void*>(&E::template unary<Fn>)};
    }
    template <auto Fn, Name Key>
    static PyType_Slot item(const char* summary) {
        add_stub({"op", Class<C>::name, "__getitem__", StubParams<typename MethodSig<Fn>::Params>::of({Key.s}),
                  result_type<RetOf<Fn>>(), summary});
        return {Py_mp_subscript, reinterpret_cast<void*>(&E::template subscript<Fn, Key>)};
    }
    template <auto Fn>
    static PyType_Slot len(const char* summary) {
        add_stub({"op", Class<C>::name, "__len__", {}, "int", summary});
        return {Py_mp_length, reinterpret_cast<void*>(&E::template length<Fn>)};
    }
    template <auto Fn>
    static PyType_Slot iter(const char* summary) {
        add_stub({"op", Class<C>::name, "__iter__", {}, result_type<RetOf<Fn>>(), summary});
        return {Py_tp_iter, reinterpret_cast<void*>(&E::template unary<Fn>)};
    }
    static PyType_Slot iter_itself(const char* summary) {
        add_stub({"op", Class<C>::name, "__iter__", {}, Class<C>::name, summary});
        return {Py_tp_iter, reinterpret_cast<void*>(&E::iter_self)};
    }
    template <auto Fn>
    static PyType_Slot next_item(const char* summary) {
        add_stub({"op", Class<C>::name, "__next__", {}, result_type<typename RetOf<Fn>::value_type>(), summary});
        return {Py_tp_iternext, reinterpret_cast<void*>(&E::template next<Fn>)};
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
        return {Py_tp_richcompare, reinterpret_cast<void*>(&E::template compare<Lt, Le, Eq, Gt, Ge, NeMirrorsEq>)};
    }
    // A writable view is refused (frame/buffers), and the interpreter's
    // __release_buffer__ refuses a view of another object.
    template <auto Fn>
    static PyType_Slot buffer(const char* summary) {
        static const std::string writable = std::string("BufferError: ") + Class<C>::name + " buffer is read-only",
                                 fortran = std::string("BufferError: ") + Class<C>::name +
                                           " buffer is not Fortran contiguous";
        add_stub({"op",
                  Class<C>::name,
                  "__buffer__",
                  {{"flags", "int"}},
                  "memoryview",
                  summary,
                  Raises{writable.c_str(), fortran.c_str()}});
        add_stub({"op",
                  Class<C>::name,
                  "__release_buffer__",
                  {{"buffer", "memoryview"}},
                  "None",
                  summary,
                  Raises{"ValueError: memoryview's buffer is not this object"}});
        return {Py_bf_getbuffer, reinterpret_cast<void*>(&E::template get_buffer<Fn>)};
    }
    // The other half of `buffer`: ends an export (its stub is `buffer`'s).
    static PyType_Slot buffer_release() { return {Py_bf_releasebuffer, reinterpret_cast<void*>(&E::release_buffer)}; }
    // The repr; object.__repr__ already types it, so it has no stub row.
    template <auto Fn>
    static PyType_Slot repr() {
        return {Py_tp_repr, reinterpret_cast<void*>(&E::template unary<Fn>)};
    }

private:
    template <auto Fn>
    static void operand_stub(std::string name, const char* summary) {
        add_stub({"op",
                  Class<C>::name,
                  std::move(name),
                  {{"other", arg_type<std::tuple_element_t<1, ArgsOf<Fn>>>()}},
                  result_type<RetOf<Fn>>(),
                  summary});
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
};

// A module function row: no receiver, named "fn()" in messages.
template <Name FnName, auto Fn, Name... Params>
PyMethodDef function(const char* summary, const char* result = nullptr, Raises raises = {}) {
    static_assert(std::tuple_size_v<ArgsOf<Fn>> == sizeof...(Params), "one name per parameter");
    add_stub({"function", "", FnName.s, StubParams<ArgsOf<Fn>>::of({Params.s...}),
              result ? result : result_type<RetOf<Fn>>(), summary, std::move(raises)});
    static const std::string doc = doc_text(FnName.s, {Params.s...}, false);
    return {FnName.s,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&module_function<FnName, Fn, Params...>)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace kp
