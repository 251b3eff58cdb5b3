"""W10: the package under trio and anyio.

Four tables, each of interleaved rounds (order rotated every round), one
fresh `trio.run` (or asyncio/anyio run) per job:
- trio: 64 tasks read the 20,000 files of 4 KiB whole with
  `async with kovra_uring.open(p, "rb") as f: await f.read()`, against
  `trio.open_file` + `read` (three worker-thread hops per file) and against
  the same package code on asyncio; `Driver.read_file` on both as well;
- anyio on trio: the same through `anyio.open_file` against the package;
- cold random 4 KiB reads at depth 64 (W6's file, pages dropped before each
  run and checked with mincore) through `Driver.read` on trio, against the
  raw Ring's synchronous loop (and `Driver.read` on asyncio);
- how late a 1 ms `trio.sleep` wakes (p50/p99/max) while the 20,000 files
  are read, against `trio.open_file` and the idle run.
The thread-based readers run on a slice of the tree (their rate per file is
flat); their lag is measured over the whole tree.
"""

from __future__ import annotations

import asyncio
import statistics
import time
from typing import Awaitable, Callable

import anyio
import trio

import kovra_uring
from cold import cold_runner, open_random, retried_once, ring_reads
from common import (BLOCK, Table, big_file, interleave, random_offsets, scaled, timed, tree)
from w7_loop_lag import fmt_ms, percentile

from kovra_uring import Driver  # noqa: E402
from kovra_uring._loop import get_driver  # noqa: E402

from _uring import Ring  # noqa: E402

CONCURRENCY = 64
FILES = scaled(20_000, 600)
THREAD_FILES = scaled(4000, 200)
ROUNDS = scaled(5, 3)
LAG_ROUNDS = scaled(3, 3)
COLD_READS = scaled(8000, 400)
ENTRIES = 256
TICK = 0.001
IDLE_SECONDS = scaled(1.0, 0.1)
# kovra_uring.open arrives with the file objects; until then its rows are left out.
HAVE_OPEN = hasattr(kovra_uring, "open")

Read = Callable[[str], Awaitable[bytes]]


# ------------------------------------------------------------------ readers

async def kovra_read(path: str) -> bytes:
    async with kovra_uring.open(path, "rb") as f:  # type: ignore[attr-defined]
        return await f.read()  # type: ignore[no-any-return]


async def trio_read(path: str) -> bytes:
    async with await trio.open_file(path, "rb") as f:
        return await f.read()


async def anyio_read(path: str) -> bytes:
    async with await anyio.open_file(path, "rb") as f:
        return await f.read()


async def driver_read(path: str) -> bytes:
    return await get_driver().read_file(path)


# ---------------------------------------------------- 64 readers, each library

def check(data: bytes, path: str) -> None:
    if len(data) != BLOCK:
        raise RuntimeError(f"short read of {path}")


async def trio_fan_out(read: Read, paths: list[str]) -> int:
    it = iter(paths)

    async def worker() -> None:
        for p in it:
            check(await read(p), p)

    async with trio.open_nursery() as nursery:
        for _ in range(CONCURRENCY):
            nursery.start_soon(worker)
    return len(paths)


async def anyio_fan_out(read: Read, paths: list[str]) -> int:
    it = iter(paths)

    async def worker() -> None:
        for p in it:
            check(await read(p), p)

    async with anyio.create_task_group() as tg:
        for _ in range(CONCURRENCY):
            tg.start_soon(worker)
    return len(paths)


async def asyncio_fan_out(read: Read, paths: list[str]) -> int:
    it = iter(paths)

    async def worker() -> None:
        for p in it:
            check(await read(p), p)

    await asyncio.gather(*(worker() for _ in range(CONCURRENCY)))
    return len(paths)


def on_trio(read: Read, paths: list[str]) -> Callable[[], int]:
    return lambda: trio.run(trio_fan_out, read, paths)


def on_asyncio(read: Read, paths: list[str]) -> Callable[[], int]:
    return lambda: asyncio.run(asyncio_fan_out(read, paths))


def on_anyio_trio(read: Read, paths: list[str]) -> Callable[[], int]:
    return lambda: anyio.run(anyio_fan_out, read, paths, backend="trio")


