// signature.h - a parameter list as data: names in order, how each value is
// converted, which are optional and their defaults. Binding, conversion and
// the method table are generated from these.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace uring::py {

inline constexpr size_t kMaxParams = 6;

enum class Access : uint8_t { Exclusive, Shared };

// The conversion a parameter goes through; each names one native type an
// operation can take (see convert.h).
enum class Kind : uint8_t { I32, U32, U64, Bool, Bytes, BytesSeq, Path };

struct Param {
    const char* name = nullptr;
    Kind kind = Kind::I32;
    bool optional = false;
    int64_t def = 0;  // the value of an omitted optional parameter
};

constexpr Param req(const char* name, Kind kind) { return {name, kind, false, 0}; }
constexpr Param opt(const char* name, Kind kind, int64_t def) { return {name, kind, true, def}; }

struct Signature {
    const char* name = nullptr;  // as Python sees it
    const char* doc = nullptr;   // ml_doc: text signature, then the docstring
    Access access = Access::Exclusive;
    uint8_t nparams = 0;
    uint8_t nrequired = 0;  // parameters before the first optional one
    std::array<Param, kMaxParams> params{};
    bool overflow = false;  // more than kMaxParams were given

    constexpr Signature() = default;
    constexpr Signature(const char* n, const char* d, Access a, std::initializer_list<Param> ps = {})
        : name(n), doc(d), access(a) {
        for (const Param& p : ps) {
            if (nparams == kMaxParams) {
                overflow = true;
                break;
            }
            params[nparams++] = p;
            if (!p.optional && nrequired == nparams - 1) nrequired = nparams;
        }
    }
};

// Well formed: named, within bounds, every parameter named, and optional
// parameters (with their defaults) only after the required ones, only where
// a default can be stated (integers and bools).
consteval bool is_sound(const Signature& s) {
    if (!s.name || !s.doc || s.overflow) return false;
    for (unsigned p = 0; p < s.nparams; ++p) {
        const Param& q = s.params[p];
        if (!q.name || q.optional != (p >= s.nrequired)) return false;
        if (q.optional && (q.kind == Kind::Bytes || q.kind == Kind::BytesSeq || q.kind == Kind::Path)) return false;
        for (unsigned r = p + 1; r < s.nparams; ++r)
            if (std::string_view(q.name) == s.params[r].name) return false;
    }
    return true;
}

inline constexpr Signature kConstructor{
    "__new__", "Ring(entries=256)\n--\n\n", Access::Exclusive, {opt("entries", Kind::U32, 256)}};
static_assert(is_sound(kConstructor));

}  // namespace uring::py
