// sqe.h - pure SQE encoders: native arguments in, a complete 64-byte image
// out. Each starts from an all-zero entry, so every field an operation does
// not name is 0, and none touches the ring; the push copies the image.
#pragma once

#include <cstdint>

#include "ring/uapi.h"

namespace uring::sqe {

inline io_uring_sqe prep_rw(uint8_t opcode, int32_t fd, uint64_t addr, uint32_t len, uint64_t off,
                            uint64_t user_data) {
    io_uring_sqe s{};
    s.opcode = opcode;
    s.fd = fd;
    s.off = off;
    s.addr = addr;
    s.len = len;
    s.user_data = user_data;
    return s;
}

inline bool wants_async(uint32_t len) { return (len >> kAsyncReadShift) != 0; }

// Descriptor operations.

inline io_uring_sqe read(int32_t fd, uint64_t off, uint64_t buf, uint32_t len, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_READ, fd, buf, len, off, ud);
    if (wants_async(len)) s.flags = IOSQE_ASYNC;
    return s;
}

inline io_uring_sqe write(int32_t fd, uint64_t off, uint64_t buf, uint32_t len, uint64_t ud) {
    return prep_rw(IORING_OP_WRITE, fd, buf, len, off, ud);
}

inline io_uring_sqe writev(int32_t fd, uint64_t off, uint64_t iov, uint32_t count, uint64_t ud) {
    return prep_rw(IORING_OP_WRITEV, fd, iov, count, off, ud);
}

inline io_uring_sqe fsync(int32_t fd, bool datasync, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_FSYNC, fd, 0, 0, 0, ud);
    s.fsync_flags = datasync ? IORING_FSYNC_DATASYNC : 0;
    return s;
}

inline io_uring_sqe ftruncate(int32_t fd, uint64_t len, uint64_t ud) {
    return prep_rw(IORING_OP_FTRUNCATE, fd, 0, 0, len, ud);
}

inline io_uring_sqe close(int32_t fd, uint64_t ud) { return prep_rw(IORING_OP_CLOSE, fd, 0, 0, 0, ud); }

inline io_uring_sqe cancel(uint64_t target, uint64_t ud) {
    return prep_rw(IORING_OP_ASYNC_CANCEL, -1, target, 0, 0, ud);
}

// Path operations; every path is resolved against the working directory.

inline io_uring_sqe openat(uint64_t path, int32_t flags, uint32_t mode, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_OPENAT, AT_FDCWD, path, mode, 0, ud);
    s.open_flags = static_cast<uint32_t>(flags);
    return s;
}

inline io_uring_sqe statx(int32_t fd, uint64_t path, uint32_t statx_flags, uint64_t buf, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_STATX, fd, path, STATX_BASIC_STATS, buf, ud);
    s.statx_flags = statx_flags;
    return s;
}

inline io_uring_sqe mkdirat(uint64_t path, uint32_t mode, uint64_t ud) {
    return prep_rw(IORING_OP_MKDIRAT, AT_FDCWD, path, mode, 0, ud);
}

inline io_uring_sqe unlinkat(uint64_t path, bool remove_dir, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_UNLINKAT, AT_FDCWD, path, 0, 0, ud);
    s.unlink_flags = remove_dir ? AT_REMOVEDIR : 0;
    return s;
}

// For the two-path operations `off` carries the second path (addr2) and
// `len` the second directory descriptor where the opcode has one.
inline io_uring_sqe renameat(uint64_t src, uint64_t dst, uint64_t ud) {
    return prep_rw(IORING_OP_RENAMEAT, AT_FDCWD, src, static_cast<uint32_t>(AT_FDCWD), dst, ud);
}

inline io_uring_sqe symlinkat(uint64_t target, uint64_t linkpath, uint64_t ud) {
    return prep_rw(IORING_OP_SYMLINKAT, AT_FDCWD, target, 0, linkpath, ud);
}

inline io_uring_sqe linkat(uint64_t src, uint64_t dst, uint64_t ud) {
    return prep_rw(IORING_OP_LINKAT, AT_FDCWD, src, static_cast<uint32_t>(AT_FDCWD), dst, ud);
}

// Direct descriptors: the open and close name a slot as file_index = slot + 1
// (0 means "no slot"); reads and writes name it as fd with IOSQE_FIXED_FILE.

inline constexpr uint32_t kMaxSlot = 4294967293u;

inline io_uring_sqe chain_open(uint64_t path, int32_t flags, uint32_t mode, uint32_t slot, uint64_t ud) {
    io_uring_sqe s = openat(path, flags, mode, ud);
    s.flags = IOSQE_IO_LINK;
    s.file_index = slot + 1;
    return s;
}

// The linked read never asks for a worker: it must run after the open, and
// the small-file case it serves completes inline.
inline io_uring_sqe chain_read(uint32_t slot, uint64_t buf, uint32_t len, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_READ, static_cast<int32_t>(slot), buf, len, 0, ud);
    s.flags = IOSQE_FIXED_FILE;
    return s;
}

inline io_uring_sqe fixed_read(uint32_t slot, uint64_t off, uint64_t buf, uint32_t len, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_READ, static_cast<int32_t>(slot), buf, len, off, ud);
    s.flags = IOSQE_FIXED_FILE | (wants_async(len) ? IOSQE_ASYNC : 0);
    return s;
}

inline io_uring_sqe fixed_write(uint32_t slot, uint64_t off, uint64_t buf, uint32_t len, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_WRITE, static_cast<int32_t>(slot), buf, len, off, ud);
    s.flags = IOSQE_FIXED_FILE;
    return s;
}

inline io_uring_sqe close_fixed(uint32_t slot, uint64_t ud) {
    io_uring_sqe s = prep_rw(IORING_OP_CLOSE, 0, 0, 0, 0, ud);
    s.file_index = slot + 1;
    return s;
}

}  // namespace uring::sqe
