// outcome.h - how an operation reports back to the method boundary, which
// alone turns it into a Python value or exception.
#pragma once

#include <cstdint>

#include "ring/ref.h"

namespace uring {

struct Outcome {
    enum class Kind : uint8_t {
        Id,           // first = the submission's id
        IdPair,       // first, second = the two ids of a chain
        None,
        Object,       // first = the result
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
    Ref first = Ref();
    Ref second = Ref();

    static Outcome id(Ref v) { return {Kind::Id, 0, std::move(v)}; }
    static Outcome pair(Ref x, Ref y) { return {Kind::IdPair, 0, std::move(x), std::move(y)}; }
    static Outcome none() { return {Kind::None}; }
    static Outcome object(Ref o) { return {Kind::Object, 0, std::move(o)}; }
    static Outcome py_error() { return {Kind::PyError}; }
    static Outcome nul_byte(uint64_t at) { return {Kind::NulByte, at}; }
    static Outcome invalid_slot() { return {Kind::InvalidSlot}; }
    static Outcome data_too_long() { return {Kind::DataTooLong}; }
    static Outcome errno_error(int e) { return {Kind::Errno, static_cast<uint64_t>(e)}; }
};

}  // namespace uring
