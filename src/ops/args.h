// args.h - the native argument values operations receive once the module
// layer has converted them. Objects whose memory the kernel will use arrive
// as owned references, so an operation can move them into a pending entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ring/ref.h"

namespace uring {

struct BytesArg {
    Ref obj;
    const char* data = nullptr;
    size_t size = 0;
};

struct BytesSeq {
    std::vector<BytesArg> items;
};

// Borrowed UTF-8 text of a str argument; valid for the duration of the call.
struct PathArg {
    const char* text = nullptr;
    size_t size = 0;
};

}  // namespace uring
