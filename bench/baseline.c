/* C reference loops for the benchmarks: the same work as the Python loops in
 * bench/w*.py, written directly against liburing (or plain system calls), at
 * the same queue depth.  Each mode runs REPS timed repetitions and prints one
 * line per repetition:  "<mode> <ops> <ns_per_op>".
 *
 *   baseline pread        FILE  OPS REPS          random 4 KiB pread loop
 *   baseline uring-read   FILE  OPS REPS QD       random 4 KiB reads, batches of QD
 *   baseline uring-files  LIST  REPS QD           open+read(4 KiB)+close, direct descriptors
 *   baseline uring-statx  LIST  REPS QD           statx(STATX_BASIC_STATS) per path
 *   baseline uring-statx-poll LIST REPS QD [SPIN] the same in W3's Ring loop shape:
 *                                                 eventfd, poll(2), SPIN ns of user work
 *                                                 per completion
 *   baseline statx        LIST  REPS              statx(2) loop
 *   baseline uring-cancel OPS REPS QD             ASYNC_CANCEL of an unknown id
 *   baseline uring-nop    OPS REPS QD             NOP
 *   baseline pread-cold   FILE OPS                random 4 KiB pread loop, readahead off
 *   baseline uring-cold   FILE OPS QD             random 4 KiB reads, QD kept in flight
 *
 * The cold modes run once: the caller drops the file's pages before each run
 * and checks afterwards that they came back.  Their offsets are the same
 * sequence as the other modes', which bench/w6_cold_peers.py reproduces.
 *
 * Setting BASELINE_EVENTFD=1 registers an eventfd with each ring, as the
 * module always does, to show what the completion notification costs.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define BLOCK 4096

static void die(const char *what, int err) {
    fprintf(stderr, "baseline: %s: %s\n", what, strerror(err < 0 ? -err : err));
    exit(1);
}

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void report(const char *mode, long ops, uint64_t ns) {
    printf("%s %ld %.2f\n", mode, ops, (double)ns / (double)ops);
    fflush(stdout);
}

static void ring_init(struct io_uring *ring, unsigned entries) {
    int rc = io_uring_queue_init(entries, ring, 0);
    if (rc < 0) die("io_uring_queue_init", rc);
    const char *ev = getenv("BASELINE_EVENTFD");
    if (ev && *ev == '1') {
        int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (efd < 0) die("eventfd", errno);
        rc = io_uring_register_eventfd(ring, efd);
        if (rc < 0) die("io_uring_register_eventfd", rc);
    }
}

static struct io_uring_sqe *get_sqe(struct io_uring *ring) {
    struct io_uring_sqe *sqe = io_uring_get_sqe(ring);
    if (!sqe) {
        io_uring_submit(ring);
        sqe = io_uring_get_sqe(ring);
        if (!sqe) die("io_uring_get_sqe", EBUSY);
    }
    return sqe;
}

/* Same generator for every repetition so that each one reads the same pages. */
static uint64_t *random_offsets(const char *file, long n) {
    struct stat st;
    if (stat(file, &st) < 0) die(file, errno);
    uint64_t pages = (uint64_t)st.st_size / BLOCK;
    uint64_t *off = malloc(sizeof *off * (size_t)n);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (long i = 0; i < n; i++) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        off[i] = (x % pages) * BLOCK;
    }
    return off;
}

static char **read_list(const char *list, long *count) {
    FILE *f = fopen(list, "r");
    if (!f) die(list, errno);
    long cap = 1024, n = 0;
    char **paths = malloc(sizeof *paths * (size_t)cap);
    char *line = NULL;
    size_t len = 0;
    ssize_t got;
    while ((got = getline(&line, &len, f)) > 0) {
        if (line[got - 1] == '\n') line[got - 1] = 0;
        if (!*line) continue;
        if (n == cap) paths = realloc(paths, sizeof *paths * (size_t)(cap *= 2));
        paths[n++] = strdup(line);
    }
    free(line);
    fclose(f);
    *count = n;
    return paths;
}

