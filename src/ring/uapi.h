// uapi.h - the kernel's io_uring ABI as this module uses it.
//
// The structures come from the installed <linux/io_uring.h>, the AT_* and
// STATX_* flags from the C library's headers; opcodes that post-date older
// distribution headers are spelled out here with their ABI numbers so the
// build does not depend on the header's vintage.
#pragma once

#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace uring {

inline constexpr uint8_t IORING_OP_FTRUNCATE = 55;


// Reads of this size and above go straight to the kernel's workers.
inline constexpr unsigned kAsyncReadShift = 20;

inline constexpr size_t kStatxSize = 256;
inline constexpr uint32_t kDirectSlots = 512;

static_assert(sizeof(io_uring_sqe) == 64);
static_assert(sizeof(io_uring_cqe) == 16);
static_assert(sizeof(io_uring_params) == 120);
static_assert(sizeof(io_uring_rsrc_register) == 32);
static_assert(offsetof(io_uring_sqe, user_data) == 32);
static_assert(offsetof(io_uring_sqe, file_index) == 44);
static_assert(offsetof(io_uring_cqe, res) == 8);
static_assert(AT_FDCWD == -100 && AT_SYMLINK_NOFOLLOW == 0x100 && AT_REMOVEDIR == 0x200 && AT_EMPTY_PATH == 0x1000);
static_assert(STATX_BASIC_STATS == 0x7ff);

}  // namespace uring
