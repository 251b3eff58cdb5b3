// signature.h - the parameter lists of the constructor and of every method,
// as data: names in order, how many are required, and the defaults of the
// trailing optional ones. Binding and the method table are generated from
// these rows.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace uring::py {

inline constexpr size_t kMaxParams = 6;

enum class Access : uint8_t { Exclusive, Shared };

struct Signature {
    const char* name;   // method name as Python sees it
    const char* doc;    // ml_doc: text signature, then the docstring
    Access access;
    uint8_t nparams;
    uint8_t nrequired;
    std::array<const char*, kMaxParams> params;
    std::array<int64_t, kMaxParams> defaults;  // used for params >= nrequired
};

// Indices into kSignatures, one per method plus the constructor.
enum Sig : unsigned {
    SUBMIT, DRAIN_EVENTFD, SUBMIT_READ, SUBMIT_WRITE, SUBMIT_WRITEV, SUBMIT_CANCEL,
    SUBMIT_FTRUNCATE, SUBMIT_FSYNC, SUBMIT_OPEN, SUBMIT_CLOSE, SUBMIT_OPEN_READ,
    SUBMIT_OPEN_WRITE, SUBMIT_READ_FIXED, SUBMIT_WRITE_FIXED, SUBMIT_CLOSE_FIXED,
    SUBMIT_STATX, SUBMIT_FSTATX, SUBMIT_MKDIR, SUBMIT_UNLINK, SUBMIT_RENAME,
    SUBMIT_SYMLINK, SUBMIT_LINK, REAP, NEW, kSignatureCount
};

inline constexpr unsigned kMethodCount = NEW;

constexpr Signature noargs(const char* name, const char* doc, Access a) {
    return {name, doc, a, 0, 0, {}, {}};
}

