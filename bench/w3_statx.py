"""W3: statx of the 20,000 paths of W2, queue depth 64.

Ring loop: keep 64 submit_statx in flight, one submit() per refill, reap what
is back (the kernel runs statx on its worker threads, so the loop waits on the
eventfd when nothing is ready). Baselines: os.stat loop, a thread pool, C
statx(2) loop and C liburing at depth 64: the reference (submit_and_wait, no
eventfd), and two rows in the Ring loop's shape (registered eventfd, submit
without waiting, poll and drain when nothing is back), one of them with busy
user work per completion standing in for the interpreter's.

Why the Ring loop costs the kernel more than the C reference: the worker
thread that finishes a statx hands the freeing of the request to the
submitting thread as task work, and on a ring set up without
IORING_SETUP_COOP_TASKRUN the kernel delivers it by a reschedule IPI whenever
that thread is running at the time. The C reference spends nearly all its
time asleep in io_uring_enter, where task work needs no IPI; the Ring loop
spends its time in user space (the interpreter) and takes an IPI for nearly
every run of task work, a few completions each. Neither the eventfd nor the
loop's shape explains the gap (the C row in the Ring's shape has both), nor
do system calls or sleeps (the Ring loop makes fewer of both): the
kernel-events note counts them, and the C row with busy user work per
completion shows the same cost appearing in C.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import _uring

from common import (BASELINE, BLOCK, QD, REPS_ARG, Table, c_timed, gap_note, interleave,
                    profile_note, profiling, ring_waiter, scaled, timed, tree, tree_listing)

REPS = scaled(15, 2)
POOL_FILES = scaled(2000, 500)
# Busy user time per completion in the C row that stands in for the
# interpreter: about what the Ring loop spends outside the kernel per statx
# (module, interpreter and libc: 380 to 450 ns in the cpu-clock profiles).
SPIN_NS = 400
REF = "C liburing statx QD64"
SHAPED = "C liburing, Ring's loop shape (eventfd, poll)"
SPUN = f"C liburing, Ring's shape + {SPIN_NS} ns work per op"
# What the kernel does for the loop beside the statx itself: system calls,
# sleeps, reschedule IPIs (which deliver the task work that frees each
# request to a thread running in user space) and task-work runs.
EVENTS = {
    "raw_syscalls:sys_enter": "syscalls",
    "context-switches": "context switches",
    "irq_vectors:reschedule_entry": "reschedule IPIs",
    "io_uring:io_uring_task_work_run": "task-work runs",
}


def ring_loop(ring: _uring.Ring, paths: list[str]) -> int:
    submit_statx, submit, reap = ring.submit_statx, ring.submit, ring.reap
    wait = ring_waiter(ring)
    n = len(paths)
    nxt = done = bad = 0
    while done < n:
        room = QD - (nxt - done)
        if room and nxt < n:
            for p in paths[nxt:nxt + room]:
                submit_statx(p)
            nxt = min(n, nxt + room)
            submit()
        completions = reap()
        if not completions:
            wait()
            continue
        for _ud, res, st in completions:
            if res < 0 or st[6] != BLOCK:
                bad += 1
        done += len(completions)
    if bad:
        raise RuntimeError(f"{bad} statx calls failed")
    return n


def stat_loop(paths: list[str]) -> int:
    stat = os.stat
    for p in paths:
        if stat(p).st_size != BLOCK:
            raise RuntimeError("wrong size")
    return len(paths)


def pool_loop(pool: ThreadPoolExecutor, paths: list[str]) -> int:
    for st in pool.map(os.stat, paths):
        if st.st_size != BLOCK:
            raise RuntimeError("wrong size")
    return len(paths)


def main() -> None:
    paths = tree()
    t = Table("W3", "statx of 20,000 paths, QD 64")
    ring = _uring.Ring(256)
    with ThreadPoolExecutor(max_workers=4) as pool:
        t.add_samples(interleave({
            "Ring (submit_statx)": timed(lambda: ring_loop(ring, paths)),
            "Python os.stat loop": timed(lambda: stat_loop(paths)),
            "thread pool (4 workers) os.stat": timed(lambda: pool_loop(pool, paths[:POOL_FILES])),
            "C statx(2) loop": c_timed("statx", tree_listing(), REPS_ARG),
            REF: c_timed("uring-statx", tree_listing(), REPS_ARG, QD),
            SHAPED: c_timed("uring-statx-poll", tree_listing(), REPS_ARG, QD),
            SPUN: c_timed("uring-statx-poll", tree_listing(), REPS_ARG, QD, SPIN_NS),
        }, REPS))
    del ring

    t.speed_check("Ring (submit_statx)", REF, 0.6)
    t.speed_check("Ring (submit_statx)", "Python os.stat loop", None)
    t.speed_check(SPUN, REF, None)
    n = REPS * len(paths)
    ours = profile_note(t, "Ring (submit_statx)", [sys.executable, __file__, "child"], n)
    if t.ns(REF) is not None:
        c_cmd = [str(BASELINE), "uring-statx", str(tree_listing()), str(REPS), str(QD)]
        theirs = profile_note(t, REF, c_cmd, n)
        gap_note(t, "Ring", ours, n, theirs, n, "C liburing")
        counts = counts_note(t, {
            "Ring": [sys.executable, __file__, "child"],
            "C reference": c_cmd,
            "C in the Ring's shape": [*c_cmd[:1], "uring-statx-poll", *c_cmd[2:]],
            f"the same + {SPIN_NS} ns": [*c_cmd[:1], "uring-statx-poll", *c_cmd[2:], str(SPIN_NS)],
        }, n)
        if counts:
            ring_ev, c_ev = counts["Ring"], counts["C reference"]
            t.note(
                "reading the counts: the Ring loop takes {:.2f} reschedule IPIs per op against "
                "{:.2f} for the C reference, with {:.2f} against {:.2f} system calls and {:.2f} "
                "against {:.2f} context switches. The IPIs carry task work: a worker that "
                "finished a statx leaves the freeing of the request to the submitting thread, "
                "and on a ring set up without IORING_SETUP_COOP_TASKRUN the kernel interrupts "
                "that thread for it whenever it is running. The C reference sleeps in "
                "io_uring_enter nearly all the time; the Ring loop runs the interpreter, so "
                "runs where the loop takes few IPIs show little or no kernel gap".format(
                    ring_ev["irq_vectors:reschedule_entry"], c_ev["irq_vectors:reschedule_entry"],
                    ring_ev["raw_syscalls:sys_enter"], c_ev["raw_syscalls:sys_enter"],
                    ring_ev["context-switches"], c_ev["context-switches"]))
    t.emit()


def counts_note(t: Table, cmds: dict[str, list[str]], ops: int) -> dict[str, dict] | None:
    """Adds a note with the kernel events per op of each command (perf stat,
    the kernel's worker threads included; a Python child counts only inside
    its profiling() window) and returns them, None when perf cannot count."""
    if not shutil.which("perf"):
        return None
    parts, per_cmd = [], {}
    for name, cmd in cmds.items():
        with tempfile.TemporaryDirectory() as tmp:
            out, extra, env = os.path.join(tmp, "stat"), [], dict(os.environ)
            if cmd[0] == sys.executable:
                ctl, ack = os.path.join(tmp, "ctl"), os.path.join(tmp, "ack")
                os.mkfifo(ctl)
                os.mkfifo(ack)
                extra = [f"--control=fifo:{ctl},{ack}", "-D", "-1"]
                env.update(BENCH_PERF_CTL=ctl, BENCH_PERF_ACK=ack)
            run = subprocess.run(["perf", "stat", "-x,", "-o", out, "-e", ",".join(EVENTS),
                                  *extra, *cmd], capture_output=True, text=True, env=env)
            if run.returncode != 0:
                return None
            got = {}
            with open(out) as f:
                for line in f:
                    fields = line.split(",")
                    if len(fields) > 2 and fields[2] in EVENTS and fields[0].isdigit():
                        got[fields[2]] = int(fields[0]) / ops
        if len(got) < len(EVENTS):
            return None
        per_cmd[name] = got
        parts.append(f"{name}: " + ", ".join(f"{got[e]:.3f} {label}"
                                             for e, label in EVENTS.items()))
    t.note("kernel events per op (perf stat): " + "; ".join(parts))
    return per_cmd


def child() -> None:
    """The Ring loop alone, for the profiler."""
    paths = tree()
    ring = _uring.Ring(256)
    profiling(True)
    for _ in range(REPS):
        ring_loop(ring, paths)
    profiling(False)


if __name__ == "__main__":
    child() if sys.argv[1:] == ["child"] else main()
