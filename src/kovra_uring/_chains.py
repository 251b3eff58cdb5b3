"""Whole-file operations, and the bookkeeping of direct-descriptor slots.

A chain opens the file into a free slot linked with its first read or
write, and the coroutine waits only for that second operation: the kernel
completes it after the open, with -ECANCELED if the open failed (the plain
path then finds out how, to raise what os would). The slot is closed in
every case (a failed open left it empty, which the close reports and nobody
minds) and rejoins the pool from the close's completion. A call that finds
every slot busy waits for one: with any number of callers at once, at most
the pool's size of chains are in flight.
"""

from __future__ import annotations

import errno
import os
from collections import deque
from collections.abc import Callable
from functools import partial
from typing import Any

from ._cancel import Action, abandon
from ._cancel import cancel as cancel_op
from ._convert import (FIRST_READ, MAX_READ, PSEUDO_DIRS, SHM_DIR, STAT_FROM, data_arg, part,
                       read_size, ring_path)
from ._driver import OPEN_DEPTH, StrOrBytesPath
from ._errors import OS_NAMES, NameForOs, io_error, os_error, push_error
from ._ring import Completion, RingCore

__all__ = ["RingDriver"]


def give_slot(free: list[int], waiters: deque[Any], slot: int,
              t: Completion | None = None) -> None:
    """Return a slot to the free list, or hand it to the first waiter."""
    while waiters:
        fut = waiters.popleft()
        if not fut.done():
            fut.set_result(slot)
            return
    free.append(slot)