inline constexpr Signature kSignatures[kSignatureCount] = {
    noargs("submit",
           "submit($self)\n--\n\nFlush all queued submissions to the kernel in one `io_uring_enter`.\n"
           "Called once per event-loop tick by the driver after a batch of pushes.",
           Access::Exclusive),
    noargs("drain_eventfd",
           "drain_eventfd($self)\n--\n\nClear the eventfd counter. Reads until EAGAIN so the level-triggered\n"
           "reader does not spin.",
           Access::Shared),
    {"submit_read", "submit_read($self, fd, offset, len)\n--\n\n", Access::Exclusive, 3, 3,
     {"fd", "offset", "len"}, {}},
    {"submit_write", "submit_write($self, fd, offset, data)\n--\n\n", Access::Exclusive, 3, 3,
     {"fd", "offset", "data"}, {}},
    {"submit_writev",
     "submit_writev($self, fd, offset, bufs)\n--\n\nVectored write: one submission, one iovec per buffer \xe2\x80\x94 "
     "no join copy.\nZero-copy like `submit_write`: the kernel reads each `bytes` object's\nown buffer, all held "
     "alive in `pending` until completion.",
     Access::Exclusive, 3, 3, {"fd", "offset", "bufs"}, {}},
    {"submit_cancel",
     "submit_cancel($self, user_data)\n--\n\nAsk the kernel to abort the in-flight op submitted with `user_data`.\n"
     "Fire-and-forget: the target's own completion still arrives (with\n-ECANCELED or its real result); this op's "
     "completion reports whether\nthe cancellation found anything, which the driver ignores.",
     Access::Exclusive, 1, 1, {"user_data"}, {}},
    {"submit_ftruncate",
     "submit_ftruncate($self, fd, len)\n--\n\nftruncate(2) as an io_uring op (kernel 6.9+). On older kernels the\n"
     "completion carries -EINVAL/-EOPNOTSUPP and the backend falls back to\nthe executor.",
     Access::Exclusive, 2, 2, {"fd", "len"}, {}},
    {"submit_fsync", "submit_fsync($self, fd, datasync=False)\n--\n\n", Access::Exclusive, 2, 1,
     {"fd", "datasync"}, {0, 0}},
    {"submit_open", "submit_open($self, path, flags, mode)\n--\n\n", Access::Exclusive, 3, 3,
     {"path", "flags", "mode"}, {}},
    {"submit_close", "submit_close($self, fd)\n--\n\n", Access::Exclusive, 1, 1, {"fd"}, {}},
    {"submit_open_read",
     "submit_open_read($self, path, flags, mode, len, slot)\n--\n\nOpen `path` into `slot` and read `len` bytes "
     "from offset 0, linked.\nReturns `(open_id, read_id)`.",
     Access::Exclusive, 5, 5, {"path", "flags", "mode", "len", "slot"}, {}},
    {"submit_open_write",
     "submit_open_write($self, path, flags, mode, data, slot)\n--\n\nOpen `path` into `slot` and write `data` at "
     "offset 0, linked (zero-copy\nfrom the caller's `bytes`). Returns `(open_id, write_id)`.",
     Access::Exclusive, 5, 5, {"path", "flags", "mode", "data", "slot"}, {}},
    {"submit_read_fixed",
     "submit_read_fixed($self, slot, offset, len)\n--\n\nRead from the direct descriptor in `slot` (continuation "
     "reads for files\nlarger than the chain's first read).",
     Access::Exclusive, 3, 3, {"slot", "offset", "len"}, {}},
    {"submit_write_fixed",
     "submit_write_fixed($self, slot, offset, data)\n--\n\nWrite to the direct descriptor in `slot` (continuation "
     "writes after a\nshort chained write).",
     Access::Exclusive, 3, 3, {"slot", "offset", "data"}, {}},
    {"submit_close_fixed",
     "submit_close_fixed($self, slot)\n--\n\nClose the direct descriptor in `slot`, freeing it for reuse.",
     Access::Exclusive, 1, 1, {"slot"}, {}},
    {"submit_statx",
     "submit_statx($self, path, follow=True)\n--\n\nstatx on a path. `follow` controls symlink resolution.",
     Access::Exclusive, 2, 1, {"path", "follow"}, {0, 1}},
    {"submit_fstatx",
     "submit_fstatx($self, fd)\n--\n\nstatx on an already-open fd (AT_EMPTY_PATH). Used to size read-all in a\n"
     "single extra round-trip.",
     Access::Exclusive, 1, 1, {"fd"}, {}},
    {"submit_mkdir", "submit_mkdir($self, path, mode=511)\n--\n\n", Access::Exclusive, 2, 1, {"path", "mode"},
     {0, 511}},
    {"submit_unlink",
     "submit_unlink($self, path, remove_dir=False)\n--\n\nunlink (file) or rmdir (when `remove_dir` is true).",
     Access::Exclusive, 2, 1, {"path", "remove_dir"}, {0, 0}},
    {"submit_rename", "submit_rename($self, src, dst)\n--\n\n", Access::Exclusive, 2, 2, {"src", "dst"}, {}},
    {"submit_symlink", "submit_symlink($self, target, linkpath)\n--\n\n", Access::Exclusive, 2, 2,
     {"target", "linkpath"}, {}},
    {"submit_link", "submit_link($self, src, dst)\n--\n\n", Access::Exclusive, 2, 2, {"src", "dst"}, {}},
    noargs("reap",
           "reap($self)\n--\n\nDrain all available completions. Returns a list of\n`(user_data, result, payload)`. "
           "`result` is the raw kernel return value\n(negative is `-errno`). `payload` is bytes for reads, a statx "
           "tuple for\nstatx, otherwise `None`.",
           Access::Exclusive),
    {"__new__", "Ring(entries=256)\n--\n\n", Access::Exclusive, 1, 0, {"entries"}, {256}},
};

// The table is complete and well formed: one row per index, unique names,
// parameters named and counted, and defaults only after the required ones.
consteval bool signatures_are_sound() {
    for (unsigned i = 0; i < kSignatureCount; ++i) {
        const Signature& s = kSignatures[i];
        if (!s.name || !s.doc || s.nparams > kMaxParams || s.nrequired > s.nparams) return false;
        for (unsigned p = 0; p < kMaxParams; ++p)
            if ((p < s.nparams) != (s.params[p] != nullptr)) return false;
        for (unsigned j = i + 1; j < kSignatureCount; ++j)
            if (std::string_view(s.name) == kSignatures[j].name) return false;
        // Every method's doc begins with its own name (the text signature).
        if (i < kMethodCount && !std::string_view(s.doc).starts_with(std::string_view(s.name))) return false;
    }
    return true;
}
static_assert(kMethodCount == 23);
static_assert(signatures_are_sound());

}  // namespace uring::py
