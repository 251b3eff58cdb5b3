// submission.h - pushing SQE images into the shared submission queue and
// handing them to the kernel.
#pragma once

#include "ring/ring_state.h"

namespace uring {

// Result of a push: 0, -errno from the flush's io_uring_enter, kQueueFull
// when the queue has no room even after flushing, or kForeignProcess when
// called in a process forked after the ring was created.
inline constexpr int kQueueFull = 1;
inline constexpr int kForeignProcess = 2;

// Copies one image into the queue and publishes it; flushes a full queue
// first.
int sq_push(RingState& st, const io_uring_sqe& sqe);

// Copies two images into adjacent slots and publishes both with one tail
// store, or neither.
int sq_push_pair(RingState& st, const io_uring_sqe& first, const io_uring_sqe& second);

// One io_uring_enter for everything queued, asking for events only when the
// kernel holds completions back in its overflow list. >= 0 or -errno.
int ring_submit(RingState& st);

// Entries published but not yet consumed by the kernel.
uint32_t sq_queued(const RingState& st);

}  // namespace uring