class RingDriver(RingCore):
    """The ring back end with its slot pool and whole-file operations."""

    def __init__(self, entries: int = 256, *, fixed: bool = True,
                 slots: int | None = None) -> None:
        super().__init__()
        ring = self.ring
        assert ring is not None
        nslots = ring.fixed_slots if fixed else 0
        if slots is not None:
            nslots = max(0, min(nslots, slots))
        self.slots = nslots
        self._slots = free = list(range(nslots))  # the free ones
        self._slot_waiters: deque[Any] = deque()
        # What a close of each slot does on completion: put the slot back.
        # These refer to the pool, not to the driver, so that a closed
        # driver is freed by reference counting, without the collector.
        waiters = self._slot_waiters
        self._slot_closed = [Action(partial(give_slot, free, waiters, s))
                             for s in range(nslots)]

    # -- turns -----------------------------------------------------------------

    def _give_slot(self, slot: int) -> None:
        give_slot(self._slots, self._slot_waiters, slot)

    async def _wait_slot(self) -> int:
        fut = self._create_future()
        self._slot_waiters.append(fut)
        try:
            return await fut  # type: ignore[no-any-return]
        except BaseException:
            if fut.done() and not fut.cancelled():  # handed over, but we left
                self._give_slot(fut.result())
            raise

    # -- chains ----------------------------------------------------------------

    async def _start_chain(self, submit: Callable[..., Any], path: str,
                           flags: int, mode: int, arg: Any) -> tuple[int, int, int] | None:
        """Queue a chain: (slot, open_id, second_id), or None when there are
        no slots or the pair does not fit the queue."""
        slots = self._slots
        if slots:
            slot = slots.pop()
        elif self.slots:
            slot = await self._wait_slot()
        else:
            return None
        try:
            open_id, second_id = submit(path, flags, mode, arg, slot)
        except OSError as e:
            self._give_slot(slot)
            if (err := push_error(e)) is None:
                return None
            raise err from None
        except BaseException:
            self._give_slot(slot)
            raise
        if not self._flush_scheduled:
            self._schedule_flush()
        self._ops[open_id] = None  # tracked to tell whether it still runs
        self.chains += 1
        return slot, open_id, second_id

    def _close_slot(self, slot: int, fut: Any = None) -> None:
        """Close the slot's descriptor; `fut` (if any) gets the completion."""
        def closed(t: Completion) -> None:
            self._give_slot(slot)
            if fut is not None and not fut.done():  # its waiter may be gone
                fut.set_result(t)
        self._queue(closed, self.ring.submit_close_fixed, slot)  # type: ignore[union-attr]

    def _release_chain(self, slot: int, open_id: int, last: list[Any]) -> None:
        """After an error or a cancellation: close the slot once its newest
        operation `last` ([user_data, future]) has completed; a read punted
        to a kernel worker looks the slot up only when it runs."""
        user_data, fut = last
        abandon(self, user_data, fut, lambda t: self._close_slot(slot))
        ops = self._ops
        if open_id in ops:
            # The open still runs; cancelling it fails the linked operation
            # too. But if it completes before the cancel gets to it, the
            # linked operation starts after our cancel of it found nothing:
            # cancel that one again then.
            def cancel_again(t: Completion) -> None:
                if user_data in ops:
                    cancel_op(self, user_data)
            ops[open_id] = Action(cancel_again)
            cancel_op(self, open_id)

    def _close_after(self, fd: int, last: list[Any]) -> None:
        """After an error or a cancellation on the plain path: close `fd` once
        its newest operation `last` ([user_data, future], or empty) has
        completed, for the same reason as _release_chain."""
        def close(t: Completion | None) -> None:
            self._queue(None, self.ring.submit_close, fd)  # type: ignore[union-attr]
        if last:
            abandon(self, last[0], last[1], close)
        else:
            close(None)

    async def _read_all(self, path: Any, read_at: Callable[..., Any],
                        stat_at: Callable[..., Any], last: list[Any],
                        data: bytes = b"", to_end: bool = False) -> bytes:
        """Read on from the end of `data` (reads so far that filled their
        buffers) until a read comes back short (`to_end`: empty), with reads
        that double in size. `read_at(offset, size)` queues one read and `stat_at()` one
        statx of the file; `last` is kept up to date with the newest
        operation for the caller's cleanup.

        Once the file proves big, a statx gives its size, to read it whole
        from offset 0 in one go: one buffer, no join, few round trips. A
        small read then checks that the end was reached."""
        chunks, offset, size = ([data] if data else []), len(data), FIRST_READ
        sized = probe = False
        while True:
            if offset >= STAT_FROM and not sized:
                sized = True
                user_data = await self._push(stat_at)
                last[:] = user_data, self._track(user_data)
                _, res, st = await last[1]
                if res >= 0 and st[6] > offset:
                    chunks, offset, size, probe = [], 0, min(st[6], MAX_READ), True
            user_data = await self._push(read_at, offset, size)
            last[:] = user_data, self._track(user_data)
            _, res, data = await last[1]
            if res < 0:
                raise io_error(res, path)
            if res:
                chunks.append(data)
            offset += res
            if res < size and (not to_end or not res):
                return chunks[0] if len(chunks) == 1 else b"".join(chunks)
            size, probe = (FIRST_READ if probe else min(offset, MAX_READ)), False

    async def _write_all(self, path: Any, data: bytes | memoryview,
                         write_at: Callable[..., Any], last: list[Any], offset: int = 0) -> None:
        """Write data[offset:] at `offset` in parts, continuing after short
        writes; `last` as for _read_all."""
        while offset < len(data):
            user_data = await self._push(write_at, offset, part(data, offset))
            last[:] = user_data, self._track(user_data)
            _, res, _ = await last[1]
            if res < 0:
                raise io_error(res, path)
            if res == 0:
                raise OSError(errno.EIO, "write made no progress", path)
            offset += res

    async def read_file(self, path: StrOrBytesPath) -> bytes:
        # The driver's hottest path, so _start_chain, _track and _close_slot
        # are written out: each Python call left is a measurable share.
        if self._closed:
            raise RuntimeError("driver is closed")
        name = path if type(path) is str else ring_path(path := os.fspath(path))
        if name.startswith(PSEUDO_DIRS) and not name.startswith(SHM_DIR):
            # Read on to the end, on the ring: a read there left waiting (a
            # tty, a pipe) is cancelled in the kernel with its caller, where
            # a thread's would hold the loop's end until the stream ends.
            return await self._read_plain(path, to_end=True)
        slots = self._slots
        if slots:
            slot = slots.pop()
        elif self.slots:
            slot = await self._wait_slot()
        else:
            self.fallbacks += 1
            return await self._read_plain(path)
        try:
            open_id, read_id = self.ring.submit_open_read(  # type: ignore[union-attr]
                name, os.O_RDONLY, 0, FIRST_READ, slot)
        except BaseException as e:
            self._give_slot(slot)
            if isinstance(e, OSError):
                if (err := push_error(e)) is not None and not isinstance(err, NameForOs):
                    raise err from None
            elif not isinstance(e, UnicodeEncodeError):
                raise
            # No room, or a name for os: the plain path (its open) deals with it.
            self.fallbacks += 1
            return await self._read_plain(path)
        self.chains += 1
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        ops = self._ops
        ops[open_id] = None  # tracked to tell whether it still runs
        fut = ops[read_id] = self._create_future()
        last = None
        try:
            _, res, data = await fut
            if res == FIRST_READ:  # maybe more: read on through the slot
                last = [read_id, fut]
                data = await self._read_all(
                    path, partial(self.ring.submit_read_fixed, slot),  # type: ignore[union-attr]
                    partial(self.ring.submit_statx, name, True), last, data)  # type: ignore[union-attr]
        except BaseException:
            self._release_chain(slot, open_id, last or [read_id, fut])
            raise
        # Nobody waits for the close of a file only read.
        try:
            user_data = self.ring.submit_close_fixed(slot)  # type: ignore[union-attr]
        except OSError as e:
            if push_error(e) is None:
                self._close_slot(slot)  # no room now: queued once there is
            else:
                # Refused outright. The data is read all the same, and the
                # slot goes back: an open into it replaces what it holds.
                self._give_slot(slot)
        else:
            ops[user_data] = self._slot_closed[slot]
            if not self._flush_scheduled:
                self._schedule_flush()
        if res < 0:
            if res == -errno.ECANCELED:  # the open failed: the plain path says how
                return await self._read_plain(path)
            raise io_error(res, path)
        return data  # type: ignore[no-any-return]

    async def _read_plain(self, path: Any, to_end: bool = False) -> bytes:
        fd = await self.open(path)
        last: list[Any] = []
        try:
            data = await self._read_all(
                path, partial(self.ring.submit_read, fd),  # type: ignore[union-attr]
                partial(self.ring.submit_fstatx, fd), last, to_end=to_end)  # type: ignore[union-attr]
        except BaseException:
            self._close_after(fd, last)
            raise
        # Not waited for: nothing is lost if the close of a file only read fails.
        self._queue(None, self.ring.submit_close, fd)  # type: ignore[union-attr]
        return data

    async def write_file(self, path: StrOrBytesPath, data: Any) -> None:
        self._check()
        path, data = os.fspath(path), data_arg(data)
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
        # No O_CLOEXEC on the chain: the kernel refuses it for a direct
        # descriptor, which no child process could inherit anyway.
        try:
            chain = await self._start_chain(self.ring.submit_open_write,  # type: ignore[union-attr]
                                            ring_path(path), flags, 0o666, part(data, 0))
        except OS_NAMES:
            chain = None
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
                await self._write_all(path, data,
                                      partial(self.ring.submit_write_fixed, slot),  # type: ignore[union-attr]
                                      last, res)
        except BaseException:
            self._release_chain(slot, open_id, last)
            raise
        closed = self._create_future()
        self._close_slot(slot, closed)
        if res == -errno.ECANCELED:  # the open failed: let the plain path say how
            return await self._write_plain(path, data, flags)
        if res < 0:
            raise io_error(res, path)
        # A failed close can mean lost data (e.g. on NFS): report it. A
        # cancelled caller leaves the close running; the slot returns anyway.
        _, res, _ = await closed
        if res < 0:
            raise io_error(res, path)

    async def _write_plain(self, path: Any, data: bytes | memoryview,
                           flags: int) -> None:
        fd = await self.open(path, flags)
        last: list[Any] = []
        try:
            await self._write_all(path, data,
                                  partial(self.ring.submit_write, fd),  # type: ignore[union-attr]
                                  last)
        except BaseException:
            self._close_after(fd, last)
            raise
        res = await self._close_waited(fd)
        if res < 0:
            raise io_error(res, path)

    async def open_read(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                        mode: int = 0o666, size: int = FIRST_READ
                        ) -> tuple[int, int | None, bytes]:
        """Open `path` on a plain descriptor and read up to `size` bytes at
        offset 0 behind it: the open's completion queues the read, and the
        caller wakes once, with both."""
        # A hot path of the file objects: the turn's fast path and the push
        # are written out, and one _OpenRead receives both completions.
        if self._closed:
            raise RuntimeError("driver is closed")
        name = path if type(path) is str else ring_path(path := os.fspath(path))
        flags |= os.O_CLOEXEC
        if type(size) is not int or not 0 <= size <= MAX_READ:
            size = read_size(size)
        ring = self.ring
        if self._opening < OPEN_DEPTH:
            self._opening += 1
        else:
            await self._open_turn()
        try:
            user_data = ring.submit_open(name, flags, mode)  # type: ignore[union-attr]
        except BaseException as e:
            try:
                if not isinstance(e, OSError):
                    raise
                user_data = await self._push_refused(e, ring.submit_open,  # type: ignore[union-attr]
                                                     name, flags, mode)
            except OS_NAMES:
                self._open_done()
                from ._threads import os_open_read
                return await self._in_thread(os_open_read, path, flags, mode, size,
                                             cleanup=lambda r: os.close(r[0]))
            except BaseException:
                self._open_done()
                raise
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        op = self._ops[user_data] = _OpenRead(self, size)
        fut = op.fut
        try:
            fd, res, data = await fut
        except BaseException:
            if op.current in self._ops:
                cancel_op(self, op.current)
            elif fut.done() and not fut.cancelled() and (fd := fut.result()[0]) >= 0:
                # It came, but the task was cancelled before resuming.
                self._queue(None, ring.submit_close, fd)  # type: ignore[union-attr]
            raise
        if fd < 0:
            raise os_error(fd, path)
        return fd, res, data


