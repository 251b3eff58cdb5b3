// binding.h - matching positional and keyword arguments to parameters.
#pragma once

#include <Python.h>

#include "module/methods.h"

namespace uring::py {

// Interns every parameter name once per process so that keyword names from
// call sites (interned by the compiler) usually match by pointer.
int intern_parameter_names();

// Fills `slots` (one per parameter, null when absent) from a vectorcall
// argument vector. Returns -1 with TypeError set on a binding error.
int bind_vector(unsigned sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// The same for a tuple and a keyword dict (the constructor).
int bind_tuple(unsigned sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace uring::py
