// outcome.h - how an operation reports back to the method boundary, which
// alone turns it into a Python value or exception.
#pragma once

#include <cstdint>

#include "ring/ref.h"

namespace uring {

struct Outcome {
    enum class Kind : uint8_t {
        Id,           // a = user_data
        IdPair,       // a, b = the two ids of a chain
        None,
        Object,       // obj = new reference
        PyError,      // the interpreter's exception is already set
        NulByte,      // a = offset of the NUL in the path's UTF-8 text
        InvalidSlot,
        QueueFull,
        Errno,        // a = errno of a failed system call
        DataTooLong,  // a single buffer longer than an SQE can describe
        Forked,
    };
    Kind kind;
    uint64_t a = 0;
    uint64_t b = 0;
    PyObject* obj = nullptr;

    static Outcome id(uint64_t v) { return {Kind::Id, v}; }
    static Outcome pair(uint64_t x, uint64_t y) { return {Kind::IdPair, x, y}; }
    static Outcome none() { return {Kind::None}; }
    static Outcome object(PyObject* o) { return {Kind::Object, 0, 0, o}; }
    static Outcome py_error() { return {Kind::PyError}; }
    static Outcome nul_byte(uint64_t at) { return {Kind::NulByte, at}; }
    static Outcome invalid_slot() { return {Kind::InvalidSlot}; }
    static Outcome data_too_long() { return {Kind::DataTooLong}; }
    static Outcome errno_error(int e) { return {Kind::Errno, static_cast<uint64_t>(e)}; }
};

}  // namespace uring
