/* fault.c: an LD_PRELOAD shim that makes one chosen call fail on one chosen
 * occurrence, so the ring's failure paths can be driven against the real
 * kernel without touching the module's code.
 *
 * Interposed: syscall() (io_uring_setup / io_uring_enter / io_uring_register
 * go through it), mmap()/mmap64(), eventfd(), close() and clock_gettime().
 * Everything else, and every call that does not match, is forwarded to the
 * next definition.
 *
 * Control, from the process itself (ctypes) so that only the calls made while
 * a constructor or method runs are counted:
 *   int  fault_arm(const char *name, long nth, int err)
 *        name: "io_uring_setup", "io_uring_enter", "io_uring_register",
 *              "io_uring_register:OPCODE", "mmap" (shared file mappings only,
 *              so the interpreter's anonymous arenas never count), "eventfd",
 *              "close:FD" (closes of that descriptor number; fails with EBADF
 *              without closing).
 *        nth:  the 1-based matching call that fails; 0 only counts.
 *        err:  the errno it fails with; 0 makes a system call "succeed" with
 *              0 without reaching the kernel (an enter that consumed nothing).
 *   void fault_disarm(void);   long fault_hits(void);   long fault_arg(int i)
 *        (the i-th argument of the last matching call).
 *   void fault_hide_features(unsigned mask)
 *        clears these bits of io_uring_params.features after every successful
 *        io_uring_setup, e.g. IORING_FEAT_SINGLE_MMAP to get three mappings.
 *   void fault_step_realtime(long after_ms, long back_ms)
 *        an NTP-like step: from `after_ms` (on the monotonic clock) after the
 *        call on, CLOCK_REALTIME reads `back_ms` behind the real clock.
 *   long fault_clock_reads(void)
 *        clock_gettime calls, of any clock, since fault_step_realtime.
 * Or from the environment at load time: FAULT_SYSCALL=name FAULT_NTH=n
 * FAULT_ERRNO=number-or-name (ENOMEM, EMFILE, ...).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>

#define EXPORT __attribute__((visibility("default")))

enum kind { K_NONE, K_SETUP, K_ENTER, K_REGISTER, K_MMAP, K_EVENTFD, K_CLOSE };

static struct {
    enum kind kind;
    long opcode; /* io_uring_register opcode or close descriptor to match, -1 for any */
    long nth;
    int err;
    long hits;
    long args[6];
} st = {.kind = K_NONE, .opcode = -1};

typedef long (*syscall_fn)(long, ...);
typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);
typedef int (*eventfd_fn)(unsigned int, int);
typedef int (*close_fn)(int);
typedef int (*clock_fn)(clockid_t, struct timespec *);

static unsigned hidden_features;
static syscall_fn real_syscall;
static mmap_fn real_mmap, real_mmap64;
static eventfd_fn real_eventfd;
static close_fn real_close;
static clock_fn real_clock_gettime;

static void resolve(void) {
    if (!real_syscall) real_syscall = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    if (!real_mmap) real_mmap = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    if (!real_mmap64) real_mmap64 = (mmap_fn)dlsym(RTLD_NEXT, "mmap64");
    if (!real_mmap64) real_mmap64 = real_mmap;
    if (!real_eventfd) real_eventfd = (eventfd_fn)dlsym(RTLD_NEXT, "eventfd");
    if (!real_close) real_close = (close_fn)dlsym(RTLD_NEXT, "close");
    if (!real_clock_gettime) real_clock_gettime = (clock_fn)dlsym(RTLD_NEXT, "clock_gettime");
}

/* Records a matching call; returns 1 when this occurrence must fail. */
static int hit(const long *args, int n) {
    st.hits++;
    for (int i = 0; i < 6; i++) st.args[i] = i < n ? args[i] : 0;
    return st.nth > 0 && st.hits == st.nth;
}

EXPORT int fault_arm(const char *name, long nth, int err) {
    enum kind k = K_NONE;
    long opcode = -1;
    if (!strcmp(name, "io_uring_setup")) k = K_SETUP;
    else if (!strcmp(name, "io_uring_enter")) k = K_ENTER;
    else if (!strncmp(name, "io_uring_register", 17)) {
        k = K_REGISTER;
        if (name[17] == ':') opcode = strtol(name + 18, NULL, 0);
        else if (name[17]) return -1;
    } else if (!strcmp(name, "mmap")) k = K_MMAP;
    else if (!strcmp(name, "eventfd")) k = K_EVENTFD;
    else if (!strncmp(name, "close:", 6)) {
        k = K_CLOSE;
        opcode = strtol(name + 6, NULL, 0);
    } else return -1;
    resolve();
    st.kind = K_NONE; /* no half-armed state is ever observed */
    st.opcode = opcode;
    st.nth = nth;
    st.err = err;
    st.hits = 0;
    memset(st.args, 0, sizeof st.args);
    st.kind = k;
    return 0;
}

