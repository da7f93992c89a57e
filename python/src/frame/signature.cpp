// Binding arguments to parameters, and the texts that name a signature.
#include "frame/signature.hpp"

#include <vector>

namespace kp {

namespace {

void set_argument_count_error(const FuncName& fn, std::size_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", fn.full().c_str(), count, given,
                 given == 1 ? "was" : "were");
}

bool bind_keyword(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots, PyObject* key,
                  PyObject* value) {
    // The key's UTF-8 is cached in the str: no allocation per keyword call.
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!text) PyErr_Clear();  // a key that is no (encodable) str matches no parameter
    for (std::size_t i = 0; text && i < count; ++i) {
        const std::string_view name = param_name(names[i]);
        if (name == std::string_view(text, static_cast<std::size_t>(len))) {
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fn.full().c_str(),
                             std::string(name).c_str());
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", fn.full().c_str(), key);
    return false;
}

bool check_missing(const FuncName& fn, const char* const* names, std::size_t count, PyObject* const* slots) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (!slots[i] && !optional_param(names[i])) missing.emplace_back(param_name(names[i]));
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
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", fn.full().c_str(),
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
}

}  // namespace

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

std::size_t positional_count(const char* const* names, std::size_t count) {
    std::size_t n = 0;
    while (n < count && names[n][0] != '*') ++n;
    return n;
}

bool bind_vector_slow(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (static_cast<std::size_t>(nargs) > positional_count(names, count)) {
        set_argument_count_error(fn, positional_count(names, count), nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(fn, names, count, slots, PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
    return check_missing(fn, names, count, slots);
}

bool bind_tuple(const FuncName& fn, const char* const* names, std::size_t count, PyObject** slots, PyObject* args,
                PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > positional_count(names, count)) {
        set_argument_count_error(fn, positional_count(names, count), nargs);
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
    bool keyword_only = false;
    for (const char* p : params) {
        if (!first) doc += ", ";
        if (p[0] == '*' && !keyword_only) {
            doc += "*, ";
            keyword_only = true;
        }
        doc += p[0] == '*' ? p + 1 : p;
        first = false;
    }
    doc += ")\n--\n\n";
    return doc;
}

}  // namespace kp
