"""W6, against its peers: cold random 4 KiB reads from the 256 MiB file.

Every run starts with the file's pages dropped (`POSIX_FADV_DONTNEED`, checked
with `mincore`), readahead off, and ends with a check that every page it read
is cached: each read went to the device. The same offsets for everyone, in
rounds that interleave the implementations and rotate which goes first:
- the raw Ring's synchronous loop (bench/cold.py's ring_reads) at depth 64 and 1;
- an os.pread loop, and thread pools of 8 and 64 workers running os.pread;
- C: a pread loop and liburing keeping 64 (or 1) reads in flight;
- where they installed (bench/requirements-peers.txt): the `liburing` package
  in the same refill loop as the C one, and caio's asyncio contexts on io_uring
  and on Linux AIO with 64 coroutines reading.
"""

from __future__ import annotations

import asyncio
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Callable

import _uring

from cold import cold_runner, open_random, retried_once, ring_reads
from common import (BIG_FILE_SIZE, BLOCK, QD, Table, big_file, have_baseline, interleave,
                    run_baseline, scaled)

DEEP_OPS = scaled(8192, 512)     # reads per run with 64 in flight
SHALLOW_OPS = scaled(1024, 128)  # ... one at a time (about 70 µs each here)
ROUNDS = scaled(5, 3)


def xorshift_offsets(n: int) -> list[int]:
    """The offsets of baseline.c's random_offsets, so that the C loops read the
    very pages the Python ones do."""
    pages, x, out, mask = BIG_FILE_SIZE // BLOCK, 0x9E3779B97F4A7C15, [], (1 << 64) - 1
    for _ in range(n):
        x ^= (x << 13) & mask
        x ^= x >> 7
        x ^= (x << 17) & mask
        out.append((x % pages) * BLOCK)
    return out


def checked(data: bytes | bytearray) -> None:
    if len(data) != BLOCK:
        raise RuntimeError(f"short read: {len(data)} bytes")


def pread_loop(fd: int, offsets: list[int]) -> int:
    pread = os.pread
    for off in offsets:
        checked(pread(fd, BLOCK, off))
    return len(offsets)


def pool_reads(pool: ThreadPoolExecutor, fd: int, offsets: list[int]) -> int:
    for data in pool.map(lambda off: os.pread(fd, BLOCK, off), offsets):
        checked(data)
    return len(offsets)


def c_cold(path, offsets: list[int], *args: object) -> Callable[[], float | None]:
    """A cold run of the C baseline: the drop and the checks of cold_runner,
    the time the program measured around its own loop."""
    got: list[float] = []

    def reads() -> int:
        ns = run_baseline(*args)
        if not ns:
            raise RuntimeError(f"C baseline {args[0]} failed")
        got.append(ns[-1])
        return len(offsets)

    run = cold_runner(path, offsets, reads)

    def once() -> float:
        run()
        return got.pop()

    return once


RETRIES: list[str] = []


def retried(run: Callable[[], float]) -> Callable[[], float]:
    return retried_once(run, RETRIES)


def liburing_reads(fd: int, offsets: list[int], depth: int) -> int:
    """The `liburing` package in the C loop's shape: `depth` reads in flight,
    each completion's buffer refilled with the next offset."""
    import liburing as L
    ring, cqe = L.Ring(), L.Cqe()
    L.io_uring_queue_init(max(256, 2 * depth), ring)
    try:
        bufs = [bytearray(BLOCK) for _ in range(depth)]
        it = iter(offsets)

        def queue(slot: int, off: int) -> None:
            sqe = L.io_uring_get_sqe(ring)
            L.io_uring_prep_read(sqe, fd, bufs[slot], off)
            L.io_uring_sqe_set_data64(sqe, slot)

        for slot, off in zip(range(depth), it):
            queue(slot, off)
        inflight = min(depth, len(offsets))
        done = 0
        while inflight:
            L.io_uring_submit_and_wait(ring, 1)
            # One completion at a time: indexing a batch (cqe[i]) past the end
            # of the completion ring returns zeroed entries with this package.
            while True:
                try:
                    L.io_uring_peek_cqe(ring, cqe)
                except BlockingIOError:
                    break
                c = cqe[0]
                res, slot = c.res, c.user_data
                L.io_uring_cq_advance(ring, 1)
                if res != BLOCK:
                    raise RuntimeError(f"liburing package: read returned {res}")
                done += 1
                inflight -= 1
                off = next(it, None)
                if off is not None:
                    queue(slot, off)
                    inflight += 1
        return done
    finally:
        L.io_uring_queue_exit(ring)


def caio_runs(variant: str, fd: int, offsets: list[int], loop: asyncio.AbstractEventLoop):
    """caio's asyncio context on `variant` ("linux_uring" or "linux_aio"),
    64 coroutines each awaiting one read at a time -> (reads, close)."""
    import importlib
    mod = importlib.import_module(f"caio.{variant}_asyncio")
    kwargs = {"sqpoll": False} if variant == "linux_uring" else {}

    async def make():
        return mod.AsyncioContext(max_requests=QD, loop=loop, **kwargs)

    ctx = loop.run_until_complete(make())

    async def job() -> None:
        it = iter(offsets)

        async def worker() -> None:
            for off in it:
                checked(await ctx.read(BLOCK, fd, off))

        await asyncio.gather(*(worker() for _ in range(QD)))

    def reads() -> int:
        loop.run_until_complete(job())
        return len(offsets)

    return reads, ctx.close


