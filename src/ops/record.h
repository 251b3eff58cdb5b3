// record.h - the shared tail of every submission: record the pending entry,
// push its SQE, and undo the record if the push fails; and the shared head
// of the path operations: take the ids, copy the paths, report a NUL.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <tuple>

#include "ops/args.h"
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

// Records `op` (one of PendingOp's alternatives, built in its slot) under
// `id` together with the id's int object, and returns a second reference to
// that object for the caller; null with the interpreter's exception set if
// the object could not be created.
template <class Op>
[[gnu::always_inline]] inline Ref record(RingState& st, uint64_t id, Op&& op) {
    Ref handle = new_id_object(id);
    if (!handle) return handle;
    Ref caller = Ref::borrow(handle.get());
    // A collision needs 2^64 submissions; the older entry may still be in the
    // kernel's hands, so it is leaked rather than freed, and teardown still
    // waits for its completion.
    st.pending.emplace(
        id,
        [&st](Pending&& old) {
            static_cast<void>(new Pending(std::move(old)));
            ++st.displaced;
        },
        std::forward<Op>(op), std::move(handle));
    return caller;
}

// Records `op` under `id`, then pushes the SQE that `encode()` builds in
// its queue slot; the record is removed again if the push fails.
template <class Op, class Encode>
[[gnu::always_inline]] inline Outcome record_and_push(RingState& st, uint64_t id, Op&& op, Encode&& encode) {
    Ref handle = record(st, id, std::forward<Op>(op));
    if (!handle) return Outcome::py_error();
    if (int rc = sq_push_encoded(st, encode); rc != 0) {
        st.pending.erase(id);
        return push_failure(rc);
    }
    return Outcome::id(std::move(handle));
}

// Creates the bytes object a read lands in, records it and pushes the SQE
// that `encode(buffer_addr)` builds for it.
template <class Encode>
Outcome read_into_new_buffer(RingState& st, uint64_t id, uint32_t len, Encode encode) {
    Read op{Ref(), len};
    uint64_t buf = 0;
    if (!new_read_buffer(len, op.buffer, buf)) return Outcome::py_error();
    return record_and_push(st, id, std::move(op), [&] { return encode(buf); });
}

inline bool fits_sqe_len(size_t n) { return n <= std::numeric_limits<uint32_t>::max(); }

// Takes `ids` consecutive ids, then copies each path with its terminating
// NUL, and calls `then(first_id, copy...)`. A path holding a NUL ends the
// call with that outcome instead; the ids stay taken and the copies made so
// far are freed.
template <class Then, class... P>
Outcome with_paths(RingState& st, uint64_t ids, Then then, const P&... paths) {
    static_assert((std::is_same_v<P, PathArg> && ...));
    const uint64_t id = st.take_ids(ids);
    std::array<PathCopy, sizeof...(P)> copies;
    size_t nul_at = 0;
    size_t i = 0;
    const bool clean = ((copies[i] = make_path_copy(paths.text, paths.size, &nul_at), copies[i++] != nullptr) && ...);
    if (!clean) return Outcome::nul_byte(nul_at);
    return std::apply([&](auto&... c) { return then(id, std::move(c)...); }, copies);
}

}  // namespace uring::ops
