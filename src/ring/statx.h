// statx.h - decoding the kernel's struct statx into the 13 values reap
// reports, by byte offset so the result does not depend on libc headers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace uring {

// glibc's makedev: minor bits 0-7 and 8-31 around major bits 0-11 and 12-31.
constexpr uint64_t glibc_makedev(uint32_t major, uint32_t minor) {
    const uint64_t ma = major, mi = minor;
    return ((ma & 0x00000fffull) << 8) | ((ma & 0xfffff000ull) << 32) | (mi & 0x000000ffull) |
           ((mi & 0xffffff00ull) << 12);
}

struct StatxValues {
    // mode, ino, dev, nlink, uid, gid, size, atime_ns, mtime_ns, ctime_ns,
    // blksize, blocks, rdev; the three timestamps are signed.
    std::array<uint64_t, 13> fields;
    static constexpr unsigned kSignedFirst = 7, kSignedLast = 9;
};

namespace detail {
template <class T>
T load(const unsigned char* buf, unsigned offset) {
    T v;
    std::memcpy(&v, buf + offset, sizeof v);
    return v;
}
// Nanoseconds since the epoch, wrapping like 64-bit signed arithmetic would
// without the undefined behaviour.
inline uint64_t timestamp_ns(const unsigned char* buf, unsigned offset) {
    const uint64_t sec = static_cast<uint64_t>(load<int64_t>(buf, offset));
    return sec * 1000000000ull + load<uint32_t>(buf, offset + 8);
}
}  // namespace detail

inline StatxValues decode_statx(const unsigned char* buf) {
    using detail::load;
    using detail::timestamp_ns;
    return StatxValues{{
        load<uint16_t>(buf, 0x1C),
        load<uint64_t>(buf, 0x20),
        glibc_makedev(load<uint32_t>(buf, 0x88), load<uint32_t>(buf, 0x8C)),
        load<uint32_t>(buf, 0x10),
        load<uint32_t>(buf, 0x14),
        load<uint32_t>(buf, 0x18),
        load<uint64_t>(buf, 0x28),
        timestamp_ns(buf, 0x40),
        timestamp_ns(buf, 0x70),
        timestamp_ns(buf, 0x60),
        load<uint32_t>(buf, 0x04),
        load<uint64_t>(buf, 0x30),
        glibc_makedev(load<uint32_t>(buf, 0x80), load<uint32_t>(buf, 0x84)),
    }};
}

}  // namespace uring
