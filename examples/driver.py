"""A reference asyncio driver for `_uring.Ring`.

One `Driver` owns one `Ring` and hooks its eventfd into the running event
loop.  Coroutines queue kernel operations with the ring's `submit_*` methods;
the first submission of a loop tick schedules one `submit()` for the end of
the tick, so any number of coroutines share a single `io_uring_enter`.  When
the eventfd becomes readable the reader callback reaps the completions and
resolves one future per `user_data`.

The class is meant to be copied and adapted: stdlib only, no framework.

    async with Driver() as io:
        data = await io.read_file("/etc/hostname")
        st = await io.stat("/etc/hostname")
"""

from __future__ import annotations

import asyncio
import errno
import os
from collections.abc import Sequence

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
    # The ring takes `str` paths only (encoded as UTF-8).
    path = os.fspath(path)
    return path if isinstance(path, str) else os.fsdecode(path)


def _stat_result(t: tuple) -> os.stat_result:
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
            if not self._ops:
                raise OSError(errno.EAGAIN, "submission queue full")
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

    def _spawn(self, coro) -> None:
        task = self._loop.create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("driver is closed")

    # -- lifecycle ----------------------------------------------------------

    async def close(self) -> None:
        """Wait for everything in flight, then detach from the loop."""
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
        await self.close()

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

    async def close_fd(self, fd: int) -> None:
        """os.close (`close()` closes the driver itself)."""
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
        """Close the slot's descriptor; the slot is reusable only once the close
        has completed, so it rejoins the pool from the completion."""
        user_data = self._try_push(self.ring.submit_close_fixed, slot)
        if user_data is None:  # rare: no room even after a flush
            done = self._loop.create_future()
            async def retry():
                res = await self._run(self.ring.submit_close_fixed, slot)
                self._slots.append(slot)
                done.set_result(res)
            self._spawn(retry())
            return done
        fut = self._track(user_data)
        fut.add_done_callback(lambda _: self._slots.append(slot))
        return fut

    def _abandon_slot(self, slot: int, opened: asyncio.Future, pending: list) -> None:
        """After an error or a cancellation mid-chain: the slot may only be
        closed once every operation on it has completed."""
        async def retire():
            for fut in (opened, *pending):
                await fut
            if opened.result()[0] >= 0:
                await self._close_slot(slot)
            else:
                self._slots.append(slot)  # the open failed: nothing to close
        self._spawn(retire())

    async def read_file(self, path) -> bytes:
        """The whole file, like Path.read_bytes."""
        self._check()
        path = _path(path)
        slot = self._take_slot()
        ids = None
        if slot is not None:
            ids = self._try_push(self.ring.submit_open_read, path, os.O_RDONLY, 0, FIRST_READ, slot)
            if ids is None:  # the pair does not fit: use the plain path
                self._slots.append(slot)
        if ids is None:
            self.fallbacks += 1
            return await self._read_file_fd(path)
        self.chains += 1
        open_id, read_id = ids
        opened, fut = self._track(open_id), self._track(read_id)
        user_data = read_id
        try:
            res, _ = await self._wait(open_id, opened)
            if res < 0:
                raise _error(res, path)
            chunks, size, offset = [], FIRST_READ, 0
            while True:
                res, data = await self._wait(user_data, fut)
                if res < 0:
                    raise _error(res, path)
                chunks.append(data)
                offset += res
                if res < size:
                    break
                size = min(offset, MAX_READ)
                user_data = await self._push(self.ring.submit_read_fixed, slot, offset, size)
                fut = self._track(user_data)
        except BaseException:
            self._abandon_slot(slot, opened, [fut])
            raise
        self._close_slot(slot)  # nobody waits for the close of a read-only file
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    async def _read_file_fd(self, path: str) -> bytes:
        fd = await self.open(path, os.O_RDONLY)
        try:
            chunks, size, offset = [], FIRST_READ, 0
            while True:
                res, data = await self._run(self.ring.submit_read, fd, offset, size)
                if res < 0:
                    raise _error(res, path)
                chunks.append(data)
                offset += res
                if res < size:
                    break
                size = min(offset, MAX_READ)
        finally:
            await self._close_fd(fd)
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    async def _close_fd(self, fd: int) -> int:
        user_data = await self._push(self.ring.submit_close, fd)
        # Shielded but not cancellable: a cancelled caller still closes.
        res, _ = await asyncio.shield(self._track(user_data))
        return res

    async def write_file(self, path, data: bytes) -> None:
        """Create or truncate `path` and write `data`, like Path.write_bytes."""
        self._check()
        path, data = _path(path), bytes(data)
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
        slot = self._take_slot()
        ids = None
        if slot is not None:
            # No O_CLOEXEC: the kernel refuses it for a direct descriptor.
            ids = self._try_push(self.ring.submit_open_write, path, flags, 0o666, data, slot)
            if ids is None:
                self._slots.append(slot)
        if ids is None:
            self.fallbacks += 1
            return await self._write_file_fd(path, data, flags)
        self.chains += 1
        open_id, write_id = ids
        opened, fut = self._track(open_id), self._track(write_id)
        user_data = write_id
        try:
            res, _ = await self._wait(open_id, opened)
            if res < 0:
                raise _error(res, path)
            offset = 0
            while True:
                res, _ = await self._wait(user_data, fut)
                if res < 0:
                    raise _error(res, path)
                if res == 0 and offset < len(data):
                    raise OSError(errno.EIO, "write made no progress", path)
                offset += res
                if offset >= len(data):
                    break
                user_data = await self._push(self.ring.submit_write_fixed, slot, offset, data[offset:])
                fut = self._track(user_data)
        except BaseException:
            self._abandon_slot(slot, opened, [fut])
            raise
        # A failed close can mean lost data (e.g. on NFS): wait and report it.
        res, _ = await asyncio.shield(self._close_slot(slot))
        if res < 0:
            raise _error(res, path)

    async def _write_file_fd(self, path: str, data: bytes, flags: int) -> None:
        fd = await self.open(path, flags, 0o666)
        try:
            offset = 0
            while True:
                chunk = data[offset:] if offset else data
                res, _ = await self._run(self.ring.submit_write, fd, offset, chunk)
                if res < 0:
                    raise _error(res, path)
                if res == 0 and chunk:
                    raise OSError(errno.EIO, "write made no progress", path)
                offset += res
                if offset >= len(data):
                    break
        except BaseException:
            await self._close_fd(fd)
            raise
        res = await self._close_fd(fd)
        if res < 0:
            raise _error(res, path)


def _close_if_opened(fut: asyncio.Future) -> None:
    # An open whose caller was cancelled may still have succeeded.
    res, _ = fut.result()
    if res >= 0:
        os.close(res)
