// methods.h - the Ring's methods, one row each: the operation that runs it
// and its Python signature. The method table, binding and conversion are
// generated from these rows; a row whose parameters do not match its
// operation's native arguments, in number, order or kind, fails to compile.
#pragma once

#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/signature.h"
#include "ops/ops.h"

namespace uring::py {

template <auto Op>
struct Method {
    static constexpr auto op = Op;
    Signature sig;
};

template <auto Op>
constexpr Method<Op> row(Signature sig) {
    return {sig};
}

inline constexpr auto kMethods = [] {
    using enum Kind;
    constexpr Access X = Access::Exclusive;
    return std::tuple{
        row<ops::submit>({"submit",
                          "submit($self)\n--\n\nFlush all queued submissions to the kernel in one `io_uring_enter`.\n"
                          "Called once per event-loop tick by the driver after a batch of pushes.",
                          X}),
        row<ops::drain_eventfd>({"drain_eventfd",
                                 "drain_eventfd($self)\n--\n\nClear the eventfd counter. Reads until EAGAIN so the "
                                 "level-triggered\nreader does not spin.",
                                 Access::Shared}),
        row<ops::read>({"submit_read", "submit_read($self, fd, offset, len)\n--\n\n", X,
                        {req("fd", I32), req("offset", U64), req("len", U32)}}),
        row<ops::write>({"submit_write", "submit_write($self, fd, offset, data)\n--\n\n", X,
                         {req("fd", I32), req("offset", U64), req("data", Bytes)}}),
        row<ops::writev>({"submit_writev",
                          "submit_writev($self, fd, offset, bufs)\n--\n\nVectored write: one submission, one iovec per "
                          "buffer \xe2\x80\x94 no join copy.\nZero-copy like `submit_write`: the kernel reads each "
                          "`bytes` object's\nown buffer, all held alive in `pending` until completion.",
                          X, {req("fd", I32), req("offset", U64), req("bufs", BytesSeq)}}),
        row<ops::cancel>({"submit_cancel",
                          "submit_cancel($self, user_data)\n--\n\nAsk the kernel to abort the in-flight op submitted "
                          "with `user_data`.\nFire-and-forget: the target's own completion still arrives (with\n"
                          "-ECANCELED or its real result); this op's completion reports whether\nthe cancellation "
                          "found anything, which the driver ignores.",
                          X, {req("user_data", U64)}}),
        row<ops::ftruncate>({"submit_ftruncate",
                             "submit_ftruncate($self, fd, len)\n--\n\nftruncate(2) as an io_uring op (kernel 6.9+). On "
                             "older kernels the\ncompletion carries -EINVAL/-EOPNOTSUPP and the backend falls back "
                             "to\nthe executor.",
                             X, {req("fd", I32), req("len", U64)}}),
        row<ops::fsync>({"submit_fsync", "submit_fsync($self, fd, datasync=False)\n--\n\n", X,
                         {req("fd", I32), opt("datasync", Bool, 0)}}),
        row<ops::open>({"submit_open", "submit_open($self, path, flags, mode)\n--\n\n", X,
                        {req("path", Path), req("flags", I32), req("mode", U32)}}),
        row<ops::close>({"submit_close", "submit_close($self, fd)\n--\n\n", X, {req("fd", I32)}}),
        row<ops::open_read>({"submit_open_read",
                             "submit_open_read($self, path, flags, mode, len, slot)\n--\n\nOpen `path` into `slot` and "
                             "read `len` bytes from offset 0, linked.\nReturns `(open_id, read_id)`.",
                             X,
                             {req("path", Path), req("flags", I32), req("mode", U32), req("len", U32),
                              req("slot", U32)}}),
        row<ops::open_write>({"submit_open_write",
                              "submit_open_write($self, path, flags, mode, data, slot)\n--\n\nOpen `path` into `slot` "
                              "and write `data` at offset 0, linked (zero-copy\nfrom the caller's `bytes`). Returns "
                              "`(open_id, write_id)`.",
                              X,
                              {req("path", Path), req("flags", I32), req("mode", U32), req("data", Bytes),
                               req("slot", U32)}}),
        row<ops::read_fixed>({"submit_read_fixed",
                              "submit_read_fixed($self, slot, offset, len)\n--\n\nRead from the direct descriptor in "
                              "`slot` (continuation reads for files\nlarger than the chain's first read).",
                              X, {req("slot", U32), req("offset", U64), req("len", U32)}}),
        row<ops::write_fixed>({"submit_write_fixed",
                               "submit_write_fixed($self, slot, offset, data)\n--\n\nWrite to the direct descriptor in "
                               "`slot` (continuation writes after a\nshort chained write).",
                               X, {req("slot", U32), req("offset", U64), req("data", Bytes)}}),
        row<ops::close_fixed>({"submit_close_fixed",
                               "submit_close_fixed($self, slot)\n--\n\nClose the direct descriptor in `slot`, freeing "
                               "it for reuse.",
                               X, {req("slot", U32)}}),
        row<ops::statx>({"submit_statx",
                         "submit_statx($self, path, follow=True)\n--\n\nstatx on a path. `follow` controls symlink "
                         "resolution.",
                         X, {req("path", Path), opt("follow", Bool, 1)}}),
        row<ops::fstatx>({"submit_fstatx",
                          "submit_fstatx($self, fd)\n--\n\nstatx on an already-open fd (AT_EMPTY_PATH). Used to size "
                          "read-all in a\nsingle extra round-trip.",
                          X, {req("fd", I32)}}),
        row<ops::mkdir>({"submit_mkdir", "submit_mkdir($self, path, mode=511)\n--\n\n", X,
                         {req("path", Path), opt("mode", U32, 511)}}),
        row<ops::unlink>({"submit_unlink",
                          "submit_unlink($self, path, remove_dir=False)\n--\n\nunlink (file) or rmdir (when "
                          "`remove_dir` is true).",
                          X, {req("path", Path), opt("remove_dir", Bool, 0)}}),
        row<ops::rename>({"submit_rename", "submit_rename($self, src, dst)\n--\n\n", X,
                          {req("src", Path), req("dst", Path)}}),
        row<ops::symlink>({"submit_symlink", "submit_symlink($self, target, linkpath)\n--\n\n", X,
                           {req("target", Path), req("linkpath", Path)}}),
        row<ops::link>({"submit_link", "submit_link($self, src, dst)\n--\n\n", X,
                        {req("src", Path), req("dst", Path)}}),
        row<ops::reap>({"reap",
                        "reap($self)\n--\n\nDrain all available completions. Returns a list of\n`(user_data, result, "
                        "payload)`. `result` is the raw kernel return value\n(negative is `-errno`). `payload` is "
                        "bytes for reads, a statx tuple for\nstatx, otherwise `None`.",
                        X}),
    };
}();

inline constexpr unsigned kMethodCount = std::tuple_size_v<decltype(kMethods)>;

template <unsigned I>
using MethodAt = std::tuple_element_t<I, std::remove_const_t<decltype(kMethods)>>;

// Every signature by index, the constructor's last; binding works on these.
inline constexpr unsigned kConstructorIndex = kMethodCount;
inline constexpr auto kSignatures = std::apply(
    [](const auto&... m) { return std::array<Signature, kMethodCount + 1>{m.sig..., kConstructor}; }, kMethods);

// ---------------------------------------------------------------- checks

template <class T>
consteval Kind kind_of() {
    if constexpr (std::is_same_v<T, int32_t>) return Kind::I32;
    else if constexpr (std::is_same_v<T, uint32_t>) return Kind::U32;
    else if constexpr (std::is_same_v<T, uint64_t>) return Kind::U64;
    else if constexpr (std::is_same_v<T, bool>) return Kind::Bool;
    else if constexpr (std::is_same_v<T, BytesArg>) return Kind::Bytes;
    else if constexpr (std::is_same_v<T, BytesSeq>) return Kind::BytesSeq;
    else if constexpr (std::is_same_v<T, PathArg>) return Kind::Path;
    else static_assert(!sizeof(T), "an operation takes an argument no conversion produces");
}

template <class... A>
consteval bool parameters_match(const Signature& s, Outcome (*)(RingState&, A...)) {
    const Kind kinds[] = {kind_of<A>()..., Kind::I32};
    if (sizeof...(A) != s.nparams) return false;
    for (unsigned p = 0; p < s.nparams; ++p)
        if (kinds[p] != s.params[p].kind) return false;
    return true;
}

// One row: well formed, and its parameters are its operation's arguments.
template <unsigned I>
consteval bool row_is_sound() {
    const Signature& s = std::get<I>(kMethods).sig;
    if (!is_sound(s) || !parameters_match(s, MethodAt<I>::op)) return false;
    // The doc opens with the method's own text signature.
    const std::string_view doc(s.doc), name(s.name);
    return doc.starts_with(name) && doc.substr(name.size()).starts_with("($self");
}

consteval bool names_are_unique() {
    for (unsigned i = 0; i < kSignatures.size(); ++i)
        for (unsigned j = i + 1; j < kSignatures.size(); ++j)
            if (std::string_view(kSignatures[i].name) == kSignatures[j].name) return false;
    return true;
}

static_assert(kMethodCount == 23);
static_assert(names_are_unique());
static_assert([]<size_t... I>(std::index_sequence<I...>) { return (row_is_sound<I>() && ...); }(
                  std::make_index_sequence<kMethodCount>{}),
              "a method row disagrees with its operation");

}  // namespace uring::py