static void mode_pread(const char *file, long ops, int reps) {
    int fd = open(file, O_RDONLY);
    if (fd < 0) die(file, errno);
    uint64_t *off = random_offsets(file, ops);
    char *buf = aligned_alloc(BLOCK, BLOCK);
    for (int r = 0; r < reps; r++) {
        uint64_t t0 = now_ns();
        for (long i = 0; i < ops; i++)
            if (pread(fd, buf, BLOCK, (off_t)off[i]) != BLOCK) die("pread", errno);
        report("pread", ops, now_ns() - t0);
    }
    close(fd);
}

/* Readahead off: a cold 4 KiB read then fetches 4 KiB and nothing around it. */
static int open_random(const char *file) {
    int fd = open(file, O_RDONLY);
    if (fd < 0) die(file, errno);
    int rc = posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    if (rc) die("posix_fadvise", rc);
    return fd;
}

static void mode_pread_cold(const char *file, long ops) {
    int fd = open_random(file);
    uint64_t *off = random_offsets(file, ops);
    char *buf = aligned_alloc(BLOCK, BLOCK);
    uint64_t t0 = now_ns();
    for (long i = 0; i < ops; i++)
        if (pread(fd, buf, BLOCK, (off_t)off[i]) != BLOCK) die("pread", errno);
    report("pread-cold", ops, now_ns() - t0);
    close(fd);
}

/* Keeps QD reads in flight: each completion's buffer takes the next offset at
 * once, as a device-bound reader should, instead of waiting for its batch. */
static void mode_uring_cold(const char *file, long ops, unsigned qd) {
    int fd = open_random(file);
    uint64_t *off = random_offsets(file, ops);
    char *bufs = aligned_alloc(BLOCK, (size_t)BLOCK * qd);
    struct io_uring ring;
    ring_init(&ring, qd * 2 > 256 ? qd * 2 : 256);
    long next = 0, done = 0, bad = 0;
    uint64_t t0 = now_ns();
    for (unsigned s = 0; s < qd && next < ops; s++, next++) {
        struct io_uring_sqe *sqe = get_sqe(&ring);
        io_uring_prep_read(sqe, fd, bufs + (size_t)s * BLOCK, BLOCK, off[next]);
        sqe->user_data = s;
    }
    while (done < ops) {
        struct io_uring_cqe *cqe;
        unsigned head, seen = 0;
        int rc = io_uring_submit_and_wait(&ring, 1);
        if (rc < 0) die("io_uring_submit_and_wait", rc);
        io_uring_for_each_cqe(&ring, head, cqe) {
            unsigned s = (unsigned)cqe->user_data;
            if (cqe->res != BLOCK) bad++;
            done++;
            seen++;
            if (next < ops) {
                struct io_uring_sqe *sqe = get_sqe(&ring);
                io_uring_prep_read(sqe, fd, bufs + (size_t)s * BLOCK, BLOCK, off[next++]);
                sqe->user_data = s;
            }
        }
        io_uring_cq_advance(&ring, seen);
    }
    uint64_t ns = now_ns() - t0;
    if (bad) die("uring-cold: failed or short reads", EIO);
    report("uring-cold", ops, ns);
    io_uring_queue_exit(&ring);
    close(fd);
}

/* Reaps everything posted, waiting for at least one completion when none is. */
static unsigned reap_some(struct io_uring *ring, long *bad) {
    struct io_uring_cqe *cqe;
    unsigned head, seen = 0;
    if (io_uring_peek_cqe(ring, &cqe) != 0) {
        int rc = io_uring_wait_cqe(ring, &cqe);
        if (rc < 0) die("io_uring_wait_cqe", rc);
    }
    io_uring_for_each_cqe(ring, head, cqe) {
        if (cqe->res < 0 && bad) (*bad)++;
        seen++;
    }
    io_uring_cq_advance(ring, seen);
    return seen;
}

