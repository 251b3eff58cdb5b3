"""W9: many files at once from synchronous code: read_files, iread_files,
write_files and stat_files on the 20,000 files of 4 KiB of W2.

Four tables, each against the synchronous loop it replaces, in the same run:
- page-cached reads: read_files (the list of contents kept, as the call
  returns it) and iread_files (each file's bytes dropped as it comes), against
  a Path.read_bytes loop keeping its results, the raw Ring loop of W2 (which
  drops every file's bytes), the same loop keeping them, and C liburing's
  chains. A file kept alive takes fresh memory: the "page faults/file" column
  counts what that costs each row (the kernel maps and zeroes the pages);
- cold reads: every file's pages dropped first (POSIX_FADV_DONTNEED per file,
  mincore checks that none is resident before and every one after), against
  the Path.read_bytes loop and a ThreadPoolExecutor(64) of it;
- writes, against a Path.write_bytes loop: the same files rewritten on the
  data disk, new files on tmpfs;
- stat of the 20,000 paths, dentries and inodes cached, against an os.stat
  loop; a row with stat_files' ring route forced shows why it is not taken
  there.
"""

from __future__ import annotations

import os
import resource
import shutil
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable

import _uring

from cold import resident_pages
from common import (BLOCK, DATA, QD, REPS_ARG, Table, c_timed, interleave, median, ring_waiter,
                    scaled, timed, tree, tree_listing)
from w2_small_files import ring_loop

try:
    from kovra_uring import iread_files, read_files, stat_files, write_files
except ImportError:  # not exported yet
    from kovra_uring._batch import iread_files, read_files, stat_files, write_files
from kovra_uring import _batch

FILES = scaled(20_000, 500)
ROUNDS = scaled(9, 2)
COLD_ROUNDS = scaled(5, 1)
WRITE_ROUNDS = scaled(5, 1)

READ_FILES = "read_files"
READ_BYTES = "Path.read_bytes loop"
W2 = "raw Ring, W2 loop (drops the bytes)"
W2_KEEP = "raw Ring, W2 loop keeping the bytes"
C_CHAINS = "C liburing open+read+close chains QD64"


def ring_loop_keeping(ring: _uring.Ring, paths: list[str]) -> list[bytes]:
    """W2's Ring loop (w2_small_files.ring_loop), keeping each file's bytes in
    a list as read_files must: the same work as read_files."""
    submit_open_read, submit_close_fixed = ring.submit_open_read, ring.submit_close_fixed
    submit, reap = ring.submit, ring.reap
    wait = ring_waiter(ring)
    flags, n = os.O_RDONLY, len(paths)
    out: list[bytes] = []
    keep = out.append
    owner: dict[int, int] = {}
    nxt = 0
    for slot in range(min(QD, n)):
        _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
        owner[read_id] = slot
        nxt += 1
    submit()
    done = 0
    while done < n:
        completions = reap()
        if not completions:
            wait()
            continue
        for ud, res, data in completions:
            slot = owner.pop(ud, None)
            if slot is None:
                continue
            if slot >= 0:
                if res != BLOCK:
                    raise RuntimeError("failed or short read")
                keep(data)
                owner[submit_close_fixed(slot)] = -1 - slot
            else:
                slot = -1 - slot
                done += 1
                if nxt < n:
                    _open_id, read_id = submit_open_read(paths[nxt], flags, 0, BLOCK, slot)
                    owner[read_id] = slot
                    nxt += 1
        submit()
    return out


def checked(contents: list[bytes], n: int) -> int:
    if len(contents) != n or any(len(c) != BLOCK for c in contents):
        raise RuntimeError("wrong contents")
    return n


