"""Arguments as the ring takes them, and its results as os gives them."""

from __future__ import annotations

import errno
import operator
import os
from typing import Any

__all__ = ["FIRST_READ", "STAT_FROM", "MAX_READ", "MAX_WRITE", "CURRENT_POSITION", "HERE", "PSEUDO_DIRS",
           "SHM_DIR", "read_size", "ring_path", "data_arg", "part", "stat_result", "times_wrapped"]

# The first read of a whole file: one round trip for most small files,
# without paying for a big buffer (allocation, page faults) on every one of
# them. Larger files continue with reads that double in size; from STAT_FROM
# on a statx sizes the file to read it whole. No read asks for more than
# MAX_READ.
FIRST_READ = 16 * 1024
STAT_FROM = 128 * 1024
MAX_READ = 1 << 30
# The ring queues at most 4 GiB - 1 per write, and the kernel writes at most
# 2 GiB - 4 KiB per call anyway: longer data goes in parts of this size.
MAX_WRITE = 1 << 30

# Where devices, streams and the kernel's own files live. Their reads may
# come back short before the end (a /proc file gives a page at a time, a
# FIFO what was written so far), and a position may mean nothing: what reads
# a file whole stops at a short read only elsewhere (and in SHM_DIR, where
# regular files in memory live).
PSEUDO_DIRS = ("/dev/", "/proc/", "/sys/")
SHM_DIR = "/dev/shm/"

# io_uring reads and writes at offset -1 (as an unsigned 64-bit value) use and
# advance the file position, like os.read and os.write.
CURRENT_POSITION = 2**64 - 1
# What a file object passes the driver for an offset, meaning "at the
# kernel's position, and no look at the descriptor" (it knows it is a file):
# an int object of its own, told apart by identity, so that the same number
# from any other caller is refused as os refuses it.
HERE = int(str(CURRENT_POSITION))


def read_size(size: int) -> int:
    """A read's size as os.read checks it, limited to MAX_READ (a read may
    return less than asked anyway)."""
    size = operator.index(size)
    if size < 0:
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
    if size >= 1 << 63:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return min(size, MAX_READ)


def ring_path(path: str | bytes) -> str:
    """`path` (already through os.fspath) as the ring takes it. A name that
    is not UTF-8 comes out with surrogate escapes, which the ring refuses
    with UnicodeEncodeError."""
    return path if isinstance(path, str) else os.fsdecode(path)


def data_arg(data: Any) -> bytes | memoryview:
    """Bytes-like `data` as the ring takes it: `bytes` as they are (no copy),
    anything else copied, except what is too long for one write, which is
    left as a byte view for part() to cut. Like os.write, anything that is
    not bytes-like raises TypeError."""
    if isinstance(data, bytes):
        return data
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None
    if not view.c_contiguous:
        raise BufferError("memoryview: underlying buffer is not C-contiguous")
    if view.nbytes > MAX_WRITE:
        return view.cast("B") if view.format != "B" or view.ndim != 1 else view
    return view.tobytes()


def part(data: bytes | memoryview, offset: int) -> bytes:
    """The `bytes` of one write of `data` from `offset`: no copy when that is
    all of it."""
    if offset == 0 and len(data) <= MAX_WRITE and isinstance(data, bytes):
        return data
    with memoryview(data) as view:
        return view[offset:offset + MAX_WRITE].tobytes()


def times_wrapped(t: tuple[int, ...]) -> bool:
    """Whether a time of the ring's statx tuple may have wrapped: the ring
    gives nanoseconds in 64 signed bits, which a time after 2262 (ext4 and
    xfs store them up to 2446 and 2486) overflows into a negative value.
    os tells such a time from one before 1970."""
    return t[7] < 0 or t[8] < 0 or t[9] < 0


def stat_result(t: tuple[int, ...]) -> os.stat_result:
    """The ring's 13-item statx tuple as os.stat would return it (float times
    computed the way CPython computes them, from seconds and nanoseconds)."""
    mode, ino, dev, nlink, uid, gid, size, atime, mtime, ctime, blksize, blocks, rdev = t
    a, an = divmod(atime, 1_000_000_000)
    m, mn = divmod(mtime, 1_000_000_000)
    c, cn = divmod(ctime, 1_000_000_000)
    # All fields by position, in os.stat_result's order.
    return os.stat_result((mode, ino, dev, nlink, uid, gid, size, a, m, c,
                           a + an * 1e-9, m + mn * 1e-9, c + cn * 1e-9,
                           atime, mtime, ctime, blksize, blocks, rdev))
