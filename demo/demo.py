"""Read, stat, copy and verify a tree of files through the io_uring driver, and
compare it with a plain synchronous loop, asyncio.to_thread and, when it is
installed, aiofiles.

    python demo/demo.py                      # a generated tree in a temp dir
    python demo/demo.py --tree ~/src/proj    # your own files (only read)
    python demo/demo.py --small 500 --large 2 --large-mib 64

Every phase runs --rounds times for each back end, the order of the back ends
rotated from round to round so that none always goes first; the table shows
the median time and how far the rounds lie apart. The "cold read" phase drops
each file's pages from the page cache (posix_fadvise DONTNEED, which only
evicts clean cached copies) before every run, so that the reads go to the
disk: the case io_uring is for. Symbolic links are not followed; files that
cannot be read are reported and left out.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import mmap
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable, Coroutine, Sequence

import kovra_uring
from kovra_uring import Driver

try:
    import aiofiles
    import aiofiles.os
except ImportError:  # the comparison is optional
    aiofiles = None


def shown(name: str) -> str:
    """A file name as it can be printed: bytes that are not UTF-8 (kept by os
    as surrogate escapes) appear as \\xNN instead of failing the print."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


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


def scan(root: str) -> tuple[list[str], list[str], list[str]]:
    """Relative paths of the regular files and of the directories under root,
    and what was left out. Symbolic links are neither followed nor copied;
    names come as os gives them (str, with undecodable bytes escaped)."""
    files, dirs, skipped = [], [], []

    def unreadable_dir(e: OSError) -> None:
        skipped.append(f"{shown(os.path.relpath(e.filename, root))}/ ({e.strerror})")

    for top, subdirs, names in os.walk(root, onerror=unreadable_dir):
        rel = os.path.relpath(top, root)
        subdirs[:] = [d for d in subdirs if not os.path.islink(os.path.join(top, d))]
        dirs += [os.path.normpath(os.path.join(rel, d)) for d in subdirs]
        for name in names:
            p = os.path.join(top, name)
            if not os.path.islink(p) and os.path.isfile(p):
                files.append(os.path.normpath(os.path.join(rel, name)))
    return sorted(files), sorted(dirs, key=lambda d: d.count(os.sep)), skipped


def warm(src: str, files: list[str], skipped: list[str]) -> tuple[list[str], int]:
    """Reads every file once, so that all back ends start from the page cache;
    a file that cannot be read is left out (and listed in `skipped`).
    Returns the readable files and their total size."""
    progress = Progress("warming the page cache", len(files))
    ok, total = [], 0
    for rel in files:
        try:
            with open(os.path.join(src, rel), "rb") as f:
                while chunk := f.read(1 << 20):
                    total += len(chunk)
        except OSError as e:
            skipped.append(f"{shown(rel)} ({e.strerror})")
        else:
            ok.append(rel)
        progress.step()
    Progress.clear()
    return ok, total


