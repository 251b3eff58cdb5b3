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
        sys.stderr.write("\r" + " " * 60 + "\r")
        sys.stderr.flush()


async def for_each(items: Sequence, fn: Callable[[object], Awaitable[int]],
                   concurrency: int, label: str) -> int:
    """Run fn over items with at most `concurrency` in flight; sum the results."""
    it, total, progress = iter(items), 0, Progress(label, len(items))

    async def worker() -> None:
        nonlocal total
        for item in it:
            n = await fn(item)
            total += n
            progress.step()

    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(items)) or 1)))
    return total


async def job(name: str, io, src: str, dst: str, files: list[str], dirs: list[str],
              concurrency: int) -> dict[str, tuple[int | None, float]]:
    """Read, stat, copy and verify every file: {phase: (bytes moved, seconds)}."""
    timings: dict[str, tuple[int | None, float]] = {}

    async def phase(label: str, fn, before=None) -> None:
        t0 = time.perf_counter()
        if before:
            await before()
        n = await for_each(files, fn, concurrency, f"{name} {label}")
        timings[label] = (n, time.perf_counter() - t0)

    async def read(rel: str) -> int:
        return len(await io.read_file(os.path.join(src, rel)))

    async def stat(rel: str) -> int:
        await io.stat(os.path.join(src, rel))
        return 0

    async def mkdirs() -> None:
        await io.mkdir(dst)
        by_depth: dict[int, list[str]] = {}
        for d in dirs:
            by_depth.setdefault(d.count(os.sep), []).append(d)
        for level in by_depth.values():  # parents before their children
            await asyncio.gather(*(io.mkdir(os.path.join(dst, d)) for d in level))

    async def copy(rel: str) -> int:
        data = await io.read_file(os.path.join(src, rel))
        await io.write_file(os.path.join(dst, rel), data)
        return 2 * len(data)

    async def verify(rel: str) -> int:
        a, b = await asyncio.gather(io.read_file(os.path.join(src, rel)),
                                    io.read_file(os.path.join(dst, rel)))
        if a != b:
            raise SystemExit(f"{name}: the copy of {rel} differs from the original")
        return 2 * len(a)

    await phase("read", read)
    await phase("stat", stat)
    await phase("copy", copy, before=mkdirs)
    await phase("verify", verify)
    timings["stat"] = (None, timings["stat"][1])
    Progress.clear()
    return timings


def human(n: float | None) -> str:
    if n is None:
        return "-"
    for unit in ("B", "KiB", "MiB"):
        if n < 1024:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def table(nfiles: int, uring: dict, threads: dict) -> str:
    rows = [("operation", "files", "bytes", "io_uring", "threads", "speed-up")]
    for name in [*uring, "total"]:
        if name == "total":
            files, n = nfiles * len(uring), sum(b or 0 for b, _ in uring.values())
            tu, tt = (sum(t for _, t in d.values()) for d in (uring, threads))
        else:
            files, (n, tu), tt = nfiles, uring[name], threads[name][1]
        rows.append((name, str(files), human(n), f"{tu:.3f} s", f"{tt:.3f} s", f"{tt / tu:.2f}x"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
             for r in rows]
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)


def warm(src: str, files: list[str]) -> None:
    """Read everything once so that both back ends start from the page cache."""
    progress = Progress("warming the page cache", len(files))
    for rel in files:
        with open(os.path.join(src, rel), "rb") as f:
            while f.read(1 << 20):
                pass
        progress.step()
    Progress.clear()


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
        warm(src, files)
        async with Driver(args.entries) as io:
            uring = await job("io_uring", io, src, os.path.join(tmp, "copy-uring"), files, dirs,
                              args.concurrency)
        threads = await job("threads", Threads(), src, os.path.join(tmp, "copy-threads"), files,
                            dirs, args.concurrency)
    if args.tree:
        size = human(sum(os.path.getsize(os.path.join(src, f)) for f in files))
        print(f"{len(files)} files, {size}, under {src}; {args.concurrency} at a time")
    else:
        print(f"{len(files)} files in a generated tree ({args.small} of 1-16 KiB, {args.large} of "
              f"{args.large_mib} MiB); {args.concurrency} at a time")
    print(f"io_uring: one ring of {args.entries} entries, {io.slots} direct-descriptor slots; "
          f"threads: asyncio.to_thread, {min(32, (os.cpu_count() or 1) + 4)} workers")
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
