"""A reference asyncio driver for `_uring.Ring`.

One `Driver` owns one `Ring` and hooks its eventfd into the running event
loop.  Coroutines queue kernel operations with the ring's `submit_*` methods;
the first submission of a loop tick schedules one `submit()` for the end of
the tick, so any number of coroutines share a single `io_uring_enter`.  When
the eventfd becomes readable the reader callback reaps the completions and
resolves one future per `user_data`.

Two things every driver on this ring has to get right, both handled in
`_on_ready`: `reap` never enters the kernel, so completions the kernel held
back while the completion queue was full, and entries queued behind one that
failed to prepare, move only when `submit()` is called again; and a cancelled
operation keeps its buffers in the ring until its completion is reaped, so the
driver keeps the ring alive (and its reader registered) until then.

The class is meant to be copied and adapted: stdlib only, no framework.
Paths are `str`, `bytes` or path-like; the ring takes them as UTF-8, so a
name that is not valid UTF-8 cannot be used.

    async with Driver() as io:
        data = await io.read_file("/etc/hostname")
        st = await io.stat("/etc/hostname")
"""

from __future__ import annotations

import asyncio
import errno
import os
from collections.abc import Sequence
from functools import partial

from _uring import Ring

__all__ = ["Driver"]

# The first read of read_file: big enough for most small files in one round
# trip; larger files continue with reads that double in size up to this cap.
FIRST_READ = 64 * 1024
MAX_READ = 8 * 1024 * 1024

# io_uring reads and writes at offset -1 (as an unsigned 64-bit value) use and
# advance the file position, like os.read and os.write.
CURRENT_POSITION = 2**64 - 1

# The flush inside a push and submit() can fail for reasons that go away once
# the loop has made progress (completions reaped, memory freed).
_TRANSIENT = frozenset({errno.EAGAIN, errno.EBUSY, errno.EINTR})


def _error(res: int, *paths: str | None) -> OSError:
    """The OSError (subclass picked by errno) that os itself would raise."""
    code = -res
    if len(paths) == 2:
        return OSError(code, os.strerror(code), paths[0], None, paths[1])
    return OSError(code, os.strerror(code), *paths)


def _path(path) -> str:
    path = os.fspath(path)
    return path if isinstance(path, str) else os.fsdecode(path)


