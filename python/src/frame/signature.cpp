// Binding arguments to parameters, and the texts that name a signature.
#include "frame/signature.hpp"

#include <vector>

namespace kp {

namespace {

void set_argument_count_error(const FuncName& fn, std::size_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 fn.full().c_str(), count, given, given == 1 ? "was" : "were");
}

// The parameters that may be given by position: those before the first
// keyword-only one.
std::size_t positional(const char* const* names, std::size_t count) {
    std::size_t n = 0;
    while (n < count && names[n][0] != '*') ++n;
    return n;
}

bool key_is(PyObject* key, std::string_view name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (!text) {
        PyErr_Clear();  // a str with lone surrogates names no parameter
        return false;
    }
    return std::string_view(text, static_cast<std::size_t>(size)) == name;
}

bool bind_keyword(const FuncName& fn, const char* const* names, std::size_t count,
                  PyObject** slots, PyObject* key, PyObject* value) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = param_name(names[i]);
        if (key_is(key, name)) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             fn.full().c_str(), std::string(name).c_str());
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 fn.full().c_str(), key);
    return false;
}

bool check_missing(const FuncName& fn, const char* const* names, std::size_t count,
                   PyObject* const* slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (!slots[i] && names[i][0] != '*') missing.push_back(names[i]);
    if (missing.empty()) return true;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else if (i + 1 == missing.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 fn.full().c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                 list.c_str());
    return false;
}

}  // namespace

std::string_view param_name(const char* name) noexcept {
    if (name[0] != '*') return name;
    const std::string_view s(name + 1);
    return s.substr(0, s.find('='));
}

std::string FuncName::full() const {
    std::string s;
    if (cls) {
        s += cls;
        s += '.';
    }
    s += name;
    s += "()";
    return s;
}

bool bind_vector_slow(const FuncName& fn, const char* const* names, std::size_t count,
                      PyObject** slots, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    if (static_cast<std::size_t>(nargs) > positional(names, count)) {
        set_argument_count_error(fn, positional(names, count), nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(fn, names, count, slots, PyTuple_GET_ITEM(kwnames, k),
                              args[nargs + k]))
                return false;
    } else if (static_cast<std::size_t>(nargs) == count) {
        return true;
    }
    return check_missing(fn, names, count, slots);
}

bool bind_tuple(const FuncName& fn, const char* const* names, std::size_t count,
                PyObject** slots, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > positional(names, count)) {
        set_argument_count_error(fn, positional(names, count), nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(fn, names, count, slots, key, value)) return false;
    }
    return check_missing(fn, names, count, slots);
}

std::string doc_text(const char* name, std::initializer_list<const char*> params, bool with_self) {
    std::string doc = name;
    doc += '(';
    bool first = true;
    if (with_self) {
        doc += "$self";
        first = false;
    }
    bool keywords = false;
    for (const char* p : params) {
        if (!first) doc += ", ";
        if (p[0] == '*') {
            if (!keywords) doc += "*, ";
            keywords = true;
            ++p;
        }
        doc += p;
        first = false;
    }
    doc += ")\n--\n\n";
    return doc;
}

}  // namespace kp
