// ring_state.cpp - io_uring set-up and teardown.

#include "ring/ring_state.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ring/barrier.h"
#include "ring/sys.h"

namespace uring {

namespace {

void count_fork_in_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void install_fork_hook() {
    // A guarded static rather than std::call_once: call_once binds
    // pthread_once@GLIBC_2.34, which would stop the wheel loading on older
    // C libraries.
    [[maybe_unused]] static const bool installed =
        pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
}

template <class T>
T* at(char* base, uint32_t offset) {
    return reinterpret_cast<T*>(base + offset);
}

using Clock = std::chrono::steady_clock;

// How long teardown waits without any completion arriving before it gives
// up, and the longest single poll within that.
constexpr std::chrono::milliseconds kQuietLimit{5000};
constexpr std::chrono::milliseconds kPollSlice{100};

// io_uring_enter's answers for a descriptor that is not a usable io_uring:
// closed (EBADF), another kind of file (EOPNOTSUPP), a ring created disabled
// (EBADFD) or one being destroyed (ENXIO, older kernels). None of them can be
// the ring this state maps, which its mappings keep alive. Other failures are
// transient or impossible with these arguments; the time bound covers them.
bool not_a_ring(int rc) { return rc == -EBADF || rc == -EOPNOTSUPP || rc == -EBADFD || rc == -ENXIO; }

}  // namespace

int RingState::setup(uint32_t entries) {
    install_fork_hook();
    fork_gen_ = fork_generation();

    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    int fd = sys_io_uring_setup(entries, &p);
    if (fd < 0) return fd;
    ring_fd_.reset(fd);

    const uint32_t sqes_len = p.sq_entries * static_cast<uint32_t>(sizeof(io_uring_sqe));
    uint32_t sq_len = p.sq_off.array + p.sq_entries * static_cast<uint32_t>(sizeof(uint32_t));
    const uint32_t cq_len = p.cq_off.cqes + p.cq_entries * static_cast<uint32_t>(sizeof(io_uring_cqe));
    const bool single_mmap = p.features & IORING_FEAT_SINGLE_MMAP;
    if (single_mmap) sq_len = std::max(sq_len, cq_len);

    void* base = nullptr;
    if (long rc = sys_mmap_ring(&base, sqes_len, fd, IORING_OFF_SQES); rc < 0) return static_cast<int>(rc);
    sqe_map_ = Mapping(base, sqes_len);
    if (long rc = sys_mmap_ring(&base, sq_len, fd, IORING_OFF_SQ_RING); rc < 0) return static_cast<int>(rc);
    sq_map_ = Mapping(base, sq_len);
    char* cq_base = sq_map_.base();
    if (!single_mmap) {
        if (long rc = sys_mmap_ring(&base, cq_len, fd, IORING_OFF_CQ_RING); rc < 0) return static_cast<int>(rc);
        cq_map_ = Mapping(base, cq_len);
        cq_base = cq_map_.base();
    }

    char* sq_base = sq_map_.base();
    sq.khead = at<uint32_t>(sq_base, p.sq_off.head);
    sq.ktail = at<uint32_t>(sq_base, p.sq_off.tail);
    sq.kflags = at<uint32_t>(sq_base, p.sq_off.flags);
    sq.mask = *at<uint32_t>(sq_base, p.sq_off.ring_mask);
    sq.entries = *at<uint32_t>(sq_base, p.sq_off.ring_entries);
    sq.sqes = reinterpret_cast<io_uring_sqe*>(sqe_map_.base());
    // SQE slot i is always announced as index i, so a push never writes the
    // index array again.
    uint32_t* index = at<uint32_t>(sq_base, p.sq_off.array);
    for (uint32_t i = 0; i < sq.entries; ++i) index[i] = i;

    cq.khead = at<uint32_t>(cq_base, p.cq_off.head);
    cq.ktail = at<uint32_t>(cq_base, p.cq_off.tail);
    cq.mask = *at<uint32_t>(cq_base, p.cq_off.ring_mask);
    cq.entries = *at<uint32_t>(cq_base, p.cq_off.ring_entries);
    cq.cqes = at<io_uring_cqe>(cq_base, p.cq_off.cqes);

    int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) return -errno;
    event_fd_.reset(efd);
    const int32_t efd_arg = efd;
    if (int rc = sys_io_uring_register(fd, IORING_REGISTER_EVENTFD, &efd_arg, 1); rc < 0) return rc;

    // A kernel without sparse registration (or a descriptor limit below the
    // table size) leaves the ring usable without direct descriptors.
    io_uring_rsrc_register files;
    std::memset(&files, 0, sizeof files);
    files.nr = kDirectSlots;
    files.flags = IORING_RSRC_REGISTER_SPARSE;
    if (sys_io_uring_register(fd, IORING_REGISTER_FILES2, &files, sizeof files) >= 0) fixed_slots_ = kDirectSlots;

    next_id_ = 1;
    return 0;
}

RingState::~RingState() {
    // A moved-from or half-built state has nothing in the kernel; a forked
    // child only drops its own copies of the descriptors and mappings.
    // The views exist only once every mapping succeeded.
    if (ring_fd_.valid() && sq.ktail && cq.ktail && !foreign()) wait_for_kernel();
    // Members now go in reverse order: eventfd, mappings, ring descriptor,
    // and finally the pending entries, once the kernel can no longer write.
}

// Waits until the kernel has completed every submission it was handed, so
// their buffers can be freed. The wait is bounded on the monotonic clock,
// counted from the last completion that arrived: polls cut short by signals
// (a periodic timer interrupts every one of them) or reporting a readiness
// that yields nothing must not keep the process here. If the kernel makes no
// progress within the bound, or the descriptor turns out not to be this ring
// any more, the entries are abandoned: leaking them is the only safe choice
// while the kernel may still write into them.
void RingState::wait_for_kernel() {
    const size_t recorded = pending.size() + displaced;
    if (recorded == 0) return;
    const uint32_t queued = read_once(sq.ktail) - smp_load_acquire(sq.khead);
    if (recorded <= queued) return;
    size_t outstanding = recorded - queued;

    auto deadline = Clock::now() + kQuietLimit;
    for (;;) {
        if (int rc = sys_io_uring_enter(ring_fd_.get(), 0, 0, IORING_ENTER_GETEVENTS); not_a_ring(rc)) {
            // The number was closed, or now names another file: it is not
            // ours to close, and waiting on it would never see our ring.
            ring_fd_.release();
            break;
        }
        const uint32_t head = read_once(cq.khead);
        const uint32_t tail = smp_load_acquire(cq.ktail);
        if (head != tail) {
            const uint32_t n = tail - head;
            outstanding = n >= outstanding ? 0 : outstanding - n;
            // Discard the completions unread; the entries are released below.
            smp_store_release(cq.khead, tail);
            if (outstanding == 0) return;
            deadline = Clock::now() + kQuietLimit;
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{ring_fd_.get(), POLLIN, 0};
        const int r = poll(&pfd, 1, static_cast<int>(std::min(left, kPollSlice).count()));
        // A poll that fails outright, or reports the descriptor invalid,
        // will never wait again; only a signal is worth retrying.
        if (r < 0 ? errno != EINTR : (pfd.revents & (POLLNVAL | POLLERR)) != 0) break;
    }
    pending.abandon();
}

}  // namespace uring
