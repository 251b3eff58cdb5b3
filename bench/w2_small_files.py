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

from common import (BASELINE, BLOCK, QD, Table, median, profile_note, repeat, ring_waiter,
                    run_baseline, scaled, tree, tree_listing)

REPS = scaled(5, 2)
POOL_FILES = scaled(5000, 500)


def ring_loop(ring: _uring.Ring, paths: list[str]) -> int:
    submit_open_read, submit_close_fixed = ring.submit_open_read, ring.submit_close_fixed
    submit, reap = ring.submit, ring.reap
    wait = ring_waiter(ring)
    flags = os.O_RDONLY
    n = len(paths)
    reads: dict[int, int] = {}   # read id -> slot
    closes: dict[int, int] = {}  # close id -> slot
    nxt = 0
    for slot in range(min(QD, n)):
        _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
        reads[read_id] = slot
        nxt += 1
    submit()
    done = bad = 0
    while done < n:
        completions = reap()
        if not completions:
            wait()
            continue
        for ud, res, _data in completions:
            slot = reads.pop(ud, None)
            if slot is not None:
                if res != BLOCK:
                    bad += 1
                closes[submit_close_fixed(slot)] = slot
                continue
            slot = closes.pop(ud, None)
            if slot is not None:
                done += 1
                if nxt < n:
                    _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
                    reads[read_id] = slot
                    nxt += 1
            elif res < 0:
                bad += 1  # the open of a chain failed
        submit()
    if bad:
        raise RuntimeError(f"{bad} opens or reads failed")
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
    if ring.fixed_slots < QD:
        t.note(f"Ring has {ring.fixed_slots} direct-descriptor slots: chains skipped")
    else:
        s = repeat(lambda: ring_loop(ring, paths), REPS)
        t.add("Ring (submit_open_read + submit_close_fixed)", median(s), samples=s)
    del ring

    s = repeat(lambda: os_loop(paths), REPS)
    t.add("Python os.open/os.read/os.close loop", median(s), samples=s)

    with ThreadPoolExecutor(max_workers=4) as pool:
        s = repeat(lambda: pool_loop(pool, paths[:POOL_FILES]), max(2, REPS // 2))
    t.add("thread pool (4 workers) open/read/close", median(s), samples=s)

    c = run_baseline("uring-files", tree_listing(), REPS, QD)
    if c:
        t.add("C liburing open+read+close chains QD64", median(c), samples=c)

    impl = "Ring (submit_open_read + submit_close_fixed)"
    if t.ns(impl) is not None:
        t.speed_check(impl, "C liburing open+read+close chains QD64", 0.9)
        t.speed_check(impl, "Python os.open/os.read/os.close loop", 1.2)
    if t.ns("Ring (submit_open_read + submit_close_fixed)") is not None:
        profile_note(t, "Ring (submit_open_read + submit_close_fixed)", [sys.executable, __file__, "child"])
    if t.ns("C liburing open+read+close chains QD64") is not None:
        profile_note(t, "C liburing open+read+close chains QD64",
                     [str(BASELINE), "uring-files", str(tree_listing()), str(REPS), str(QD)])
    t.emit()


def child() -> None:
    """The Ring loop alone, for the profiler."""
    paths = tree()
    ring = _uring.Ring(256)
    for _ in range(REPS):
        ring_loop(ring, paths)


if __name__ == "__main__":
    child() if sys.argv[1:] == ["child"] else main()
