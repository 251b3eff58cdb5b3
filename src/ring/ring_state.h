// ring_state.h - one kernel io_uring instance with its mappings, eventfd,
// direct-descriptor table, pending table and id counter.
//
// Members are declared so that reverse declaration order is the teardown
// order: eventfd, ring mappings, ring descriptor, and the pending table last,
// because the buffers it owns must outlive the kernel's last access to them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "ring/pending.h"
#include "ring/ref.h"
#include "ring/resources.h"
#include "ring/uapi.h"

namespace uring {

struct SqView {
    uint32_t* khead = nullptr;   // written by the kernel
    uint32_t* ktail = nullptr;   // written only by us
    uint32_t* kflags = nullptr;  // written by the kernel
    uint32_t mask = 0;
    uint32_t entries = 0;
    io_uring_sqe* sqes = nullptr;
    // Slots known to be free as of the last look at the kernel's head; the
    // head only moves forward, so pushes count this down and look again
    // only when it runs out.
    uint32_t free = 0;
};

struct CqView {
    uint32_t* khead = nullptr;   // written only by us
    uint32_t* ktail = nullptr;   // written by the kernel
    uint32_t mask = 0;
    uint32_t entries = 0;
    io_uring_cqe* cqes = nullptr;
};

struct Completion {
    uint64_t user_data;
    int32_t res;
};

// An int object kept for a value that tends to repeat from one completion to
// the next (a read's full length, a file's mode or device); reap hands out
// the same object while the value stays the same.
struct CachedInt {
    uint64_t value = 0;
    Ref obj;
};
inline constexpr size_t kCachedInts = 8;

// Forks are counted by an atfork hook; a ring remembers the count it was
// created under. Its rings are shared memory with the parent's kernel
// instance, so a child must never publish entries or consume completions.
// Checked on every call, hence inline.
inline std::atomic<uint32_t> g_fork_generation{0};
inline uint32_t fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

class RingState {
  public:
    RingState() = default;
    RingState(RingState&&) noexcept = default;
    RingState& operator=(RingState&&) = delete;
    ~RingState();

    // Creates the kernel ring and everything around it; 0 or -errno. On
    // failure whatever was set up is undone by the members' destructors,
    // in reverse order.
    int setup(uint32_t entries);

    // True in a process forked after this ring was created.
    bool foreign() const { return fork_gen_ != fork_generation(); }

    uint64_t take_ids(uint64_t count) {
        uint64_t id = next_id_;
        next_id_ += count;
        return id;
    }

    int ring_fd() const { return ring_fd_.get(); }
    int event_fd() const { return event_fd_.get(); }
    uint32_t fixed_slots() const { return fixed_slots_; }
    size_t inflight() const { return pending.size(); }

    PendingTable pending;
    SqView sq;
    CqView cq;
    std::array<CachedInt, kCachedInts> ints;  // see CachedInt
    // Triples that a failed reap built, with their entries already released:
    // the first `held_count` items of a list nobody else sees (the others are
    // empty), returned first by the next reap.
    Ref held;
    uint32_t held_count = 0;
    size_t displaced = 0;                    // entries leaked by an id collision

  private:
    void wait_for_kernel();

    // Teardown order is the reverse of this list (see the file comment).
    uint64_t next_id_ = 1;
    uint32_t fixed_slots_ = 0;
    uint32_t fork_gen_ = 0;
    UniqueFd ring_fd_;
    Mapping cq_map_;
    Mapping sqe_map_;
    Mapping sq_map_;
    UniqueFd event_fd_;
};

}  // namespace uring
