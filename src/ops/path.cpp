// path.cpp - operations that name files by path, relative to the working
// directory. Path copies are made after the id is taken and belong to the
// pending entry until the completion is reaped.

#include "ops/ops.h"
#include "ops/record.h"
#include "ops/sqe.h"

namespace uring::ops {

namespace {

uint64_t addr(const PathCopy& p) { return address_of(p.get()); }

// The shape shared by the one-path operations: take the id, copy the path,
// encode, record and push. `encode(path_addr, id)` builds the SQE and
// `make_op(copy)` the pending entry that owns the copy.
template <class Encode, class MakeOp>
Outcome one_path(RingState& st, PathArg path, Encode encode, MakeOp make_op) {
    const uint64_t id = st.take_ids(1);
    size_t nul_at = 0;
    PathCopy p = make_path_copy(path.text, path.size, &nul_at);
    if (!p) return Outcome::nul_byte(nul_at);
    const io_uring_sqe s = encode(addr(p), id);
    return record_and_push(st, id, make_op(std::move(p)), s);
}

// The same for two-path operations; a NUL in the second path frees the
// first copy on the way out.
template <io_uring_sqe (*Encode)(uint64_t, uint64_t, uint64_t)>
Outcome two_paths(RingState& st, PathArg first, PathArg second) {
    const uint64_t id = st.take_ids(1);
    size_t nul_at = 0;
    PathCopy a = make_path_copy(first.text, first.size, &nul_at);
    if (!a) return Outcome::nul_byte(nul_at);
    PathCopy b = make_path_copy(second.text, second.size, &nul_at);
    if (!b) return Outcome::nul_byte(nul_at);
    const io_uring_sqe s = Encode(addr(a), addr(b), id);
    return record_and_push(st, id, Paths{std::move(a), std::move(b)}, s);
}

Outcome stat_into_buffer(RingState& st, uint64_t id, int32_t fd, PathCopy path, uint32_t flags) {
    StatxBox buf = make_statx_buffer();
    const io_uring_sqe s = sqe::statx(fd, addr(path), flags, address_of(buf.get()), id);
    return record_and_push(st, id, Statx{std::move(path), std::move(buf)}, s);
}

Paths one_path_entry(PathCopy p) { return Paths{std::move(p), nullptr}; }

}  // namespace

Outcome open(RingState& st, PathArg path, int32_t flags, uint32_t mode) {
    return one_path(
        st, path, [&](uint64_t p, uint64_t id) { return sqe::openat(p, flags, mode, id); },
        [](PathCopy p) { return Open{std::move(p)}; });
}

Outcome statx(RingState& st, PathArg path, bool follow) {
    const uint64_t id = st.take_ids(1);
    size_t nul_at = 0;
    PathCopy p = make_path_copy(path.text, path.size, &nul_at);
    if (!p) return Outcome::nul_byte(nul_at);
    return stat_into_buffer(st, id, AT_FDCWD_, std::move(p), follow ? 0 : AT_SYMLINK_NOFOLLOW_);
}

Outcome fstatx(RingState& st, int32_t fd) {
    const uint64_t id = st.take_ids(1);
    size_t unused = 0;
    return stat_into_buffer(st, id, fd, make_path_copy("", 0, &unused), AT_EMPTY_PATH_);
}

Outcome mkdir(RingState& st, PathArg path, uint32_t mode) {
    return one_path(
        st, path, [&](uint64_t p, uint64_t id) { return sqe::mkdirat(p, mode, id); }, one_path_entry);
}

Outcome unlink(RingState& st, PathArg path, bool remove_dir) {
    return one_path(
        st, path, [&](uint64_t p, uint64_t id) { return sqe::unlinkat(p, remove_dir, id); }, one_path_entry);
}

Outcome rename(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::renameat>(st, src, dst); }

Outcome symlink(RingState& st, PathArg target, PathArg linkpath) {
    return two_paths<sqe::symlinkat>(st, target, linkpath);
}

Outcome link(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::linkat>(st, src, dst); }

}  // namespace uring::ops
