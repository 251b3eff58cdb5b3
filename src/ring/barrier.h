// barrier.h - the only place where memory ordering with the kernel is spelled.
//
// The rings are plain shared memory; each index word has exactly one writer.
// We load the kernel's words (SQ head, CQ tail, SQ flags) with acquire so
// that what the kernel wrote before publishing them is visible, and publish
// our own (SQ tail, CQ head) with release so the kernel never sees an index
// before the entries it covers.
#pragma once

#include <atomic>
#include <cstdint>

namespace uring {

inline uint32_t smp_load_acquire(const uint32_t* p) {
    return std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(p)).load(std::memory_order_acquire);
}

inline void smp_store_release(uint32_t* p, uint32_t v) {
    std::atomic_ref<uint32_t>(*p).store(v, std::memory_order_release);
}

// A word only we write: no ordering needed, but the access must not tear or
// be cached across calls.
inline uint32_t read_once(const uint32_t* p) {
    return std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(p)).load(std::memory_order_relaxed);
}

}  // namespace uring
