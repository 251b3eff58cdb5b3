// resources.h - move-only owners for kernel resources and raw allocations.
//
// Each owner clears its handle before releasing it, so a teardown that runs
// twice (failed set-up, then destruction of a moved-from state) is harmless.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "ring/sys.h"

namespace uring {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the number up without closing it (it no longer names our file).
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        if (old >= 0) sys_close(old);
    }

  private:
    int fd_ = -1;
};

class Mapping {
  public:
    Mapping() = default;
    Mapping(void* base, size_t len) : base_(base), len_(len) {}
    Mapping(Mapping&& o) noexcept
        : base_(std::exchange(o.base_, nullptr)), len_(std::exchange(o.len_, 0)) {}
    Mapping& operator=(Mapping&& o) noexcept {
        if (this != &o) {
            reset();
            base_ = std::exchange(o.base_, nullptr);
            len_ = std::exchange(o.len_, 0);
        }
        return *this;
    }
    ~Mapping() { reset(); }

    char* base() const { return static_cast<char*>(base_); }
    size_t size() const { return len_; }
    bool mapped() const { return base_ != nullptr; }
    void reset() {
        void* p = std::exchange(base_, nullptr);
        size_t n = std::exchange(len_, 0);
        if (p) sys_munmap(p, n);
    }

  private:
    void* base_ = nullptr;
    size_t len_ = 0;
};

// Native allocations never fail softly: a process that cannot get a few
// hundred bytes is reported and stopped, as the interpreter itself would.
[[noreturn, gnu::cold]] inline void allocation_failed(size_t size) {
    std::fprintf(stderr, "_uring: memory allocation of %zu bytes failed\n", size);
    std::abort();
}

inline void* xmalloc(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) allocation_failed(size);
    return p;
}

inline void* xcalloc(size_t count, size_t size) {
    void* p = std::calloc(count ? count : 1, size ? size : 1);
    if (!p) allocation_failed(count * size);
    return p;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

template <class T>
using CBuffer = std::unique_ptr<T, FreeDeleter>;

}  // namespace uring
