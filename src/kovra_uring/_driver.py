"""A reference asyncio driver for `_uring.Ring`.

One `Driver` owns one `Ring` and hooks its eventfd into the running event
loop.  Coroutines queue kernel operations with the ring's `submit_*` methods;
the first submission of a loop tick schedules one `submit()` for the end of
the tick, so any number of coroutines share a single `io_uring_enter`.

Completions are dispatched by `user_data`: `_ops` maps each id to what
receives its `(user_data, result, payload)` triple, usually the one plain
future its coroutine awaits.  No tasks, no `asyncio.shield`: a completion
costs a dict pop and a `set_result`, and a coroutine a single future per
round trip.  Page-cached reads, opens and closes complete inside the
`io_uring_enter` itself, so the flush reaps straight after submitting; and
every batch of completions has the next flush run right behind the
coroutines it wakes, so what they queue reaches the kernel in the same pass
of the loop instead of the next one.  That flush is usually the eventfd's
reader itself: the eventfd is left signalled until a reap finds nothing, so
the loop's next poll queues the reader behind those coroutines, and the path
from a completion to the next submission holds no read of the eventfd.

Four things every driver on this ring has to get right:

- `reap` never enters the kernel, so completions the kernel held back while
  the completion queue was full, and entries queued behind one that failed
  to prepare, move only when `submit()` is called again (`_flush`).
- A cancelled operation keeps its buffers in the ring until its completion is
  reaped, and that completion may still need handling: the descriptor a
  cancelled open got must be closed, a slot freed.  `_abandon` hands it to a
  cleanup function; aclose() keeps the ring alive until every one arrived.
- A descriptor or a direct-descriptor slot is closed only once the last
  operation on it has completed: a read punted to a kernel worker looks the
  descriptor up only when it runs, and would read whatever file got the
  number in between.
- The ring takes `str` paths encoded as UTF-8 and `bytes` data.  Names that
  are not valid UTF-8 (`bytes`, or `str` with surrogate escapes as
  `os.listdir` returns them) go through `os` in a worker thread, and other
  bytes-like data is copied into `bytes`.

Where io_uring is refused (a container's seccomp profile, the
`kernel.io_uring_disabled` sysctl, an old kernel, a low locked-memory limit)
the same API runs on a thread pool: `Driver.backend` says which, and a
`RingUnavailableWarning` is issued once per driver.

The class is meant to be copied and adapted: stdlib only, no framework.

    async with Driver() as io:
        data = await io.read_file("/etc/hostname")
        st = await io.stat("/etc/hostname")
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import errno
import os
import warnings
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

from _uring import Ring

__all__ = ["Driver", "RingUnavailableWarning"]

# The first read of read_file: one round trip for most small files, without
# paying for a big buffer (allocation, page faults) on every one of them.
# Larger files continue with reads that double in size; from STAT_FROM on a
# statx sizes the file to read it whole (_read_all). No read asks for more
# than MAX_READ.
FIRST_READ = 16 * 1024
STAT_FROM = 128 * 1024
MAX_READ = 1 << 30
# The ring queues at most 4 GiB - 1 per write, and the kernel writes at most
# 2 GiB - 4 KiB per call anyway: longer data goes in parts of this size.
MAX_WRITE = 1 << 30

# While reads are not completing inside the enter (cold data), a pass of the
# loop in which many coroutines queue reads submits every EARLY_SUBMIT of
# them: a read queued early in a long pass would otherwise reach the device
# only at the end of it, and a deep queue drains meanwhile. A read that is
# the only operation in flight is submitted at once. Page-cached reads
# complete inside the enter: those go in one submit per pass.
EARLY_SUBMIT = 8

# io_uring reads and writes at offset -1 (as an unsigned 64-bit value) use and
# advance the file position, like os.read and os.write.
CURRENT_POSITION = 2**64 - 1

# The flush inside a push and submit() can fail for reasons that go away once
# the loop has made progress (completions reaped, memory freed).
_TRANSIENT = frozenset({errno.EAGAIN, errno.EBUSY, errno.EINTR})
# How Ring() fails where io_uring cannot be used at all.
_REFUSED = frozenset({errno.EPERM, errno.ENOSYS, errno.ENOMEM})

Completion = tuple  # (user_data, result, payload), as reap() returns it


class RingUnavailableWarning(RuntimeWarning):
    """io_uring was refused: the driver runs its operations on threads."""


class _NameForOs(Exception):
    """A path the ring refuses that os may take, or refuses in its own words:
    the caller makes the os call instead, on a thread."""


# What a path operation hands to os: names that are not UTF-8, and names
# with a NUL (os raises its ValueError, whose text differs between versions).
_OS_NAMES = (UnicodeEncodeError, _NameForOs)


def _push_error(e: OSError) -> BaseException | None:
    """What a refused push means: None when the ring has no room for now
    (the queue stayed full, or its flush failed for a transient reason),
    else the exception to raise."""
    if e.errno is None:
        message = e.args[0] if e.args else ""
        if message == "submission queue full":
            return None
        if isinstance(message, str) and message.startswith("nul byte found"):
            return _NameForOs()
        return e
    return None if e.errno in _TRANSIENT else e


def _error(res: int, *paths) -> OSError:
    """The OSError (subclass picked by errno) that os itself would raise."""
    code = -res
    if len(paths) == 2:
        return OSError(code, os.strerror(code), paths[0], None, paths[1])
    return OSError(code, os.strerror(code), *paths)


def _ring_path(path) -> str:
    """`path` as the ring takes it. A name that is not UTF-8 comes out with
    surrogate escapes, which the ring refuses with UnicodeEncodeError."""
    return path if isinstance(path, str) else os.fsdecode(path)


def _data(data) -> bytes | memoryview:
    """Bytes-like `data` as the ring takes it: `bytes` as they are (no copy),
    anything else copied, except what is too long for one write, which is
    left as a byte view for _part to cut. Like os.write, anything that is
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


