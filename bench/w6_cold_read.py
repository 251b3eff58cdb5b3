"""W6: random 4 KiB reads under asyncio, cold and page-cached: how much of the
raw ring's speed the reference driver keeps.

The same reads three ways, in interleaved rounds:
- the raw Ring in a synchronous loop (cold.ring_reads): submit, wait on the
  eventfd, drain, reap, refill, `depth` reads in flight;
- the bare asyncio loop: the least asyncio can do with the ring. An
  add_reader callback drains, reaps, sets one future per read and submits
  again while reads are in flight; each read creates a future and schedules
  one submit() per loop tick with call_soon. No cancellation, no error
  mapping, no slots. Its read is a coroutine that awaits that future, as
  the driver's is (and as create_task needs), so gather wraps both in one
  task per read; at depth 64 a third gather row awaits the bare futures
  themselves, to show what those tasks cost;
- the package's driver (kovra_uring.Driver, `Driver.read`).
Both asyncio ways run in two shapes: `depth` worker coroutines each awaiting
one read at a time, and asyncio.gather of `depth` reads per batch.

Cold runs drop the file's pages before each repetition and check with mincore
that none was resident before and every page read was resident after
(cold.cold_runner); the file is opened with POSIX_FADV_RANDOM, so no
readahead hides the device. Page-cached runs read the warm file. Separate
untimed runs count the event-loop passes per read of both asyncio ways and
the driver's submit() calls (each one io_uring_enter) per read.
"""

from __future__ import annotations

import asyncio
import os
import sys

from cold import cold_runner, drop_pages, open_random, retried_once, ring_reads
from common import (BLOCK, ROOT, Table, big_file, interleave, median, random_offsets, scaled,
                    timed, warm_file)

from kovra_uring import Driver  # noqa: E402

from _uring import Ring  # noqa: E402

ENTRIES = 256
COLD_DEPTHS = (1, 8, 64)
CACHED_DEPTH = 64
# Enough reads that a repetition lasts ~0.1-0.3 s cold.
COLD_READS = {1: scaled(3000, 100), 8: scaled(4000, 200), 64: scaled(8000, 400)}
CACHED_READS = scaled(100_000, 2000)
ROUNDS = scaled(7, 1)


# ------------------------------------------------------- the bare asyncio loop

class BareLoop:
    """The ring on an event loop with nothing but what the reads need."""

    def __init__(self, loop: asyncio.AbstractEventLoop, ring: Ring):
        futures: dict[int, asyncio.Future] = {}
        scheduled = False
        submit, reap, drain = ring.submit, ring.reap, ring.drain_eventfd
        submit_read, create_future, call_soon = (ring.submit_read, loop.create_future,
                                                 loop.call_soon)
        pop = futures.pop

        def on_ready() -> None:
            drain()
            for user_data, _, data in reap():
                pop(user_data).set_result(data)
            if ring.inflight:
                submit()

        def flush() -> None:
            nonlocal scheduled
            scheduled = False
            submit()

        # The two forms of a read are written out, so that neither pays for
        # a call to the other.
        def read_future(fd: int, size: int, offset: int) -> asyncio.Future:
            nonlocal scheduled
            fut = create_future()
            futures[submit_read(fd, offset, size)] = fut
            if not scheduled:
                scheduled = True
                call_soon(flush)
            return fut

        async def read(fd: int, size: int, offset: int) -> bytes:
            nonlocal scheduled
            fut = create_future()
            futures[submit_read(fd, offset, size)] = fut
            if not scheduled:
                scheduled = True
                call_soon(flush)
            return await fut

        self.read = read
        self.read_future = read_future
        self.close = lambda: loop.remove_reader(ring.eventfd)
        loop.add_reader(ring.eventfd, on_ready)


# ---------------------------------------------------------------- the shapes

async def workers(read, fd: int, offsets: list[int], depth: int) -> int:
    it = iter(offsets)
    done = 0

    async def worker() -> None:
        nonlocal done
        for off in it:
            if len(await read(fd, BLOCK, off)) != BLOCK:
                raise RuntimeError("short read")
            done += 1

    await asyncio.gather(*(worker() for _ in range(depth)))
    return done


async def batches(read, fd: int, offsets: list[int], depth: int) -> int:
    done = 0
    for i in range(0, len(offsets), depth):
        for data in await asyncio.gather(*(read(fd, BLOCK, off)
                                           for off in offsets[i:i + depth])):
            if len(data) != BLOCK:
                raise RuntimeError("short read")
            done += 1
    return done


class CountingRing:
    """The driver's Ring, counting its submit() calls."""

    def __init__(self, ring: Ring):
        self._ring = ring
        self.submits = 0

    def submit(self) -> None:
        self.submits += 1
        self._ring.submit()

    def __getattr__(self, name: str):
        return getattr(self._ring, name)


def counts(loop, io: Driver, path, fd: int, bare: BareLoop, jobs) -> str:
    """Event-loop passes per read of the bare loop and the driver, and the
    driver's submit() calls per read, for the shapes the goals are about."""
    out = []
    for state, depth, shape in (("cold", 1, "workers"), ("cold", 64, "workers"),
                                ("cold", 64, "gather"), ("page-cached", 64, "workers")):
        offsets = random_offsets(COLD_READS[depth] if state == "cold" else 20_000, seed=depth)
        todo = jobs(offsets, depth)
        figures = []
        for impl in ("bare asyncio loop", "driver"):
            if state == "cold":
                drop_pages(path)
            passes = 0
            real = loop._run_once

            def counted() -> None:
                nonlocal passes
                passes += 1
                real()
            loop._run_once = counted  # the loop calls it through the instance
            ring = io.ring
            if impl == "driver":
                io.ring = counting = CountingRing(ring)
            try:
                n = todo[f"{impl}, {shape}"]()
            finally:
                del loop._run_once
                io.ring = ring
            figures.append(f"{passes / n:.2f}")
        out.append(f"{state}, depth {depth}, {'one coroutine' if depth == 1 else shape}: "
                   f"{' / '.join(figures)} passes, {counting.submits / n:.2f} submits")
    return "; ".join(out)


