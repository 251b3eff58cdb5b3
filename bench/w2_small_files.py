"""W2: read 20,000 files of 4 KiB whole, queue depth 64.

Ring loop: 64 direct-descriptor slots; each slot runs submit_open_read (open
into the slot linked to a 4 KiB read), then submit_close_fixed once the read is
back, then the next file once the close is back. One submit() per reap.
Baselines: os.open/os.read/os.close, a thread pool doing the same per file, and
the same chains in C with liburing.
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
    submit_open_read, submit_close_fixed = ring.submit_open_read, ring.submit_close_fixed
    submit, reap = ring.submit, ring.reap
    wait = ring_waiter(ring)
    flags = os.O_RDONLY
    n = len(paths)
    # id -> slot for a read, -1 - slot for a close; the opens of the chains are
    # not tracked (a failed open also fails its read with -ECANCELED).
    owner: dict[int, int] = {}
    nxt = 0
    for slot in range(min(QD, n)):
        _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
        owner[read_id] = slot
        nxt += 1
    submit()
    done = bad = 0
    while done < n:
        completions = reap()
        if not completions:
            wait()
            continue
        for ud, res, _data in completions:
            slot = owner.pop(ud, None)
            if slot is None:
                continue
            if slot >= 0:
                if res != BLOCK:
                    bad += 1
                owner[submit_close_fixed(slot)] = -1 - slot
            else:
                slot = -1 - slot
                done += 1
                if nxt < n:
                    _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
                    owner[read_id] = slot
                    nxt += 1
        submit()
    if bad:
        raise RuntimeError(f"{bad} files failed to open or read")
    return n


def read_whole(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY)
    try:
        return os.read(fd, BLOCK)
    finally:
        os.close(fd)


def os_loop(paths: list[str]) -> int:
    o, r, c, flags = os.open, os.read, os.close, os.O_RDONLY
    for p in paths:
        fd = o(p, flags)
        if len(r(fd, BLOCK)) != BLOCK:
            raise RuntimeError("short read")
        c(fd)
    return len(paths)


def pool_loop(pool: ThreadPoolExecutor, paths: list[str]) -> int:
    for data in pool.map(read_whole, paths):
        if len(data) != BLOCK:
            raise RuntimeError("short read")
    return len(paths)


def main() -> None:
    paths = tree()
    t = Table("W2", "read 20,000 files of 4 KiB whole, QD 64")
    ring = _uring.Ring(256)
    runs = {}
    if ring.fixed_slots >= QD:
        runs["Ring (submit_open_read + submit_close_fixed)"] = timed(
            lambda: ring_loop(ring, paths))
    else:
        t.note(f"Ring has {ring.fixed_slots} direct-descriptor slots: chains skipped")
    with ThreadPoolExecutor(max_workers=4) as pool:
        t.add_samples(interleave({
            **runs,
            "Python os.open/os.read/os.close loop": timed(lambda: os_loop(paths)),
            "thread pool (4 workers) open/read/close":
                timed(lambda: pool_loop(pool, paths[:POOL_FILES])),
            "C liburing open+read+close chains QD64":
                c_timed("uring-files", tree_listing(), REPS_ARG, QD),
        }, REPS))
    del ring

    impl = "Ring (submit_open_read + submit_close_fixed)"
    if t.ns(impl) is not None:
        t.speed_check(impl, "C liburing open+read+close chains QD64", 0.9)
        t.speed_check(impl, "Python os.open/os.read/os.close loop", 1.2)
        n = REPS * len(paths)
        ours = profile_note(t, impl, [sys.executable, __file__, "child"], n)
        c_impl = "C liburing open+read+close chains QD64"
        if t.ns(c_impl) is not None:
            theirs = profile_note(
                t, c_impl,
                [str(BASELINE), "uring-files", str(tree_listing()), str(REPS), str(QD)], n)
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
