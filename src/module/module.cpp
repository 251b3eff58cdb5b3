// module.cpp - the _uring module: definition, exec step and init function.

#include <Python.h>

#include "module/binding.h"
#include "module/boundary.h"
#include "module/errors.h"
#include "module/ring_object.h"
#include "ring/payload.h"

// The stable ABI of CPython 3.12 and later, set by the build.
static_assert(Py_LIMITED_API == 0x030C0000);

namespace uring::py {

namespace {

constexpr const char kModuleDoc[] = "Native async backend for kovra (io_uring on Linux, IOCP on Windows).";

// Appends `name` to the module's __all__ (creating the list on first use)
// and binds the attribute. Steals nothing.
int export_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DecRef(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        raise_wrong_type_name(all, "list");
        Py_DecRef(all);
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DecRef(all);
    if (appended < 0) throw InternalFailure("could not extend __all__");
    return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) noexcept {
    try {
        // The type is created once per process and shared by every module
        // object that a later exec creates.
        static PyObject* ring_type = nullptr;
        if (!ring_type) {
            if (intern_parameter_names() < 0) return -1;
            ring_type = create_ring_type();
            if (!ring_type) return -1;
        }
        if (export_name(module, "Ring", ring_type) < 0) return -1;
        PyObject* doc = PyUnicode_FromString(kModuleDoc);
        if (!doc) return -1;
        const int rc = export_name(module, "__doc__", doc);
        Py_DecRef(doc);
        return rc;
    } catch (...) {
        panic_from_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_uring",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace uring::py

PyMODINIT_FUNC PyInit__uring(void) { return PyModuleDef_Init(&uring::py::module_def); }
