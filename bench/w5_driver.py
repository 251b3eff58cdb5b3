"""W5: read a tree of 20,000 files of 4 KiB under asyncio.

The same job four ways, each with 64 coroutines pulling paths from one shared
iterator and reading each file whole:
- the package's driver (kovra_uring.Driver, `Driver.read_file`) on one Ring;
- aiofiles (`aiofiles.open` + `read`, one executor hop per call);
- anyio (`anyio.Path.read_bytes`, one worker-thread hop per file);
- `asyncio.to_thread` of a plain open/read/close.
The thread-based ones run on a slice of the tree (their rate per file is flat).
"""

from __future__ import annotations

import asyncio
import os
import sys
from pathlib import Path

import aiofiles
import anyio

from common import (BLOCK, ROOT, Table, interleave, profile_note, profiling, scaled, timed,
                    tree)

from kovra_uring import Driver  # noqa: E402

CONCURRENCY = 64
REPS = scaled(7, 2)
THREAD_FILES = scaled(4000, 400)


async def fan_out(read, paths: list[str]) -> None:
    it = iter(paths)

    async def worker() -> None:
        for p in it:
            if len(await read(p)) != BLOCK:
                raise RuntimeError(f"short read of {p}")

    await asyncio.gather(*(worker() for _ in range(CONCURRENCY)))


def driver_job(paths: list[str], stats: dict) -> int:
    async def job() -> None:
        async with Driver() as io:
            await fan_out(io.read_file, paths)
            stats["chains"] = stats.get("chains", 0) + io.chains
            stats["fallbacks"] = stats.get("fallbacks", 0) + io.fallbacks
    asyncio.run(job())
    return len(paths)


async def aiofiles_read(path: str) -> bytes:
    async with aiofiles.open(path, "rb") as f:
        return await f.read()


def aiofiles_job(paths: list[str]) -> int:
    asyncio.run(fan_out(aiofiles_read, paths))
    return len(paths)


async def anyio_read(path: str) -> bytes:
    return await anyio.Path(path).read_bytes()


def anyio_job(paths: list[str]) -> int:
    anyio.run(fan_out, anyio_read, paths)
    return len(paths)


def read_whole(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.read(fd, 1 << 16)
    finally:
        os.close(fd)


async def to_thread_read(path: str) -> bytes:
    return await asyncio.to_thread(read_whole, path)


def to_thread_job(paths: list[str]) -> int:
    asyncio.run(fan_out(to_thread_read, paths))
    return len(paths)


def sync_job(paths: list[str]) -> int:
    for p in paths:
        if len(Path(p).read_bytes()) != BLOCK:
            raise RuntimeError("short read")
    return len(paths)


def main() -> None:
    paths = tree()
    few = paths[:THREAD_FILES]
    t = Table("W5", "asyncio: read a tree of 20,000 files of 4 KiB, 64 concurrent")
    stats: dict = {}
    t.add_samples(interleave({
        "reference driver (Driver.read_file)": timed(lambda: driver_job(paths, stats)),
        "aiofiles open + read": timed(lambda: aiofiles_job(few)),
        "anyio Path.read_bytes": timed(lambda: anyio_job(few)),
        "asyncio.to_thread(open/read/close)": timed(lambda: to_thread_job(few)),
        "synchronous Path.read_bytes loop (no asyncio)": timed(lambda: sync_job(paths)),
    }, REPS))

    impl = "reference driver (Driver.read_file)"
    t.speed_check(impl, "aiofiles open + read", 10.0)
    t.speed_check(impl, "asyncio.to_thread(open/read/close)", 5.0)
    t.speed_check(impl, "anyio Path.read_bytes", None)
    t.speed_check(impl, "synchronous Path.read_bytes loop (no asyncio)", None)
    runs = REPS + 1
    t.note(f"driver: {stats.get('chains', 0) // runs} files per run through "
           f"direct-descriptor chains, {stats.get('fallbacks', 0) // runs} through "
           "plain descriptors")
    profile_note(t, impl, [sys.executable, __file__, "child"], REPS * len(paths))
    t.emit()


def child() -> None:
    """The driver job alone, for the profiler."""
    paths = tree()
    profiling(True)
    for _ in range(REPS):
        driver_job(paths, {})
    profiling(False)


if __name__ == "__main__":
    child() if sys.argv[1:] == ["child"] else main()
