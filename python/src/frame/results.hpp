#pragma once
// What a body's result becomes: ToPy<T> turns it into a Python object
// (numbers, truth values, text, instances, lists, tuples, optionals,
// alternatives, iterators, long texts). Arrays are in array.hpp.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame/signals.hpp"
#include "frame/types.hpp"

namespace kp {

template <class T>
struct ToPy;

template <class T>
inline PyObject* to_py(T&& v) {
    return ToPy<std::remove_cvref_t<T>>::convert(std::forward<T>(v));
}

template <>
struct ToPy<double> {
    static PyObject* convert(double v) { return PyFloat_FromDouble(v); }
    static std::string py_type() { return "float"; }
};
// The floats a getter row hands out, made anew only while the last two are
// still held elsewhere (so `v.x * v.x` reuses too): once the caller has
// dropped one, this cell owns the only reference, nobody can see the object,
// and its value is overwritten in place (the interpreter reuses zip's and
// enumerate's result tuples the same way). No destructor: the references are
// dropped with the process. A free-threaded build, where a count of one
// proves nothing across threads, always makes a new float.
class FloatCell {
public:
    PyObject* make(double v) noexcept {
#ifdef Py_GIL_DISABLED
        return PyFloat_FromDouble(v);
#else
        for (PyObject* f : spare_) {
            if (f && Py_REFCNT(f) == 1) {
                reinterpret_cast<PyFloatObject*>(f)->ob_fval = v;
                return Py_NewRef(f);
            }
        }
        PyObject* f = PyFloat_FromDouble(v);
        if (!f) return nullptr;
        // The float replaced is still held elsewhere, so this cannot free it.
        Py_XSETREF(spare_[next_], Py_NewRef(f));
        next_ ^= 1;
        return f;
#endif
    }

private:
    PyObject* spare_[2] = {};
    unsigned next_ = 0;
};
template <>
struct ToPy<bool> {
    static PyObject* convert(bool v) { return PyBool_FromLong(v); }
    static std::string py_type() { return "bool"; }
};
// A truth value stored as a whole byte: bulk results are written from several
// threads at once, which std::vector<bool>'s packed bits would not allow.
struct Truth {
    bool value;
};
template <>
struct ToPy<Truth> {
    static PyObject* convert(Truth v) { return PyBool_FromLong(v.value); }
    static std::string py_type() { return "bool"; }
};
template <>
struct ToPy<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
    static std::string py_type() { return "int"; }
};
template <>
struct ToPy<std::string> {
    static PyObject* convert(const std::string& s) {
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    }
    static std::string py_type() { return "str"; }
};
template <Wrapped T>
struct ToPy<T> {
    template <class U>
    static PyObject* convert(U&& v) {
        return new_object(std::forward<U>(v));
    }
    static std::string py_type() { return Class<T>::name; }
};

// Python code runs while the list fills: a signal handler at a poll, a
// collection (and its callbacks) started by an item's allocation or at the
// poll, another thread either of them lets in. None of it may find the list
// with an empty slot, so it stays untracked until full: the collector's
// functions (gc.get_objects, get_referrers) see tracked objects only, and
// nothing else refers to the list yet. Its slots are filled in place, so Ctrl-C
// still drops the partial result at once and nothing is copied at the end.
template <class Seq>
inline PyObject* list_from(Seq&& seq) {
    const auto n = static_cast<Py_ssize_t>(std::size(seq));
    ResultLoop loop(static_cast<std::size_t>(n));
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    Py_ssize_t i = 0;
    for (auto&& item : seq) {
        if (!loop.poll(static_cast<std::size_t>(i) + 1)) return nullptr;
        PyObject* o = to_py(std::move(item));
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), i++, o);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}
template <class E, class A>
struct ToPy<std::vector<E, A>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
    static std::string py_type() { return "list[" + ToPy<E>::py_type() + "]"; }
};
template <class E, std::size_t N>
struct ToPy<std::array<E, N>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return list_from(std::forward<U>(v));
    }
    static std::string py_type() { return "list[" + ToPy<E>::py_type() + "]"; }
};
template <class... E>
struct ToPy<std::tuple<E...>> {
    // The items are made before the tuple, which is then filled with no
    // allocation in between: no collection can find it with an empty slot.
    template <class U>
    static PyObject* convert(U&& t) {
        std::array<Ref, sizeof...(E)> made;
        const bool ok = std::apply(
            [&](auto&&... items) {
                std::size_t i = 0;
                return (static_cast<bool>(made[i++] = Ref(to_py(std::move(items)))) && ...);
            },
            std::forward<U>(t));
        if (!ok) return nullptr;
        PyObject* tuple = PyTuple_New(sizeof...(E));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < sizeof...(E); ++i)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), made[i].release());
        return tuple;
    }
    static std::string py_type() {
        std::string items;
        ((items += (items.empty() ? "" : ", ") + ToPy<E>::py_type()), ...);
        return "tuple[" + items + "]";
    }
};
template <class A, class B>
struct ToPy<std::pair<A, B>> {
    template <class U>
    static PyObject* convert(U&& p) {
        return ToPy<std::tuple<A, B>>::convert(std::tuple<A, B>(std::forward<U>(p)));
    }
    static std::string py_type() { return ToPy<std::tuple<A, B>>::py_type(); }
};
template <class E>
struct ToPy<std::optional<E>> {
    template <class U>
    static PyObject* convert(U&& v) {
        if (!v) Py_RETURN_NONE;
        return to_py(std::move(*v));
    }
    static std::string py_type() { return ToPy<E>::py_type() + " | None"; }
};

// An iterator over a sequence result, made as a list first (the list's own
// iterator): for a value class that iterates like a list of its parts.
template <class Seq>
struct IterOf {
    Seq items;
};
template <class Seq>
struct ToPy<IterOf<Seq>> {
    static PyObject* convert(IterOf<Seq>&& s) {
        const Ref list(to_py(std::move(s.items)));
        return list ? PyObject_GetIter(list.get()) : nullptr;
    }
    static std::string py_type() { return "Iterator[" + ToPy<typename Seq::value_type>::py_type() + "]"; }
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
    static std::string py_type() { return "str"; }
};

// One of several result types.
template <class... E>
struct ToPy<std::variant<E...>> {
    template <class U>
    static PyObject* convert(U&& v) {
        return std::visit([](auto&& e) { return to_py(std::move(e)); }, std::forward<U>(v));
    }
    static std::string py_type() {
        std::string s;
        ((s += (s.empty() ? "" : " | ") + ToPy<E>::py_type()), ...);
        return s;
    }
};

}  // namespace kp
