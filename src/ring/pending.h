// pending.h - what each submission keeps alive until its completion is
// reaped, and the table of those records keyed by user_data.
//
// A record is created before its SQE becomes visible to the kernel and is
// destroyed only once the completion has been consumed (or at teardown), so
// every buffer the kernel may touch outlives the kernel's last access.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ring/id_map.h"
#include "ring/ref.h"
#include "ring/resources.h"
#include "ring/uapi.h"

namespace uring {

// A NUL-terminated copy of one path, handed to the kernel by address.
using PathCopy = CBuffer<char>;

// The struct statx area the kernel fills; malloc alignment covers its 8.
struct StatxBuffer {
    alignas(8) unsigned char bytes[kStatxSize];
};
using StatxBox = CBuffer<StatxBuffer>;

struct Read {
    Ref buffer;     // a bytes object of exactly `len` bytes, filled in place
    uint32_t len;
};
struct Write {
    Ref data;       // the caller's bytes object, read in place
};
struct WriteVectored {
    std::vector<Ref> data;   // one reference per buffer, in order
    CBuffer<iovec> iov;      // null when there are no buffers
};
struct Statx {
    PathCopy path;
    StatxBox buffer;
};
struct Open {
    PathCopy path;
};
struct Paths {
    PathCopy first;
    PathCopy second;         // null for one-path operations
};
struct NoBuffers {};

using PendingOp = std::variant<Read, Write, WriteVectored, Statx, Open, Paths, NoBuffers>;

// One entry: what the kernel uses, and the int object the submitting call
// returned, which reap hands back as the completion's user_data instead of
// building an equal one.
struct Pending {
    template <class Op>
        requires std::is_constructible_v<PendingOp, Op&&>
    Pending(Op&& op, Ref id = Ref()) : op(std::forward<Op>(op)), id(std::move(id)) {}
    PendingOp op;
    Ref id;
};
using PendingTable = IdMap<Pending>;

// Copies `size` bytes of UTF-8 text and a terminating NUL. Returns null and
// sets `nul_at` when the text itself holds a NUL, which the kernel would
// silently treat as the end of the path.
inline PathCopy make_path_copy(const char* text, size_t size, size_t* nul_at) {
    if (const void* nul = std::memchr(text, '\0', size)) {
        *nul_at = static_cast<size_t>(static_cast<const char*>(nul) - text);
        return nullptr;
    }
    PathCopy copy(static_cast<char*>(xmalloc(size + 1)));
    std::memcpy(copy.get(), text, size);
    copy.get()[size] = '\0';
    return copy;
}

inline StatxBox make_statx_buffer() {
    return StatxBox(static_cast<StatxBuffer*>(xcalloc(1, sizeof(StatxBuffer))));
}

inline uint64_t address_of(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace uring