static void mode_uring_read(const char *file, long ops, int reps, unsigned qd) {
    int fd = open(file, O_RDONLY);
    if (fd < 0) die(file, errno);
    uint64_t *off = random_offsets(file, ops);
    char *bufs = aligned_alloc(BLOCK, (size_t)BLOCK * qd);
    struct io_uring ring;
    ring_init(&ring, qd * 4 > 256 ? qd * 4 : 256);
    for (int r = 0; r < reps; r++) {
        long bad = 0;
        uint64_t t0 = now_ns();
        for (long i = 0; i < ops; i += qd) {
            unsigned batch = (unsigned)(ops - i < qd ? ops - i : qd);
            for (unsigned k = 0; k < batch; k++) {
                struct io_uring_sqe *sqe = get_sqe(&ring);
                io_uring_prep_read(sqe, fd, bufs + (size_t)k * BLOCK, BLOCK, off[i + k]);
                sqe->user_data = (uint64_t)(i + k);
            }
            io_uring_submit(&ring);
            for (unsigned got = 0; got < batch;) got += reap_some(&ring, &bad);
        }
        uint64_t ns = now_ns() - t0;
        if (bad) die("uring read failed", EIO);
        report("uring-read", ops, ns);
    }
    io_uring_queue_exit(&ring);
}

/* user_data layout for the file chains: slot in the high half, step below. */
enum { OPEN = 0, READ = 1, CLOSE = 2 };
#define UD(slot, step) (((uint64_t)(slot) << 8) | (step))

static void queue_chain(struct io_uring *ring, char *path, unsigned slot, char *buf) {
    struct io_uring_sqe *sqe;
    if (io_uring_sq_space_left(ring) < 2) io_uring_submit(ring);
    sqe = get_sqe(ring);
    io_uring_prep_openat_direct(sqe, AT_FDCWD, path, O_RDONLY, 0, slot);
    sqe->flags |= IOSQE_IO_LINK;
    sqe->user_data = UD(slot, OPEN);
    sqe = get_sqe(ring);
    io_uring_prep_read(sqe, (int)slot, buf, BLOCK, 0);
    sqe->flags |= IOSQE_FIXED_FILE;
    sqe->user_data = UD(slot, READ);
}

static void mode_uring_files(const char *list, int reps, unsigned qd) {
    long n;
    char **paths = read_list(list, &n);
    char *bufs = aligned_alloc(BLOCK, (size_t)BLOCK * qd);
    struct io_uring ring;
    ring_init(&ring, qd * 4 > 256 ? qd * 4 : 256);
    int rc = io_uring_register_files_sparse(&ring, qd);
    if (rc < 0) die("io_uring_register_files_sparse", rc);
    for (int r = 0; r < reps; r++) {
        long next = 0, done = 0, bad = 0, bytes = 0;
        uint64_t t0 = now_ns();
        for (unsigned s = 0; s < qd && next < n; s++)
            queue_chain(&ring, paths[next++], s, bufs + (size_t)s * BLOCK);
        io_uring_submit(&ring);
        while (done < n) {
            struct io_uring_cqe *cqe;
            unsigned head, seen = 0;
            if (io_uring_peek_cqe(&ring, &cqe) != 0) {
                rc = io_uring_submit_and_wait(&ring, 1);
                if (rc < 0) die("io_uring_submit_and_wait", rc);
            }
            io_uring_for_each_cqe(&ring, head, cqe) {
                unsigned slot = (unsigned)(cqe->user_data >> 8);
                switch (cqe->user_data & 0xff) {
                case OPEN:
                    if (cqe->res < 0) bad++;
                    break;
                case READ: {
                    if (cqe->res < 0) bad++; else bytes += cqe->res;
                    struct io_uring_sqe *sqe = get_sqe(&ring);
                    io_uring_prep_close_direct(sqe, slot);
                    sqe->user_data = UD(slot, CLOSE);
                    break;
                }
                case CLOSE:
                    done++;
                    if (next < n) queue_chain(&ring, paths[next++], slot, bufs + (size_t)slot * BLOCK);
                    break;
                }
                seen++;
            }
            io_uring_cq_advance(&ring, seen);
            io_uring_submit(&ring);
        }
        uint64_t ns = now_ns() - t0;
        if (bad || bytes != n * BLOCK) die("uring-files: failed or short reads", EIO);
        report("uring-files", n, ns);
    }
    io_uring_queue_exit(&ring);
}

