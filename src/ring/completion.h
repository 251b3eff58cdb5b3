// completion.h - the completion queue and the eventfd, without Python.
#pragma once

#include "ring/ring_state.h"

namespace uring {

// Copies every posted completion into `out` (room for cq.entries), then
// publishes the new CQ head so the kernel may reuse the slots at once.
// Returns how many were copied.
uint32_t cq_take(RingState& st, Completion* out);

// Reads the eventfd until it has nothing left; errors simply end the loop.
void drain_eventfd(int fd);

}  // namespace uring
