// submission.cpp - the submission queue.

#include "ring/submission.h"

#include <cstring>

#include "ring/barrier.h"
#include "ring/sys.h"

namespace uring {

uint32_t sq_queued(const RingState& st) {
    // Our own tail needs no ordering; the kernel's head is acquired so slots
    // it has released are not reused while it may still read them.
    return read_once(st.sq.ktail) - smp_load_acquire(st.sq.khead);
}

int ring_submit(RingState& st) {
    const uint32_t queued = sq_queued(st);
    const uint32_t flags =
        (smp_load_acquire(st.sq.kflags) & IORING_SQ_CQ_OVERFLOW) ? IORING_ENTER_GETEVENTS : 0;
    return sys_io_uring_enter(st.ring_fd(), queued, 0, flags);
}

namespace {

// Makes room for `need` entries, flushing once if the queue is too full.
int reserve(RingState& st, uint32_t need) {
    // The last line of defence against a child publishing entries into its
    // parent's ring: Python code run while the SQE was being built may fork.
    if (st.foreign()) return kForeignProcess;
    if (st.sq.entries - sq_queued(st) >= need) return 0;
    if (int rc = ring_submit(st); rc < 0) return rc;
    if (st.sq.entries - sq_queued(st) >= need) return 0;
    return kQueueFull;
}

}  // namespace

int sq_push(RingState& st, const io_uring_sqe& sqe) {
    if (int rc = reserve(st, 1); rc != 0) return rc;
    const uint32_t tail = read_once(st.sq.ktail);
    std::memcpy(&st.sq.sqes[tail & st.sq.mask], &sqe, sizeof sqe);
    // The kernel must not see the new tail before the entry's contents.
    smp_store_release(st.sq.ktail, tail + 1);
    return 0;
}

int sq_push_pair(RingState& st, const io_uring_sqe& first, const io_uring_sqe& second) {
    if (int rc = reserve(st, 2); rc != 0) return rc;
    const uint32_t tail = read_once(st.sq.ktail);
    std::memcpy(&st.sq.sqes[tail & st.sq.mask], &first, sizeof first);
    std::memcpy(&st.sq.sqes[(tail + 1) & st.sq.mask], &second, sizeof second);
    // One release store publishes both halves of the link together.
    smp_store_release(st.sq.ktail, tail + 2);
    return 0;
}

}  // namespace uring
