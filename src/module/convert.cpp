// convert.cpp - turning Python arguments into native values.

#include "module/convert.h"

#include <climits>
#include <cstring>

#include "module/errors.h"

namespace uring::py {

namespace {

// collections.abc.Sequence, fetched on first need to name the expected type
// of a bytes sequence. Two threads may race through the import (it can
// release the interpreter lock); the first stored result wins.
PyObject* sequence_type() {
    static PyObject* cached = nullptr;
    if (cached) return cached;
    PyObject* mod = PyImport_ImportModule("collections.abc");
    if (!mod) return nullptr;
    PyObject* type = PyObject_GetAttrString(mod, "Sequence");
    Py_DecRef(mod);
    if (!type) return nullptr;
    if (cached) {
        Py_DecRef(type);
    } else {
        cached = type;
    }
    return cached;
}

bool unicode_equals(PyObject* s, const char* text) {
    Py_ssize_t n = 0;
    const char* u = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!u) {
        PyErr_Clear();
        return false;
    }
    return std::strlen(text) == static_cast<size_t>(n) && std::memcmp(u, text, n) == 0;
}

// NumPy's boolean scalar: module "numpy", named "bool_" (NumPy 1) or "bool"
// (NumPy 2, where "bool_" is only an alias).
bool is_numpy_bool_type(PyTypeObject* type) {
    PyObject* mod = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    const bool from_numpy = unicode_equals(mod, "numpy");
    Py_DecRef(mod);
    if (!from_numpy) return false;
    PyObject* name = PyType_GetName(type);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    const bool match = unicode_equals(name, "bool_") || unicode_equals(name, "bool");
    Py_DecRef(name);
    return match;
}

bool numpy_bool_value(PyObject* o, bool& out) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject* method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__");
    if (!method) {
        PyErr_Clear();
        PyObject* name = PyType_GetName(type);
        if (!name) return false;
        raise_type_error(PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion", name));
        Py_DecRef(name);
        return false;
    }
    PyObject* r = PyObject_CallFunctionObjArgs(method, o, nullptr);
    Py_DecRef(method);
    if (!r) return false;
    const bool ok = r == Py_True || r == Py_False;
    if (ok) {
        out = r == Py_True;
    } else {
        raise_wrong_type_name(r, "bool");
    }
    Py_DecRef(r);
    return ok;
}

}  // namespace

bool convert(PyObject* o, int32_t& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        raise_narrowing();
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}

bool convert(PyObject* o, uint64_t& out) {
    unsigned long long v;
    if (Py_IS_TYPE(o, &PyLong_Type) || PyLong_Check(o)) {
        // An int (or subclass) is used as is, without consulting __index__.
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        PyObject* index = PyNumber_Index(o);
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index);
        Py_DecRef(index);
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert(PyObject* o, uint32_t& out) {
    uint64_t v;
    if (!convert(o, v)) return false;
    if (v > UINT32_MAX) {
        raise_narrowing();
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool convert(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    if (is_numpy_bool_type(Py_TYPE(o))) return numpy_bool_value(o, out);
    raise_wrong_type_name(o, "bool");
    return false;
}

bool convert(PyObject* o, BytesArg& out) {
    if (!PyBytes_Check(o)) {
        raise_wrong_type_name(o, "bytes");
        return false;
    }
    out.data = PyBytes_AsString(o);
    out.size = static_cast<size_t>(PyBytes_Size(o));
    out.obj = Ref::borrow(o);
    return true;
}

bool convert(PyObject* o, BytesSeq& out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        PyObject* seq = sequence_type();
        if (seq) raise_wrong_type(o, seq);
        return false;
    }
    Py_ssize_t hint = PyObject_Size(o);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // The length only sizes the first allocation; a sequence that claims
    // more items than it yields must not make us reserve gigabytes.
    constexpr Py_ssize_t kMaxReserve = 1 << 16;
    out.items.clear();
    out.items.reserve(static_cast<size_t>(hint < kMaxReserve ? hint : kMaxReserve));
    PyObject* it = PyObject_GetIter(o);
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it)) {
        if (!PyBytes_Check(item)) {
            raise_wrong_type_name(item, "bytes");
            Py_DecRef(item);
            Py_DecRef(it);
            out.items.clear();
            return false;
        }
        out.items.push_back(BytesArg{Ref::steal(item), PyBytes_AsString(item),
                                     static_cast<size_t>(PyBytes_Size(item))});
    }
    Py_DecRef(it);
    if (PyErr_Occurred()) {
        out.items.clear();
        return false;
    }
    return true;
}

bool convert(PyObject* o, PathArg& out) {
    if (!PyUnicode_Check(o)) {
        raise_wrong_type_name(o, "str");
        return false;
    }
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &n);
    if (!text) return false;
    out.text = text;
    out.size = static_cast<size_t>(n);
    return true;
}

}  // namespace uring::py
