"""The ring back end: submission, flush, reap and dispatch, and the hot
operations.

Coroutines queue kernel operations with the ring's `submit_*` methods; the
first submission of a loop tick schedules one `submit()` for the end of the
tick, so any number of coroutines share a single `io_uring_enter`.

Completions are dispatched by `user_data`: `_ops` maps each id to what
receives its `(user_data, result, payload)` triple, usually the one plain
future its coroutine awaits. A completion costs a dict pop and a
`set_result`, and a coroutine a single future per round trip. Page-cached
reads, opens and closes complete inside the `io_uring_enter` itself, so the
flush reaps straight after submitting; and every batch of completions has
the next flush run right behind the coroutines it wakes, so what they queue
reaches the kernel in the same pass of the loop instead of the next one.
That flush is usually the eventfd's reader itself: the eventfd is left
signalled until a reap finds nothing, so the loop's next poll queues the
reader behind those coroutines, and the path from a completion to the next
submission holds no read of the eventfd.

What every driver on this ring has to get right:

- `reap` never enters the kernel, so completions the kernel held back while
  the completion queue was full, and entries queued behind one that failed
  to prepare, move only when `submit()` is called again (`_flush`).
- A cancelled operation keeps its buffers in the ring until its completion
  is reaped (`_cancel`).
- A descriptor or a direct-descriptor slot is closed only once the last
  operation on it has completed: a read punted to a kernel worker looks the
  descriptor up only when it runs, and would read whatever file got the
  number in between.
- The ring takes `str` paths encoded as UTF-8 and `bytes` data. Names that
  are not valid UTF-8 (`bytes`, or `str` with surrogate escapes as
  `os.listdir` returns them) go through `os` in a worker thread, and other
  bytes-like data is copied into `bytes`.

The hot paths (read, stat, read_file) have the push, the flush scheduling
and the wait written out: each Python call left on them is a measurable
share of an operation's cost.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

from ._cancel import Action, abandon, close_if_opened
from ._convert import (CURRENT_POSITION, HERE, data_arg, part, read_size, ring_path, stat_result,
                       times_wrapped)
from ._driver import OPEN_DEPTH, Driver, StrOrBytesPath
from ._errors import OS_NAMES, TRANSIENT, os_error, push_error
from ._threads import (IOV_MAX, _os_write, _os_writev, blocking_stream, direct_io,
                       nonblocking_stream, os_read_at, tty_answers_at_once, unblock_fifo,
                       write_here)

__all__ = ["RingCore", "Completion"]

Completion = tuple[int, int, Any]  # (user_data, result, payload), as reap() returns it

# While reads are not completing inside the enter (cold data), a pass of the
# loop in which many coroutines queue reads submits every EARLY_SUBMIT of
# them: a read queued early in a long pass would otherwise reach the device
# only at the end of it, and a deep queue drains meanwhile. A read that is
# the only operation in flight is submitted at once. Page-cached reads
# complete inside the enter: those go in one submit per pass.
EARLY_SUBMIT = 8

# Offsets the ring takes as os does; others get os's answer, from a thread.
OFFSETS = 1 << 63

# The kernel refuses a name of PATH_MAX bytes or more as too long.
PATH_MAX = 4096


def _refused_name(name: str | bytes) -> bool:
    """Whether the kernel refuses `name` itself, before any lookup: empty,
    too long, or not encodable (os then words the error)."""
    if not name:
        return True
    if len(name) < PATH_MAX // 4:  # not PATH_MAX bytes even in UTF-8
        return False
    try:
        return len(os.fsencode(name)) >= PATH_MAX
    except UnicodeEncodeError:
        return True



def _ring_offset(fd: int, offset: object) -> bool:
    """Whether the ring may read or write `fd` at `offset`; if not, os says
    what it says. The ring writes a pipe, socket or terminal at its stream
    whatever the offset, where os.pwrite refuses it (ESPIPE): the public
    writes look at the descriptor first. The file objects, which pass an
    offset only for a file they found seekable, call _write, which does not."""
    if type(offset) is not int or not 0 <= offset < OFFSETS:
        return False
    try:
        os.lseek(fd, 0, os.SEEK_CUR)
    except OSError:
        return False
    except Exception:  # no descriptor at all: the ring's own argument errors
        return True
    return True


class RingCore(Driver):
    """Driver operations on one io_uring: everything but the slot pool and
    the whole-file chains (_chains.RingDriver)."""

    backend = "io_uring"

    def __init__(self, entries: int = 256, *, fixed: bool = True,
                 slots: int | None = None) -> None:
        super().__init__()
        ring = self.ring
        assert ring is not None  # Driver.__new__ made it
        glue = self._glue
        # user_data -> what receives its completion (None: nothing).
        self._ops: dict[int, Any] = {}
        # Completions that found their future cancelled, kept until the
        # cancelled coroutine picks them up (_cancel.abandon).
        self._late: dict[int, Completion] = {}
        self._flush_scheduled = False
        self._reader_flushes = False  # the scheduled flush is the eventfd's reader
        self._unsent = 0  # reads queued since the last submit
        self._early = True  # reads do not complete inside the enter (EARLY_SUBMIT)
        self._room: list[Any] = []  # pushes waiting for queue space
        self._idle: Any = None
        self._tasks: set[Any] = set()
        # Completions dispatched per pass of the loop (see _dispatch), and
        # how many reaped ones wait for a later pass.
        self._budget: Callable[[], int] | None = glue.pass_budget
        self._left = 0
        self._pass_scheduled = False
        self._held = 0
        self._create_future = glue.create_future
        self._call_soon = glue.call_soon
        self._eventfd = ring.eventfd
        glue.add_reader(ring.eventfd, self._reap)

    # -- event-loop plumbing ------------------------------------------------

    def _schedule_flush(self) -> None:
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)

    def _flush(self) -> None:
        """The flush as a callback of its own (see _dispatch)."""
        self._flush_scheduled = False
        if done := self._enter():
            self._dispatch(done)

    def _enter(self) -> list[Completion]:
        """Submit what the tick queued, and return what completed inside the
        enter (page-cached reads, opens, closes), to be dispatched now rather
        than one loop pass later."""
        ring = self.ring
        # Nothing queued and nothing owed: a flush that _dispatch scheduled
        # for coroutines that queued nothing.
        if ring is None or not (inflight := ring.inflight):
            return []
        self._unsent = 0
        try:
            ring.submit()
        except OSError as e:
            if e.errno in TRANSIENT:
                self._schedule_flush()  # entries stay queued: try again next tick
            else:
                self._fail(e)
            return []
        if self._room:  # the enter made room in the queue
            for fut in self._room:
                if not fut.done():
                    fut.set_result(None)
            self._room.clear()
        done = ring.reap()
        # Most of what was outstanding completed inside the enter: data in
        # the page cache, best submitted in whole passes (EARLY_SUBMIT).
        self._early = 2 * len(done) < inflight
        return done

    def _submit_early(self) -> None:
        """Submit in the middle of a pass (EARLY_SUBMIT); the flush at its end
        still runs, and deals with any failure."""
        self._unsent = 0
        try:
            self.ring.submit()  # type: ignore[union-attr]
        except OSError:
            pass

    def _reap(self) -> None:
        """The eventfd's reader, and the flush when _dispatch left it one.

        The eventfd is drained only when a reap finds nothing: draining
        first would put two reads of it between a completion and the
        coroutine that queues the next operation. Left undrained, it keeps
        the loop waking this reader, which then finds the queue empty (its
        completions reaped here or by a flush), drains, and reaps once more
        for whatever completed before the drain, whose signal the drain
        consumed. Anything completing later signals the eventfd again."""
        ring = self.ring
        if ring is None:
            return
        if self._reader_flushes:
            self._reader_flushes = self._flush_scheduled = False
            done = self._enter()
        else:
            done = ring.reap()
        if done:
            self._dispatch(done)
        else:
            # One read empties the eventfd (a counter, not a semaphore), and
            # saves drain_eventfd's second read, the one that finds it empty.
            try:
                os.read(self._eventfd, 8)
            except OSError:  # BlockingIOError: nothing to drain
                pass
            if done := ring.reap():
                self._dispatch(done, drained=True)

    def _dispatch(self, done: list[Completion], drained: bool = False) -> None:
        if self._budget is not None:
            # Every coroutine woken here runs in the loop's next pass, and
            # timers are only looked at between passes: where the loop says
            # a timer is near (trio), a pass hands out at most its budget
            # of completions, and the rest wait for the passes after it.
            if not self._pass_scheduled:
                self._pass_scheduled = True
                self._left = self._budget()
                self._call_soon(self._next_pass)
            if len(done) > (left := max(self._left, 0)):
                rest = done[left:]
                done = done[:left]
                self._held += len(rest)
                self._call_soon(self._dispatch_held, rest)
            self._left -= len(done)
        pop = self._ops.pop
        it = iter(done)
        for t in it:
            action = pop(t[0], None)
            if action is not None:
                try:
                    action.set_result(t)
                except BaseException as e:
                    self._action_failed(t, e, it, drained)
        # A flush runs right behind the coroutines these completions wake, so
        # that what they queue is submitted in the same pass of the loop. The
        # enter also lets through what reap cannot see: completions the
        # kernel held back while the CQ was full, and entries queued behind
        # one that failed to prepare. (With nothing in flight by then, the
        # flush does nothing.)
        #
        # Completions signal the eventfd after they are posted, and only the
        # reader drains it, reaping again straight after: so unless these
        # came from that second reap, the eventfd is (or is about to be)
        # readable, and the loop's next poll queues the reader right behind
        # the coroutines woken here. The reader then is the flush, and no
        # callback of its own needs scheduling.
        if not self._flush_scheduled:
            self._flush_scheduled = True
            if drained:
                self._call_soon(self._flush)
            else:
                self._reader_flushes = True
        if (self._idle is not None and not self.ring.inflight  # type: ignore[union-attr]
                and not self._held and not self._idle.done()):
            self._idle.set_result(None)

    def _next_pass(self) -> None:
        self._pass_scheduled = False

    def _dispatch_held(self, done: list[Completion]) -> None:
        self._held -= len(done)
        self._dispatch(done, drained=True)

    def _action_failed(self, t: Completion, e: BaseException, rest: Any, drained: bool) -> None:
        if isinstance(e, self._glue.InvalidStateError):
            # Its future was cancelled and the coroutine has not run its
            # handler yet: keep the completion for abandon().
            self._late[t[0]] = t
            return
        if isinstance(e, Exception):  # one failing action must not strand the rest
            self._glue.report("io_uring completion action failed", e)
            return
        self._dispatch(list(rest), drained)  # KeyboardInterrupt and the like: after the rest
        raise e

    def _fail(self, e: OSError) -> None:
        """submit() failed for good: whoever waits for it to make progress
        (pushers waiting for room, aclose) gets the error instead of a hang."""
        waiting = [f for f in (*self._room, self._idle) if f is not None and not f.done()]
        self._room.clear()
        for fut in waiting:
            fut.set_exception(e)
        if not waiting:
            self._glue.report("io_uring submit failed", e)

    # -- pushing ---------------------------------------------------------------
    #
    # A push the ring refuses for want of room (the queue stayed full, or its
    # flush failed for a transient reason) waits for the next flush and tries
    # again; any other refusal raises (push_error says which is which).

    def _try_push(self, submit: Callable[..., Any], *args: Any) -> Any:
        """Queue one entry (or chain); None when the ring has no room now."""
        try:
            ids = submit(*args)
        except OSError as e:
            if (err := push_error(e)) is None:
                return None
            raise err from None
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        return ids

    async def _push(self, submit: Callable[..., Any], *args: Any) -> Any:
        while (ids := self._try_push(submit, *args)) is None:
            if not self.ring.inflight:  # type: ignore[union-attr]  # nothing will make room
                raise OSError("submission queue full")
            # Room appears once the kernel consumes entries: after the next
            # flush. (One future per waiter: a cancelled waiter cancels only
            # its own.)
            fut = self._create_future()
            self._room.append(fut)
            self._schedule_flush()
            await fut
        return ids

    async def _push_refused(self, e: OSError, submit: Callable[..., Any], *args: Any) -> Any:
        """The hot paths' push after `submit(*args)` raised `e`."""
        if (err := push_error(e)) is not None:
            raise err from None
        return await self._push(submit, *args)

    def _track(self, user_data: int) -> Any:
        """The future that the completion of `user_data` resolves."""
        fut = self._ops[user_data] = self._create_future()
        return fut

    def _queue(self, action: Callable[[Completion], object] | None,
               submit: Callable[..., Any], *args: Any) -> None:
        """Queue an operation that nobody awaits; `action` gets its completion."""
        receiver = None if action is None else Action(action)
        user_data = self._try_push(submit, *args)
        if user_data is None:  # rare: no room even after a flush
            async def push() -> None:
                self._ops[await self._push(submit, *args)] = receiver
            self._spawn(push())
        else:
            self._ops[user_data] = receiver

    async def _run(self, submit: Callable[..., Any], *args: Any,
                   cleanup: Callable[[Completion], object] | None = None,
                   cancel: bool = True) -> Completion:
        """Queue one operation and wait for its completion; `cleanup` and
        `cancel` say what a cancelled caller leaves behind (abandon)."""
        user_data = self._try_push(submit, *args)
        if user_data is None:
            user_data = await self._push(submit, *args)
        fut = self._ops[user_data] = self._create_future()
        try:
            return await fut  # type: ignore[no-any-return]
        except BaseException:
            abandon(self, user_data, fut, cleanup, cancel)
            raise

    def _spawn(self, coro: Any) -> Any:
        task = self._glue.spawn(coro)
        self._tasks.add(task)  # aclose() waits for these
        task.add_done_callback(self._tasks.discard)
        return task

    # -- lifecycle ----------------------------------------------------------

    async def _aclose(self) -> None:
        """Wait for everything in flight, then detach from the loop and close
        the ring (its descriptor and eventfd) at once. If this wait is
        cancelled, or fails because the ring does, the reader stays
        registered, so late completions are still reaped and their buffers
        released; aclose() can be called again."""
        self._closed = True
        while self._tasks:
            await self._glue.wait_all(list(self._tasks))
        await self._join_threads()
        while (ring := self.ring) is not None and (ring.inflight or self._held):
            if self._idle is None or self._idle.done():
                self._idle = self._create_future()
            self._schedule_flush()
            await self._idle
        if ring is not None:
            self._glue.remove_reader(ring.eventfd)
            # The Ring has no close(): dropping the last reference releases it.
            # (A failure kept in _idle holds frames that refer to it too.)
            self.ring = None
            self._idle = None

    # -- descriptor operations ---------------------------------------------

    async def open(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                   mode: int = 0o666) -> int:
        self._check()
        path = os.fspath(path)
        # Like os.open, descriptors are not inherited by child processes.
        flags |= os.O_CLOEXEC
        # Every file opened by name but for reading only comes here: the
        # turn's and _run's common cases are written out.
        if self._opening < OPEN_DEPTH:
            self._opening += 1
        else:
            await self._open_turn()
        try:
            submit = self.ring.submit_open  # type: ignore[union-attr]
            args = ring_path(path), flags, mode
            user_data = self._try_push(submit, *args)
            if user_data is None:
                user_data = await self._push(submit, *args)
            fut = self._ops[user_data] = self._create_future()
            try:
                res: int
                _, res, _ = await fut
            except BaseException:
                # An open whose caller was cancelled may still succeed: close its fd.
                abandon(self, user_data, fut, close_if_opened)
                raise
        except OS_NAMES:
            return await self._in_thread(os.open, path, flags, mode, cleanup=os.close)
        finally:
            if self._open_waiters:
                self._open_done()
            else:
                self._opening -= 1
        if res == -errno.ENXIO:
            # The ring opens without waiting: a FIFO's writer meets no
            # reader yet, where os.open waits for one.
            return await self._in_thread(os.open, path, flags, mode, cleanup=os.close,
                                         unblock=partial(unblock_fifo, path, flags))
        if res < 0:
            if res == -errno.ENOENT and not path:
                # The ring looks the name up before it checks the flags:
                # os.open('') says what is wrong with those first.
                return await self._in_thread(os.open, path, flags, mode, cleanup=os.close)
            raise os_error(res, path)
        return res

    async def close(self, fd: int) -> None:
        self._check()
        res = await self._close_waited(fd)
        if res < 0:
            raise os_error(res)

    def _close_waited(self, fd: int) -> Any:
        """The future of the close of `fd` (its result). Never cancelled: a
        cancelled caller still closes its descriptor, also one whose close
        has to wait for room in the queue: that wait is a task of its own,
        which the caller's cancellation leaves alone."""
        fut = self._create_future()

        def closed(t: Completion) -> None:
            if not fut.done():  # else its caller left
                fut.set_result(t[1])

        submit = self.ring.submit_close  # type: ignore[union-attr]
        user_data = self._try_push(submit, fd)
        if user_data is not None:
            self._ops[user_data] = Action(closed)
        else:
            async def push() -> None:
                try:
                    self._ops[await self._push(submit, fd)] = Action(closed)
                except Exception as e:  # never room: the caller learns why
                    if not fut.done():
                        fut.set_exception(e)
            self._spawn(push())
        return fut

    def close_soon(self, fd: int) -> None:
        # Every file only read ends here: _queue's common case written out.
        if self._closed:
            raise RuntimeError("driver is closed")
        submit = self.ring.submit_close  # type: ignore[union-attr]
        try:
            user_data = submit(fd)
        except OSError:  # no room now, or refused: _queue says which
            self._queue(None, submit, fd)
            return
        self._ops[user_data] = None
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)


    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        # The hottest path: _run written out. (An offset on a pipe, socket or
        # terminal is not refused as os.pread refuses it, with ESPIPE: the
        # ring reads the stream. Looking costs a system call per read.)
        if self._closed:
            raise RuntimeError("driver is closed")
        if offset is None:
            # The ring waits for a stream's data where read(2) does not: on
            # a non-blocking stream, and on a tty that answers with nothing.
            # (Its own files pass HERE: they know they are files, and pay
            # for no check.)
            if nonblocking_stream(fd):
                if self.checkpoint is not None:
                    await self.checkpoint()
                return os.read(fd, read_size(size))  # never waits
            if tty_answers_at_once(fd):  # within VTIME: a thread waits it out
                return await self._in_thread(os.read, fd, read_size(size))
            off = CURRENT_POSITION
        elif type(offset) is int and 0 <= offset < OFFSETS:
            off = offset
        elif offset is HERE:
            off = CURRENT_POSITION
        else:  # os's answer
            return await self._in_thread(os_read_at, fd, size, offset)
        submit = self.ring.submit_read  # type: ignore[union-attr]
        try:
            user_data = submit(fd, off, size)
        except OSError as e:
            user_data = await self._push_refused(e, submit, fd, off, size)
        except OverflowError:  # a size out of the ring's range: what os.read says
            user_data = await self._push(submit, fd, off, read_size(size))
        except TypeError:  # os's words, which check the arguments in its own order
            return await self._in_thread(os_read_at, fd, size, None if off == CURRENT_POSITION
                                         else off)
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        if self._early:
            self._unsent = unsent = self._unsent + 1
            if unsent >= EARLY_SUBMIT or unsent == 1 and self.ring.inflight == 1:  # type: ignore[union-attr]
                self._submit_early()
        fut = self._ops[user_data] = self._create_future()
        try:
            _, res, data = await fut
        except BaseException:
            abandon(self, user_data, fut)
            raise
        if res <= 0:
            if res < 0:
                raise os_error(res)
            if not size:  # the ring reads nothing without a look at the file (a directory)
                return await self._in_thread(os_read_at, fd, 0, None if off == CURRENT_POSITION
                                             else off)
        return data  # type: ignore[no-any-return]

    # The file objects' call, which the public one is on the ring.
    _read = read

    async def read_kept(self, fd: int, size: int,
                        leaving: Callable[[], Callable[[Completion], object]]) -> bytes:
        """read() at the file position, for a file object that keeps what a
        read got after its caller left: a stream's data is gone from the
        kernel once read, and only that file's next read can return it.
        `leaving()` is called as the caller leaves, and gives what receives
        the abandoned read's completion."""
        self._check()
        submit = self.ring.submit_read  # type: ignore[union-attr]
        try:
            user_data = self._try_push(submit, fd, CURRENT_POSITION, size)
        except OverflowError:  # beyond the ring's length: os.read's check, then at most MAX_READ
            size = read_size(size)
            user_data = None
        if user_data is None:
            user_data = await self._push(submit, fd, CURRENT_POSITION, size)
        fut = self._ops[user_data] = self._create_future()
        try:
            _, res, data = await fut
        except BaseException:
            abandon(self, user_data, fut, leaving())
            raise
        if res < 0:
            raise os_error(res)
        return data  # type: ignore[no-any-return]

    async def write(self, fd: int, data: Any, offset: int | None = None) -> int:
        if offset is not None and not _ring_offset(fd, offset):
            self._check()
            return await self._in_thread(_os_write, fd, data, offset)  # os's error
        return await self._write(fd, data, offset)

    async def _write(self, fd: int, data: Any, offset: int | None = None) -> int:
        self._check()
        if offset is None:
            if nonblocking_stream(fd):
                # The ring would wait for room where write(2) answers at
                # once: written here, as os writes it.
                if self.checkpoint is not None:
                    await self.checkpoint()
                return _os_write(fd, data, None)
            if os.isatty(fd) or direct_io(fd):
                # A terminal takes the ring's write inside the submit itself, and
                # waits there for room with the whole process stopped (a paused
                # or unread terminal); the ring's write to an O_DIRECT descriptor
                # at its position may leave the position where it was (the
                # kernel sets it before the write completes), so that the next
                # write lands on this one. A thread writes both, as on the
                # thread back end.
                return await write_here(self, fd, data)
            offset = CURRENT_POSITION
        elif offset is HERE:  # a file object's own file: no check
            offset = CURRENT_POSITION
        elif type(offset) is not int or not 0 <= offset < OFFSETS:
            return await self._in_thread(_os_write, fd, data, offset)  # os's error
        here = offset == CURRENT_POSITION
        given, data, done = data, data_arg(data), 0
        while True:
            chunk = part(data, done)
            off = offset if here else offset + done
            # _run written out: every buffered file's flush comes here.
            submit = self.ring.submit_write  # type: ignore[union-attr]
            user_data = self._try_push(submit, fd, off, chunk)
            if user_data is None:
                user_data = await self._push(submit, fd, off, chunk)
            fut = self._ops[user_data] = self._create_future()
            try:
                res: int
                _, res, _ = await fut
            except BaseException:
                abandon(self, user_data, fut)
                raise
            if res < 0:
                if done:
                    return done  # what was written, as a short write says
                if res == -errno.EINVAL and data is not given and direct_io(fd):
                    # The caller's own buffer may be aligned where the copy is not.
                    return await self._in_thread(_os_write, fd, given, None if here else offset)
                raise os_error(res)
            done += res
            if done >= len(data):
                return done
            if res < len(chunk) and (not here or not blocking_stream(fd)):
                return done
            # A blocking pipe, socket or tty: the ring hands back what fit
            # at once, where os.write waits to write it all.

    async def writev(self, fd: int, bufs: Sequence[Any], offset: int | None = None) -> int:
        self._check()
        if (offset is not None and not _ring_offset(fd, offset)
                or len(bufs) > IOV_MAX):  # which os lets the kernel refuse, after the descriptor
            return await self._in_thread(_os_writev, fd, list(bufs), offset)  # os's error
        if offset is None:  # as in write()
            if nonblocking_stream(fd):
                if self.checkpoint is not None:
                    await self.checkpoint()
                return os.writev(fd, list(bufs))
            if os.isatty(fd):
                return await write_here(self, fd, list(bufs), vector=True)
            if direct_io(fd):
                return await self._in_thread(_os_writev, fd, list(bufs), None)
        off = CURRENT_POSITION if offset is None else offset
        given, bufs = bufs, [b if isinstance(b, bytes) else bytes(data_arg(b)) for b in bufs]
        _, res, _ = await self._run(self.ring.submit_writev, fd, off, bufs)  # type: ignore[union-attr]
        if res < 0:
            if res == -errno.EINVAL and direct_io(fd) and any(type(b) is not bytes for b in given):
                # The caller's own buffers may be aligned where the copies are not.
                return await self._in_thread(_os_writev, fd, list(given), offset)
            raise os_error(res)
        if offset is None and 0 < res < sum(map(len, bufs)) and blocking_stream(fd):
            # A blocking pipe or socket: the ring hands back what fit at
            # once, where os.writev waits to write it all (write() goes on
            # with the rest as it does).
            try:
                return res + await self._write(fd, b"".join(bufs)[res:])
            except OSError:
                return res  # an error after a part was written: the count
        return res

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        self._check()
        if fd < 0:  # os's error, which the kernel's is not
            return await self._in_thread(os.fdatasync if datasync else os.fsync, fd)
        _, res, _ = await self._run(self.ring.submit_fsync, fd, bool(datasync))  # type: ignore[union-attr]
        if res < 0:
            raise os_error(res)

    async def truncate(self, fd: int, length: int) -> None:
        """os.ftruncate; kernels before 6.9 lack the operation, so a thread
        does it there."""
        self._check()
        if type(length) is not int or not 0 <= length < OFFSETS:  # what os.ftruncate says
            return await self._in_thread(os.ftruncate, fd, length)
        _, res, _ = await self._run(self.ring.submit_ftruncate, fd, length)  # type: ignore[union-attr]
        if res in (-errno.EINVAL, -errno.EOPNOTSUPP):
            # Also the answer for a descriptor not open for writing: the
            # thread then raises the real error.
            await self._in_thread(os.ftruncate, fd, length)
        elif res < 0:
            raise os_error(res)

    async def fstat(self, fd: int) -> os.stat_result:
        self._check()
        if fd < 0:  # -100 would be the ring's "current directory"
            return await self._in_thread(os.fstat, fd)
        _, res, payload = await self._run(self.ring.submit_fstatx, fd)  # type: ignore[union-attr]
        if res < 0:
            raise os_error(res)
        if times_wrapped(payload):
            return await self._in_thread(os.fstat, fd)
        return stat_result(payload)

    # -- path operations ----------------------------------------------------

    async def stat(self, path: StrOrBytesPath, follow: bool = True) -> os.stat_result:
        # One of the hot paths: _run written out.
        if self._closed:
            raise RuntimeError("driver is closed")
        if type(path) is str:
            name = path
        elif isinstance(path, int):  # a descriptor, as os.stat takes one
            return await self._in_thread(partial(os.stat, path, follow_symlinks=bool(follow)))
        else:
            try:
                name = ring_path(path := os.fspath(path))
            except TypeError:  # not a path: os's own words, or its descriptor call
                return await self._in_thread(partial(os.stat, path, follow_symlinks=bool(follow)))
        follow = bool(follow)
        submit = self.ring.submit_statx  # type: ignore[union-attr]
        try:
            try:
                user_data = submit(name, follow)
            except OSError as e:
                user_data = await self._push_refused(e, submit, name, follow)
        except OS_NAMES:
            return await self._in_thread(partial(os.stat, path, follow_symlinks=follow))
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        fut = self._ops[user_data] = self._create_future()
        try:
            _, res, payload = await fut
        except BaseException:
            abandon(self, user_data, fut)
            raise
        if res < 0:
            raise os_error(res, path)
        if payload[7] < 0 or payload[8] < 0 or payload[9] < 0:  # times_wrapped(), inlined
            return await self._in_thread(partial(os.stat, path, follow_symlinks=follow))
        return stat_result(payload)

    async def _path_op(self, submit_name: str, paths: tuple[StrOrBytesPath, ...],
                       extra: tuple[Any, ...], os_fn: Callable[..., Any],
                       os_extra: tuple[Any, ...] = (), looks_up_src: bool = False) -> None:
        """A path operation of the ring, or `os_fn(*paths, *os_extra)` on a
        thread for a name the ring cannot take.

        looks_up_src: the system call looks the first path up before it
        takes the second name, where the ring takes both names first: a
        second name the kernel refuses outright ('' or too long) would
        hide the first one's error, so os answers for it."""
        self._check()
        try:
            names: tuple[str | bytes, ...] = tuple(os.fspath(p) for p in paths)
        except TypeError:  # not a path: os says so in its own words
            await self._in_thread(os_fn, *paths, *os_extra)
            return
        if looks_up_src and _refused_name(names[1]):
            await self._in_thread(os_fn, *names, *os_extra)
            return
        try:
            _, res, _ = await self._run(getattr(self.ring, submit_name),
                                        *map(ring_path, names), *extra)
        except OS_NAMES:
            await self._in_thread(os_fn, *names, *os_extra)
            return
        if res < 0:
            raise os_error(res, *names)

    async def mkdir(self, path: StrOrBytesPath, mode: int = 0o777) -> None:
        if type(mode) is not int or not 0 <= mode < 1 << 31:
            # os takes a C int (-1 included), the ring an unsigned one.
            self._check()
            return await self._in_thread(os.mkdir, path, mode)
        await self._path_op("submit_mkdir", (path,), (mode,), os.mkdir, (mode,))

    async def unlink(self, path: StrOrBytesPath) -> None:
        await self._path_op("submit_unlink", (path,), (False,), os.unlink)

    async def rmdir(self, path: StrOrBytesPath) -> None:
        await self._path_op("submit_unlink", (path,), (True,), os.rmdir)

    async def rename(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        await self._path_op("submit_rename", (src, dst), (), os.rename, looks_up_src=True)

    async def symlink(self, target: StrOrBytesPath, linkpath: StrOrBytesPath) -> None:
        await self._path_op("submit_symlink", (target, linkpath), (), os.symlink)

    async def link(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        await self._path_op("submit_link", (src, dst), (), os.link, looks_up_src=True)