/* Busy user-space work standing in for an interpreter's: a fixed number of
 * loop steps, so that interrupts landing in it lengthen it as they would
 * lengthen real work (spinning until a deadline would hide them). */
static void spin(uint64_t steps) {
    for (volatile uint64_t i = 0; i < steps; i = i + 1) {}
}

/* The steps that take about `ns` when nothing interrupts them: a guess
 * corrected a few times by the fastest of five timed batches, since the
 * time per step is not the same for short and long runs. */
static uint64_t spin_steps(uint64_t ns) {
    if (!ns) return 0;
    uint64_t steps = ns;
    for (int round = 0; round < 8; round++) {
        uint64_t best = UINT64_MAX;
        for (int i = 0; i < 5; i++) {
            uint64_t t0 = now_ns();
            for (int k = 0; k < 1000; k++) spin(steps);
            uint64_t t = now_ns() - t0;
            if (t < best) best = t;
        }
        steps = steps * ns * 1000 / (best ? best : 1);
        if (!steps) steps = 1;
    }
    return steps;
}

/* statx at depth qd.  With ring_shape false: one io_uring_submit_and_wait(1)
 * per refill, no eventfd (the reference).  With ring_shape true, the loop of
 * bench/w3_statx.py: submit without waiting, take what is there, and when
 * nothing is, sleep in poll(2) on a registered eventfd and drain it; spin_ns
 * of busy user work follows each completion. */
static void uring_statx(const char *mode, const char *list, int reps, unsigned qd,
                        int ring_shape, uint64_t spin_ns) {
    long n;
    char **paths = read_list(list, &n);
    struct statx *stx = calloc(qd, sizeof *stx);
    unsigned *free_slots = malloc(sizeof *free_slots * qd);
    struct io_uring ring;
    ring_init(&ring, qd * 4 > 256 ? qd * 4 : 256);
    const uint64_t steps = spin_steps(spin_ns);
    int efd = -1;
    if (ring_shape) {
        efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (efd < 0) die("eventfd", errno);
        int rc = io_uring_register_eventfd(&ring, efd);
        if (rc < 0) die("io_uring_register_eventfd", rc);
    }
    for (int r = 0; r < reps; r++) {
        long next = 0, done = 0, bad = 0;
        unsigned nfree = 0;
        for (unsigned s = 0; s < qd; s++) free_slots[nfree++] = qd - 1 - s;
        uint64_t t0 = now_ns();
        while (done < n) {
            int queued = 0;
            while (nfree && next < n) {
                unsigned s = free_slots[--nfree];
                struct io_uring_sqe *sqe = get_sqe(&ring);
                io_uring_prep_statx(sqe, AT_FDCWD, paths[next++], 0, STATX_BASIC_STATS, &stx[s]);
                sqe->user_data = s;
                queued = 1;
            }
            struct io_uring_cqe *cqe;
            unsigned head, seen = 0;
            int rc = ring_shape ? (queued ? io_uring_submit(&ring) : 0)
                                : io_uring_submit_and_wait(&ring, 1);
            if (rc < 0) die(ring_shape ? "io_uring_submit" : "io_uring_submit_and_wait", rc);
            io_uring_for_each_cqe(&ring, head, cqe) {
                if (cqe->res < 0 || stx[cqe->user_data].stx_size != BLOCK) bad++;
                free_slots[nfree++] = (unsigned)cqe->user_data;
                done++;
                seen++;
                if (steps) spin(steps);
            }
            io_uring_cq_advance(&ring, seen);
            if (ring_shape && !seen) {
                struct pollfd pfd = {.fd = efd, .events = POLLIN};
                uint64_t count;
                if (poll(&pfd, 1, -1) < 0 && errno != EINTR) die("poll", errno);
                while (read(efd, &count, sizeof count) == sizeof count) {}
            }
        }
        uint64_t ns = now_ns() - t0;
        if (bad) die("uring-statx failed", EIO);
        report(mode, n, ns);
    }
    io_uring_queue_exit(&ring);
    if (efd >= 0) close(efd);
}