def _stat_result(t: tuple) -> os.stat_result:
    """The ring's 13-item statx tuple as os.stat would return it (float times
    computed the way CPython computes them, from seconds and nanoseconds)."""
    mode, ino, dev, nlink, uid, gid, size, atime, mtime, ctime, blksize, blocks, rdev = t
    secs = [ns // 1_000_000_000 for ns in (atime, mtime, ctime)]
    floats = [s + (ns - s * 1_000_000_000) * 1e-9 for s, ns in zip(secs, (atime, mtime, ctime))]
    return os.stat_result(
        (mode, ino, dev, nlink, uid, gid, size, *secs),
        {
            "st_atime": floats[0], "st_mtime": floats[1], "st_ctime": floats[2],
            "st_atime_ns": atime, "st_mtime_ns": mtime, "st_ctime_ns": ctime,
            "st_blksize": blksize, "st_blocks": blocks, "st_rdev": rdev,
        },
    )


class Driver:
    """Async file I/O on one io_uring.

    entries: size of the submission queue (the completion queue is twice as
        big; the driver copes with more operations in flight than that).
    fixed: use direct-descriptor slots for read_file/write_file chains; when
        false every whole-file operation takes the plain open/read/close path.
    slots: size of the slot pool (at most `ring.fixed_slots`); a call that finds
        every slot busy takes the plain path instead of waiting.
    """

    def __init__(self, entries: int = 256, *, fixed: bool = True, slots: int | None = None):
        self._loop = asyncio.get_running_loop()
        self.ring = ring = Ring(entries)
        nslots = ring.fixed_slots if fixed else 0
        if slots is not None:
            nslots = max(0, min(nslots, slots))
        self.slots = nslots
        self._slots = list(range(nslots))  # the free ones
        self._ops: dict[int, asyncio.Future] = {}  # user_data -> future of (res, payload)
        self._flush_scheduled = False
        self._progress: asyncio.Future | None = None
        self._idle: asyncio.Future | None = None
        self._tasks: set[asyncio.Task] = set()
        self._closed = False
        self.chains = 0      # whole-file operations done through a slot
        self.fallbacks = 0   # ... and through a plain descriptor
        self._loop.add_reader(ring.eventfd, self._on_ready)

    # -- event-loop plumbing ------------------------------------------------

    def _schedule_flush(self) -> None:
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_scheduled = False
        self._enter()
        self._wake_progress()

    def _enter(self) -> None:
        try:
            self.ring.submit()
        except OSError as e:
            if e.errno not in _TRANSIENT:
                raise
            self._schedule_flush()  # entries stay queued: try again next tick

    def _on_ready(self) -> None:
        ring, ops = self.ring, self._ops
        ring.drain_eventfd()
        while True:
            done = ring.reap()
            for user_data, res, payload in done:
                fut = ops.pop(user_data, None)
                if fut is not None:
                    fut.set_result((res, payload))
            if not done or not ring.inflight:
                break
            # reap never enters the kernel: completions held back by a full
            # CQ appear only after an enter that asks for events, and entries
            # queued behind one that failed to prepare were not consumed.
            # submit() does both; keep going until the CQ stays empty.
            self._enter()
        self._wake_progress()
        if self._idle is not None and not ring.inflight and not self._idle.done():
            self._idle.set_result(None)

    def _wake_progress(self) -> None:
        if self._progress is not None:
            self._progress.set_result(None)
            self._progress = None

    def _try_push(self, submit, *args):
        """Queue one entry (or chain); None when the ring has no room now."""
        try:
            ids = submit(*args)
        except OSError as e:
            if e.errno is None and e.args == ("submission queue full",) or e.errno in _TRANSIENT:
                return None
            raise
        self._schedule_flush()
        return ids

    async def _push(self, submit, *args):
        while (ids := self._try_push(submit, *args)) is None:
            if not self.ring.inflight:  # nothing will complete and make room
                raise OSError("submission queue full")
            # Room appears once the kernel consumes entries: after the next
            # flush or the next batch of completions.
            if self._progress is None:
                self._progress = self._loop.create_future()
            self._schedule_flush()
            await self._progress
        return ids

    def _track(self, user_data: int) -> asyncio.Future:
        fut = self._ops[user_data] = self._loop.create_future()
        return fut

    async def _wait(self, user_data: int, fut: asyncio.Future):
        """Await a completion. Cancelling the caller asks the kernel to cancel
        the operation, but the future itself lives on until the completion is
        reaped: the ring owns the operation's buffers until then, and cleanup
        code may still need the result (a descriptor to close, a slot)."""
        try:
            return await asyncio.shield(fut)
        except asyncio.CancelledError:
            if not fut.done() and self._try_push(self.ring.submit_cancel, user_data) is None:
                self._spawn(self._push(self.ring.submit_cancel, user_data))
            raise

    async def _run(self, submit, *args):
        user_data = await self._push(submit, *args)
        return await self._wait(user_data, self._track(user_data))

    def _spawn(self, coro) -> asyncio.Task:
        task = self._loop.create_task(coro)
        self._tasks.add(task)  # aclose() waits for these
        task.add_done_callback(self._tasks.discard)
        return task

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("driver is closed")

    # -- lifecycle ----------------------------------------------------------

    async def aclose(self) -> None:
        """Wait for everything in flight, then detach from the loop. (If this
        wait is cancelled the reader stays registered, so late completions
        are still reaped and their buffers released.)"""
        if self._closed:
            return
        self._closed = True
        while self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        while self.ring.inflight:
            self._idle = self._loop.create_future()
            self._schedule_flush()
            await self._idle
        self._loop.remove_reader(self.ring.eventfd)

    async def __aenter__(self) -> Driver:
        return self

    async def __aexit__(self, *exc) -> None:
        await self.aclose()

    # -- descriptor operations ---------------------------------------------

    async def open(self, path, flags: int = os.O_RDONLY, mode: int = 0o666) -> int:
        self._check()
        path = _path(path)
        # Like os.open, descriptors are not inherited by child processes.
        user_data = await self._push(self.ring.submit_open, path, flags | os.O_CLOEXEC, mode)
        fut = self._track(user_data)
        try:
            res, _ = await self._wait(user_data, fut)
        except asyncio.CancelledError:
            fut.add_done_callback(_close_if_opened)
            raise
        if res < 0:
            raise _error(res, path)
        return res

    async def close(self, fd: int) -> None:
        """os.close (`aclose()` closes the driver itself)."""
        self._check()
        res = await self._close_fd(fd)
        if res < 0:
            raise _error(res)

    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        """pread when `offset` is given, else read at the file position."""
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        res, data = await self._run(self.ring.submit_read, fd, off, size)
        if res < 0:
            raise _error(res)
        return data

    async def write(self, fd: int, data: bytes, offset: int | None = None) -> int:
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        res, _ = await self._run(self.ring.submit_write, fd, off, bytes(data))
        if res < 0:
            raise _error(res)
        return res

    async def writev(self, fd: int, bufs: Sequence[bytes], offset: int | None = None) -> int:
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        res, _ = await self._run(self.ring.submit_writev, fd, off, [bytes(b) for b in bufs])
        if res < 0:
            raise _error(res)
        return res

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        self._check()
        res, _ = await self._run(self.ring.submit_fsync, fd, bool(datasync))
        if res < 0:
            raise _error(res)

    async def truncate(self, fd: int, length: int) -> None:
        """ftruncate; kernels before 6.9 lack the operation, so a thread does it."""
        self._check()
        res, _ = await self._run(self.ring.submit_ftruncate, fd, length)
        if res in (-errno.EINVAL, -errno.EOPNOTSUPP):
            # Also the answer for a descriptor not open for writing: the
            # thread then raises the real error.
            await self._loop.run_in_executor(None, os.ftruncate, fd, length)
        elif res < 0:
            raise _error(res)

    # -- path operations ----------------------------------------------------

    async def stat(self, path, follow: bool = True) -> os.stat_result:
        self._check()
        path = _path(path)
        res, payload = await self._run(self.ring.submit_statx, path, bool(follow))
        if res < 0:
            raise _error(res, path)
        return _stat_result(payload)

    async def _path_op(self, submit, paths: tuple, *extra) -> None:
        self._check()
        paths = tuple(_path(p) for p in paths)
        res, _ = await self._run(submit, *paths, *extra)
        if res < 0:
            raise _error(res, *paths)

    async def mkdir(self, path, mode: int = 0o777) -> None:
        await self._path_op(self.ring.submit_mkdir, (path,), mode)

    async def unlink(self, path) -> None:
        await self._path_op(self.ring.submit_unlink, (path,), False)

    async def rmdir(self, path) -> None:
        await self._path_op(self.ring.submit_unlink, (path,), True)

    async def rename(self, src, dst) -> None:
        await self._path_op(self.ring.submit_rename, (src, dst))

    async def symlink(self, target, linkpath) -> None:
        await self._path_op(self.ring.submit_symlink, (target, linkpath))

    async def link(self, src, dst) -> None:
        await self._path_op(self.ring.submit_link, (src, dst))

    # -- whole files --------------------------------------------------------

    def _take_slot(self) -> int | None:
        return self._slots.pop() if self._slots else None

    def _close_slot(self, slot: int) -> asyncio.Future:
        """Close the slot's descriptor. The slot is reusable only once the close
        has completed (a reused slot would swap files under a late operation),
        so it rejoins the pool from the completion."""
        user_data = self._try_push(self.ring.submit_close_fixed, slot)
        if user_data is not None:
            fut = self._track(user_data)
        else:  # rare: no room even after a flush
            fut = self._spawn(self._run(self.ring.submit_close_fixed, slot))
        fut.add_done_callback(lambda _: self._slots.append(slot))
        return fut

    def _start_chain(self, submit, path: str, *args):
        """Queue an open into a free slot linked with its first read or write.
        Returns (slot, open_id, open_future, [(id, future) of the second op]),
        or None when every slot is busy or the pair does not fit the queue."""
        slot = self._take_slot()
        if slot is None:
            return None
        ids = self._try_push(submit, path, *args, slot)
        if ids is None:
            self._slots.append(slot)
            return None
        self.chains += 1
        open_id, second_id = ids
        return slot, open_id, self._track(open_id), [(second_id, self._track(second_id))]

    def _abandon_slot(self, slot: int, opened: asyncio.Future, last: list) -> None:
        """After an error or a cancellation mid-chain. The close must wait for
        every operation on the slot: a read punted to a kernel worker looks
        the slot up only when it runs."""
        async def retire():
            await opened
            user_data, fut = last[0]
            if not fut.done():
                # Also when the caller's cancel came while the open ran: it
                # missed the linked operation, which has started since.
                await self._push(self.ring.submit_cancel, user_data)
            await fut
            if opened.result()[0] >= 0:
                await self._close_slot(slot)
            else:
                self._slots.append(slot)  # the open failed: nothing to close
        self._spawn(retire())

    async def _read_all(self, path: str, read_at, last: list | None = None) -> bytes:
        """Read from offset 0 until a read comes back short. `read_at(offset,
        size)` queues one read. `last` holds the (id, future) of the newest
        read, kept up to date for the caller's cleanup; it starts with the
        chain's first read when there is one."""
        if last is None:
            user_data = await self._push(read_at, 0, FIRST_READ)
            last = [(user_data, self._track(user_data))]
        chunks, size, offset = [], FIRST_READ, 0
        while True:
            res, data = await self._wait(*last[0])
            if res < 0:
                raise _error(res, path)
            chunks.append(data)
            offset += res
            if res < size:
                return chunks[0] if len(chunks) == 1 else b"".join(chunks)
            # Doubling reads: few round trips for big files, small buffers
            # for small ones.
            size = min(offset, MAX_READ)
            user_data = await self._push(read_at, offset, size)
            last[0] = (user_data, self._track(user_data))

    async def _write_all(self, path: str, data: bytes, write_at, last: list | None = None) -> None:
        """Write `data` from offset 0, continuing after short writes; `last`
        as for _read_all."""
        if last is None:
            user_data = await self._push(write_at, 0, data)
            last = [(user_data, self._track(user_data))]
        offset = 0
        while True:
            res, _ = await self._wait(*last[0])
            if res < 0:
                raise _error(res, path)
            if res == 0 and offset < len(data):
                raise OSError(errno.EIO, "write made no progress", path)
            offset += res
            if offset >= len(data):
                return
            user_data = await self._push(write_at, offset, data[offset:])
            last[0] = (user_data, self._track(user_data))

    async def read_file(self, path) -> bytes:
        """The whole file, like Path.read_bytes."""
        self._check()
        path = _path(path)
        chain = self._start_chain(self.ring.submit_open_read, path, os.O_RDONLY, 0, FIRST_READ)
        if chain is None:
            self.fallbacks += 1
            fd = await self.open(path)
            try:
                return await self._read_all(path, partial(self.ring.submit_read, fd))
            finally:
                await self._close_fd(fd)
        slot, open_id, opened, last = chain
        try:
            res, _ = await self._wait(open_id, opened)
            if res < 0:
                raise _error(res, path)
            data = await self._read_all(path, partial(self.ring.submit_read_fixed, slot), last)
        except BaseException:
            self._abandon_slot(slot, opened, last)
            raise
        self._close_slot(slot)  # nobody waits for the close of a file only read
        return data

    async def write_file(self, path, data: bytes) -> None:
        """Create or truncate `path` and write `data`, like Path.write_bytes."""
        self._check()
        path, data = _path(path), bytes(data)
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
        # No O_CLOEXEC on the chain: the kernel refuses it for a direct
        # descriptor, which no child process could inherit anyway.
        chain = self._start_chain(self.ring.submit_open_write, path, flags, 0o666, data)
        if chain is None:
            self.fallbacks += 1
            fd = await self.open(path, flags)
            try:
                await self._write_all(path, data, partial(self.ring.submit_write, fd))
            except BaseException:
                await self._close_fd(fd)
                raise
            res = await self._close_fd(fd)
        else:
            slot, open_id, opened, last = chain
            try:
                res, _ = await self._wait(open_id, opened)
                if res < 0:
                    raise _error(res, path)
                await self._write_all(path, data, partial(self.ring.submit_write_fixed, slot), last)
            except BaseException:
                self._abandon_slot(slot, opened, last)
                raise
            res, _ = await asyncio.shield(self._close_slot(slot))
        # A failed close can mean lost data (e.g. on NFS): report it.
        if res < 0:
            raise _error(res, path)

    async def _close_fd(self, fd: int) -> int:
        user_data = await self._push(self.ring.submit_close, fd)
        # Shielded: a cancelled caller still closes its descriptor.
        res, _ = await asyncio.shield(self._track(user_data))
        return res


def _close_if_opened(fut: asyncio.Future) -> None:
    # An open whose caller was cancelled may still have succeeded.
    res, _ = fut.result()
    if res >= 0:
        os.close(res)
