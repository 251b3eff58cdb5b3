// submission.h - pushing SQE images into the shared submission queue and
// handing them to the kernel.
#pragma once

#include <cstring>
#include <new>

#include "ring/barrier.h"
#include "ring/ring_state.h"

namespace uring {

// Result of a push: 0, -errno from the flush's io_uring_enter, kQueueFull
// when the queue has no room even after flushing, or kForeignProcess when
// called in a process forked after the ring was created.
inline constexpr int kQueueFull = 1;
inline constexpr int kForeignProcess = 2;

// One io_uring_enter for everything queued, asking for events only when the
// kernel holds completions back in its overflow list. >= 0 or -errno.
int ring_submit(RingState& st);

// Entries published but not yet consumed by the kernel.
inline uint32_t sq_queued(const RingState& st) {
    // Our own tail needs no ordering; the kernel's head is acquired so slots
    // it has released are not reused while it may still read them.
    return read_once(st.sq.ktail) - smp_load_acquire(st.sq.khead);
}

// Looks at the kernel's head again and, if the queue is still too full for
// `need` more entries, flushes it; 0 when there is room afterwards,
// otherwise a push result.
[[gnu::cold]] int make_room(RingState& st, uint32_t need);

// Makes room for `need` entries. Every push is inlined into its operation;
// only a full queue leaves it.
inline int reserve(RingState& st, uint32_t need) {
    // The last line of defence against a child publishing entries into its
    // parent's ring: Python code run while the SQE was being built may fork.
    if (st.foreign()) [[unlikely]]
        return kForeignProcess;
    if (st.sq.free >= need) [[likely]]
        return 0;
    return make_room(st, need);
}

// Builds the image `encode()` returns straight in the next slot (no copy
// through the stack) and publishes it; flushes a full queue first.
template <class Encode>
inline int sq_push_encoded(RingState& st, Encode&& encode) {
    if (int rc = reserve(st, 1); rc != 0) return rc;
    const uint32_t tail = read_once(st.sq.ktail);
    new (&st.sq.sqes[tail & st.sq.mask]) io_uring_sqe(encode());
    // The kernel must not see the new tail before the entry's contents.
    smp_store_release(st.sq.ktail, tail + 1);
    st.sq.free -= 1;
    return 0;
}

// Copies one finished image into the queue and publishes it.
inline int sq_push(RingState& st, const io_uring_sqe& sqe) {
    return sq_push_encoded(st, [&] { return sqe; });
}

// Copies two images into adjacent slots and publishes both with one tail
// store, or neither.
inline int sq_push_pair(RingState& st, const io_uring_sqe& first, const io_uring_sqe& second) {
    if (int rc = reserve(st, 2); rc != 0) return rc;
    const uint32_t tail = read_once(st.sq.ktail);
    std::memcpy(&st.sq.sqes[tail & st.sq.mask], &first, sizeof first);
    std::memcpy(&st.sq.sqes[(tail + 1) & st.sq.mask], &second, sizeof second);
    // One release store publishes both halves of the link together.
    smp_store_release(st.sq.ktail, tail + 2);
    st.sq.free -= 2;
    return 0;
}

}  // namespace uring
