// submission.cpp - flushing the submission queue.

#include "ring/submission.h"

#include "ring/sys.h"

namespace uring {

int ring_submit(RingState& st) {
    const uint32_t queued = sq_queued(st);
    const uint32_t flags =
        (smp_load_acquire(st.sq.kflags) & IORING_SQ_CQ_OVERFLOW) ? IORING_ENTER_GETEVENTS : 0;
    return sys_io_uring_enter(st.ring_fd(), queued, 0, flags);
}

int make_room(RingState& st, uint32_t need) {
    st.sq.free = st.sq.entries - sq_queued(st);
    if (st.sq.free >= need) return 0;
    if (int rc = ring_submit(st); rc < 0) return rc;
    st.sq.free = st.sq.entries - sq_queued(st);
    if (st.sq.free >= need) return 0;
    return kQueueFull;
}

}  // namespace uring
