"""Read, stat, copy and verify a tree of files through the io_uring driver and
through a thread pool, and compare the times.

    python examples/demo.py                      # a generated tree in a temp dir
    python examples/demo.py --tree ~/src/proj    # your own files (read only)
    python examples/demo.py --small 500 --large 2 --large-mib 64
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable, Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import Driver  # noqa: E402


# -- the working tree --------------------------------------------------------

def make_tree(root: str, small: int, large: int, large_mib: int) -> None:
    """`small` files of 1-16 KiB, 100 per directory, and `large` big ones."""
    rng = random.Random(20240607)
    for i in range(small):
        d = os.path.join(root, f"small/d{i // 100:03d}")
        if i % 100 == 0:
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"f{i:05d}.bin"), "wb") as f:
            f.write(rng.randbytes(rng.randint(1024, 16 * 1024)))
    if large:
        os.makedirs(os.path.join(root, "large"), exist_ok=True)
    for i in range(large):
        with open(os.path.join(root, f"large/big{i}.bin"), "wb") as f:
            f.write(rng.randbytes(large_mib << 20))


def scan(root: str) -> tuple[list[str], list[str]]:
    """Relative paths of the regular files and of the directories under root
    (symbolic links are neither followed nor copied)."""
    files, dirs = [], []
    for top, subdirs, names in os.walk(root):
        rel = os.path.relpath(top, root)
        subdirs[:] = [d for d in subdirs if not os.path.islink(os.path.join(top, d))]
        dirs += [os.path.normpath(os.path.join(rel, d)) for d in subdirs]
        for name in names:
            p = os.path.join(top, name)
            if not os.path.islink(p) and os.path.isfile(p):
                files.append(os.path.normpath(os.path.join(rel, name)))
    return sorted(files), sorted(dirs, key=lambda d: d.count(os.sep))


# -- the two back ends -------------------------------------------------------

def _read_bytes(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        chunks = [os.read(fd, os.fstat(fd).st_size + 1)]
        while chunks[-1]:
            chunks.append(os.read(fd, 1 << 20))
        return b"".join(chunks)
    finally:
        os.close(fd)


def _write_bytes(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)


class Threads:
    """The same job through asyncio.to_thread and plain os functions."""

    name = "threads"

    async def read_file(self, path: str) -> bytes:
        return await asyncio.to_thread(_read_bytes, path)

    async def write_file(self, path: str, data: bytes) -> None:
        await asyncio.to_thread(_write_bytes, path, data)

    async def stat(self, path: str) -> os.stat_result:
        return await asyncio.to_thread(os.stat, path)

    async def mkdir(self, path: str) -> None:
        await asyncio.to_thread(os.mkdir, path)


# -- the job -----------------------------------------------------------------

class Progress:
    def __init__(self, label: str, total: int):
        self.label, self.total, self.done, self.shown = label, total, 0, 0.0

    def step(self) -> None:
        self.done += 1
        now = time.monotonic()
        if now - self.shown > 0.1 or self.done == self.total:
            self.shown = now
            sys.stderr.write(f"\r{self.label:<22} {self.done:>7}/{self.total}")
            sys.stderr.flush()

    @staticmethod
    def clear() -> None:
        sys.stderr.write("\r" + " " * 40 + "\r")
        sys.stderr.flush()


async def for_each(items: Sequence, fn: Callable[[object], Awaitable[int]],
                   concurrency: int, label: str) -> int:
    """Run fn over items with at most `concurrency` in flight; sum the results."""
    it, total, progress = iter(items), 0, Progress(label, len(items))

    async def worker() -> None:
        nonlocal total
        for item in it:
            total += await fn(item)
            progress.step()

    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(items)) or 1)))
    return total


async def job(io, src: str, dst: str, files: list[str], dirs: list[str],
              concurrency: int) -> dict[str, tuple[int, float]]:
    """Read, stat, copy and verify every file; {phase: (bytes, seconds)}."""
    timings: dict[str, tuple[int, float]] = {}

    async def phase(name: str, items, fn) -> None:
        t0 = time.perf_counter()
        n = await for_each(items, fn, concurrency, f"{io.name} {name}")
        timings[name] = (n, time.perf_counter() - t0)

    async def read(rel: str) -> int:
        return len(await io.read_file(os.path.join(src, rel)))

    async def stat(rel: str) -> int:
        return (await io.stat(os.path.join(src, rel))).st_size

    async def copy(rel: str) -> int:
        data = await io.read_file(os.path.join(src, rel))
        await io.write_file(os.path.join(dst, rel), data)
        return len(data)

    async def verify(rel: str) -> int:
        a, b = await asyncio.gather(io.read_file(os.path.join(src, rel)),
                                    io.read_file(os.path.join(dst, rel)))
        if a != b:
            raise SystemExit(f"{io.name}: copy of {rel} differs from the original")
        return len(b)

    async def mkdirs() -> None:
        depth = -1
        for d in dirs:  # sorted by depth: parents exist before their children
            if d.count(os.sep) != depth:
                depth = d.count(os.sep)
                level = [x for x in dirs if x.count(os.sep) == depth]
                await asyncio.gather(*(io.mkdir(os.path.join(dst, x)) for x in level))

    await phase("read", files, read)
    await phase("stat", files, stat)
    t0 = time.perf_counter()
    await mkdirs()
    mkdir_time = time.perf_counter() - t0
    await phase("copy", files, copy)
    n, t = timings["copy"]
    timings["copy"] = (n, t + mkdir_time)
    await phase("verify", files, verify)
    Progress.clear()
    return timings


class UringIO(Driver):
    name = "io_uring"


def human(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return ""


def table(nfiles: int, uring: dict, threads: dict) -> str:
    rows = [("operation", "files", "bytes", "io_uring", "threads", "speed-up")]
    phases = list(uring)
    for name in phases + ["total"]:
        if name == "total":
            files, n = nfiles * len(phases), sum(uring[p][0] for p in phases)
            tu, tt = (sum(d[p][1] for p in phases) for d in (uring, threads))
        else:
            files, (n, tu), tt = nfiles, uring[name], threads[name][1]
        rows.append((name, str(files), human(n), f"{tu:.3f} s", f"{tt:.3f} s", f"{tt / tu:.2f}x"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
             for r in rows]
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)


async def main(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory(prefix="uring-demo-") as tmp:
        if args.tree:
            src = os.path.abspath(args.tree)
        else:
            src = os.path.join(tmp, "tree")
            sys.stderr.write(f"creating {args.small} small and {args.large} large files...")
            sys.stderr.flush()
            make_tree(src, args.small, args.large, args.large_mib)
            Progress.clear()
        files, dirs = scan(src)
        if not files:
            raise SystemExit(f"no regular files under {src}")
        async with UringIO(args.entries) as io:
            uring = await job(io, src, os.path.join(tmp, "copy-uring"), files, dirs, args.concurrency)
            slots = io.slots
        threads = await job(Threads(), src, os.path.join(tmp, "copy-threads"), files, dirs,
                            args.concurrency)
    workers = min(32, (os.cpu_count() or 1) + 4)
    print(f"{len(files)} files under {src if args.tree else 'a generated tree'}; "
          f"{args.concurrency} concurrent coroutines; ring of {args.entries} entries and "
          f"{slots} direct-descriptor slots; thread pool of {workers} workers")
    print(table(len(files), uring, threads))


def parse_args(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tree", metavar="DIR",
                   help="use the files under DIR (only read; the copy goes to a temp dir)")
    p.add_argument("--small", type=int, default=3000, metavar="N", help="small files (1-16 KiB) to generate")
    p.add_argument("--large", type=int, default=4, metavar="N", help="large files to generate")
    p.add_argument("--large-mib", type=int, default=8, metavar="M", help="size of each large file in MiB")
    p.add_argument("--concurrency", type=int, default=64, metavar="N", help="files in flight at once")
    p.add_argument("--entries", type=int, default=256, metavar="N", help="submission queue size of the ring")
    return p.parse_args(argv)


if __name__ == "__main__":
    asyncio.run(main(parse_args()))