class _OpenRead:
    """Receives the completions of one open_read: the open's, on which it
    queues the read, then the read's, which resolves `fut`. When the caller
    has left (`fut` done), the descriptor is closed instead."""

    __slots__ = ("drv", "fut", "size", "fd", "current")

    def __init__(self, drv: RingDriver, size: int) -> None:
        self.drv = drv
        self.fut = drv._create_future()
        self.size = size
        self.fd = -1
        self.current = 0  # the read's user_data, once it is queued

    def set_result(self, t: Completion) -> None:
        drv, fut = self.drv, self.fut
        ring = drv.ring
        assert ring is not None
        if self.current:  # the read's completion
            if fut.done():  # the caller left: the read is over, close
                drv._queue(None, ring.submit_close, self.fd)
            else:
                fut.set_result((self.fd, t[1], t[2] if t[1] > 0 else b""))
            return
        # The turn's common case (nobody waits for one), written out.
        if drv._open_waiters:
            drv._open_done()
        else:
            drv._opening -= 1
        fd = self.fd = t[1]
        if fd < 0:
            if not fut.done():
                fut.set_result((fd, None, b""))
            return
        if fut.done():  # the caller left: close what the open got
            drv._queue(None, ring.submit_close, fd)
            return
        # The push written out; the flush that runs behind this batch of
        # completions submits the read.
        try:
            read_id = ring.submit_read(fd, 0, self.size)
        except OSError:  # no room, or refused: the file object reads later
            read_id = None
        else:
            if not drv._flush_scheduled:
                drv._schedule_flush()
        if read_id is None:
            fut.set_result((fd, None, b""))
        else:
            self.current = read_id
            drv._ops[read_id] = self
