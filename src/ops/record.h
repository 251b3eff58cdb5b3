// record.h - the shared tail of every submission: record the pending entry,
// push its SQE, and undo the record if the push fails.
#pragma once

#include <cstdint>
#include <limits>
#include <new>

#include "ops/outcome.h"
#include "ring/payload.h"
#include "ring/pending.h"
#include "ring/ring_state.h"
#include "ring/submission.h"

namespace uring::ops {

inline Outcome push_failure(int rc) {
    if (rc == kQueueFull) return Outcome{Outcome::Kind::QueueFull};
    if (rc == kForeignProcess) return Outcome{Outcome::Kind::Forked};
    return Outcome::errno_error(-rc);
}

inline void record(RingState& st, uint64_t id, PendingOp&& op) {
    // A collision needs 2^64 submissions; the older entry may still be in the
    // kernel's hands, so it is leaked rather than freed, and teardown still
    // waits for its completion.
    st.pending.insert(id, std::move(op), [&st](PendingOp&& old) {
        static_cast<void>(new PendingOp(std::move(old)));
        ++st.displaced;
    });
}

inline Outcome record_and_push(RingState& st, uint64_t id, PendingOp&& op, const io_uring_sqe& sqe) {
    record(st, id, std::move(op));
    if (int rc = sq_push(st, sqe); rc != 0) {
        st.pending.erase(id);
        return push_failure(rc);
    }
    return Outcome::id(id);
}

// Creates the bytes object a read lands in, records it and pushes the SQE
// that `encode(buffer_addr)` builds for it.
template <class Encode>
Outcome read_into_new_buffer(RingState& st, uint64_t id, uint32_t len, Encode encode) {
    Read op{Ref(), len};
    uint64_t buf = 0;
    if (!new_read_buffer(len, op.buffer, buf)) return Outcome::py_error();
    const io_uring_sqe s = encode(buf);
    return record_and_push(st, id, std::move(op), s);
}

inline bool fits_sqe_len(size_t n) { return n <= std::numeric_limits<uint32_t>::max(); }

}  // namespace uring::ops
