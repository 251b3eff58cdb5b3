// binding.cpp - argument binding and its messages.

#include "module/binding.h"

#include <string_view>

#include "module/errors.h"

namespace uring::py {

namespace {

PyObject* g_names[kSignatures.size()][kMaxParams];

const char* plural_verb(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

[[gnu::cold]] int too_many_positional(const Signature& s, Py_ssize_t given) {
    PyObject* msg =
        s.nrequired == s.nparams
            ? PyUnicode_FromFormat("Ring.%s() takes %d positional arguments but %zd %s given", s.name,
                                   int(s.nparams), given, plural_verb(given))
            : PyUnicode_FromFormat("Ring.%s() takes from %d to %d positional arguments but %zd %s given", s.name,
                                   int(s.nrequired), int(s.nparams), given, plural_verb(given));
    raise_type_error(msg);
    return -1;
}

[[gnu::cold]] int unexpected_keyword(const Signature& s, PyObject* key) {
    raise_type_error(PyUnicode_FromFormat("Ring.%s() got an unexpected keyword argument '%S'", s.name, key));
    return -1;
}

[[gnu::cold]] int multiple_values(const Signature& s, unsigned p) {
    raise_type_error(PyUnicode_FromFormat("Ring.%s() got multiple values for argument '%s'", s.name,
                                           s.params[p].name));
    return -1;
}

[[gnu::cold]] int missing_arguments(const Signature& s, PyObject* const* slots) {
    const char* names[kMaxParams];
    int count = 0;
    for (unsigned p = 0; p < s.nrequired; ++p)
        if (!slots[p]) names[count++] = s.params[p].name;
    // 'a'  /  'a' and 'b'  /  'a', 'b' and 'c'
    PyObject* list = PyUnicode_FromString("");
    for (int i = 0; list && i < count; ++i) {
        const char* sep = i == 0 ? "" : (i == count - 1 ? " and " : ", ");
        PyObject* next = PyUnicode_FromFormat("%U%s'%s'", list, sep, names[i]);
        Py_DecRef(list);
        list = next;
    }
    if (!list) return -1;
    raise_type_error(PyUnicode_FromFormat("Ring.%s() missing %d required positional %s: %U", s.name, count,
                                          count == 1 ? "argument" : "arguments", list));
    Py_DecRef(list);
    return -1;
}

// Index of the parameter named `key`, or -1. Names are compared by pointer
// first, then byte for byte as UTF-8; a name that cannot be encoded matches
// nothing.
int find_parameter(unsigned sig, PyObject* key) {
    const Signature& s = kSignatures[sig];
    for (unsigned p = 0; p < s.nparams; ++p)
        if (key == g_names[sig][p]) return static_cast<int>(p);
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    for (unsigned p = 0; p < s.nparams; ++p)
        if (std::string_view(s.params[p].name) == std::string_view(text, static_cast<size_t>(len)))
            return static_cast<int>(p);
    return -1;
}

int bind_keyword(unsigned sig, PyObject* key, PyObject* value, PyObject** slots) {
    const Signature& s = kSignatures[sig];
    int p = find_parameter(sig, key);
    if (p < 0) return unexpected_keyword(s, key);
    if (slots[p]) return multiple_values(s, static_cast<unsigned>(p));
    slots[p] = value;
    return 0;
}

int check_required(unsigned sig, Py_ssize_t nargs, PyObject* const* slots) {
    const Signature& s = kSignatures[sig];
    if (nargs >= s.nrequired) return 0;
    for (unsigned p = static_cast<unsigned>(nargs); p < s.nrequired; ++p)
        if (!slots[p]) return missing_arguments(s, slots);
    return 0;
}

}  // namespace

int intern_parameter_names() {
    for (unsigned i = 0; i < kSignatures.size(); ++i)
        for (unsigned p = 0; p < kSignatures[i].nparams; ++p) {
            if (g_names[i][p]) continue;
            g_names[i][p] = PyUnicode_InternFromString(kSignatures[i].params[p].name);
            if (!g_names[i][p]) return -1;
        }
    return 0;
}

int bind_vector(unsigned sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Signature& s = kSignatures[sig];
    if (nargs > s.nparams) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (bind_keyword(sig, PyTuple_GetItem(kwnames, j), args[nargs + j], slots) < 0) return -1;
    }
    return check_required(sig, nargs, slots);
}

int bind_tuple(unsigned sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Signature& s = kSignatures[sig];
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return -1;
    if (nargs > s.nparams) return too_many_positional(s, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (bind_keyword(sig, key, value, slots) < 0) return -1;
    }
    return check_required(sig, nargs, slots);
}

}  // namespace uring::py
