// completion.cpp - copying completions out of the shared ring.

#include "ring/completion.h"

#include <unistd.h>

#include "ring/barrier.h"

namespace uring {

uint32_t cq_take(RingState& st, Completion* out) {
    const uint32_t head = read_once(st.cq.khead);
    // Acquire: the entries up to the tail are fully written before we read.
    uint32_t tail = smp_load_acquire(st.cq.ktail);
    // The kernel never posts more than the ring holds; never trust that with
    // the size of `out`.
    if (tail - head > st.cq.entries) tail = head + st.cq.entries;
    uint32_t n = 0;
    for (uint32_t pos = head; pos != tail; ++pos, ++n) {
        const io_uring_cqe& cqe = st.cq.cqes[pos & st.cq.mask];
        out[n] = Completion{cqe.user_data, cqe.res};
    }
    // Release: our reads of the entries happen before the kernel may reuse
    // their slots.
    if (n) smp_store_release(st.cq.khead, tail);
    return n;
}

void drain_eventfd(int fd) {
    uint64_t counter;
    while (read(fd, &counter, sizeof counter) == static_cast<ssize_t>(sizeof counter)) {
    }
}

}  // namespace uring
