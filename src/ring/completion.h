// completion.h - the completion queue and the eventfd, without Python.
#pragma once

#include "ring/barrier.h"
#include "ring/ring_state.h"

namespace uring {

// The completions posted when it was made, read in place. Their slots go
// back to the kernel with one head store when it is destroyed, however its
// user leaves (all of them, unless keep_from() held some back); never in a
// process forked meanwhile, which must not write its parent's ring. Until
// then the kernel posts nothing over them.
class PostedCompletions {
  public:
    explicit PostedCompletions(RingState& st)
        : st_(st),
          head_(read_once(st.cq.khead)),
          // Acquire: the entries up to the tail are fully written before we
          // read them.
          tail_(smp_load_acquire(st.cq.ktail)) {
        // The kernel never posts more than the ring holds; never trust that.
        if (tail_ - head_ > st.cq.entries) tail_ = head_ + st.cq.entries;
    }
    ~PostedCompletions() {
        // Release: our reads of the entries happen before the kernel may
        // reuse their slots.
        if (tail_ != head_ && !st_.foreign()) smp_store_release(st_.cq.khead, tail_);
    }
    PostedCompletions(const PostedCompletions&) = delete;
    PostedCompletions& operator=(const PostedCompletions&) = delete;

    uint32_t size() const { return tail_ - head_; }
    // Hands back only the first `n` completions when destroyed; the others
    // stay posted, in place, for the next reader.
    void keep_from(uint32_t n) { tail_ = head_ + n; }
    const io_uring_cqe& operator[](uint32_t i) const { return st_.cq.cqes[(head_ + i) & st_.cq.mask]; }

  private:
    RingState& st_;
    uint32_t head_;
    uint32_t tail_;
};

// Copies every posted completion into `out` (room for cq.entries) and hands
// the slots back. Returns how many were copied.
uint32_t cq_take(RingState& st, Completion* out);

// Reads the eventfd until it has nothing left; errors simply end the loop.
void drain_eventfd(int fd);

}  // namespace uring
