"""A reference asyncio driver for `_uring.Ring`.

One `Driver` owns one `Ring` and hooks its eventfd into the running event
loop.  Coroutines queue kernel operations with the ring's `submit_*` methods;
the first submission of a loop tick schedules one `submit()` for the end of
the tick, so any number of coroutines share a single `io_uring_enter`.

Completions are dispatched by `user_data`: `_ops` maps each id to what to do
with its `(user_data, result, payload)` triple, usually the `set_result` of
the one plain future its coroutine awaits.  No tasks, no `asyncio.shield`:
a completion costs a dict pop and a call, and a coroutine a single future
per round trip.  Page-cached reads, opens and closes complete inside the
`io_uring_enter` itself, so the flush reaps straight after submitting.

Three things every driver on this ring has to get right:

- `reap` never enters the kernel, so completions the kernel held back while
  the completion queue was full, and entries queued behind one that failed
  to prepare, move only when `submit()` is called again (`_reap`).
- A cancelled operation keeps its buffers in the ring until its completion is
  reaped, and that completion may still need handling: the descriptor a
  cancelled open got must be closed, a slot freed.  `_abandon` hands it to a
  cleanup function; aclose() keeps the ring alive until every one arrived.
- A direct-descriptor slot is reused only once its close has completed.

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
from collections.abc import Callable, Sequence
from functools import partial

from _uring import Ring

__all__ = ["Driver"]

# The first read of read_file: one round trip for most small files, without
# paying for a big buffer (allocation, page faults) on every one of them.
# Larger files continue with reads that double in size; from STAT_FROM on a
# statx sizes the file to read it whole (_read_all). No read asks for more
# than MAX_READ.
FIRST_READ = 16 * 1024
STAT_FROM = 128 * 1024
MAX_READ = 1 << 30

# io_uring reads and writes at offset -1 (as an unsigned 64-bit value) use and
# advance the file position, like os.read and os.write.
CURRENT_POSITION = 2**64 - 1

# The flush inside a push and submit() can fail for reasons that go away once
# the loop has made progress (completions reaped, memory freed).
_TRANSIENT = frozenset({errno.EAGAIN, errno.EBUSY, errno.EINTR})

Completion = tuple  # (user_data, result, payload), as reap() returns it


def _no_room(e: OSError) -> bool:
    """A push refused for now: the queue stayed full, or its flush failed
    for a transient reason."""
    return e.errno is None and e.args == ("submission queue full",) or e.errno in _TRANSIENT


def _error(res: int, *paths: str | None) -> OSError:
    """The OSError (subclass picked by errno) that os itself would raise."""
    code = -res
    if len(paths) == 2:
        return OSError(code, os.strerror(code), paths[0], None, paths[1])
    return OSError(code, os.strerror(code), *paths)


def _path(path) -> str:
    if type(path) is str:
        return path
    path = os.fspath(path)
    return path if isinstance(path, str) else os.fsdecode(path)


def _stat_result(t: tuple) -> os.stat_result:
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


def _return_slot(slots: list, slot: int, t: Completion) -> None:
    slots.append(slot)


def _close_if_opened(t: Completion) -> None:
    if t[1] >= 0:
        try:
            os.close(t[1])
        except OSError:
            pass


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
        self._slots = free = list(range(nslots))  # the free ones
        # What a close of each slot does on completion: put the slot back.
        self._slot_closed = [partial(_return_slot, free, s) for s in range(nslots)]
        # user_data -> what to do with its completion (None: nothing).
        self._ops: dict[int, Callable[[Completion], object] | None] = {}
        # Completions that found their future cancelled, kept until the
        # cancelled coroutine picks them up in _abandon.
        self._late: dict[int, Completion] = {}
        self._flush_scheduled = False
        self._room: list[asyncio.Future] = []  # pushes waiting for queue space
        self._idle: asyncio.Future | None = None
        self._tasks: set[asyncio.Task] = set()
        self._closed = False
        self.chains = 0      # whole-file operations done through a slot
        self.fallbacks = 0   # ... and through a plain descriptor
        self._loop.add_reader(ring.eventfd, self._reap)

    # -- event-loop plumbing ------------------------------------------------

    def _schedule_flush(self) -> None:
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_scheduled = False
        self._enter()
        # Page-cached reads, opens and closes complete inside the enter: take
        # them now rather than one loop iteration later.
        self._reap()

    def _enter(self) -> None:
        try:
            self.ring.submit()
        except OSError as e:
            if e.errno not in _TRANSIENT:
                raise
            self._schedule_flush()  # entries stay queued: try again next tick

    def _reap(self) -> None:
        """Dispatch every completion: the eventfd's reader, also run by _flush."""
        ring, pop, late = self.ring, self._ops.pop, self._late
        ring.drain_eventfd()  # before reaping, so that no completion goes unnoticed
        while done := ring.reap():
            for t in done:
                action = pop(t[0], None)
                if action is None:
                    continue
                try:
                    action(t)
                except asyncio.InvalidStateError:
                    # Its future was cancelled and the coroutine has not run
                    # its handler yet: keep the completion for _abandon.
                    late[t[0]] = t
                except Exception as e:  # one failing action must not strand the rest
                    self._loop.call_exception_handler(
                        {"message": "io_uring completion action failed", "exception": e})
            if not ring.inflight:
                break
            # reap never enters the kernel: completions held back by a full
            # CQ appear only after an enter that asks for events, and entries
            # queued behind one that failed to prepare were not consumed.
            # submit() does both; keep going until the CQ stays empty.
            self._enter()
        # The enter or the completions made room in the queue; and aclose()
        # may be waiting for the last completion.
        if self._room:
            for fut in self._room:
                if not fut.done():
                    fut.set_result(None)
            self._room.clear()
        if self._idle is not None and not ring.inflight and not self._idle.done():
            self._idle.set_result(None)

    def _try_push(self, submit, *args):
        """Queue one entry (or chain); None when the ring has no room now."""
        try:
            ids = submit(*args)
        except OSError as e:
            if _no_room(e):
                return None
            raise
        self._schedule_flush()
        return ids

    async def _push(self, submit, *args):
        while (ids := self._try_push(submit, *args)) is None:
            if not self.ring.inflight:  # nothing will complete and make room
                raise OSError("submission queue full")
            # Room appears once the kernel consumes entries: after the next
            # flush or the next batch of completions. (One future per waiter:
            # a cancelled waiter cancels only its own.)
            fut = self._loop.create_future()
            self._room.append(fut)
            self._schedule_flush()
            await fut
        return ids

    def _track(self, user_data: int) -> asyncio.Future:
        """The future that the completion of `user_data` resolves."""
        fut = self._loop.create_future()
        self._ops[user_data] = fut.set_result
        return fut

    def _abandon(self, user_data: int, fut: asyncio.Future,
                 cleanup: Callable[[Completion], object] | None = None,
                 cancel: bool = True) -> None:
        """The coroutine awaiting `fut` (for `user_data`) leaves early, usually
        because it was cancelled. The ring owns the operation's buffers until
        its completion is reaped; ask the kernel to cancel it, and pass the
        completion to `cleanup` when it arrives (or now, if it has)."""
        ops = self._ops
        if user_data in ops:
            ops[user_data] = cleanup
            if cancel:
                self._cancel(user_data)
            return
        t = self._late.pop(user_data, None)
        if t is None and fut.done() and not fut.cancelled():
            t = fut.result()  # it came, but the task was cancelled before resuming
        if t is not None and cleanup is not None:
            cleanup(t)

    def _cancel(self, user_data: int, delay: float = 0.001) -> None:
        """Ask the kernel to cancel `user_data`, and ask again, less and less
        often, while it still runs: a cancel can miss an operation that is in
        transit to a kernel worker (and an uninterruptible one runs on)."""
        def check(t: Completion) -> None:
            if user_data in self._ops:
                self._loop.call_later(delay, self._cancel, user_data, min(2 * delay, 0.1))
        if user_data in self._ops:
            self._queue(check, self.ring.submit_cancel, user_data)

    def _queue(self, action: Callable[[Completion], object] | None, submit, *args) -> None:
        """Queue an operation that nobody awaits; `action` gets its completion."""
        user_data = self._try_push(submit, *args)
        if user_data is None:  # rare: no room even after a flush
            async def push():
                user_data = await self._push(submit, *args)
                if action is not None:
                    self._ops[user_data] = action
            self._spawn(push())
        elif action is not None:
            self._ops[user_data] = action

    async def _run(self, submit, *args, cleanup=None, cancel: bool = True) -> Completion:
        """Queue one operation and wait for its completion; `cleanup` and
        `cancel` say what a cancelled caller leaves behind (_abandon)."""
        user_data = self._try_push(submit, *args)
        if user_data is None:
            user_data = await self._push(submit, *args)
        fut = self._track(user_data)
        try:
            return await fut
        except BaseException:
            self._abandon(user_data, fut, cleanup, cancel)
            raise

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
        # An open whose caller was cancelled may still succeed: close its fd.
        _, res, _ = await self._run(self.ring.submit_open, path, flags | os.O_CLOEXEC, mode,
                                    cleanup=_close_if_opened)
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
        _, res, data = await self._run(self.ring.submit_read, fd, off, size)
        if res < 0:
            raise _error(res)
        return data

    async def write(self, fd: int, data: bytes, offset: int | None = None) -> int:
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        _, res, _ = await self._run(self.ring.submit_write, fd, off, bytes(data))
        if res < 0:
            raise _error(res)
        return res

    async def writev(self, fd: int, bufs: Sequence[bytes], offset: int | None = None) -> int:
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        _, res, _ = await self._run(self.ring.submit_writev, fd, off, [bytes(b) for b in bufs])
        if res < 0:
            raise _error(res)
        return res

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        self._check()
        _, res, _ = await self._run(self.ring.submit_fsync, fd, bool(datasync))
        if res < 0:
            raise _error(res)

    async def truncate(self, fd: int, length: int) -> None:
        """ftruncate; kernels before 6.9 lack the operation, so a thread does it."""
        self._check()
        _, res, _ = await self._run(self.ring.submit_ftruncate, fd, length)
        if res in (-errno.EINVAL, -errno.EOPNOTSUPP):
            # Also the answer for a descriptor not open for writing: the
            # thread then raises the real error.
            await self._loop.run_in_executor(None, os.ftruncate, fd, length)
        elif res < 0:
            raise _error(res)

    async def _close_fd(self, fd: int) -> int:
        # Never cancelled: a cancelled caller still closes its descriptor.
        _, res, _ = await self._run(self.ring.submit_close, fd, cancel=False)
        return res

    # -- path operations ----------------------------------------------------

    async def stat(self, path, follow: bool = True) -> os.stat_result:
        # One of the hot paths: _run written out (each helper call counts).
        if self._closed:
            raise RuntimeError("driver is closed")
        if type(path) is not str:
            path = _path(path)
        follow = bool(follow)
        try:
            user_data = self.ring.submit_statx(path, follow)
        except OSError as e:
            if not _no_room(e):
                raise
            user_data = await self._push(self.ring.submit_statx, path, follow)
        if not self._flush_scheduled:
            self._schedule_flush()
        fut = self._loop.create_future()
        self._ops[user_data] = fut.set_result
        try:
            _, res, payload = await fut
        except BaseException:
            self._abandon(user_data, fut)
            raise
        if res < 0:
            raise _error(res, path)
        return _stat_result(payload)

    async def _path_op(self, submit, paths: tuple, *extra) -> None:
        self._check()
        paths = tuple(_path(p) for p in paths)
        _, res, _ = await self._run(submit, *paths, *extra)
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
    #
    # A chain opens the file into a free slot linked with its first read or
    # write, and the coroutine waits only for that second operation: the
    # kernel completes it after the open, with -ECANCELED if the open failed
    # (the plain path then finds out how, to raise what os would). The slot
    # is closed in every case (a failed open left it empty, which the close
    # reports and nobody minds) and rejoins the pool from the close's
    # completion.

    def _start_chain(self, submit, path: str, flags: int, mode: int, arg):
        """Queue a chain: (slot, open_id, second_id), or None when every slot
        is busy or the pair does not fit the queue."""
        slots = self._slots
        if not slots:
            return None
        slot = slots.pop()
        try:
            open_id, second_id = submit(path, flags, mode, arg, slot)
        except OSError as e:
            slots.append(slot)
            if _no_room(e):
                return None
            raise
        if not self._flush_scheduled:
            self._schedule_flush()
        self._ops[open_id] = None  # tracked to tell whether it still runs
        self.chains += 1
        return slot, open_id, second_id

    def _close_slot(self, slot: int, fut: asyncio.Future | None = None) -> None:
        """Close the slot's descriptor; `fut` (if any) gets the completion."""
        def closed(t: Completion) -> None:
            self._slots.append(slot)
            if fut is not None and not fut.done():  # its waiter may be gone
                fut.set_result(t)
        self._queue(closed, self.ring.submit_close_fixed, slot)

    def _release_chain(self, slot: int, open_id: int, last: list) -> None:
        """After an error or a cancellation: close the slot once its newest
        operation `last` ([user_data, future]) has completed; a read punted
        to a kernel worker looks the slot up only when it runs."""
        user_data, fut = last
        self._abandon(user_data, fut, lambda t: self._close_slot(slot))
        ops = self._ops
        if open_id in ops:
            # The open still runs; cancelling it fails the linked operation
            # too. But if it completes before the cancel gets to it, the
            # linked operation starts after our cancel of it found nothing:
            # cancel that one again then.
            def cancel_again(t: Completion) -> None:
                if user_data in ops:
                    self._cancel(user_data)
            ops[open_id] = cancel_again
            self._cancel(open_id)

    async def _read_all(self, path: str, read_at, stat, last: list, data: bytes = b"") -> bytes:
        """Read on from the end of `data` (reads so far that filled their
        buffers) until a read comes back short, with reads that double in
        size. `read_at(offset, size)` queues one read; `last` is kept up to
        date with the newest read for the caller's cleanup.

        Once the file proves big, `stat()` (a statx) gives its size, to read
        it whole from offset 0 in one go: one buffer, no join, few round
        trips. A small read then checks that the end was reached."""
        chunks, offset, size = ([data] if data else []), len(data), FIRST_READ
        sized = probe = False
        while True:
            if offset >= STAT_FROM and not sized:
                sized = True
                _, res, st = await stat()
                if res >= 0 and st[6] > offset:
                    chunks, offset, size, probe = [], 0, min(st[6], MAX_READ), True
            user_data = await self._push(read_at, offset, size)
            last[:] = user_data, self._track(user_data)
            _, res, data = await last[1]
            if res < 0:
                raise _error(res, path)
            if res:
                chunks.append(data)
            offset += res
            if res < size:
                return chunks[0] if len(chunks) == 1 else b"".join(chunks)
            size, probe = (FIRST_READ if probe else min(offset, MAX_READ)), False

    async def _write_all(self, path: str, data: bytes, write_at, last: list, offset: int = 0) -> None:
        """Write data[offset:] at `offset`, continuing after short writes;
        `last` as for _read_all."""
        while offset < len(data):
            user_data = await self._push(write_at, offset, data[offset:])
            last[:] = user_data, self._track(user_data)
            _, res, _ = await last[1]
            if res < 0:
                raise _error(res, path)
            if res == 0:
                raise OSError(errno.EIO, "write made no progress", path)
            offset += res

    async def read_file(self, path) -> bytes:
        """The whole file, like Path.read_bytes."""
        # The driver's hottest path, so _start_chain, _track and _close_slot
        # are written out: each Python call left is a measurable share.
        if self._closed:
            raise RuntimeError("driver is closed")
        if type(path) is not str:
            path = _path(path)
        slots = self._slots
        if not slots:
            self.fallbacks += 1
            return await self._read_plain(path)
        slot = slots.pop()
        try:
            open_id, read_id = self.ring.submit_open_read(path, os.O_RDONLY, 0, FIRST_READ, slot)
        except OSError as e:
            slots.append(slot)
            if not _no_room(e):
                raise
            self.fallbacks += 1
            return await self._read_plain(path)
        self.chains += 1
        if not self._flush_scheduled:
            self._schedule_flush()
        ops = self._ops
        ops[open_id] = None  # tracked to tell whether it still runs
        fut = self._loop.create_future()
        ops[read_id] = fut.set_result
        last = None
        try:
            _, res, data = await fut
            if res == FIRST_READ:  # maybe more: read on through the slot
                last = [read_id, fut]
                data = await self._read_all(path, partial(self.ring.submit_read_fixed, slot),
                                            partial(self._run, self.ring.submit_statx, path, True),
                                            last, data)
        except BaseException:
            self._release_chain(slot, open_id, last or [read_id, fut])
            raise
        # Nobody waits for the close of a file only read.
        try:
            user_data = self.ring.submit_close_fixed(slot)
        except OSError as e:
            if not _no_room(e):
                raise
            self._close_slot(slot)
        else:
            ops[user_data] = self._slot_closed[slot]
            if not self._flush_scheduled:
                self._schedule_flush()
        if res < 0:
            if res == -errno.ECANCELED:  # the open failed: the plain path says how
                return await self._read_plain(path)
            raise _error(res, path)
        return data

    async def _read_plain(self, path: str) -> bytes:
        fd = await self.open(path)
        last: list = []
        try:
            return await self._read_all(path, partial(self.ring.submit_read, fd),
                                        partial(self._run, self.ring.submit_fstatx, fd), last)
        except BaseException:
            if last:
                self._abandon(*last)
            raise
        finally:
            # Not waited for either; a read still in flight (abandoned) holds
            # its own reference to the file.
            self._queue(None, self.ring.submit_close, fd)

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
            return await self._write_plain(path, data, flags)
        slot, open_id, write_id = chain
        last = [write_id, self._track(write_id)]
        try:
            _, res, _ = await last[1]
            if 0 <= res < len(data):
                if res == 0:
                    raise OSError(errno.EIO, "write made no progress", path)
                await self._write_all(path, data, partial(self.ring.submit_write_fixed, slot),
                                      last, res)
        except BaseException:
            self._release_chain(slot, open_id, last)
            raise
        closed = self._loop.create_future()
        self._close_slot(slot, closed)
        if res == -errno.ECANCELED:  # the open failed: let the plain path say how
            return await self._write_plain(path, data, flags)
        if res < 0:
            raise _error(res, path)
        # A failed close can mean lost data (e.g. on NFS): report it. A
        # cancelled caller leaves the close running; the slot returns anyway.
        _, res, _ = await closed
        if res < 0:
            raise _error(res, path)

    async def _write_plain(self, path: str, data: bytes, flags: int) -> None:
        fd = await self.open(path, flags)
        last: list = []
        try:
            await self._write_all(path, data, partial(self.ring.submit_write, fd), last)
        except BaseException:
            if last:
                self._abandon(*last)
            await self._close_fd(fd)
            raise
        res = await self._close_fd(fd)
        if res < 0:
            raise _error(res, path)
