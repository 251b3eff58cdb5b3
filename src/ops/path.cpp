// path.cpp - operations that name files by path, relative to the working
// directory. Path copies are made after the id is taken and belong to the
// pending entry until the completion is reaped.

#include "ops/ops.h"
#include "ops/record.h"
#include "ops/sqe.h"

namespace uring::ops {

namespace {

// Copies the path or reports where its NUL is; `ok` is false on a NUL.
PathCopy copy_path(PathArg p, Outcome& failure, bool& ok) {
    size_t nul_at = 0;
    PathCopy copy = make_path_copy(p.text, p.size, &nul_at);
    ok = static_cast<bool>(copy);
    if (!ok) failure = Outcome::nul_byte(nul_at);
    return copy;
}

uint64_t addr(const PathCopy& p) { return address_of(p.get()); }

// The shape shared by every two-path operation.
template <io_uring_sqe (*Encode)(uint64_t, uint64_t, uint64_t)>
Outcome two_paths(RingState& st, PathArg first, PathArg second) {
    const uint64_t id = st.take_ids(1);
    Outcome failure{};
    bool ok = false;
    PathCopy a = copy_path(first, failure, ok);
    if (!ok) return failure;
    PathCopy b = copy_path(second, failure, ok);
    if (!ok) return failure;
    const io_uring_sqe s = Encode(addr(a), addr(b), id);
    return record_and_push(st, id, Paths{std::move(a), std::move(b)}, s);
}

Outcome stat_common(RingState& st, uint64_t id, int32_t fd, PathCopy path, uint32_t flags) {
    StatxBox buf = make_statx_buffer();
    const io_uring_sqe s = sqe::statx(fd, addr(path), flags, address_of(buf.get()), id);
    return record_and_push(st, id, Statx{std::move(path), std::move(buf)}, s);
}

}  // namespace

Outcome open(RingState& st, PathArg path, int32_t flags, uint32_t mode) {
    const uint64_t id = st.take_ids(1);
    Outcome failure{};
    bool ok = false;
    PathCopy p = copy_path(path, failure, ok);
    if (!ok) return failure;
    const io_uring_sqe s = sqe::openat(addr(p), flags, mode, id);
    return record_and_push(st, id, Open{std::move(p)}, s);
}

Outcome statx(RingState& st, PathArg path, bool follow) {
    const uint64_t id = st.take_ids(1);
    Outcome failure{};
    bool ok = false;
    PathCopy p = copy_path(path, failure, ok);
    if (!ok) return failure;
    return stat_common(st, id, AT_FDCWD_, std::move(p), follow ? 0 : AT_SYMLINK_NOFOLLOW_);
}

Outcome fstatx(RingState& st, int32_t fd) {
    const uint64_t id = st.take_ids(1);
    size_t unused = 0;
    return stat_common(st, id, fd, make_path_copy("", 0, &unused), AT_EMPTY_PATH_);
}

Outcome mkdir(RingState& st, PathArg path, uint32_t mode) {
    const uint64_t id = st.take_ids(1);
    Outcome failure{};
    bool ok = false;
    PathCopy p = copy_path(path, failure, ok);
    if (!ok) return failure;
    const io_uring_sqe s = sqe::mkdirat(addr(p), mode, id);
    return record_and_push(st, id, Paths{std::move(p), nullptr}, s);
}

Outcome unlink(RingState& st, PathArg path, bool remove_dir) {
    const uint64_t id = st.take_ids(1);
    Outcome failure{};
    bool ok = false;
    PathCopy p = copy_path(path, failure, ok);
    if (!ok) return failure;
    const io_uring_sqe s = sqe::unlinkat(addr(p), remove_dir, id);
    return record_and_push(st, id, Paths{std::move(p), nullptr}, s);
}

Outcome rename(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::renameat>(st, src, dst); }

Outcome symlink(RingState& st, PathArg target, PathArg linkpath) {
    return two_paths<sqe::symlinkat>(st, target, linkpath);
}

Outcome link(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::linkat>(st, src, dst); }

}  // namespace uring::ops