static void mode_statx(const char *list, int reps) {
    long n;
    char **paths = read_list(list, &n);
    struct statx stx;
    for (int r = 0; r < reps; r++) {
        uint64_t t0 = now_ns();
        for (long i = 0; i < n; i++)
            if (statx(AT_FDCWD, paths[i], 0, STATX_BASIC_STATS, &stx) < 0) die("statx", errno);
        report("statx", n, now_ns() - t0);
    }
}

/* Cheap operations in batches of QD: ASYNC_CANCEL of an id nobody uses, or NOP. */
static void mode_cheap(const char *mode, long ops, int reps, unsigned qd) {
    int cancel = strcmp(mode, "uring-cancel") == 0;
    struct io_uring ring;
    ring_init(&ring, qd * 4 > 256 ? qd * 4 : 256);
    for (int r = 0; r < reps; r++) {
        uint64_t t0 = now_ns();
        for (long i = 0; i < ops; i += qd) {
            unsigned batch = (unsigned)(ops - i < qd ? ops - i : qd);
            for (unsigned k = 0; k < batch; k++) {
                struct io_uring_sqe *sqe = get_sqe(&ring);
                if (cancel) io_uring_prep_cancel64(sqe, (1u << 30) - 1, 0);
                else io_uring_prep_nop(sqe);
                sqe->user_data = (uint64_t)(i + k);
            }
            io_uring_submit(&ring);
            for (unsigned got = 0; got < batch;) got += reap_some(&ring, NULL);
        }
        report(mode, ops, now_ns() - t0);
    }
    io_uring_queue_exit(&ring);
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: see the comment at the top of baseline.c\n");
        return 2;
    }
    const char *m = argv[1];
    if (!strcmp(m, "pread") && argc == 5)
        mode_pread(argv[2], atol(argv[3]), atoi(argv[4]));
    else if (!strcmp(m, "pread-cold") && argc == 4)
        mode_pread_cold(argv[2], atol(argv[3]));
    else if (!strcmp(m, "uring-cold") && argc == 5)
        mode_uring_cold(argv[2], atol(argv[3]), (unsigned)atoi(argv[4]));
    else if (!strcmp(m, "uring-read") && argc == 6)
        mode_uring_read(argv[2], atol(argv[3]), atoi(argv[4]), (unsigned)atoi(argv[5]));
    else if (!strcmp(m, "uring-files") && argc == 5)
        mode_uring_files(argv[2], atoi(argv[3]), (unsigned)atoi(argv[4]));
    else if (!strcmp(m, "uring-statx") && argc == 5)
        uring_statx(m, argv[2], atoi(argv[3]), (unsigned)atoi(argv[4]), 0, 0);
    else if (!strcmp(m, "uring-statx-poll") && (argc == 5 || argc == 6))
        uring_statx(m, argv[2], atoi(argv[3]), (unsigned)atoi(argv[4]), 1,
                    argc == 6 ? strtoull(argv[5], NULL, 10) : 0);
    else if (!strcmp(m, "statx") && argc == 4)
        mode_statx(argv[2], atoi(argv[3]));
    else if ((!strcmp(m, "uring-cancel") || !strcmp(m, "uring-nop")) && argc == 5)
        mode_cheap(m, atol(argv[2]), atoi(argv[3]), (unsigned)atoi(argv[4]));
    else {
        fprintf(stderr, "baseline: bad arguments for %s\n", m);
        return 2;
    }
    return 0;
}