EXPORT void fault_disarm(void) { st.kind = K_NONE; }
EXPORT void fault_hide_features(unsigned mask) { hidden_features = mask; }
EXPORT long fault_hits(void) { return st.hits; }
EXPORT long fault_arg(int i) { return i >= 0 && i < 6 ? st.args[i] : 0; }

long syscall(long number, ...) {
    va_list ap;
    long a[6];
    va_start(ap, number);
    for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
    va_end(ap);
    resolve();
    enum kind k = number == __NR_io_uring_setup ? K_SETUP
                : number == __NR_io_uring_enter ? K_ENTER
                : number == __NR_io_uring_register ? K_REGISTER : K_NONE;
    /* The kernel reads the descriptor, counts, opcode and flags as 32-bit
     * values; the upper halves of those registers are undefined. */
    long r[6] = {a[0], a[1], a[2], a[3], a[4], a[5]};
    static const unsigned narrow[] = {[K_SETUP] = 0x1, [K_ENTER] = 0xf, [K_REGISTER] = 0xb};
    for (int i = 0; i < 4 && k != K_NONE; i++)
        if (narrow[k] >> i & 1) r[i] = (unsigned int)a[i];
    if (k != K_NONE && k == st.kind && (k != K_REGISTER || st.opcode < 0 || st.opcode == r[1])
        && hit(r, 6)) {
        if (!st.err) return 0;
        errno = st.err;
        return -1;
    }
    long ret = real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (k == K_SETUP && ret >= 0 && hidden_features) {
        unsigned features; /* io_uring_params.features, at byte 20 */
        memcpy(&features, (char *)a[1] + 20, sizeof features);
        features &= ~hidden_features;
        memcpy((char *)a[1] + 20, &features, sizeof features);
    }
    return ret;
}

static void *do_mmap(mmap_fn real, void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (st.kind == K_MMAP && fd >= 0 && (flags & MAP_SHARED) && !(flags & MAP_ANONYMOUS)) {
        long a[6] = {(long)addr, (long)len, prot, flags, fd, (long)off};
        if (hit(a, 6)) {
            errno = st.err ? st.err : ENOMEM;
            return MAP_FAILED;
        }
    }
    return real(addr, len, prot, flags, fd, off);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    resolve();
    return do_mmap(real_mmap, addr, len, prot, flags, fd, off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    resolve();
    return do_mmap(real_mmap64, addr, len, prot, flags, fd, off);
}

int eventfd(unsigned int initval, int flags) {
    resolve();
    if (st.kind == K_EVENTFD) {
        long a[6] = {initval, flags};
        if (hit(a, 2)) {
            errno = st.err ? st.err : EMFILE;
            return -1;
        }
    }
    return real_eventfd(initval, flags);
}

int close(int fd) {
    resolve();
    if (st.kind == K_CLOSE && fd == st.opcode) {
        long a[6] = {fd};
        if (hit(a, 1)) {
            errno = EBADF;
            return -1;
        }
    }
    return real_close(fd);
}

static struct {
    volatile int armed;
    long long step_at_ns, back_ns;
    long reads;
} clk;

static long long ns_of(const struct timespec *t) { return t->tv_sec * 1000000000LL + t->tv_nsec; }

EXPORT void fault_step_realtime(long after_ms, long back_ms) {
    struct timespec now;
    resolve();
    real_clock_gettime(CLOCK_MONOTONIC, &now);
    clk.armed = 0;
    clk.step_at_ns = ns_of(&now) + after_ms * 1000000LL;
    clk.back_ns = back_ms * 1000000LL;
    clk.reads = 0;
    clk.armed = 1;
}

EXPORT long fault_clock_reads(void) { return clk.reads; }

int clock_gettime(clockid_t id, struct timespec *ts) {
    resolve();
    int r = real_clock_gettime(id, ts);
    if (!clk.armed || r) return r;
    clk.reads++;
    struct timespec mono;
    if (id == CLOCK_REALTIME && real_clock_gettime(CLOCK_MONOTONIC, &mono) == 0
        && ns_of(&mono) >= clk.step_at_ns) {
        long long t = ns_of(ts) - clk.back_ns;
        ts->tv_sec = t / 1000000000LL;
        ts->tv_nsec = t % 1000000000LL;
    }
    return r;
}

static int errno_from(const char *s) {
    static const struct { const char *name; int value; } names[] = {
        {"ENOMEM", ENOMEM}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"EINVAL", EINVAL},
        {"EPERM", EPERM},   {"EBUSY", EBUSY},   {"EAGAIN", EAGAIN}, {"EINTR", EINTR},
        {"EFAULT", EFAULT}, {"ENOSYS", ENOSYS}, {"ENXIO", ENXIO},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (!strcmp(s, names[i].name)) return names[i].value;
    return (int)strtol(s, NULL, 0);
}

__attribute__((constructor)) static void from_environment(void) {
    resolve();
    const char *name = getenv("FAULT_SYSCALL");
    if (!name || !*name) return;
    const char *nth = getenv("FAULT_NTH"), *err = getenv("FAULT_ERRNO");
    fault_arm(name, nth ? strtol(nth, NULL, 0) : 1, err ? errno_from(err) : ENOMEM);
}
