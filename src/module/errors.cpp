// errors.cpp - exception construction.

#include "module/errors.h"

#include <cstdio>
#include <cstring>

namespace uring::py {

namespace {

PyObject* panic_type() {
    // Created once per process, on first need, and kept for its life.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_uring.PanicException",
            "Raised when native code called from Python fails unexpectedly.\n\n"
            "Like SystemExit it derives from BaseException, so an ordinary\n"
            "`except Exception` does not catch it and it usually propagates to\n"
            "the top and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* type_qualname(PyObject* type) {
    PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
    if (!name) {
        PyErr_Clear();
        name = PyUnicode_FromString("<failed to extract type name>");
    }
    return name;
}

}  // namespace

PyObject* raise_errno(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);
    PyObject* args = Py_BuildValue("(iN)", err, PyUnicode_FromFormat("%s (os error %d)", text, err));
    if (!args) return nullptr;
    // Instantiating OSError with (errno, text) picks the matching subclass.
    PyErr_SetObject(PyExc_OSError, args);
    Py_DecRef(args);
    return nullptr;
}

PyObject* raise_message(const char* text) {
    PyErr_SetString(PyExc_OSError, text);
    return nullptr;
}

PyObject* raise_nul_byte(uint64_t position) {
    PyObject* msg = PyUnicode_FromFormat("nul byte found in provided data at position: %llu",
                                         static_cast<unsigned long long>(position));
    if (msg) {
        PyErr_SetObject(PyExc_OSError, msg);
        Py_DecRef(msg);
    }
    return nullptr;
}

PyObject* raise_type_error(PyObject* message) {
    if (message) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DecRef(message);
    }
    return nullptr;
}

PyObject* raise_wrong_type_name(PyObject* obj, const char* expected) {
    if (obj == Py_None) return raise_type_error(PyUnicode_FromFormat("'None' is not an instance of '%s'", expected));
    PyObject* name = type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!name) return nullptr;
    PyObject* msg = PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name, expected);
    Py_DecRef(name);
    return raise_type_error(msg);
}

PyObject* raise_wrong_type(PyObject* obj, PyObject* expected_type) {
    PyObject* expected = type_qualname(expected_type);
    if (!expected) return nullptr;
    const char* text = PyUnicode_AsUTF8AndSize(expected, nullptr);
    if (!text) {
        Py_DecRef(expected);
        return nullptr;
    }
    raise_wrong_type_name(obj, text);
    Py_DecRef(expected);
    return nullptr;
}

PyObject* raise_narrowing() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
}

PyObject* raise_already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
}

PyObject* raise_already_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
}

PyObject* raise_forked() {
    PyErr_SetString(PyExc_RuntimeError, "Ring cannot be used in a forked child process");
    return nullptr;
}

PyObject* raise_panic(const char* message) {
    if (!message || !*message) message = "native code failed unexpectedly";
    std::fprintf(stderr, "_uring: internal failure: %s\n", message);
    PyObject* type = panic_type();
    if (!type) return nullptr;
    PyObject* msg = PyUnicode_FromString(message);
    if (msg) {
        PyErr_SetObject(type, msg);
        Py_DecRef(msg);
    }
    return nullptr;
}

void add_conversion_note(const char* param) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    PyObject* r = note ? PyObject_CallMethod(exc, "add_note", "O", note) : nullptr;
    if (!r) PyErr_Clear();
    Py_XDECREF(r);
    Py_XDECREF(note);
    PyErr_SetRaisedException(exc);
}

}  // namespace uring::py
