// descriptor.cpp - operations on descriptors the caller already holds, the
// cancellation of an earlier submission, and the engine's own methods.

#include "ops/ops.h"
#include "ops/record.h"
#include "ops/sqe.h"
#include "ring/completion.h"
#include "ring/payload.h"

namespace uring::ops {

Outcome submit(RingState& st) {
    if (int rc = ring_submit(st); rc < 0) return Outcome::errno_error(-rc);
    return Outcome::none();
}

Outcome reap(RingState& st) { return Outcome::object(Ref::steal(reap_completions(st))); }

Outcome drain_eventfd(RingState& st) {
    uring::drain_eventfd(st.event_fd());
    return Outcome::none();
}

Outcome read(RingState& st, int32_t fd, uint64_t offset, uint32_t len) {
    const uint64_t id = st.take_ids(1);
    return read_into_new_buffer(st, id, len, [&](uint64_t buf) { return sqe::read(fd, offset, buf, len, id); });
}

Outcome write(RingState& st, int32_t fd, uint64_t offset, BytesArg data) {
    if (!fits_sqe_len(data.size)) return Outcome::data_too_long();
    const uint64_t id = st.take_ids(1);
    const auto len = static_cast<uint32_t>(data.size);
    const uint64_t buf = address_of(data.data);
    return record_and_push(st, id, Write{std::move(data.obj)}, [&] { return sqe::write(fd, offset, buf, len, id); });
}

Outcome writev(RingState& st, int32_t fd, uint64_t offset, BytesSeq bufs) {
    const size_t count = bufs.items.size();
    if (!fits_sqe_len(count)) return Outcome::data_too_long();
    const uint64_t id = st.take_ids(1);
    WriteVectored op;
    if (count) {
        op.iov.reset(static_cast<iovec*>(xmalloc(count * sizeof(iovec))));
        op.data.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            BytesArg& b = bufs.items[i];
            op.iov.get()[i] = iovec{const_cast<char*>(b.data), b.size};
            op.data.push_back(std::move(b.obj));
        }
    }
    const uint64_t iov = address_of(op.iov.get());
    return record_and_push(st, id, std::move(op),
                           [&] { return sqe::writev(fd, offset, iov, static_cast<uint32_t>(count), id); });
}

Outcome cancel(RingState& st, uint64_t user_data) {
    const uint64_t id = st.take_ids(1);
    return record_and_push(st, id, NoBuffers{}, [&] { return sqe::cancel(user_data, id); });
}

Outcome ftruncate(RingState& st, int32_t fd, uint64_t len) {
    const uint64_t id = st.take_ids(1);
    return record_and_push(st, id, NoBuffers{}, [&] { return sqe::ftruncate(fd, len, id); });
}

Outcome fsync(RingState& st, int32_t fd, bool datasync) {
    const uint64_t id = st.take_ids(1);
    return record_and_push(st, id, NoBuffers{}, [&] { return sqe::fsync(fd, datasync, id); });
}

Outcome close(RingState& st, int32_t fd) {
    const uint64_t id = st.take_ids(1);
    return record_and_push(st, id, NoBuffers{}, [&] { return sqe::close(fd, id); });
}

}  // namespace uring::ops