def main() -> None:
    path = big_file()
    fd = open_random(path)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    raw_ring = Ring(ENTRIES)
    bare = BareLoop(loop, Ring(ENTRIES))

    async def start() -> Driver:
        return Driver(ENTRIES)

    io = loop.run_until_complete(start())

    def jobs(offsets: list[int], depth: int) -> dict:
        run = loop.run_until_complete
        out = {
            "raw Ring": lambda: ring_reads(raw_ring, fd, offsets, depth),
            "bare asyncio loop, workers": lambda: run(workers(bare.read, fd, offsets, depth)),
            "driver, workers": lambda: run(workers(io.read, fd, offsets, depth)),
        }
        if depth > 1:  # one coroutine is both shapes
            out["bare asyncio loop, gather"] = lambda: run(batches(bare.read, fd, offsets, depth))
            out["driver, gather"] = lambda: run(batches(io.read, fd, offsets, depth))
        if depth == 64:  # what one task per read costs gather (not a shape of the driver's)
            out["bare asyncio loop, gather of futures"] = lambda: run(
                batches(bare.read_future, fd, offsets, depth))
        return out

    def label(impl: str, depth: int, cold: bool) -> str:
        shape = "one coroutine" if depth == 1 else impl.partition(", ")[2]
        head = impl.partition(",")[0]
        state = "cold" if cold else "page-cached"
        if head == "raw Ring":
            return f"raw Ring, {state}, depth {depth}"
        return f"{head}, {state}, depth {depth}, {shape}"

    retried: list[str] = []
    runs = {}
    for depth in COLD_DEPTHS:
        offsets = random_offsets(COLD_READS[depth], seed=depth)
        for impl, fn in jobs(offsets, depth).items():
            runs[label(impl, depth, True)] = retried_once(cold_runner(path, offsets, fn), retried)
    def warm_first(run):
        """The cold runs drop the file's pages: read them back, untimed."""
        def again() -> float:
            warm_file(path)
            return run()
        return again

    cached = random_offsets(CACHED_READS, seed=99)
    for impl, fn in jobs(cached, CACHED_DEPTH).items():
        runs[label(impl, CACHED_DEPTH, False)] = warm_first(timed(fn))

    samples = interleave(runs, ROUNDS, rotate=True)
    passes = counts(loop, io, path, fd, bare, jobs)
    t = Table("W6", "cold random 4 KiB reads: driver vs raw ring vs bare asyncio loop")
    spread = []
    for impl, xs in samples.items():
        if xs:
            m = median(xs)
            t.add(impl, m, samples=xs)
            spread.append(f"{impl}: {min(xs) / m - 1:+.0%}/{max(xs) / m - 1:+.0%}")

    def drv(state: str, depth: int, shape: str) -> str:
        return f"driver, {state}, depth {depth}, {shape}"

    def bare_(state: str, depth: int, shape: str) -> str:
        return f"bare asyncio loop, {state}, depth {depth}, {shape}"

    goals = {
        (drv("cold", 1, "one coroutine"), "raw Ring, cold, depth 1"): 0.8,
        (drv("cold", 64, "workers"), "raw Ring, cold, depth 64"): 0.9,
        (drv("cold", 64, "gather"), bare_("cold", 64, "gather")): 0.97,
        (drv("page-cached", 64, "workers"), bare_("page-cached", 64, "workers")): 0.97,
    }
    for (impl, vs), minimum in goals.items():
        t.speed_check(impl, vs, minimum)
    for state, depths in (("cold", COLD_DEPTHS), ("page-cached", (CACHED_DEPTH,))):
        for depth in depths:
            for shape in (("one coroutine",) if depth == 1 else ("workers", "gather")):
                impl = drv(state, depth, shape)
                for vs in (f"raw Ring, {state}, depth {depth}", bare_(state, depth, shape)):
                    if (impl, vs) not in goals:
                        t.speed_check(impl, vs, None)
                if shape == "gather" and depth == 64:
                    t.speed_check(impl, bare_(state, depth, "gather of futures"), None)
    t.note(f"medians of {ROUNDS} interleaved rounds after one warm-up round; spread per row "
           "(fastest/slowest round against the median, in time per read): " + "; ".join(spread))
    t.note(f"cold: {', '.join(f'{COLD_READS[d]} reads at depth {d}' for d in COLD_DEPTHS)}, "
           f"pages dropped before each repetition (mincore: none resident before, every "
           f"page read resident after); page-cached: {CACHED_READS} reads; a Ring of "
           f"{ENTRIES} entries each")
    if retried:
        t.note(f"{len(retried)} cold repetitions repeated after a failed mincore check: "
               + "; ".join(retried))
    t.note("per read, in separate untimed runs: event-loop passes (bare loop / driver) and "
           "the driver's submit() calls, each one io_uring_enter: " + passes)
    t.emit()
    bare.close()
    loop.run_until_complete(io.aclose())
    loop.close()
    os.close(fd)


if __name__ == "__main__":
    main()
