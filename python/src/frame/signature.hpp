#pragma once
// Binding the call's arguments to a body's parameters by position
// or keyword, the fixed TypeError texts, and the doc text that shows the
// same signature.
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <tuple>

#include "frame/errors.hpp"

namespace kp {

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
// one per parameter). Both calling conventions end up here. A row's name
// "*name" is keyword-only (every one after it must be too) and "name=text"
// optional, its slot left null when not given (a std::optional parameter;
// the text is the default the signature shows).
inline bool optional_param(const char* row_name) noexcept {
    for (const char* c = row_name; *c; ++c)
        if (*c == '=') return true;
    return false;
}
bool bind_vector_slow(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Exactly the parameters by position is the common call; keep it inline.
inline bool bind_vector(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kwnames && static_cast<std::size_t>(nargs) == count && (count == 0 || names[count - 1][0] != '*')) {
        std::copy_n(args, count, slots);
        return true;
    }
    return bind_vector_slow(fn, names, count, slots, args, nargs, kwnames);
}
bool bind_tuple(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots, PyObject* args,
                PyObject* kwargs);

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

// The doc text CPython reads a signature from: "dot($self, other)\n--\n\n".
// The one builder for methods, static methods, module functions and class
// docs (a constructor's, named after the class).
std::string doc_text(const char* name, std::initializer_list<const char*> params, bool with_self);

}  // namespace kp