def some(runs: dict[str, Callable[[], int] | None]) -> dict[str, Callable[[], float]]:
    """The jobs that can run, timed."""
    return {name: timed(job) for name, job in runs.items() if job is not None}


def ratios(t: Table, impl: str, checks: list[tuple[str, float | None]]) -> None:
    if t.ns(impl) is not None:
        for vs, minimum in checks:
            t.speed_check(impl, vs, minimum)


def files_table(paths: list[str]) -> None:
    few = paths[:THREAD_FILES]
    t = Table("W10", "trio: read 20,000 files of 4 KiB whole, 64 tasks")
    t.add_samples(interleave(some({
        "kovra_uring.open + read, trio": on_trio(kovra_read, paths) if HAVE_OPEN else None,
        "kovra_uring.open + read, asyncio": on_asyncio(kovra_read, paths) if HAVE_OPEN else None,
        "Driver.read_file, trio": on_trio(driver_read, paths),
        "Driver.read_file, asyncio": on_asyncio(driver_read, paths),
        "trio.open_file + read": on_trio(trio_read, few),
    }), ROUNDS, rotate=True))
    ratios(t, "kovra_uring.open + read, trio",
           [("trio.open_file + read", 10.0), ("kovra_uring.open + read, asyncio", 0.7)])
    ratios(t, "Driver.read_file, trio",
           [("trio.open_file + read", None), ("Driver.read_file, asyncio", None)])
    t.note(f"{len(paths)} files per run ({ROUNDS} rounds, order rotated each round); "
           f"trio.open_file reads the first {len(few)}: three worker-thread hops per file "
           "(open, read, close)")
    if not HAVE_OPEN:
        t.note("kovra_uring.open is not in this build: its rows are left out")
    t.emit()


def anyio_table(paths: list[str]) -> None:
    few = paths[:THREAD_FILES]
    t = Table("W10", "anyio on trio: read 20,000 files of 4 KiB whole, 64 tasks")
    t.add_samples(interleave(some({
        "kovra_uring.open + read, anyio on trio":
            on_anyio_trio(kovra_read, paths) if HAVE_OPEN else None,
        "Driver.read_file, anyio on trio": on_anyio_trio(driver_read, paths),
        "anyio.open_file + read, anyio on trio": on_anyio_trio(anyio_read, few),
    }), ROUNDS, rotate=True))
    ratios(t, "kovra_uring.open + read, anyio on trio",
           [("anyio.open_file + read, anyio on trio", 10.0)])
    ratios(t, "Driver.read_file, anyio on trio",
           [("anyio.open_file + read, anyio on trio", None)])
    t.note(f"{len(paths)} files per run; anyio.open_file reads the first {len(few)}")
    if not HAVE_OPEN:
        t.note("kovra_uring.open is not in this build: its rows are left out")
    t.emit()


# ------------------------------------------------------------- cold reads

async def driver_reads(fd: int, offsets: list[int], fan_out: Callable[..., Awaitable[int]]
                       ) -> int:
    async def read(off: int) -> bytes:
        return await io.read(fd, BLOCK, off)

    # Offsets stand in for paths: each task reads the next one.
    async with Driver(ENTRIES) as io:
        return await fan_out(read, offsets)


def cold_table() -> None:
    path = big_file()
    fd = open_random(path)
    offsets = random_offsets(COLD_READS, seed=64)
    ring = Ring(ENTRIES)
    retries: list[str] = []
    runs = {
        "raw Ring, cold, depth 64": lambda: ring_reads(ring, fd, offsets, CONCURRENCY),
        "Driver.read, trio, cold, 64 tasks":
            lambda: trio.run(driver_reads, fd, offsets, trio_fan_out),
        "Driver.read, asyncio, cold, 64 tasks":
            lambda: asyncio.run(driver_reads(fd, offsets, asyncio_fan_out)),
    }
    t = Table("W10", "trio: cold random 4 KiB reads at depth 64 (pages dropped, mincore-checked)")
    t.add_samples(interleave({name: retried_once(cold_runner(path, offsets, job), retries)
                              for name, job in runs.items()}, ROUNDS, rotate=True))
    t.speed_check("Driver.read, trio, cold, 64 tasks", "raw Ring, cold, depth 64", 0.9)
    t.speed_check("Driver.read, trio, cold, 64 tasks", "Driver.read, asyncio, cold, 64 tasks",
                  None)
    t.note(f"{len(offsets)} reads per run of W6's 256 MiB file, opened with POSIX_FADV_RANDOM; "
           "each run drops the file's pages first and checks with mincore that every page "
           "read is cached afterwards" + (f"; runs repeated after a failed check: "
                                          f"{len(retries)}" if retries else ""))
    t.emit()


