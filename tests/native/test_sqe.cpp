// SQE encoders against 64-byte images laid out by hand at the kernel ABI's
// byte offsets: every byte an encoder does not name must be zero.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "ops/sqe.h"

namespace {

namespace sqe = uring::sqe;

constexpr uint64_t kUd = 0x8877665544332211ull;
constexpr uint64_t kBuf = 0x00007f0011223340ull, kPath2 = 0x00007f00aabbcc00ull;
constexpr uint32_t kCwd = 0xFFFFFF9Cu;  // AT_FDCWD as the 32-bit len of rename/link

// op_flags is the 32-bit union at byte 28 (rw/open/statx/unlink/fsync flags).
struct Fields {
    uint8_t op, flags;
    uint32_t fd;
    uint64_t off, addr;
    uint32_t len, op_flags = 0, file_index = 0;
};

using Bytes = std::array<unsigned, 64>;  // prints as numbers when a case fails

Bytes bytes_of(const void* p) {
    Bytes out;
    for (size_t i = 0; i < 64; ++i) out[i] = static_cast<const unsigned char*>(p)[i];
    return out;
}

Bytes image(const Fields& f) {
    unsigned char b[64] = {};
    auto put = [&](size_t at, auto v) { std::memcpy(b + at, &v, sizeof v); };
    b[0] = f.op;
    b[1] = f.flags;
    put(4, f.fd);
    put(8, f.off);
    put(16, f.addr);
    put(24, f.len);
    put(28, f.op_flags);
    put(32, kUd);
    put(44, f.file_index);
    return bytes_of(b);
}

struct Case {
    const char* name;
    io_uring_sqe got;
    Fields want;
};

TEST(Sqe, ImagesMatchTheAbi) {
    const std::vector<Case> cases = {
        {"read below 1 MiB", sqe::read(7, 1ull << 40, kBuf, 1048575, kUd), {22, 0, 7, 1ull << 40, kBuf, 1048575}},
        {"read of 1 MiB is async", sqe::read(7, 3, kBuf, 1048576, kUd), {22, 0x10, 7, 3, kBuf, 1048576}},
        {"write", sqe::write(-1, 9, kBuf, 0xFFFFFFFF, kUd), {23, 0, 0xFFFFFFFF, 9, kBuf, 0xFFFFFFFF}},
        {"fixed read below 1 MiB", sqe::fixed_read(511, 4, kBuf, 1048575, kUd), {22, 0x01, 511, 4, kBuf, 1048575}},
        {"fixed read of 1 MiB", sqe::fixed_read(0, 0, kBuf, 1048576, kUd), {22, 0x11, 0, 0, kBuf, 1048576}},
        {"chain read never async", sqe::chain_read(3, kBuf, 0xFFFFFFFF, kUd), {22, 0x01, 3, 0, kBuf, 0xFFFFFFFF}},
        {"chain open", sqe::chain_open(kBuf, int32_t(0x80080241u), 0644, 4294967293u, kUd),
         {18, 0x04, kCwd, 0, kBuf, 0644, 0x80080241u, 4294967294u}},
        {"open", sqe::openat(kBuf, 0x241, 0600, kUd), {18, 0, kCwd, 0, kBuf, 0600, 0x241}},
        {"close fixed", sqe::close_fixed(0, kUd), {19, 0, 0, 0, 0, 0, 0, 1}},
        {"close", sqe::close(12, kUd), {19, 0, 12, 0, 0, 0}},
        {"rename", sqe::renameat(kBuf, kPath2, kUd), {35, 0, kCwd, kPath2, kBuf, kCwd}},
        {"link", sqe::linkat(kBuf, kPath2, kUd), {39, 0, kCwd, kPath2, kBuf, kCwd}},
        {"symlink", sqe::symlinkat(kBuf, kPath2, kUd), {38, 0, kCwd, kPath2, kBuf, 0}},
        {"statx", sqe::statx(-100, kBuf, 0, kPath2, kUd), {21, 0, kCwd, kPath2, kBuf, 0x7ff, 0}},
        {"statx nofollow", sqe::statx(-100, kBuf, 0x100, kPath2, kUd), {21, 0, kCwd, kPath2, kBuf, 0x7ff, 0x100}},
        {"fstatx", sqe::statx(5, kBuf, 0x1000, kPath2, kUd), {21, 0, 5, kPath2, kBuf, 0x7ff, 0x1000}},
        {"mkdir", sqe::mkdirat(kBuf, 0755, kUd), {37, 0, kCwd, 0, kBuf, 0755}},
        {"rmdir", sqe::unlinkat(kBuf, true, kUd), {36, 0, kCwd, 0, kBuf, 0, 0x200}},
        {"fdatasync", sqe::fsync(4, true, kUd), {3, 0, 4, 0, 0, 0, 1}},
        {"ftruncate", sqe::ftruncate(6, (1ull << 40) + 3, kUd), {55, 0, 6, (1ull << 40) + 3, 0, 0}},
        {"cancel", sqe::cancel(~0ull, kUd), {14, 0, 0xFFFFFFFF, 0, ~0ull, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(bytes_of(&c.got), image(c.want)) << c.name;
}

}  // namespace
