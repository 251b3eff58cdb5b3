// payload.h - the engine's only contact with Python object creation: the
// bytes objects reads land in, and the triples reap hands back.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "ring/ref.h"
#include "ring/ring_state.h"

namespace uring {

// A broken invariant or a result object the interpreter failed to create;
// the method boundary turns it into PanicException.
struct InternalFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Creates an uninitialised bytes object of `len` bytes for the kernel to
// fill in place. Returns false with the interpreter's exception set.
bool new_read_buffer(uint32_t len, Ref& out, uint64_t& addr);

// The int object a submission's id is handed out and reaped as; null with
// the interpreter's exception set if it cannot be created.
Ref new_id_object(uint64_t id);

// Takes every posted completion and returns a new list of
// (user_data, result, payload) tuples, releasing each entry's resources.
// If a result object cannot be created it throws InternalFailure, having
// taken only the completions whose triples it built; it keeps those triples
// and returns them first next time.
PyObject* reap_completions(RingState& st);

}  // namespace uring
