// sys.h - system-call wrappers. Each returns a value >= 0 or -errno, read
// right after the call, so no caller ever consults the global errno.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ring/uapi.h"

namespace uring {

inline int sys_io_uring_setup(uint32_t entries, io_uring_params* p) {
    long r = syscall(__NR_io_uring_setup, entries, p);
    return r < 0 ? -errno : static_cast<int>(r);
}

inline int sys_io_uring_enter(int fd, uint32_t to_submit, uint32_t min_complete, uint32_t flags) {
    // No signal mask is passed; the size argument is ignored by the kernel
    // in that case.
    long r = syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 128);
    return r < 0 ? -errno : static_cast<int>(r);
}

inline int sys_io_uring_register(int fd, unsigned opcode, const void* arg, unsigned nr) {
    long r = syscall(__NR_io_uring_register, fd, opcode, arg, nr);
    return r < 0 ? -errno : static_cast<int>(r);
}

// Maps `len` bytes of the ring at `offset`; returns -errno on failure.
inline long sys_mmap_ring(void** out, size_t len, int fd, off_t offset) {
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, offset);
    if (p == MAP_FAILED) return -errno;
    *out = p;
    return 0;
}

inline void sys_munmap(void* p, size_t len) { munmap(p, len); }

inline void sys_close(int fd) { close(fd); }

}  // namespace uring
