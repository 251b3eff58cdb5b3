"""W3: statx of the 20,000 paths of W2, queue depth 64.

Ring loop: keep 64 submit_statx in flight, one submit() per refill, reap what
is back (the kernel runs statx on its worker threads, so the loop waits on the
eventfd when nothing is ready). Baselines: os.stat loop, a thread pool, C
statx(2) loop and C liburing at depth 64.
"""

from __future__ import annotations

import os
import sys
from concurrent.futures import ThreadPoolExecutor

import _uring

from common import (BASELINE, BLOCK, QD, REPS_ARG, Table, c_timed, gap_note, interleave,
                    profile_note, profiling, ring_waiter, scaled, timed, tree, tree_listing)

REPS = scaled(15, 2)
POOL_FILES = scaled(2000, 500)


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
            "C liburing statx QD64": c_timed("uring-statx", tree_listing(), REPS_ARG, QD),
        }, REPS))
    del ring

    t.speed_check("Ring (submit_statx)", "C liburing statx QD64", 0.6)
    t.speed_check("Ring (submit_statx)", "Python os.stat loop", None)
    n = REPS * len(paths)
    ours = profile_note(t, "Ring (submit_statx)", [sys.executable, __file__, "child"], n)
    if t.ns("C liburing statx QD64") is not None:
        theirs = profile_note(
            t, "C liburing statx QD64",
            [str(BASELINE), "uring-statx", str(tree_listing()), str(REPS), str(QD)], n)
        gap_note(t, "Ring", ours, n, theirs, n, "C liburing")
    t.emit()


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
