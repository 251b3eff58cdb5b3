"""W7: how responsive the event loop stays while files are read.

64 coroutines read the 20,000 files of 4 KiB whole while a separate task keeps
asking for `asyncio.sleep(0.001)` and records how late each wake-up comes: the
delay every other task of a real program (a network handler, a timer) would
see. Reported per implementation: files/s, and the lag's median, 99th
percentile and maximum over the run, each a median over interleaved rounds.
- the reference driver (examples/driver.py, `Driver.read_file`);
- aiofiles (`aiofiles.open` + `read`), anyio (`anyio.Path.read_bytes`) and
  `asyncio.to_thread` of a plain open/read/close: a worker thread per call;
- synchronous reads inside the coroutines, which never give the loop back;
- the idle loop, the floor: only the probe, for a fixed time.
"""

from __future__ import annotations

import asyncio
import math
import os
import statistics
import time
from pathlib import Path
from typing import Awaitable, Callable

from common import Table, interleave, scaled, tree
# The readers of W5 (and its 64-coroutine fan-out), so that both measure the same.
from w5_driver import Driver, aiofiles_read, anyio_read, fan_out, to_thread_read

TICK = 0.001
ROUNDS = scaled(3, 3)
FILES = scaled(20_000, 600)
IDLE_SECONDS = scaled(1.0, 0.1)
WARM_FILES = scaled(1000, 100)


async def probe(stop: asyncio.Event, lags: list[float]) -> None:
    """Sleeps TICK again and again; each wake-up's delay past TICK, in seconds."""
    now, sleep = time.perf_counter, asyncio.sleep
    while not stop.is_set():
        t0 = now()
        await sleep(TICK)
        lags.append(now() - t0 - TICK)


async def read_sync(path: str) -> bytes:
    """A plain blocking read: the coroutine never gives the loop back."""
    return Path(path).read_bytes()


async def read_all(read: Callable[[str], Awaitable[bytes]], paths: list[str]) -> int:
    await fan_out(read, paths)
    return len(paths)


async def driver_job(paths: list[str]) -> Callable[[], Awaitable[int]]:
    io = await Driver().__aenter__()

    async def job() -> int:
        try:
            return await read_all(io.read_file, paths)
        finally:
            await io.aclose()

    return job


async def idle_job() -> int:
    await asyncio.sleep(IDLE_SECONDS)
    return 0


async def plain(job):
    """The set-up of a job that needs none."""
    return job


def jobs() -> dict[str, Callable[[list[str]], Awaitable[Callable[[], Awaitable[int]]]]]:
    """Implementation -> set-up coroutine that returns the timed job; set-up
    (the driver's ring) stays out of the time."""
    return {
        "reference driver (Driver.read_file)": driver_job,
        "aiofiles open + read": lambda paths: plain(lambda: read_all(aiofiles_read, paths)),
        "anyio Path.read_bytes": lambda paths: plain(lambda: read_all(anyio_read, paths)),
        "asyncio.to_thread(open/read/close)":
            lambda paths: plain(lambda: read_all(to_thread_read, paths)),
        "synchronous reads inside the coroutines":
            lambda paths: plain(lambda: read_all(read_sync, paths)),
        "idle loop (probe only)": lambda paths: plain(idle_job),
    }


def run_once(make, paths: list[str]) -> tuple[int, float, list[float]]:
    """One run on a fresh loop -> (files read, seconds, lags)."""
    async def main() -> tuple[int, float, list[float]]:
        job = await make(paths)
        lags: list[float] = []
        stop = asyncio.Event()
        task = asyncio.create_task(probe(stop, lags))
        await asyncio.sleep(0)  # the probe's first sleep is under way
        t0 = time.perf_counter()
        n = await job()
        dt = time.perf_counter() - t0
        stop.set()
        await task
        return n, dt, lags
    return asyncio.run(main())


def percentile(xs: list[float], q: float) -> float:
    """Nearest-rank percentile: a value that was measured."""
    s = sorted(xs)
    return s[max(0, min(len(s) - 1, math.ceil(q / 100 * len(s)) - 1))]


def fmt_ms(xs: list[float]) -> str:
    """Median over rounds with the range, in milliseconds."""
    m = statistics.median(xs) * 1e3
    lo, hi = min(xs) * 1e3, max(xs) * 1e3
    digits = 2 if hi < 10 else 1 if hi < 100 else 0
    return f"{m:.{digits}f} ({lo:.{digits}f}-{hi:.{digits}f})"


def main() -> None:
    paths = tree()[:FILES]
    t = Table("W7", "event-loop lag (how late a 1 ms sleep wakes) while 64 coroutines read "
                    "20,000 files of 4 KiB")
    stats: dict[str, dict[str, list[float]]] = {}

    def runner(name: str, make) -> Callable[[], float | None]:
        st = stats.setdefault(name, {"p50": [], "p99": [], "max": [], "samples": []})

        def run() -> float | None:
            n, dt, lags = run_once(make, paths)
            st["p50"].append(percentile(lags, 50))
            st["p99"].append(percentile(lags, 99))
            st["max"].append(max(lags))
            st["samples"].append(len(lags))
            return dt * 1e9 / n if n else None

        return run

    # Warm-up on a few files: imports, thread pools, the driver's first ring.
    for name, make in jobs().items():
        if "idle" not in name:
            run_once(make, paths[:WARM_FILES])
    samples = interleave({name: runner(name, make) for name, make in jobs().items()},
                         ROUNDS, rotate=True, warmup=False)
    for name, xs in samples.items():
        st = stats[name]
        extra = {"lag p50 ms": fmt_ms(st["p50"]), "lag p99 ms": fmt_ms(st["p99"]),
                 "lag max ms": fmt_ms(st["max"])}
        row = t.add(name, statistics.median(xs) if xs else None, samples=xs, extra=extra)
        row["lag_ms"] = {k: statistics.median(st[k]) * 1e3 for k in ("p50", "p99", "max")}
    impl = "reference driver (Driver.read_file)"
    for vs in ("aiofiles open + read", "anyio Path.read_bytes",
               "asyncio.to_thread(open/read/close)", "synchronous reads inside the coroutines"):
        t.speed_check(impl, vs, None)
    probes = {n: int(statistics.median(st["samples"])) for n, st in stats.items()}
    t.note(f"{len(paths)} files per run ({ROUNDS} rounds, order rotated each round); the "
           f"idle loop runs {IDLE_SECONDS:g} s. Lags are how late a 1 ms sleep wakes up: "
           "median over rounds, with the range over rounds in brackets. Wake-ups per run: "
           + ", ".join(f"{n.split(' (')[0]} {k}" for n, k in probes.items()))
    t.note(f"asyncio.to_thread and aiofiles use the loop's default executor "
           f"({min(32, (os.cpu_count() or 1) + 4)} threads here), anyio its own thread limiter")
    t.emit()


if __name__ == "__main__":
    main()
