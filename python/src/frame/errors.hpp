#pragma once
// How anything a body throws becomes the Python exception the caller sees:
// every entry runs inside guarded().
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace kp {

// A Python exception described by a binding function; raised by the frame.
struct Error {
    PyObject* type;
    std::string message;
};

[[noreturn]] inline void raise(PyObject* type, std::string message) { throw Error{type, std::move(message)}; }

// The Python exception is already set (a signal handler's, a failed
// allocation's); the frame passes it on as it is.
struct ErrorAlreadySet {};

// Raises PanicException(text) as the current exception.
void set_panic(const char* text) noexcept;

// Translates whatever a body threw into the current Python exception.
void set_from_current_exception() noexcept;

// A guard tied to one scope: never copied.
struct Pinned {
    Pinned() = default;
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
};

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

// The qualified name of an object's type, for messages; never null.
Ref type_qualname(PyObject* obj) noexcept;
// "'int' object cannot be cast as 'Vec3d'"
void set_cast_error(PyObject* obj, const char* target) noexcept;
// Replaces a pending exact TypeError with "argument '<name>': <text>".
// A parameter's name as rows write it: "*" before a keyword-only one and
// "=text" after an optional one's default (frame/signature.hpp); this is the
// bare name.
inline std::string_view param_name(const char* row_name) noexcept {
    std::string_view s(row_name);
    if (!s.empty() && s.front() == '*') s.remove_prefix(1);
    return s.substr(0, s.find('='));
}
void wrap_argument_error(const char* name) noexcept;
// Replaces a pending exact TypeError with one whose text starts with
// `prefix`; the cause is kept. Other errors pass unchanged.
void prefix_type_error(const char* prefix) noexcept;
// The same for a pending exception of exactly `type`.
void prefix_error(const char* prefix, PyObject* type) noexcept;
// Replaces a pending exact ValueError with "argument '<name>': <text>": for
// conversions whose shape errors should name the parameter too.
void wrap_argument_value_error(const char* name) noexcept;
// Takes the pending exception as one normalised object (a new reference, or
// null if none is pending).
PyObject* take_exception() noexcept;

}  // namespace kp
