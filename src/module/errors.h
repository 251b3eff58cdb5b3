// errors.h - every exception this module raises is built here. Each raiser
// sets the exception and returns nullptr, so call sites read
// `return raise_errno(e);`.
#pragma once

#include <Python.h>

#include <cstdint>

namespace uring::py {

[[gnu::cold]] PyObject* raise_errno(int err);
[[gnu::cold]] PyObject* raise_message(const char* text);
[[gnu::cold]] PyObject* raise_nul_byte(uint64_t position);
[[gnu::cold]] PyObject* raise_wrong_type(PyObject* obj, PyObject* expected_type);
[[gnu::cold]] PyObject* raise_wrong_type_name(PyObject* obj, const char* expected_qualname);
[[gnu::cold]] PyObject* raise_narrowing();
[[gnu::cold]] PyObject* raise_already_borrowed();
[[gnu::cold]] PyObject* raise_already_mutably_borrowed();
[[gnu::cold]] PyObject* raise_forked();
[[gnu::cold]] PyObject* raise_type_error(PyObject* message);  // steals message

// Raises PanicException with `message` (or a generic text when null) and
// describes the failure on standard error.
[[gnu::cold]] PyObject* raise_panic(const char* message);

// Attaches "while processing '<name>'" to the exception being raised; a
// failure of add_note itself is discarded.
[[gnu::cold]] void add_conversion_note(const char* param);

// Saves the raised exception (if any) and restores it on scope exit, so
// cleanup that runs Python code cannot clobber or be clobbered by it.
class ErrorScope {
  public:
    ErrorScope() : saved_(PyErr_GetRaisedException()) {}
    ~ErrorScope() { PyErr_SetRaisedException(saved_); }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

  private:
    PyObject* saved_;
};

}  // namespace uring::py
