"""W1: random 4 KiB reads from a 256 MiB page-cached file, queue depth 64.

Ring loop: 64 submit_read, one submit(), reap until all 64 are back, repeat.
Baselines in the same run: an os.pread loop, a thread pool running os.pread,
and the C loops of bench/baseline.c (pread, and io_uring at depth 64).
"""

from __future__ import annotations

import os
import sys
from concurrent.futures import ThreadPoolExecutor

import _uring

from common import (BASELINE, BLOCK, QD, REPS_ARG, Table, big_file, c_timed, gap_note,
                    interleave, profile_note, profiling, random_offsets, ring_waiter,
                    scaled, timed)

OPS = scaled(64 * 2000, 64 * 50)
POOL_OPS = scaled(64 * 60, 64 * 10)
REPS = scaled(11, 2)


def ring_loop(ring: _uring.Ring, fd: int, batches: list[list[int]]) -> int:
    submit_read, submit, reap = ring.submit_read, ring.submit, ring.reap
    wait = ring_waiter(ring)
    short = 0
    ops = 0
    for batch in batches:
        for off in batch:
            submit_read(fd, off, BLOCK)
        submit()
        left = len(batch)
        while left:
            done = reap()
            if not done:
                wait()
                continue
            for _ud, res, data in done:
                if res != BLOCK:
                    short += 1
            left -= len(done)
        ops += len(batch)
    if short:
        raise RuntimeError(f"{short} reads failed or came back short")
    return ops


def pread_loop(fd: int, offsets: list[int]) -> int:
    pread = os.pread
    for off in offsets:
        if len(pread(fd, BLOCK, off)) != BLOCK:
            raise RuntimeError("short read")
    return len(offsets)


def pool_loop(pool: ThreadPoolExecutor, fd: int, offsets: list[int]) -> int:
    for data in pool.map(lambda off: os.pread(fd, BLOCK, off), offsets):
        if len(data) != BLOCK:
            raise RuntimeError("short read")
    return len(offsets)


def main() -> None:
    path = big_file()
    offsets = random_offsets(OPS)
    batches = [offsets[i:i + QD] for i in range(0, OPS, QD)]
    fd = os.open(path, os.O_RDONLY)
    t = Table("W1", "random 4 KiB reads, 256 MiB cached file, QD 64")
    try:
        ring = _uring.Ring(256)
        with ThreadPoolExecutor(max_workers=4) as pool:
            t.add_samples(interleave({
                "Ring (submit_read x64, submit, reap)":
                    timed(lambda: ring_loop(ring, fd, batches)),
                "Python os.pread loop": timed(lambda: pread_loop(fd, offsets)),
                "thread pool (4 workers) os.pread":
                    timed(lambda: pool_loop(pool, fd, offsets[:POOL_OPS])),
                "C pread loop": c_timed("pread", path, OPS, REPS_ARG),
                "C liburing QD64": c_timed("uring-read", path, OPS, REPS_ARG, QD),
            }, REPS))
        del ring
    finally:
        os.close(fd)

    ring_impl = "Ring (submit_read x64, submit, reap)"
    t.speed_check(ring_impl, "C liburing QD64", 0.85)
    t.speed_check(ring_impl, "Python os.pread loop", 1.0)
    ours = profile_note(t, ring_impl, [sys.executable, __file__, "child"], REPS * OPS)
    if t.ns("C liburing QD64"):
        theirs = profile_note(
            t, "C liburing QD64",
            [str(BASELINE), "uring-read", str(path), str(OPS), str(REPS), str(QD)], REPS * OPS)
        gap_note(t, "Ring", ours, REPS * OPS, theirs, REPS * OPS, "C liburing")
    t.emit()


def child() -> None:
    """The Ring loop alone, for the profiler."""
    offsets = random_offsets(OPS)
    batches = [offsets[i:i + QD] for i in range(0, OPS, QD)]
    fd = os.open(big_file(), os.O_RDONLY)
    ring = _uring.Ring(256)
    profiling(True)
    for _ in range(REPS):
        ring_loop(ring, fd, batches)
    profiling(False)


if __name__ == "__main__":
    child() if sys.argv[1:] == ["child"] else main()
