// convert.h - the conversion kinds: one overload per native type a
// parameter can have. Each returns false with an exception set; the caller
// adds the note naming the parameter.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ops/args.h"

namespace uring::py {

bool convert(PyObject* o, int32_t& out);   // signed 32-bit (int, bool, __index__)
bool convert(PyObject* o, uint64_t& out);  // unsigned 64-bit
bool convert(PyObject* o, uint32_t& out);  // unsigned 32-bit
bool convert(PyObject* o, bool& out);      // strict bool
bool convert(PyObject* o, BytesArg& out);  // bytes (subclasses too), kept by reference
bool convert(PyObject* o, BytesSeq& out);  // sequence of bytes
bool convert(PyObject* o, PathArg& out);   // str, borrowed as UTF-8

// The value of an omitted optional parameter.
template <class T>
T default_value(int64_t v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v != 0;
    } else {
        static_assert(std::is_integral_v<T>, "only integer and bool parameters have defaults");
        return static_cast<T>(v);
    }
}

}  // namespace uring::py
