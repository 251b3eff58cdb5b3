// path.cpp - operations that name files by path, relative to the working
// directory. Path copies are made after the id is taken and belong to the
// pending entry until the completion is reaped.

#include "ops/ops.h"
#include "ops/record.h"
#include "ops/sqe.h"

namespace uring::ops {

namespace {

uint64_t addr(const PathCopy& p) { return address_of(p.get()); }

Outcome stat_into_buffer(RingState& st, uint64_t id, int32_t fd, PathCopy path, uint32_t flags) {
    StatxBox buf = make_statx_buffer();
    const uint64_t pa = addr(path), ba = address_of(buf.get());
    return record_and_push(st, id, Statx{std::move(path), std::move(buf)},
                           [&] { return sqe::statx(fd, pa, flags, ba, id); });
}

// The one-path operations that keep nothing but the path.
template <class Encode>
Outcome path_only(RingState& st, PathArg path, Encode encode) {
    return with_paths(
        st, 1,
        [&](uint64_t id, PathCopy p) {
            const uint64_t pa = addr(p);
            return record_and_push(st, id, Paths{std::move(p), nullptr}, [&] { return encode(pa, id); });
        },
        path);
}

template <io_uring_sqe (*Encode)(uint64_t, uint64_t, uint64_t)>
Outcome two_paths(RingState& st, PathArg first, PathArg second) {
    return with_paths(
        st, 1,
        [&](uint64_t id, PathCopy a, PathCopy b) {
            const uint64_t pa = addr(a), pb = addr(b);
            return record_and_push(st, id, Paths{std::move(a), std::move(b)}, [&] { return Encode(pa, pb, id); });
        },
        first, second);
}

}  // namespace

Outcome open(RingState& st, PathArg path, int32_t flags, uint32_t mode) {
    return with_paths(
        st, 1,
        [&](uint64_t id, PathCopy p) {
            const uint64_t pa = addr(p);
            return record_and_push(st, id, Open{std::move(p)}, [&] { return sqe::openat(pa, flags, mode, id); });
        },
        path);
}

Outcome statx(RingState& st, PathArg path, bool follow) {
    return with_paths(
        st, 1,
        [&](uint64_t id, PathCopy p) {
            return stat_into_buffer(st, id, AT_FDCWD, std::move(p), follow ? 0 : AT_SYMLINK_NOFOLLOW);
        },
        path);
}

Outcome fstatx(RingState& st, int32_t fd) {
    return with_paths(
        st, 1,
        [&](uint64_t id, PathCopy empty) { return stat_into_buffer(st, id, fd, std::move(empty), AT_EMPTY_PATH); },
        PathArg{"", 0});
}

Outcome mkdir(RingState& st, PathArg path, uint32_t mode) {
    return path_only(st, path, [&](uint64_t p, uint64_t id) { return sqe::mkdirat(p, mode, id); });
}

Outcome unlink(RingState& st, PathArg path, bool remove_dir) {
    return path_only(st, path, [&](uint64_t p, uint64_t id) { return sqe::unlinkat(p, remove_dir, id); });
}

Outcome rename(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::renameat>(st, src, dst); }

Outcome symlink(RingState& st, PathArg target, PathArg linkpath) {
    return two_paths<sqe::symlinkat>(st, target, linkpath);
}

Outcome link(RingState& st, PathArg src, PathArg dst) { return two_paths<sqe::linkat>(st, src, dst); }

}  // namespace uring::ops
