// ring_object.h - the Python object behind a Ring and the access counter
// that keeps calls on one instance from overlapping.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "ring/ring_state.h"

namespace uring::py {

struct RingObject {
    PyObject_HEAD
    RingState state;
    // 0 free, -1 one exclusive holder, n > 0 that many shared holders.
    std::atomic<int32_t> access;
};

inline RingObject* as_ring(PyObject* self) { return reinterpret_cast<RingObject*>(self); }

// Neither guard waits: a conflicting call fails at once. Both release on
// every path out of the scope that took them.
class ExclusiveAccess {
  public:
    explicit ExclusiveAccess(std::atomic<int32_t>& counter) : counter_(counter) {}
    [[nodiscard]] bool try_take() {
        int32_t expected = 0;
        taken_ = counter_.compare_exchange_strong(expected, -1);
        return taken_;
    }
    ~ExclusiveAccess() {
        if (taken_) counter_.store(0);
    }

  private:
    std::atomic<int32_t>& counter_;
    bool taken_ = false;
};

class SharedAccess {
  public:
    explicit SharedAccess(std::atomic<int32_t>& counter) : counter_(counter) {}
    [[nodiscard]] bool try_take() {
        int32_t seen = counter_.load();
        while (seen != -1) {
            if (counter_.compare_exchange_weak(seen, seen + 1)) return taken_ = true;
        }
        return false;
    }
    ~SharedAccess() {
        if (taken_) counter_.fetch_sub(1);
    }

  private:
    std::atomic<int32_t>& counter_;
    bool taken_ = false;
};

// Creates the Ring type object; called once per process.
PyObject* create_ring_type();

}  // namespace uring::py