# ------------------------------------------------------------------- lag

async def probe(stop: trio.Event, lags: list[float]) -> None:
    """Sleeps TICK again and again; each wake-up's delay past TICK, in seconds."""
    now, sleep = time.perf_counter, trio.sleep
    while not stop.is_set():
        t0 = now()
        await sleep(TICK)
        lags.append(now() - t0 - TICK)


def lag_run(read: Read | None, paths: list[str]) -> tuple[int, float, list[float]]:
    """One run -> (files read, seconds, lags); `read` None: the idle run."""
    async def main() -> tuple[int, float, list[float]]:
        lags: list[float] = []
        stop = trio.Event()
        async with trio.open_nursery() as nursery:
            nursery.start_soon(probe, stop, lags)
            await trio.sleep(0)  # the probe's first sleep is under way
            t0 = time.perf_counter()
            if read is None:
                await trio.sleep(IDLE_SECONDS)
                n = 0
            else:
                n = await trio_fan_out(read, paths)
            dt = time.perf_counter() - t0
            stop.set()
        return n, dt, lags
    return trio.run(main)


def lag_table(paths: list[str]) -> None:
    ours = "kovra_uring.open + read, trio" if HAVE_OPEN else "Driver.read_file, trio"
    readers: dict[str, Read | None] = {
        ours: kovra_read if HAVE_OPEN else driver_read,
        "trio.open_file + read": trio_read,
        "idle trio run (probe only)": None,
    }
    t = Table("W10", "trio: lag of a 1 ms trio.sleep while 64 tasks read 20,000 files of 4 KiB")
    stats: dict[str, dict[str, list[float]]] = {}

    def runner(name: str, read: Read | None) -> Callable[[], float | None]:
        st = stats.setdefault(name, {"p50": [], "p99": [], "max": []})

        def run() -> float | None:
            n, dt, lags = lag_run(read, paths)
            st["p50"].append(percentile(lags, 50))
            st["p99"].append(percentile(lags, 99))
            st["max"].append(max(lags))
            return dt * 1e9 / n if n else None
        return run

    for read in readers.values():  # warm-up: imports, trio's thread cache
        if read is not None:
            lag_run(read, paths[:THREAD_FILES // 4])
    samples = interleave({name: runner(name, read) for name, read in readers.items()},
                         LAG_ROUNDS, rotate=True, warmup=False)
    for name, xs in samples.items():
        st = stats[name]
        row = t.add(name, statistics.median(xs) if xs else None, samples=xs,
                    extra={"lag p50 ms": fmt_ms(st["p50"]), "lag p99 ms": fmt_ms(st["p99"]),
                           "lag max ms": fmt_ms(st["max"])})
        row["lag_ms"] = {k: statistics.median(st[k]) * 1e3 for k in ("p50", "p99", "max")}
    a, b = (statistics.median(stats[n]["p99"]) for n in (ours, "trio.open_file + read"))
    t.check(ours, "trio.open_file + read", b / a if a else None, "p99 lag below", a < b)
    t.speed_check(ours, "trio.open_file + read", None)
    t.note(f"{len(paths)} files per run, every reader ({LAG_ROUNDS} rounds); the ratio of "
           "the lag check is trio.open_file's p99 lag over ours (above 1: ours is lower)")
    t.emit()


def main() -> None:
    paths = tree()[:FILES]
    files_table(paths)
    anyio_table(paths)
    cold_table()
    lag_table(paths)


if __name__ == "__main__":
    main()
