// chain.cpp - linked open-and-read / open-and-write chains into direct
// descriptor slots, and fixed-slot I/O that continues them.

#include "ops/ops.h"
#include "ops/record.h"
#include "ops/sqe.h"
#include "ring/payload.h"

namespace uring::ops {

namespace {

// Records both halves, pushes them as one linked pair, and removes both
// again if the queue cannot take the pair.
template <class First, class Second>
Outcome record_and_push_pair(RingState& st, uint64_t first_id, First&& first, const io_uring_sqe& a,
                             Second&& second, const io_uring_sqe& b) {
    Ref x = record(st, first_id, std::forward<First>(first));
    if (!x) return Outcome::py_error();
    Ref y = record(st, first_id + 1, std::forward<Second>(second));
    if (!y) {
        st.pending.erase(first_id);
        return Outcome::py_error();
    }
    if (int rc = sq_push_pair(st, a, b); rc != 0) {
        st.pending.erase(first_id);
        st.pending.erase(first_id + 1);
        return push_failure(rc);
    }
    return Outcome::pair(std::move(x), std::move(y));
}

}  // namespace

Outcome open_read(RingState& st, PathArg path, int32_t flags, uint32_t mode, uint32_t len, uint32_t slot) {
    return with_paths(
        st, 2,
        [&](uint64_t id, PathCopy p) {
            if (slot > sqe::kMaxSlot) return Outcome::invalid_slot();
            Read read{Ref(), len};
            uint64_t buf = 0;
            if (!new_read_buffer(len, read.buffer, buf)) return Outcome::py_error();
            const io_uring_sqe open_sqe = sqe::chain_open(address_of(p.get()), flags, mode, slot, id);
            const io_uring_sqe read_sqe = sqe::chain_read(slot, buf, len, id + 1);
            return record_and_push_pair(st, id, Open{std::move(p)}, open_sqe, std::move(read), read_sqe);
        },
        path);
}

Outcome open_write(RingState& st, PathArg path, int32_t flags, uint32_t mode, BytesArg data, uint32_t slot) {
    if (!fits_sqe_len(data.size)) return Outcome::data_too_long();
    return with_paths(
        st, 2,
        [&](uint64_t id, PathCopy p) {
            if (slot > sqe::kMaxSlot) return Outcome::invalid_slot();
            const io_uring_sqe open_sqe = sqe::chain_open(address_of(p.get()), flags, mode, slot, id);
            const io_uring_sqe write_sqe =
                sqe::fixed_write(slot, 0, address_of(data.data), static_cast<uint32_t>(data.size), id + 1);
            return record_and_push_pair(st, id, Open{std::move(p)}, open_sqe, Write{std::move(data.obj)},
                                        write_sqe);
        },
        path);
}

Outcome read_fixed(RingState& st, uint32_t slot, uint64_t offset, uint32_t len) {
    const uint64_t id = st.take_ids(1);
    return read_into_new_buffer(st, id, len,
                                [&](uint64_t buf) { return sqe::fixed_read(slot, offset, buf, len, id); });
}

Outcome write_fixed(RingState& st, uint32_t slot, uint64_t offset, BytesArg data) {
    if (!fits_sqe_len(data.size)) return Outcome::data_too_long();
    const uint64_t id = st.take_ids(1);
    const auto len = static_cast<uint32_t>(data.size);
    const uint64_t buf = address_of(data.data);
    return record_and_push(st, id, Write{std::move(data.obj)},
                           [&] { return sqe::fixed_write(slot, offset, buf, len, id); });
}

Outcome close_fixed(RingState& st, uint32_t slot) {
    const uint64_t id = st.take_ids(1);
    if (slot > sqe::kMaxSlot) return Outcome::invalid_slot();
    return record_and_push(st, id, NoBuffers{}, [&] { return sqe::close_fixed(slot, id); });
}

}  // namespace uring::ops
