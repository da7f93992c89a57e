#pragma once
// The typed description of every entry, for the type stubs. Each row adds
// itself when its table is built; tools/gen_stubs.py reads the whole list
// through kestrum_stub_rows() (no Python-visible name).
#include <initializer_list>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/args.hpp"
#include "frame/results.hpp"

namespace kp {

struct StubParam {
    std::string name;
    std::string type;
};
// The errors a row raises on purpose, declared once beside its summary: the
// stubs and the API pages list them, and the fuzzer accepts them. One entry
// per error, "Type" or "Type: start of its message", e.g.
// Raises{"ValueError: mean of an empty QuatList"}. The frame's own argument
// errors (TypeError, OverflowError, a table's shape) are never listed.
struct Raises {
    std::string text;  // the entries joined by ';'
    Raises() = default;
    template <class... More>
    explicit Raises(const char* first, More... more) : text(first) {
        static_assert((std::is_convertible_v<More, const char*> && ...), "one text per error");
        ((text += ';', text += more), ...);
    }
};

struct StubRow {
    const char* kind;   // method, static, property, setter, new, function, hash_none
    const char* owner;  // class name, "" for module functions
    std::string name;
    std::vector<StubParam> params;
    std::string result;
    const char* summary;
    Raises raises = {};
};
void add_stub(StubRow row);

// The Python type a stub shows for a parameter of C++ type T, or for a result.
template <class T>
std::string arg_type() {
    return FromPy<std::remove_cvref_t<T>>::py_type();
}
template <class R>
std::string result_type() {
    if constexpr (std::is_void_v<R>)
        return "None";
    else if constexpr (std::is_same_v<R, PyObject*>)
        return "";  // not derivable: the row spells it out
    else
        return ToPy<std::remove_cvref_t<R>>::py_type();
}

// Parameter names paired with the types of the tuple's elements.
template <class Tuple>
struct StubParams;
template <class... P>
struct StubParams<std::tuple<P...>> {
    static std::vector<StubParam> of(std::initializer_list<const char*> names) {
        std::vector<StubParam> out;
        const char* const* n = names.begin();
        ((out.push_back({*n++, arg_type<P>()})), ...);
        return out;
    }
};

}  // namespace kp