def drop_pages(path: str) -> None:
    """Evicts the file's pages from the page cache. Dirty pages stay, so the
    file is written back first (a no-op once it is clean)."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fdatasync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


_mincore = ctypes.CDLL(None, use_errno=True).mincore
_mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]


def first_page_cached(path: str) -> bool:
    """Whether the first page of the file is in the page cache (mincore on a
    private mapping, which reports the file's pages until one is written)."""
    with open(path, "rb") as f:
        size = min(os.fstat(f.fileno()).st_size, mmap.PAGESIZE)
        if size == 0:
            return False
        with mmap.mmap(f.fileno(), size, access=mmap.ACCESS_COPY) as m:
            view = ctypes.c_char.from_buffer(m)
            try:
                vec = ctypes.create_string_buffer(1)
                if _mincore(ctypes.addressof(view), size, vec) != 0:
                    raise OSError(ctypes.get_errno(), "mincore failed", path)
                return bool(vec.raw[0] & 1)
            finally:
                del view


def drops_work(src: str, files: list[str]) -> bool:
    """Whether dropping pages empties the cache for this tree: not on tmpfs,
    for example, whose files live in the page cache."""
    sample = files[:: max(1, len(files) // 50)]
    for rel in sample:
        drop_pages(os.path.join(src, rel))
    cached = sum(first_page_cached(os.path.join(src, rel)) for rel in sample)
    for rel in sample:  # cached again, for the phases that expect it
        _read_bytes(os.path.join(src, rel))
    return cached <= len(sample) // 10


# -- the back ends -----------------------------------------------------------

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


class Sync:
    """Plain os calls, one file after another: the coroutines below never
    suspend, and run_now() steps each one through without an event loop."""
    sequential = True

    async def read_file(self, path: str) -> bytes:
        return _read_bytes(path)

    async def write_file(self, path: str, data: bytes) -> None:
        _write_bytes(path, data)

    async def stat(self, path: str) -> os.stat_result:
        return os.stat(path)

    async def mkdir(self, path: str) -> None:
        os.mkdir(path)


class Threads:
    """The same os calls through asyncio.to_thread."""

    async def read_file(self, path: str) -> bytes:
        return await asyncio.to_thread(_read_bytes, path)

    async def write_file(self, path: str, data: bytes) -> None:
        await asyncio.to_thread(_write_bytes, path, data)

    async def stat(self, path: str) -> os.stat_result:
        return await asyncio.to_thread(os.stat, path)

    async def mkdir(self, path: str) -> None:
        await asyncio.to_thread(os.mkdir, path)


class KovraFiles:
    """kovra_uring's aiofiles-shaped API (file objects, kovra_uring.os) on the
    running loop's own driver."""

    async def read_file(self, path: str) -> bytes:
        async with kovra_uring.open(path, "rb") as f:
            return await f.read()

    async def write_file(self, path: str, data: bytes) -> None:
        async with kovra_uring.open(path, "wb") as f:
            await f.write(data)

    async def stat(self, path: str) -> os.stat_result:
        return await kovra_uring.os.stat(path)

    async def mkdir(self, path: str) -> None:
        await kovra_uring.os.mkdir(path)


class AioFiles:
    """aiofiles, as its users write it."""

    async def read_file(self, path: str) -> bytes:
        async with aiofiles.open(path, "rb") as f:
            return await f.read()

    async def write_file(self, path: str, data: bytes) -> None:
        async with aiofiles.open(path, "wb") as f:
            await f.write(data)

    async def stat(self, path: str) -> os.stat_result:
        return await aiofiles.os.stat(path)

    async def mkdir(self, path: str) -> None:
        await aiofiles.os.mkdir(path)


def run_now(coro: Coroutine):
    """The result of a coroutine that never suspends, without an event loop."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    coro.close()
    raise RuntimeError("a synchronous operation suspended")


# -- the job -----------------------------------------------------------------

class Progress:
    """A status line on a terminal (nothing when stderr is not one)."""
    live = sys.stderr.isatty()

    def __init__(self, label: str, total: int):
        self.label, self.total, self.done, self.shown = label, total, 0, 0.0

    def step(self) -> None:
        self.done += 1
        if not self.live:
            return
        now = time.monotonic()
        if now - self.shown > 0.1 or self.done == self.total:
            self.shown = now
            sys.stderr.write(f"\r{self.label:<40} {self.done:>7}/{self.total}")
            sys.stderr.flush()

    @classmethod
    def clear(cls) -> None:
        if cls.live:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


async def for_each(io, items: Sequence[str], fn: Callable[[object, str], Awaitable[int]],
                   concurrency: int, label: str) -> int:
    """fn(io, item) over items, at most `concurrency` in flight (one after
    another for the synchronous back end); the sum of the results."""
    progress = Progress(label, len(items))
    total = 0
    if getattr(io, "sequential", False):
        for item in items:
            total += run_now(fn(io, item))
            progress.step()
        return total
    it = iter(items)

    async def worker() -> None:
        nonlocal total
        for item in it:
            total += await fn(io, item)
            progress.step()

    await asyncio.gather(*(worker() for _ in range(min(concurrency, len(items)) or 1)))
    return total


class Phase:
    """One operation over every file: `run` (timed) does `per_file` on each,
    after `prepare` (timed too: it is part of the job) and after `reset` (not
    timed: puts the tree back as the phase expects it)."""

    def __init__(self, name: str, per_file, reset=None, prepare=None):
        self.name, self.per_file, self.reset, self.prepare = name, per_file, reset, prepare


def phases(src: str, tmp: str, files: list[str], dirs: list[str], cold: bool) -> list[Phase]:
    def dst(io) -> str:
        return os.path.join(tmp, f"copy-{type(io).__name__.lower()}")

    async def read(io, rel: str) -> int:
        return len(await io.read_file(os.path.join(src, rel)))

    async def stat(io, rel: str) -> int:
        await io.stat(os.path.join(src, rel))
        return 0

    async def copy(io, rel: str) -> int:
        data = await io.read_file(os.path.join(src, rel))
        await io.write_file(os.path.join(dst(io), rel), data)
        return 2 * len(data)

    async def verify(io, rel: str) -> int:
        a = await io.read_file(os.path.join(src, rel))
        b = await io.read_file(os.path.join(dst(io), rel))
        if a != b:
            raise SystemExit(f"demo: the copy of {shown(rel)} differs from the original")
        return 2 * len(a)

    def drop_all(io) -> None:
        for rel in files:
            drop_pages(os.path.join(src, rel))

    def clear_copy(io) -> None:
        shutil.rmtree(dst(io), ignore_errors=True)
        # Dirty pages of earlier phases and rounds (the tree just written,
        # the copies just deleted) are written back by the kernel whenever
        # it decides, throttling whoever writes meanwhile: a round that met
        # writeback took ten times as long as one that did not. Each round
        # starts with nothing dirty, so each measures the same thing.
        os.sync()

    async def mkdirs(io) -> None:
        # Parents before their children: dirs is sorted by depth.
        root = dst(io)
        await io.mkdir(root)
        for d in dirs:
            await io.mkdir(os.path.join(root, d))

    out = [Phase("read", read)]
    if cold:
        out.append(Phase("cold read", read, reset=drop_all))
    out += [Phase("stat", stat), Phase("copy", copy, reset=clear_copy, prepare=mkdirs),
            Phase("verify", verify)]
    return out


async def measure(backends: dict[str, object], plan: list[Phase], files: list[str],
                  rounds: int, concurrency: int) -> dict[str, dict[str, list[float]]]:
    """{phase: {back end: seconds of each round}}, the back ends' order rotated
    from one round to the next."""
    names = list(backends)
    times: dict[str, dict[str, list[float]]] = {}
    for phase in plan:
        times[phase.name] = {n: [] for n in names}
        for r in range(rounds):
            shift = r % len(names)
            for name in names[shift:] + names[:shift]:
                io = backends[name]
                if phase.reset:
                    phase.reset(io)
                label = f"{phase.name}, round {r + 1}/{rounds}: {name}"
                t0 = time.perf_counter()
                if phase.prepare:
                    if getattr(io, "sequential", False):
                        run_now(phase.prepare(io))
                    else:
                        await phase.prepare(io)
                await for_each(io, files, phase.per_file, concurrency, label)
                times[phase.name][name].append(time.perf_counter() - t0)
    Progress.clear()
    return times


# -- the report --------------------------------------------------------------

def human(n: float | None) -> str:
    if n is None:
        return "-"
    for unit in ("B", "KiB", "MiB"):
        if n < 1024:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def seconds(t: float) -> str:
    return f"{t:.3f} s" if t >= 1 else f"{t * 1e3:.1f} ms"


def spread(xs: list[float]) -> str:
    """Half the range of the rounds, relative to their median."""
    return f"±{(max(xs) - min(xs)) / 2 / statistics.median(xs) * 100:.0f}%"


def table(nfiles: int, size: int, times: dict[str, dict[str, list[float]]]) -> str:
    moved = {"read": size, "cold read": size, "stat": None, "copy": 2 * size,
             "verify": 2 * size}
    names = list(next(iter(times.values())))
    first = names[0]
    rows = [("phase", "files", "bytes", "back end", "median", "spread", f"{first} speed-up")]
    for phase, per in [*times.items(), ("total", None)]:
        if per is None:  # each back end's medians added up; the files are the same files
            per = {n: [sum(statistics.median(times[p][n]) for p in times)] for n in names}
            nbytes = sum(moved[p] or 0 for p in times)
        else:
            nbytes = moved[phase]
        ours = statistics.median(per[first])
        for i, n in enumerate(names):
            t = statistics.median(per[n])
            rows.append((phase if i == 0 else "", str(nfiles) if i == 0 else "",
                         human(nbytes) if i == 0 else "", n, seconds(t),
                         spread(per[n]) if len(per[n]) > 1 else "",
                         "" if n == first else f"{t / ours:.2f}x"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    left = {0, 3}
    lines = ["  ".join(c.ljust(w) if i in left else c.rjust(w)
                       for i, (c, w) in enumerate(zip(r, widths))).rstrip() for r in rows]
    lines.insert(1, "-" * max(len(line) for line in lines))
    return "\n".join(lines)


async def main(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory(prefix="uring-demo-") as tmp:
        if args.tree:
            src = os.path.abspath(args.tree)
        else:
            src = os.path.join(tmp, "tree")
            sys.stderr.write(f"creating {args.small} small and {args.large} large files...\n")
            make_tree(src, args.small, args.large, args.large_mib)
        files, dirs, skipped = scan(src)
        files, size = warm(src, files, skipped)
        for s in skipped[:10]:
            print(f"skipped (cannot be read): {s}")
        if len(skipped) > 10:
            print(f"... and {len(skipped) - 10} more left out")
        if not files:
            raise SystemExit(f"demo: error: no readable regular files under {shown(src)}")
        cold = drops_work(src, files)
        async with Driver(args.entries) as io:
            backends: dict[str, object] = {"io_uring": io, "kovra_uring.open": KovraFiles(),
                                           "sync loop": Sync(), "to_thread": Threads()}
            if aiofiles is not None:
                backends["aiofiles"] = AioFiles()
            plan = phases(src, tmp, files, dirs, cold)
            times = await measure(backends, plan, files, args.rounds, args.concurrency)
            slots = io.slots
            backend = io.backend

    where = (f"under {shown(src)}" if args.tree else
             f"in a generated tree ({args.small} of 1-16 KiB, {args.large} of "
             f"{args.large_mib} MiB)")
    print(f"{len(files)} file{'s' * (len(files) != 1)}, {human(size)}, {where}; "
          f"{args.concurrency} at a time")
    print(f"io_uring: kovra_uring's Driver (read_file, write_file), one ring of {args.entries} "
          f"entries, {slots} direct-descriptor slots; kovra_uring.open: its file objects "
          f"and kovra_uring.os on the loop's own ring; sync loop: one file after another; to_thread: "
          f"{min(32, (os.cpu_count() or 1) + 4)} worker threads"
          + ("; aiofiles: the same threads" if aiofiles is not None
             else "; aiofiles: not installed"))
    print(f"{args.rounds} rounds per phase, the back ends' order rotated each round; the "
          "median time, the spread (half the range of the rounds), and how many times "
          "longer each back end took than io_uring")
    if backend != "io_uring":
        print(f"note: io_uring is refused here, so the driver ran on its {backend} back end "
              "(the io_uring column shows that fallback)")
    if not cold:
        print("no cold phase: dropping pages does not empty the page cache on this file "
              "system (as on tmpfs)")
    print(table(len(files), size, times))


# -- options -----------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    def error(self, message: str):
        """One line, no usage block: what is wrong and how to ask for help."""
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def count(least: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if n < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {n}")
        return n
    return parse


def entries(text: str) -> int:
    n = count(1)(text)
    if n > 32768:
        raise argparse.ArgumentTypeError(f"must be at most 32768, got {n}")
    return n


def directory(text: str) -> str:
    if not os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"no such directory: {text}")
    return text


def parse_args(argv=None) -> argparse.Namespace:
    p = Parser(description=__doc__.split("\n\n")[0],
               epilog="\n\n".join(__doc__.split("\n\n")[1:]),
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tree", metavar="DIR", type=directory,
                   help="use the files under DIR; they are only read, the copies go to a "
                        "temporary directory (default: generate a tree there)")
    p.add_argument("--small", type=count(0), default=3000, metavar="N",
                   help="small files (1-16 KiB) to generate (default: %(default)s)")
    p.add_argument("--large", type=count(0), default=4, metavar="N",
                   help="large files to generate (default: %(default)s)")
    p.add_argument("--large-mib", type=count(1), default=8, metavar="M",
                   help="size of each large file in MiB (default: %(default)s)")
    p.add_argument("--concurrency", type=count(1), default=64, metavar="N",
                   help="files in flight at once (default: %(default)s)")
    p.add_argument("--entries", type=entries, default=256, metavar="N",
                   help="submission queue size of the ring, 1 to 32768 "
                        "(default: %(default)s)")
    p.add_argument("--rounds", type=count(3), default=3, metavar="N",
                   help="rounds of each phase, at least 3 (default: %(default)s)")
    args = p.parse_args(argv)
    if args.tree is None and args.small + args.large == 0:
        p.error("nothing to generate: --small and --large are both 0")
    return args


if __name__ == "__main__":
    asyncio.run(main(parse_args()))