def _part(data: bytes | memoryview, offset: int) -> bytes:
    """The `bytes` of one write of `data` from `offset`: no copy when that is
    all of it."""
    if offset == 0 and len(data) <= MAX_WRITE and isinstance(data, bytes):
        return data
    with memoryview(data) as view:
        return view[offset:offset + MAX_WRITE].tobytes()


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


class _Action:
    """Receives a completion nobody awaits, in place of a future."""

    __slots__ = ("set_result",)

    def __init__(self, fn: Callable[[Completion], object]):
        self.set_result = fn


def _return_slot(slots: list, slot: int, t: Completion) -> None:
    slots.append(slot)


def _close_if_opened(t: Completion) -> None:
    if t[1] >= 0:
        try:
            os.close(t[1])
        except OSError:
            pass


# -- the same operations through os, for threads ------------------------------

def _os_write(fd: int, data, offset: int | None) -> int:
    """os.write / os.pwrite of all of `data`, in parts as the ring writes it;
    stops at the first short part."""
    data, done = _data(data), 0
    while True:
        part = _part(data, done)
        n = os.write(fd, part) if offset is None else os.pwrite(fd, part, offset + done)
        done += n
        if n < len(part) or done >= len(data):
            return done


def _os_read_file(path) -> bytes:
    with open(os.open(path, os.O_RDONLY | os.O_CLOEXEC), "rb", buffering=0) as f:
        return f.readall()


def _os_write_file(path, data: bytes | memoryview) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        done = 0
        while done < len(data):
            n = os.write(fd, _part(data, done))
            if n == 0:
                raise OSError(errno.EIO, "write made no progress", path)
            done += n
    except BaseException:
        os.close(fd)
        raise
    os.close(fd)


def _os_open_read(path, flags: int, mode: int, size: int) -> tuple[int, int | None, bytes]:
    fd = os.open(path, flags, mode)
    try:
        data = os.pread(fd, size, 0)
    except OSError as e:
        return fd, -(e.errno or errno.EIO), b""
    return fd, len(data), data


def _os_exists(path) -> bool:
    try:
        os.stat(path)
    except (OSError, ValueError):
        return False
    return True


def _scandir(path) -> list[os.DirEntry]:
    with os.scandir(path) as it:
        return list(it)


