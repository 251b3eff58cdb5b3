"""Cold-storage helpers for the benchmarks: drop a file's pages from the page
cache and count how many are resident, without root.

`posix_fadvise(POSIX_FADV_DONTNEED)` evicts a file's clean pages; `mincore` on
a shared read-only mapping of the file says which pages are still cached. A
cold workload drops the pages before each repetition and checks both ends: no
page resident before it starts, every page it read resident afterwards.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import mmap
import os
import select
import time
from pathlib import Path
from typing import Callable

_libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int, ctypes.c_long]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
_MAP_FAILED = ctypes.c_void_p(-1).value
PAGE = mmap.PAGESIZE


def open_random(path: str | Path) -> int:
    """Opens `path` for reading with readahead off (`POSIX_FADV_RANDOM`), so a
    4 KiB read fetches 4 KiB from the device and nothing around it."""
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
    return fd


def drop_pages(path: str | Path) -> None:
    """Evicts every cached page of `path` and checks that none is left."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fdatasync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    left = resident_pages(path)
    if left:
        raise RuntimeError(f"{path}: {left} pages still cached after POSIX_FADV_DONTNEED")


def resident_pages(path: str | Path) -> int:
    """How many of the pages of `path` are in the page cache (`mincore`)."""
    size = os.stat(path).st_size
    if size == 0:
        return 0
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = _libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
        if addr is None or addr == _MAP_FAILED:
            err = ctypes.get_errno()
            raise OSError(err, f"mmap: {os.strerror(err)}", str(path))
    finally:
        os.close(fd)
    try:
        pages = (size + PAGE - 1) // PAGE
        vec = ctypes.create_string_buffer(pages)
        if _libc.mincore(addr, size, vec) != 0:
            err = ctypes.get_errno()
            raise OSError(err, f"mincore: {os.strerror(err)}", str(path))
        return sum(b & 1 for b in vec.raw[:pages])
    finally:
        _libc.munmap(addr, size)


def cold_runner(path: str | Path, offsets: list[int], reads: Callable[[], int],
                block: int = 4096) -> Callable[[], float]:
    """Wraps `reads` (which reads `block` bytes at each of `offsets` of `path`
    and returns how many reads it did) into one cold repetition -> ns per read:
    the file's pages are dropped first, and afterwards every page read must be
    cached, so a run that silently skipped reads or hit the cache is caught."""
    wanted = len({off // PAGE for off in offsets}) * max(1, block // PAGE)

    def run() -> float:
        drop_pages(path)
        t0 = time.perf_counter_ns()
        n = reads()
        dt = time.perf_counter_ns() - t0
        got = resident_pages(path)
        if n != len(offsets) or got < wanted:
            raise RuntimeError(f"cold run read {n} of {len(offsets)} blocks; "
                               f"{got} of {wanted} pages cached afterwards")
        return dt / n

    return run


def retried_once(run: Callable[[], float], log: list[str]) -> Callable[[], float]:
    """Repeats a cold repetition once when its after-check fails, noting why in
    `log`. Now and then a handful of the thousands of pages a run read are
    evicted again before mincore counts them, with no memory pressure; a run
    that skipped reads or hit the cache fails the same way twice."""
    def once() -> float:
        try:
            return run()
        except RuntimeError as e:
            log.append(str(e))
            return run()
    return once


def ring_reads(ring, fd: int, offsets: list[int], depth: int, block: int = 4096) -> int:
    """The raw ring, synchronously: keeps `depth` reads in flight, submits,
    waits on the eventfd with `select`, drains, reaps and refills. Returns the
    number of reads, checking that each one returned a whole block."""
    submit_read, submit, reap, drain = (ring.submit_read, ring.submit, ring.reap,
                                        ring.drain_eventfd)
    efd = ring.eventfd
    it = iter(offsets)
    inflight = done = 0
    for off in it:
        submit_read(fd, off, block)
        inflight += 1
        if inflight == depth:
            break
    while inflight:
        submit()
        select.select([efd], [], [])
        drain()
        for _, res, _ in reap():
            if res != block:
                raise OSError(-res if res < 0 else 0, f"short or failed read: {res}")
            inflight -= 1
            done += 1
            off = next(it, None)
            if off is not None:
                submit_read(fd, off, block)
                inflight += 1
    return done