def faulting(run: Callable[[], float | None], faults: list[float], n: int
             ) -> Callable[[], float | None]:
    """`run`, noting its minor page faults per file in `faults`."""
    def counted() -> float | None:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        v = run()
        faults.append((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / n)
        return v
    return counted


def cached_reads(paths: list[str]) -> Table:
    t = Table("W9", f"read_files: {len(paths):,} files of 4 KiB, page-cached")
    ring = _uring.Ring(256)
    n = len(paths)

    def streamed() -> int:
        done = 0
        for _i, data in iread_files(paths):
            if len(data) != BLOCK:
                raise RuntimeError("wrong contents")
            done += 1
        return done

    runs: dict[str, Callable[[], float | None]] = {
        READ_FILES: timed(lambda: checked(read_files(paths), n)),
        "iread_files (bytes dropped as they come)": timed(streamed),
        READ_BYTES: timed(lambda: checked([Path(p).read_bytes() for p in paths], n)),
        W2: timed(lambda: ring_loop(ring, paths)),
        W2_KEEP: timed(lambda: checked(ring_loop_keeping(ring, paths), n)),
        C_CHAINS: c_timed("uring-files", tree_listing(), REPS_ARG, QD),
    }
    faults: dict[str, list[float]] = {k: [] for k in runs if not k.startswith("C ")}
    for k in faults:
        runs[k] = faulting(runs[k], faults[k], n)
    t.add_samples(interleave(runs, ROUNDS))
    for r in t.rows:
        if r["impl"] in faults:
            r["extra"]["page faults/file"] = f"{median(faults[r['impl']]):.2f}"
    t.speed_check(READ_FILES, READ_BYTES, 3.5)
    t.speed_check(READ_FILES, W2, 0.9)
    t.speed_check(READ_FILES, C_CHAINS, 0.75)
    t.speed_check(READ_FILES, W2_KEEP, None)
    t.speed_check("iread_files (bytes dropped as they come)", W2, None)
    if t.ns(C_CHAINS) is None:
        t.note("C baseline not built (liburing-dev missing): C row skipped")
    t.note("read_files and the Path.read_bytes loop keep 80 MB of contents alive, the W2 loop "
           "and iread_files here drop each file's bytes at once: fresh memory costs the "
           "kernel a page fault per file (column), which the rows that drop pay not")
    return t


def drop_tree(paths: list[str]) -> None:
    """Evicts the pages of every file; none may stay resident."""
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
    left = sum(map(resident_pages, paths))
    if left:
        raise RuntimeError(f"{left} pages still cached after POSIX_FADV_DONTNEED")


def cold(paths: list[str], read: Callable[[], int], retried: list[str],
         evicted: list[int]) -> Callable[[], float]:
    """One cold repetition of `read` -> ns per file: pages dropped first, the
    files resident afterwards. `read` checks every file's contents, so the
    count afterwards may miss a few pages evicted again before it (noted in
    `evicted`), not more than 1%; a run failing that is retried once, as in
    W6."""
    def run() -> float:
        drop_tree(paths)
        t0 = time.perf_counter_ns()
        n = read()
        dt = time.perf_counter_ns() - t0
        got = sum(map(resident_pages, paths))
        if n != len(paths) or got < 0.99 * len(paths):
            raise RuntimeError(f"cold run read {n} of {len(paths)} files; "
                               f"{got} of {len(paths)} pages cached afterwards")
        evicted.append(len(paths) - got)
        return dt / n

    def once() -> float:
        try:
            return run()
        except RuntimeError as e:
            retried.append(str(e))
            return run()
    return once


def cold_reads(paths: list[str]) -> Table:
    t = Table("W9", f"read_files: {len(paths):,} files of 4 KiB, cold (pages dropped)")
    n = len(paths)
    retried: list[str] = []
    evicted: list[int] = []

    def read_bytes(p: str) -> bytes:
        return Path(p).read_bytes()

    with ThreadPoolExecutor(max_workers=64) as pool:
        samples = interleave({
            "read_files, cold": cold(paths, lambda: checked(read_files(paths), n), retried,
                                     evicted),
            "Path.read_bytes loop, cold": cold(
                paths, lambda: checked([Path(p).read_bytes() for p in paths], n), retried,
                evicted),
            "ThreadPoolExecutor(64) of Path.read_bytes, cold": cold(
                paths, lambda: checked(list(pool.map(read_bytes, paths)), n), retried, evicted),
        }, COLD_ROUNDS, rotate=True)
    t.add_samples(samples)
    for p in paths:  # leave them cached, as the other workloads expect
        Path(p).read_bytes()
    t.speed_check("read_files, cold", "Path.read_bytes loop, cold", 3.0)
    t.speed_check("read_files, cold", "ThreadPoolExecutor(64) of Path.read_bytes, cold", 1.0)
    if retried:
        t.note(f"{len(retried)} cold repetitions retried: {'; '.join(retried)}")
    if any(evicted):
        t.note(f"pages evicted again before the count after a run: at most {max(evicted)} of "
               f"{n:,}, in {sum(map(bool, evicted))} of {len(evicted)} runs")
    return t


def writes(n: int, root: Path, title: str, rewrite: bool) -> Table:
    """With `rewrite`, every run writes the same files under `root`, kept
    from run to run (and from bench to bench); otherwise each run creates
    its files in new directories, removed after it (untimed)."""
    t = Table("W9", f"write_files: {n:,} files of 4 KiB, {title}")
    data = [os.urandom(BLOCK) for _ in range(64)]
    runs = iter(range(1 << 30))

    def items_in(top: Path) -> list[tuple[str, bytes]]:
        dirs = [top / f"d{d:03d}" for d in range(20)]
        for d in dirs:
            d.mkdir(parents=True, exist_ok=True)
        return [(str(dirs[i % len(dirs)] / f"f{i:05d}.dat"), data[i % len(data)])
                for i in range(n)]

    def one(write: Callable[[list[tuple[str, bytes]]], object]) -> Callable[[], float]:
        def run() -> float:
            top = root if rewrite else root / f"run{next(runs)}"
            items = items_in(top)
            t0 = time.perf_counter_ns()
            write(items)
            dt = time.perf_counter_ns() - t0
            if os.stat(items[-1][0]).st_size != BLOCK:
                raise RuntimeError("file not written")
            if not rewrite:
                shutil.rmtree(top)
            return dt / n
        return run

    def loop(items: list[tuple[str, bytes]]) -> None:
        for p, b in items:
            Path(p).write_bytes(b)

    try:
        t.add_samples(interleave({
            "write_files": one(write_files),
            "Path.write_bytes loop": one(loop),
        }, WRITE_ROUNDS))
    finally:
        if not rewrite:
            shutil.rmtree(root, ignore_errors=True)
    t.speed_check("write_files", "Path.write_bytes loop", 2.0)
    return t


def stats(paths: list[str]) -> Table:
    t = Table("W9", f"stat_files: {len(paths):,} paths, dentries cached")

    def ring_route() -> int:
        slow = _batch.SLOW_STAT_NS
        _batch.SLOW_STAT_NS = -1  # every chunk after the first to the ring
        try:
            return len(stat_files(paths))
        finally:
            _batch.SLOW_STAT_NS = slow

    t.add_samples(interleave({
        "stat_files": timed(lambda: len(stat_files(paths))),
        "os.stat loop": timed(lambda: len([os.stat(p) for p in paths])),
        "stat_files, ring route forced": timed(ring_route),
    }, ROUNDS))
    t.speed_check("stat_files", "os.stat loop", 1.0)
    t.speed_check("stat_files, ring route forced", "os.stat loop", None)
    return t


def fs_type(path: Path) -> str:
    """The type of the file system holding `path`, from /proc/mounts."""
    best, kind, target = "", "unknown", os.path.realpath(path)
    with open("/proc/mounts") as mounts:
        for line in mounts:
            _dev, mnt, fstype = line.split()[:3]
            if (target == mnt or target.startswith(mnt.rstrip("/") + "/")) and len(mnt) >= len(best):
                best, kind = mnt, fstype
    return kind


def main() -> None:
    paths = tree()[:FILES]
    tables = [cached_reads(paths), cold_reads(paths)]
    # On the data disk, every run rewrites the same files (truncated, then
    # written): creating new ones would need as many removed, and ext4 makes a
    # file created where many were removed minutes before pay for a search for
    # an inode not recently freed, which swamps what is measured (and slows
    # every other user of the disk meanwhile). New files on tmpfs.
    tables.append(writes(len(paths), DATA / "w9-write",
                         f"rewritten, on the data disk ({fs_type(DATA)})", rewrite=True))
    if os.path.isdir("/dev/shm"):
        tables.append(writes(len(paths), Path("/dev/shm") / f"kovra-w9-{os.getpid()}",
                             "new, on tmpfs (/dev/shm)", rewrite=False))
    tables.append(stats(paths))
    for table in tables:
        table.emit()


if __name__ == "__main__":
    main()