def peer(name: str, t: Table, make: Callable[[], Callable[[], int]]):
    """`make()` for an optional peer; None, with a note saying why, when it
    is not installed or does not work here."""
    try:
        reads = make()
    except Exception as e:  # noqa: BLE001: any failure of a peer only skips its row
        t.note(f"{name}: skipped ({type(e).__name__}: {e})")
        return None
    return reads


def main() -> None:
    path = big_file()
    deep, shallow = xorshift_offsets(DEEP_OPS), xorshift_offsets(SHALLOW_OPS)
    t = Table("W6", "cold random 4 KiB reads, 256 MiB file, against other bindings and C")
    fd = open_random(path)
    ring = _uring.Ring(256)
    loop = asyncio.new_event_loop()
    closers: list[Callable[[], None]] = []
    runs: dict[str, Callable[[], float | None]] = {}
    try:
        pool8 = ThreadPoolExecutor(max_workers=8)
        pool64 = ThreadPoolExecutor(max_workers=64)
        closers += [pool8.shutdown, pool64.shutdown]

        def cold(offsets: list[int], reads: Callable[[], int]) -> Callable[[], float]:
            return retried(cold_runner(path, offsets, reads))

        runs["raw Ring, cold, depth 64"] = cold(deep, lambda: ring_reads(ring, fd, deep, QD))
        runs["raw Ring, cold, depth 1"] = cold(shallow, lambda: ring_reads(ring, fd, shallow, 1))
        runs["Python os.pread loop, cold"] = cold(shallow, lambda: pread_loop(fd, shallow))
        runs["thread pool (8 workers) os.pread, cold"] = cold(
            deep, lambda: pool_reads(pool8, fd, deep))
        runs["thread pool (64 workers) os.pread, cold"] = cold(
            deep, lambda: pool_reads(pool64, fd, deep))
        if have_baseline():
            runs["C liburing, cold, depth 64"] = retried(
                c_cold(path, deep, "uring-cold", path, DEEP_OPS, QD))
            runs["C liburing, cold, depth 1"] = retried(
                c_cold(path, shallow, "uring-cold", path, SHALLOW_OPS, 1))
            runs["C pread loop, cold"] = retried(
                c_cold(path, shallow, "pread-cold", path, SHALLOW_OPS))
        else:
            t.note("C baseline not built (liburing-dev missing): C rows skipped")

        def liburing_peer() -> Callable[[], int]:
            liburing_reads(fd, deep[:QD], QD)  # fails here, not mid-round, if it cannot run
            return lambda: liburing_reads(fd, deep, QD)

        if (r := peer("liburing package", t, liburing_peer)):
            runs["liburing package, cold, depth 64"] = cold(deep, r)
        for variant, label in (("linux_uring", "io_uring"), ("linux_aio", "Linux AIO")):
            def make(variant: str = variant) -> Callable[[], int]:
                reads, close = caio_runs(variant, fd, deep, loop)
                closers.append(close)
                return reads
            if (r := peer(f"caio {label} context", t, make)):
                runs[f"caio {label} (asyncio, 64 tasks), cold"] = cold(deep, r)

        t.add_samples(interleave(runs, ROUNDS, rotate=True))
    finally:
        for close in reversed(closers):
            close()
        loop.close()
        os.close(fd)
        del ring

    ours = "raw Ring, cold, depth 64"
    # Against the os.pread loop, the report's reference column says it.
    for vs in ("thread pool (64 workers) os.pread, cold", "C liburing, cold, depth 64",
               "liburing package, cold, depth 64",
               "caio io_uring (asyncio, 64 tasks), cold",
               "caio Linux AIO (asyncio, 64 tasks), cold"):
        if t.ns(vs) is not None:
            t.speed_check(ours, vs, None)
    if t.ns("C liburing, cold, depth 1") is not None:
        t.speed_check("raw Ring, cold, depth 1", "C liburing, cold, depth 1", None)
    t.note(f"{DEEP_OPS} reads per run at depth 64 and for the pools, {SHALLOW_OPS} one at a "
           f"time; medians of {ROUNDS} rounds, order rotated each round; the file's pages "
           "dropped before every run and checked with mincore before and after")
    if RETRIES:
        t.note(f"{len(RETRIES)} cold runs repeated after failing their after-check "
               f"({'; '.join(RETRIES[:3])})")
    if "liburing package, cold, depth 64" in runs:
        t.note("liburing package: completions are taken one at a time (io_uring_peek_cqe), "
               "since reading a batch by index (cqe[i]) past the end of the completion ring "
               "gave zeroed entries")
    t.note("caio's io_uring context without SQPOLL, like every other row (a polling kernel "
           "thread would take one of the machine's CPUs)")
    t.emit()


if __name__ == "__main__":
    main()