class Driver:
    """Async file I/O on one io_uring.

    entries: size of the submission queue (the completion queue is twice as
        big; the driver copes with more operations in flight than that).
    fixed: use direct-descriptor slots for read_file/write_file chains; when
        false every whole-file operation takes the plain open/read/close path.
    slots: size of the slot pool (at most `ring.fixed_slots`); a call that finds
        every slot busy takes the plain path instead of waiting.

    `backend` is "io_uring", or "threads" where the kernel refused the ring.
    Paths are `str`, `bytes` or path-like, as for os; data is bytes-like.
    """

    backend = "io_uring"

    def __init__(self, entries: int = 256, *, fixed: bool = True, slots: int | None = None):
        self._loop = asyncio.get_running_loop()
        self._closed = False
        self._executor: concurrent.futures.ThreadPoolExecutor | None = None
        self._threads: set[concurrent.futures.Future] = set()  # os calls still running
        self.chains = 0      # whole-file operations done through a slot
        self.fallbacks = 0   # ... and through a plain descriptor
        try:
            self.ring = ring = Ring(entries)
        except OSError as e:
            if e.errno not in _REFUSED:
                raise
            warnings.warn(f"io_uring is unavailable ({e}); file operations run on threads",
                          RingUnavailableWarning, stacklevel=2)
            self.__class__ = _ThreadDriver
            self.ring = None  # type: ignore[assignment]  # no ring: see _ThreadDriver
            self.slots = 0
            return
        nslots = ring.fixed_slots if fixed else 0
        if slots is not None:
            nslots = max(0, min(nslots, slots))
        self.slots = nslots
        self._slots = free = list(range(nslots))  # the free ones
        # What a close of each slot does on completion: put the slot back.
        self._slot_closed = [_Action(partial(_return_slot, free, s)) for s in range(nslots)]
        # user_data -> what receives its completion (None: nothing).
        self._ops: dict[int, asyncio.Future | _Action | None] = {}
        # Completions that found their future cancelled, kept until the
        # cancelled coroutine picks them up in _abandon.
        self._late: dict[int, Completion] = {}
        self._flush_scheduled = False
        self._reader_flushes = False  # the scheduled flush is the eventfd's reader
        self._unsent = 0  # reads queued since the last submit
        self._early = True  # reads do not complete inside the enter (EARLY_SUBMIT)
        self._room: list[asyncio.Future] = []  # pushes waiting for queue space
        self._idle: asyncio.Future | None = None
        self._tasks: set[asyncio.Task] = set()
        self._create_future = self._loop.create_future
        self._call_soon = self._loop.call_soon
        self._eventfd = ring.eventfd
        self._loop.add_reader(ring.eventfd, self._reap)

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

    def _enter(self) -> list:
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
            if e.errno in _TRANSIENT:
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
            self.ring.submit()
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

    def _dispatch(self, done: list, drained: bool = False) -> None:
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
        if self._idle is not None and not self.ring.inflight and not self._idle.done():
            self._idle.set_result(None)

    def _action_failed(self, t: Completion, e: BaseException, rest, drained: bool) -> None:
        if isinstance(e, asyncio.InvalidStateError):
            # Its future was cancelled and the coroutine has not run its
            # handler yet: keep the completion for _abandon.
            self._late[t[0]] = t
            return
        if isinstance(e, Exception):  # one failing action must not strand the rest
            self._loop.call_exception_handler(
                {"message": "io_uring completion action failed", "exception": e})
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
            self._loop.call_exception_handler({"message": "io_uring submit failed",
                                               "exception": e})

    def _try_push(self, submit, *args):
        """Queue one entry (or chain); None when the ring has no room now."""
        try:
            ids = submit(*args)
        except OSError as e:
            if (err := _push_error(e)) is None:
                return None
            raise err from None
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        return ids

    async def _push(self, submit, *args):
        while (ids := self._try_push(submit, *args)) is None:
            if not self.ring.inflight:  # nothing will complete and make room
                raise OSError("submission queue full")
            # Room appears once the kernel consumes entries: after the next
            # flush. (One future per waiter: a cancelled waiter cancels only
            # its own.)
            fut = self._create_future()
            self._room.append(fut)
            self._schedule_flush()
            await fut
        return ids

    def _track(self, user_data: int) -> asyncio.Future:
        """The future that the completion of `user_data` resolves."""
        fut = self._ops[user_data] = self._create_future()
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
            ops[user_data] = None if cleanup is None else _Action(cleanup)
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
        receiver = None if action is None else _Action(action)
        user_data = self._try_push(submit, *args)
        if user_data is None:  # rare: no room even after a flush
            async def push():
                self._ops[await self._push(submit, *args)] = receiver
            self._spawn(push())
        else:
            self._ops[user_data] = receiver

    async def _run(self, submit, *args, cleanup=None, cancel: bool = True) -> Completion:
        """Queue one operation and wait for its completion; `cleanup` and
        `cancel` say what a cancelled caller leaves behind (_abandon)."""
        user_data = self._try_push(submit, *args)
        if user_data is None:
            user_data = await self._push(submit, *args)
        fut = self._ops[user_data] = self._create_future()
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

    async def _in_thread(self, fn, *args, cleanup: Callable[[Any], object] | None = None):
        """fn(*args) on a worker thread. A caller that leaves early leaves
        the call running; `cleanup` then gets its result."""
        if self._executor is None:
            self._executor = concurrent.futures.ThreadPoolExecutor(
                thread_name_prefix="driver")
        cf = self._executor.submit(fn, *args)
        self._threads.add(cf)
        cf.add_done_callback(self._threads.discard)
        try:
            return await asyncio.wrap_future(cf)
        except BaseException:
            if cleanup is not None:
                cf.add_done_callback(lambda f: f.cancelled() or f.exception() is not None
                                     or cleanup(f.result()))
            raise

    def create_future(self) -> asyncio.Future:
        """A future of the driver's event loop, for code that parks a task
        until something else resolves it."""
        return self._loop.create_future()

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("driver is closed")

    # -- lifecycle ----------------------------------------------------------

    async def aclose(self) -> None:
        """Wait for everything in flight, then detach from the loop and close
        the ring (its descriptor and eventfd) at once. If this wait is
        cancelled, or fails because the ring does, the reader stays
        registered, so late completions are still reaped and their buffers
        released; aclose() can be called again."""
        self._closed = True
        while self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        await self._join_threads()
        while (ring := self.ring) is not None and ring.inflight:
            if self._idle is None or self._idle.done():
                self._idle = self._create_future()
            self._schedule_flush()
            await self._idle
        if ring is not None:
            self._loop.remove_reader(ring.eventfd)
            # The Ring has no close(): dropping the last reference releases it.
            # (A failure kept in _idle holds frames that refer to it too.)
            self.ring = None  # type: ignore[assignment]  # closed: no method uses it
            self._idle = None

    async def _join_threads(self) -> None:
        while self._threads:
            await asyncio.gather(*(asyncio.wrap_future(f) for f in list(self._threads)),
                                 return_exceptions=True)
        if self._executor is not None:
            self._executor.shutdown(wait=False)
            self._executor = None

    async def __aenter__(self) -> Driver:
        return self

    async def __aexit__(self, *exc) -> None:
        await self.aclose()

    # -- descriptor operations ---------------------------------------------

    async def open(self, path, flags: int = os.O_RDONLY, mode: int = 0o666) -> int:
        self._check()
        path = os.fspath(path)
        # Like os.open, descriptors are not inherited by child processes.
        flags |= os.O_CLOEXEC
        try:
            # An open whose caller was cancelled may still succeed: close its fd.
            _, res, _ = await self._run(self.ring.submit_open, _ring_path(path), flags, mode,
                                        cleanup=_close_if_opened)
        except _OS_NAMES:
            return await self._in_thread(os.open, path, flags, mode, cleanup=os.close)
        if res < 0:
            raise _error(res, path)
        return res

    async def open_read(self, path, flags: int = os.O_RDONLY, mode: int = 0o666,
                        size: int = FIRST_READ) -> tuple[int, int | None, bytes]:
        """Open `path` and read up to `size` bytes at offset 0 behind it, the
        caller waiting once: (fd, res, data), `res` being the read's result
        (-errno when it failed, None when no read could be queued). The
        open's errors raise as open() raises them."""
        self._check()
        path = os.fspath(path)
        flags |= os.O_CLOEXEC
        try:
            name = _ring_path(path)
            user_data = self._try_push(self.ring.submit_open, name, flags, mode)
            if user_data is None:
                user_data = await self._push(self.ring.submit_open, name, flags, mode)
        except _OS_NAMES:
            return await self._in_thread(_os_open_read, path, flags, mode, size,
                                         cleanup=lambda r: os.close(r[0]))
        fut = self._create_future()
        current = [user_data]

        def read(t: Completion) -> None:
            if fut.done():  # the caller left: the read is over, close
                self._queue(None, self.ring.submit_close, fd_box[0])
            else:
                fut.set_result((fd_box[0], t[1], t[2] if t[1] > 0 else b""))

        fd_box = [-1]

        def opened(t: Completion) -> None:
            fd = fd_box[0] = t[1]
            if fd < 0:
                if not fut.done():
                    fut.set_result((fd, None, b""))
                return
            if fut.done():
                self._queue(None, self.ring.submit_close, fd)
                return
            try:
                read_id = self._try_push(self.ring.submit_read, fd, 0, size)
            except OSError:
                read_id = None
            if read_id is None:
                fut.set_result((fd, None, b""))
            else:
                current[0] = read_id
                self._ops[read_id] = _Action(read)

        self._ops[user_data] = _Action(opened)
        try:
            fd, res, data = await fut
        except BaseException:
            if current[0] in self._ops:
                self._cancel(current[0])
            elif fut.done() and not fut.cancelled() and (fd := fut.result()[0]) >= 0:
                # It came, but the task was cancelled before resuming.
                self._queue(None, self.ring.submit_close, fd)
            raise
        if fd < 0:
            raise _error(fd, path)
        return fd, res, data

    def close_soon(self, fd: int) -> None:
        """Close `fd` without waiting for it (a file only read loses nothing
        when its close fails)."""
        self._check()
        self._queue(None, self.ring.submit_close, fd)

    async def run_sync(self, fn, *args):
        """fn(*args) on one of the driver's worker threads."""
        self._check()
        return await self._in_thread(fn, *args)

    async def close(self, fd: int) -> None:
        """os.close (`aclose()` closes the driver itself)."""
        self._check()
        res = await self._close_fd(fd)
        if res < 0:
            raise _error(res)

    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        """pread when `offset` is given, else read at the file position."""
        # The hottest path: _run written out.
        if self._closed:
            raise RuntimeError("driver is closed")
        off = CURRENT_POSITION if offset is None else offset
        try:
            user_data = self.ring.submit_read(fd, off, size)
        except OSError as e:
            if _push_error(e) is not None:
                raise
            user_data = await self._push(self.ring.submit_read, fd, off, size)
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        if self._early:
            self._unsent = unsent = self._unsent + 1
            if unsent >= EARLY_SUBMIT or unsent == 1 and self.ring.inflight == 1:
                self._submit_early()
        fut = self._ops[user_data] = self._create_future()
        try:
            _, res, data = await fut
        except BaseException:
            self._abandon(user_data, fut)
            raise
        if res < 0:
            raise _error(res)
        return data

    async def write(self, fd: int, data, offset: int | None = None) -> int:
        """os.write / os.pwrite; data longer than one write allows goes in
        parts, up to the first short one."""
        self._check()
        data, done = _data(data), 0
        while True:
            part = _part(data, done)
            off = CURRENT_POSITION if offset is None else offset + done
            _, res, _ = await self._run(self.ring.submit_write, fd, off, part)
            if res < 0:
                if done:
                    return done  # what was written, as a short write says
                raise _error(res)
            done += res
            if res < len(part) or done >= len(data):
                return done

    async def writev(self, fd: int, bufs: Sequence, offset: int | None = None) -> int:
        self._check()
        off = CURRENT_POSITION if offset is None else offset
        bufs = [b if isinstance(b, bytes) else bytes(_data(b)) for b in bufs]
        _, res, _ = await self._run(self.ring.submit_writev, fd, off, bufs)
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
            await self._in_thread(os.ftruncate, fd, length)
        elif res < 0:
            raise _error(res)

    async def fstat(self, fd: int) -> os.stat_result:
        self._check()
        _, res, payload = await self._run(self.ring.submit_fstatx, fd)
        if res < 0:
            raise _error(res)
        return _stat_result(payload)

    async def _close_fd(self, fd: int) -> int:
        # Never cancelled: a cancelled caller still closes its descriptor.
        _, res, _ = await self._run(self.ring.submit_close, fd, cancel=False)
        return res

    # -- path operations ----------------------------------------------------

    async def stat(self, path, follow: bool = True) -> os.stat_result:
        """os.stat; with follow=False, os.lstat."""
        # One of the hot paths: _run written out (each helper call counts).
        if self._closed:
            raise RuntimeError("driver is closed")
        name = path if type(path) is str else _ring_path(path := os.fspath(path))
        follow = bool(follow)
        try:
            try:
                user_data = self.ring.submit_statx(name, follow)
            except OSError as e:
                if (err := _push_error(e)) is not None:
                    raise err from None
                user_data = await self._push(self.ring.submit_statx, name, follow)
        except _OS_NAMES:
            return await self._in_thread(partial(os.stat, path, follow_symlinks=follow))
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._call_soon(self._flush)
        fut = self._ops[user_data] = self._create_future()
        try:
            _, res, payload = await fut
        except BaseException:
            self._abandon(user_data, fut)
            raise
        if res < 0:
            raise _error(res, path)
        return _stat_result(payload)

    async def lstat(self, path) -> os.stat_result:
        return await self.stat(path, follow=False)

    async def exists(self, path) -> bool:
        """os.path.exists: False for a path that cannot be stat'ed."""
        try:
            await self.stat(path)
        except (OSError, ValueError):
            return False
        return True

    async def listdir(self, path=".") -> list:
        """os.listdir (on a thread: the ring has no directory reads)."""
        self._check()
        return await self._in_thread(os.listdir, path)

    async def scandir(self, path=".") -> list[os.DirEntry]:
        """The entries of os.scandir, all read on a thread, as a list."""
        self._check()
        return await self._in_thread(_scandir, path)

    async def _path_op(self, submit_name: str, paths: tuple, extra: tuple,
                       os_fn, os_extra: tuple = ()) -> None:
        """A path operation of the ring, or `os_fn(*paths, *os_extra)` on a
        thread for a name the ring cannot take."""
        self._check()
        paths = tuple(map(os.fspath, paths))
        try:
            _, res, _ = await self._run(getattr(self.ring, submit_name),
                                        *map(_ring_path, paths), *extra)
        except _OS_NAMES:
            return await self._in_thread(os_fn, *paths, *os_extra)
        if res < 0:
            raise _error(res, *paths)

    async def mkdir(self, path, mode: int = 0o777) -> None:
        await self._path_op("submit_mkdir", (path,), (mode,), os.mkdir, (mode,))

    async def unlink(self, path) -> None:
        await self._path_op("submit_unlink", (path,), (False,), os.unlink)

    async def rmdir(self, path) -> None:
        await self._path_op("submit_unlink", (path,), (True,), os.rmdir)

    async def rename(self, src, dst) -> None:
        await self._path_op("submit_rename", (src, dst), (), os.rename)

    async def symlink(self, target, linkpath) -> None:
        await self._path_op("submit_symlink", (target, linkpath), (), os.symlink)

    async def link(self, src, dst) -> None:
        await self._path_op("submit_link", (src, dst), (), os.link)

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
            if (err := _push_error(e)) is None:
                return None
            raise err from None
        except BaseException:
            slots.append(slot)
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
            ops[open_id] = _Action(cancel_again)
            self._cancel(open_id)

    def _close_after(self, fd: int, last: list) -> None:
        """After an error or a cancellation on the plain path: close `fd` once
        its newest operation `last` ([user_data, future], or empty) has
        completed, for the same reason as _release_chain."""
        def close(t: Completion | None) -> None:
            self._queue(None, self.ring.submit_close, fd)
        if last:
            self._abandon(last[0], last[1], close)
        else:
            close(None)

    async def _read_all(self, path, read_at, stat_at, last: list, data: bytes = b"") -> bytes:
        """Read on from the end of `data` (reads so far that filled their
        buffers) until a read comes back short, with reads that double in
        size. `read_at(offset, size)` queues one read and `stat_at()` one
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
                raise _error(res, path)
            if res:
                chunks.append(data)
            offset += res
            if res < size:
                return chunks[0] if len(chunks) == 1 else b"".join(chunks)
            size, probe = (FIRST_READ if probe else min(offset, MAX_READ)), False

    async def _write_all(self, path, data, write_at, last: list, offset: int = 0) -> None:
        """Write data[offset:] at `offset` in parts, continuing after short
        writes; `last` as for _read_all."""
        while offset < len(data):
            user_data = await self._push(write_at, offset, _part(data, offset))
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
        name = path if type(path) is str else _ring_path(path := os.fspath(path))
        slots = self._slots
        if not slots:
            self.fallbacks += 1
            return await self._read_plain(path)
        slot = slots.pop()
        try:
            open_id, read_id = self.ring.submit_open_read(name, os.O_RDONLY, 0, FIRST_READ, slot)
        except BaseException as e:
            slots.append(slot)
            if isinstance(e, OSError):
                if (err := _push_error(e)) is not None and not isinstance(err, _NameForOs):
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
                data = await self._read_all(path, partial(self.ring.submit_read_fixed, slot),
                                            partial(self.ring.submit_statx, name, True),
                                            last, data)
        except BaseException:
            self._release_chain(slot, open_id, last or [read_id, fut])
            raise
        # Nobody waits for the close of a file only read.
        try:
            user_data = self.ring.submit_close_fixed(slot)
        except OSError as e:
            if _push_error(e) is not None:
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

    async def _read_plain(self, path) -> bytes:
        fd = await self.open(path)
        last: list = []
        try:
            data = await self._read_all(path, partial(self.ring.submit_read, fd),
                                        partial(self.ring.submit_fstatx, fd), last)
        except BaseException:
            self._close_after(fd, last)
            raise
        # Not waited for: nothing is lost if the close of a file only read fails.
        self._queue(None, self.ring.submit_close, fd)
        return data

    async def write_file(self, path, data) -> None:
        """Create or truncate `path` and write `data`, like Path.write_bytes."""
        self._check()
        path, data = os.fspath(path), _data(data)
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
        # No O_CLOEXEC on the chain: the kernel refuses it for a direct
        # descriptor, which no child process could inherit anyway.
        try:
            chain = self._start_chain(self.ring.submit_open_write, _ring_path(path), flags,
                                      0o666, _part(data, 0))
        except _OS_NAMES:
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
                await self._write_all(path, data, partial(self.ring.submit_write_fixed, slot),
                                      last, res)
        except BaseException:
            self._release_chain(slot, open_id, last)
            raise
        closed = self._create_future()
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

    async def _write_plain(self, path, data, flags: int) -> None:
        fd = await self.open(path, flags)
        last: list = []
        try:
            await self._write_all(path, data, partial(self.ring.submit_write, fd), last)
        except BaseException:
            self._close_after(fd, last)
            raise
        res = await self._close_fd(fd)
        if res < 0:
            raise _error(res, path)


class _ThreadDriver(Driver):
    """The Driver where the kernel refuses io_uring: every operation is the
    os call on a worker thread, with the same results and exceptions."""

    backend = "threads"

    async def aclose(self) -> None:
        if self._closed:
            return
        self._closed = True
        await self._join_threads()

    def _run_os(self, fn, *args):
        self._check()
        return self._in_thread(fn, *args)

    async def open(self, path, flags: int = os.O_RDONLY, mode: int = 0o666) -> int:
        self._check()
        return await self._in_thread(os.open, os.fspath(path), flags | os.O_CLOEXEC, mode,
                                     cleanup=os.close)

    async def open_read(self, path, flags: int = os.O_RDONLY, mode: int = 0o666,
                        size: int = FIRST_READ) -> tuple[int, int | None, bytes]:
        self._check()
        return await self._in_thread(_os_open_read, os.fspath(path), flags | os.O_CLOEXEC,
                                     mode, size, cleanup=lambda r: os.close(r[0]))

    def close_soon(self, fd: int) -> None:
        self._check()
        self._spawn(self._in_thread(os.close, fd))

    async def close(self, fd: int) -> None:
        await self._run_os(os.close, fd)

    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        if offset is None:
            return await self._run_os(os.read, fd, size)
        return await self._run_os(os.pread, fd, size, offset)

    async def write(self, fd: int, data, offset: int | None = None) -> int:
        return await self._run_os(_os_write, fd, data, offset)

    async def writev(self, fd: int, bufs: Sequence, offset: int | None = None) -> int:
        if offset is None:
            return await self._run_os(os.writev, fd, list(bufs))
        return await self._run_os(os.pwritev, fd, list(bufs), offset)

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        await self._run_os(os.fdatasync if datasync else os.fsync, fd)

    async def truncate(self, fd: int, length: int) -> None:
        await self._run_os(os.ftruncate, fd, length)

    async def fstat(self, fd: int) -> os.stat_result:
        return await self._run_os(os.fstat, fd)

    async def stat(self, path, follow: bool = True) -> os.stat_result:
        self._check()
        return await self._in_thread(partial(os.stat, os.fspath(path),
                                             follow_symlinks=bool(follow)))

    async def exists(self, path) -> bool:
        return await self._run_os(_os_exists, path)

    async def _path_op(self, submit_name: str, paths: tuple, extra: tuple,
                       os_fn, os_extra: tuple = ()) -> None:
        await self._run_os(os_fn, *map(os.fspath, paths), *os_extra)

    async def read_file(self, path) -> bytes:
        return await self._run_os(_os_read_file, os.fspath(path))

    async def write_file(self, path, data) -> None:
        await self._run_os(_os_write_file, os.fspath(path), _data(data))
