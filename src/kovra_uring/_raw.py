"""The raw file: a descriptor with the methods of io.FileIO, awaited.

Position. A file this module opened by name, that is seekable and not in
append mode, keeps its own position and reads and writes at explicit offsets:
a read or write whose caller is cancelled then moves nothing, and doing it
again is harmless. Every other descriptor (one the caller handed in, one
from an opener, append mode, pipes and ttys) uses the kernel's position, as
io.FileIO does, so that whoever else holds the descriptor sees what io would
show. fileno() hands the descriptor out: from then on the kernel's position
is used, set first to ours. seek() always moves the kernel's position too.
A file opened by name may turn out to be a stream only after its first read
(see _opened_for_reading): it takes the kernel's position then.
"""

from __future__ import annotations

import concurrent.futures
import errno
import fcntl
import io
import operator
import os
import sys
import threading
import warnings
from collections import deque
from collections.abc import Awaitable, Buffer, Callable, Generator, Iterable
from functools import partial
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self, TypeVar, cast

from . import _loop
from ._loop import _running_loop
from ._loop import get_driver
from ._convert import HERE, read_size
from ._threads import (never_waits, nonblocking_stream, tty_answers_at_once, wait_readable,
                       write_stream)

if TYPE_CHECKING:
    from ._driver import Driver
    from ._ring import Completion

__all__ = ["AsyncFileIO"]

_CLOSED = "I/O operation on closed file"
# The closed-file message of io's generic methods (readlines, iteration).
_CLOSED_IOBASE = _CLOSED + "."
# readall's first read; each further one doubles, up to _MAX_CHUNK.
_FIRST_CHUNK = 64 * 1024
_MAX_CHUNK = 32 * 1024 * 1024


_T = TypeVar("_T")
# What a read or a write returns where a non-blocking stream has no data or
# no room now: None, as io's, typed as the common case's answer (io's typing
# has it so too), so that callers' types need no check for it.
NO_DATA = cast(bytes, None)
NO_COUNT = cast(int, None)
_SSIZE_MAX = sys.maxsize
_SSIZE_MIN = -sys.maxsize - 1


def _size(size: int | None) -> int:
    """A read size as io takes it: None or an integer."""
    if size is None:
        return -1
    try:
        n = operator.index(size)
    except TypeError:
        raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'") from None
    if not _SSIZE_MIN <= n <= _SSIZE_MAX:
        raise OverflowError("cannot fit 'int' into an index-sized integer")
    return n


def _ssize(size: int) -> int:
    """A size that io takes as a C ssize_t (read1, peek): an integer."""
    n = operator.index(size)
    if not _SSIZE_MIN <= n <= _SSIZE_MAX:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return n


def _int_arg(arg: Any) -> int:
    """An argument that io takes as a C int (seek's whence, a writer's read
    size): an integer, OverflowError beyond a C int's range."""
    n = operator.index(arg)
    if not -0x80000000 <= n <= 0x7FFFFFFF:
        raise OverflowError("Python int too large to convert to C int")
    return n


def _bytes_like(b: object) -> int:
    """The length in bytes of bytes-like `b`; TypeError (io's words) for
    anything else, str included."""
    if type(b) is bytes:
        return len(b)
    try:
        with memoryview(b) as view:  # type: ignore[arg-type]
            if not view.c_contiguous:  # io takes one block of memory
                raise BufferError("memoryview: underlying buffer is not C-contiguous")
            return view.nbytes
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(b).__name__}'") from None


def _target(buffer: object, what: str) -> memoryview:
    """`buffer` as the writable bytes that readinto fills, or io's
    TypeError naming `what` (checked before anything else, as io does)."""
    try:
        view = memoryview(buffer)  # type: ignore[arg-type]
    except (TypeError, ValueError):  # ValueError: a released memoryview
        view = None
    if view is not None:
        with view:
            if not view.readonly and view.c_contiguous:
                return view.cast("B")
    name = "None" if buffer is None else type(buffer).__name__
    raise TypeError(f"{what} must be read-write bytes-like object, not {name}")


class _Answer(int):
    """A yes or no from readable(), writable(), seekable() or isatty(), that
    can also be awaited: aiofiles' callers await some of these, io's callers
    (and the text layer) do not."""

    __slots__ = ()

    def __await__(self) -> Generator[None, None, bool]:
        return bool(self)
        yield  # a generator, finished at once

    def __repr__(self) -> str:
        return repr(bool(self))

    __str__ = __repr__


_YES, _NO = _Answer(1), _Answer(0)


def _answer(flag: bool) -> bool:
    # Typed as io's: a plain bool to the type checker.
    return cast(bool, _YES if flag else _NO)


class _ThreadFd:
    """A descriptor that worker threads use (the thread back end). A call
    whose caller was cancelled runs on in its thread, and looks the
    descriptor up only when it runs: so the close waits for the last call
    still running (which then closes it), and a call that starts after the
    close fails instead of touching whatever file has the number by then.

    A call whose caller left before a thread took it is dropped, and on a
    file (not a stream) the calls run one at a time, in turn: the caller's
    next call then comes after the one it left, and a write left behind
    never lands on top of the data written after it. A stream's calls may
    overlap, as a read left waiting for data must not hold back a write.

    A stream's read waits for data in short polls rather than in read():
    nothing interrupts a thread blocked in the kernel, so a read whose
    caller left would take the next data that came (lost to the file's next
    read), and hold its thread, and aclose() with it, until then. A write
    to a blocking stream likewise never waits in write() (see write_stream)."""

    __slots__ = ("fd", "_lock", "_running", "_closing", "_turn", "_poll", "_poll_out")

    def __init__(self, fd: int, serial: bool) -> None:
        self.fd = fd
        self._lock = threading.Lock()
        self._running = 0
        self._closing = False
        self._turn = threading.Lock() if serial else None
        access = -1 if serial else _access(fd)
        self._poll = access in (os.O_RDONLY, os.O_RDWR)
        self._poll_out = access in (os.O_WRONLY, os.O_RDWR)

    def call(self, left: list[bool], fn: Callable[..., _T], *args: Any) -> _T:
        """fn(fd, *args), unless the caller has left (`left[0]`): then an
        InterruptedError nobody sees."""
        turn = self._turn
        if turn is None:
            return self._call(left, fn, args)
        with turn:
            return self._call(left, fn, args)

    def _call(self, left: list[bool], fn: Callable[..., _T], args: tuple[Any, ...]) -> _T:
        with self._lock:
            if self._closing:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            if left[0]:
                raise InterruptedError(errno.EINTR, "the caller left")
            self._running += 1
        try:
            if fn is os.read:
                if self._poll:
                    wait_readable(self.fd, left)
            elif fn is os.write and self._poll_out and _blocking(self.fd):
                # Asked each time: the caller may have made it blocking or
                # non-blocking since (where write() answers at once).
                return cast(_T, write_stream(self.fd, args[0], left))
            return fn(self.fd, *args)
        finally:
            with self._lock:
                self._running -= 1
                last = self._closing and not self._running
            if last:
                _close_quietly(self.fd)

    def close(self) -> bool:
        """Close now (True), or leave it to the call still running."""
        with self._lock:
            self._closing = True
            if self._running:
                return False
        os.close(self.fd)
        return True


class _Late:
    """What reads whose caller left got, and the one still running."""

    __slots__ = ("op", "data", "at")

    def __init__(self, op: concurrent.futures.Future[bytes] | None) -> None:
        # The read still running: a concurrent future (of no loop, so that
        # any thread's loop may wait for it) that the ring's completion or
        # the thread's read ends; None once its end is seen.
        self.op: concurrent.futures.Future[bytes] | None = op
        # Read, and not returned yet from `at` on (an index, not a slice: an
        # unbuffered readline takes it a byte at a time).
        self.data: bytes | None = None
        self.at = 0


def _signal(to: concurrent.futures.Future[None], src: concurrent.futures.Future[Any]) -> None:
    if not to.done():  # else its waiter left
        to.set_result(None)


def _access(fd: int) -> int:
    """The access mode of `fd`, or -1 if fcntl refuses it."""
    try:
        return fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE
    except OSError:
        return -1


def _blocking(fd: int) -> bool:
    try:
        return not fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK
    except OSError:
        return True  # the call itself then says what is wrong


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass


# Guards the making of a file's queue of waiters, which tasks of loops in
# several threads may need at the same moment.
_first_waiter = threading.Lock()


class _Turns:
    """The lock that lets one task at a time into a file's I/O."""

    __slots__ = ("_busy", "_waiters")

    _busy: bool
    _waiters: deque[Any] | None

    # -- the lock: `_busy` is set by its owner; a task that finds it set
    # waits in `_waiters` (made on first need) for release() to hand it over.

    async def _acquire(self) -> None:
        if not self._busy:
            self._busy = True
            return
        drv = get_driver()
        fut = drv.create_future()
        waiter = _Waiter(self, fut, drv._glue)
        if self._waiters is None:
            with _first_waiter:  # two threads' loops would each make one
                if self._waiters is None:
                    self._waiters = deque()
        self._waiters.append(waiter)
        if not self._busy:
            # A task of another thread's loop released the file after the
            # look at _busy above, before this waiter was queued, and found
            # nobody to hand it to: take the turn and hand it to the first
            # waiter (this one, unless another came the same way first).
            self._busy = True
            self._release()
        try:
            await fut
        except BaseException:
            if fut.done() and not fut.cancelled():
                self._release()  # handed over, but its task is leaving: pass it on
            else:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass
            raise

    def _release(self) -> None:
        waiters = self._waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():
                fut.set_result(None)  # stays busy: the waiter owns it now
                return
        self._busy = False

    async def _take_turn(self, check: Callable[[], _T]) -> _T:
        """Wait for the file's turn, then check() the file again (it may have
        been closed meanwhile): a failed check passes the turn on."""
        await self._acquire()
        try:
            return check()
        except BaseException:
            self._release()
            raise

    async def _idle(self) -> None:
        """Wait until no other task is in the file's I/O."""
        if self._busy:
            await self._acquire()
            self._release()


class _Waiter:
    """A task waiting in a file's queue for its turn. The file may be shared
    by loops in several threads (a log file, say): a loop's future is set
    only from its own thread, so a turn handed over from another thread goes
    through the waiter's loop, which finds the future still waited for, or
    passes the turn on (its task left meanwhile, or its loop has ended)."""

    __slots__ = ("_turns", "_fut", "_glue", "_thread")

    def __init__(self, turns: _Turns, fut: Any, glue: Any) -> None:
        self._turns, self._fut, self._glue = turns, fut, glue
        self._thread = threading.get_ident()

    def done(self) -> bool:
        return bool(self._fut.done())

    def set_result(self, result: None) -> None:
        if threading.get_ident() == self._thread:
            self._fut.set_result(result)
            return
        try:
            self._glue.call_soon_threadsafe(self._wake)
        except RuntimeError:  # its loop is closed: nobody waits there
            self._turns._release()

    def _wake(self) -> None:
        if self._fut.done():
            self._turns._release()
        else:
            self._fut.set_result(None)


class _AsyncIOBase(_Turns):
    """What io.IOBase gives every file, awaited: line iteration, readlines,
    writelines, and use as an async context manager."""

    __slots__ = ()

    # Provided by the concrete classes.
    @property
    def closed(self) -> bool:
        raise NotImplementedError

    async def readline(self, size: int | None = -1) -> bytes:
        raise NotImplementedError

    async def write(self, b: Buffer) -> int | None:
        raise NotImplementedError

    async def close(self) -> None:
        raise NotImplementedError

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError(_CLOSED_IOBASE)

    async def readlines(self, hint: int | None = -1) -> list[bytes]:
        hint = _size(hint)
        self._check_open()
        lines: list[bytes] = []
        total = 0
        while line := await self.readline():
            lines.append(line)
            total += len(line)
            if 0 < hint < total:
                break
        return lines

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        self._check_open()
        for line in lines:
            await self.write(line)

    def __aiter__(self) -> Self:
        self._check_open()
        return self

    async def __anext__(self) -> bytes:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    async def __aenter__(self) -> Self:
        self._check_open()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self.close()


class AsyncFileIO(_AsyncIOBase):
    """io.FileIO over an open descriptor, with awaited I/O.

    `kovra_uring.open(..., buffering=0)` opens files by name; the constructor
    wraps a descriptor the caller already has (`closefd` as for io.FileIO),
    using the kernel's file position.
    """

    __slots__ = ("_fd", "name", "closefd", "_readable", "_writable", "_appending",
                 "_created", "_pos", "_seekable", "_stream", "_unlink", "_threads", "_late",
                 "__weakref__")

    def __init__(self, fd: int, mode: str = "r", closefd: bool = True, *,
                 name: str | bytes | int | None = None) -> None:
        fd = operator.index(fd)
        if fd < 0:
            raise ValueError("negative file descriptor")
        modes = set(mode)
        if modes - set("rwxab+") or len(mode) > len(modes) or len(modes & set("rwxa")) != 1:
            raise ValueError(f"invalid mode: {mode}")
        self._fd = fd
        self.name: str | bytes | int = fd if name is None else name
        self.closefd = bool(closefd)
        self._readable = "r" in modes or "+" in modes
        self._writable = "r" not in modes or "+" in modes
        self._appending = "a" in modes
        self._created = "x" in modes
        # Our own position, or None for the kernel's (see the module's notes).
        self._pos: int | None = None
        self._seekable: bool | None = None
        # Whether calls at the kernel's position meet a stream (see _here);
        # None until that is known.
        self._stream: bool | None = None
        # A name to remove once the descriptor is closed (a temporary file's).
        self._unlink: str | bytes | None = None
        self._threads: _ThreadFd | None = None  # made by the first call on a thread
        self._late: _Late | None = None  # what reads whose caller left got
        self._busy, self._waiters = False, None

    @classmethod
    def _opened_for_reading(cls, fd: int, name: str | bytes, pos: int) -> AsyncFileIO:
        """A file opened by name for reading only, and read up to `pos`
        (open()'s common case: no mode to parse, nothing to check). The ring
        reads a pipe or a tty whatever the offset, so this may still turn
        out to be a stream."""
        self = cls.__new__(cls)
        # Whether it is a stream is found out when it matters (_is_seekable).
        self._fd, self.name, self.closefd, self._pos, self._seekable = fd, name, True, pos, None
        self._readable, self._writable, self._appending, self._created = True, False, False, False
        self._stream = None
        self._unlink, self._threads, self._busy, self._waiters = None, None, False, None
        self._late = None
        return self

    @classmethod
    def _opened_for_writing(cls, fd: int, name: str | bytes) -> AsyncFileIO:
        """What AsyncFileIO(fd, "w", True, name=name) makes, without parsing
        the mode (open(name, "wb")'s common case)."""
        self = cls.__new__(cls)
        self._fd, self.name, self.closefd, self._pos, self._seekable = fd, name, True, None, None
        self._readable, self._writable, self._appending, self._created = False, True, False, False
        self._stream = None
        self._unlink, self._threads, self._busy, self._waiters = None, None, False, None
        self._late = None
        return self

    # -- state ------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._fd < 0

    @property
    def mode(self) -> str:
        if self._created:
            return "xb+" if self._readable else "xb"
        if self._appending:
            return "ab+" if self._readable else "ab"
        if self._readable:
            return "rb+" if self._writable else "rb"
        return "wb"

    def __repr__(self) -> str:
        cls = f"{type(self).__module__.split('.')[0]}.{type(self).__qualname__}"
        if self._fd < 0:
            return f"<{cls} [closed]>"
        return f"<{cls} name={self.name!r} mode={self.mode!r} closefd={self.closefd}>"

    def _fd_open(self) -> int:
        fd = self._fd
        if fd < 0:
            raise ValueError(_CLOSED)
        return fd

    def _fd_for(self, reading: bool) -> int:
        fd = self._fd
        if fd < 0:
            raise ValueError(_CLOSED)
        if reading and not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        if not reading and not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        return fd

    def fileno(self) -> int:
        fd = self._fd_open()
        if self._pos is not None and self._is_seekable():
            # Handed out: the kernel's position from now on, set to ours.
            os.lseek(fd, self._pos, os.SEEK_SET)
            self._pos, self._stream = None, False
        return fd

    def readable(self) -> bool:
        self._fd_open()
        return _answer(self._readable)

    def writable(self) -> bool:
        self._fd_open()
        return _answer(self._writable)

    def seekable(self) -> bool:
        return _answer(self._is_seekable())

    def _is_seekable(self) -> bool:
        fd = self._fd_open()
        if self._seekable is None:
            try:
                os.lseek(fd, 0, os.SEEK_CUR)
            except OSError:
                self._seekable, self._pos = False, None  # a stream: its own position
            else:
                self._seekable = True
        return self._seekable

    def _here(self) -> int | None:
        """The driver's offset for a call at the kernel's position on the
        ring: None for a stream, which the driver looks at on each call (it
        may be non-blocking by then, or a tty that answers with nothing),
        HERE for a file, which needs no look (asked once)."""
        stream = self._stream
        if stream is None:
            stream = self._stream = not never_waits(self._fd)
        return None if stream else HERE

    def _end(self) -> int | None:
        """The file's size now (an lseek, which never blocks), or None for a
        stream. Moves the kernel's position: only for a file that keeps its own."""
        try:
            end = os.lseek(self._fd, 0, os.SEEK_END)
        except OSError:
            self._seekable, self._pos = False, None
            return None
        self._seekable = True
        return end

    def isatty(self) -> bool:
        fd = self._fd_open()
        # A file read at offsets is no terminal: no ioctl needed.
        return _answer((self._pos is None or not self._is_seekable()) and os.isatty(fd))

    async def flush(self) -> None:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if self._fd < 0:
            raise ValueError(_CLOSED_IOBASE)

    # -- reading ----------------------------------------------------------

    async def _in_thread(self, drv: Driver, fn: Callable[..., _T], *args: Any) -> _T:
        """fn(fd, *args) on one of the driver's threads (see _ThreadFd)."""
        if self._threads is None:
            self._threads = _ThreadFd(self._fd, self._is_seekable())
        run: Callable[..., Awaitable[_T]] = drv.run_sync
        left = [False]
        try:
            return await run(self._threads.call, left, fn, *args)
        except BaseException:
            left[0] = True
            raise

    async def _read(self, size: int) -> bytes:
        """One read at the position (the caller holds the lock)."""
        pos, drv = self._pos, get_driver()
        if drv.backend != "io_uring":
            if pos is None:
                return await self._read_here(drv, size)
            data = await self._in_thread(drv, os.pread, size, pos)
        elif pos is None:
            if self._late is not None:
                return await self._read_late(drv, size)
            if self._stream is not False and self._here() is not HERE and (
                    nonblocking_stream(self._fd) or tty_answers_at_once(self._fd)):
                # A stream whose read(2) answers at once where the ring's
                # would wait: the driver reads it as os does.
                return await drv._read(self._fd, size)
            return await drv.read_kept(self._fd, size, self._leaving)  # type: ignore[attr-defined, no-any-return]
        else:
            data = await drv._read(self._fd, size, pos)
        self._pos = pos + len(data)
        return data

    # -- reads whose caller left ---------------------------------------------
    #
    # At the kernel's position, what a read got is gone from a stream (a pipe,
    # a socket, a tty) once read: a read whose caller left (cancelled) may
    # still get data, in the kernel or on its thread, and only this file's
    # next read can return it. So that next read first waits for the one
    # left behind to end, and returns what it got before reading on. A
    # seekable file at the kernel's position keeps nothing: its position
    # says where the next read starts.

    def _leaving(self) -> Callable[[Completion], None]:
        """The ring's read is left by its caller: what receives its
        completion. That ends a future of no loop's, as a thread's read
        does: the file's next read may be made by another thread's loop."""
        op: concurrent.futures.Future[bytes] = concurrent.futures.Future()
        self._late = _Late(op)

        def arrived(t: Completion) -> None:
            if t[1] >= 0:
                op.set_result(t[2])
            else:
                op.cancel()  # nothing to keep
        return arrived

    def _keep(self, late: _Late, data: bytes) -> None:
        """Data that a read whose caller left got, for the next read."""
        if self._fd >= 0 and not self._is_seekable():
            late.data = data if late.data is None else late.data[late.at:] + data
            late.at = 0

    def _keep_first(self, data: bytes) -> None:
        """Data read before the read that was left (a read to the end or a
        line, cancelled midway): it comes before whatever that one gets."""
        if self._fd >= 0 and not self._is_seekable():
            if (late := self._late) is None:
                late = self._late = _Late(None)
            late.data = data if late.data is None else data + late.data[late.at:]
            late.at = 0

    async def _read_here(self, drv: Driver, size: int) -> bytes:
        """A thread's read at the kernel's position."""
        if self._late is not None:
            return await self._read_late(drv, size)
        if self._threads is None:
            self._threads = _ThreadFd(self._fd, self._is_seekable())
        drv._check()
        left = [False]
        cf = drv._thread_call(self._threads.call, left, os.read, size)
        try:
            return await drv._glue.from_thread(cf)
        except BaseException:
            left[0] = True  # where it has not read yet, it reads nothing
            if not cf.done() or not cf.cancelled() and cf.exception() is None:
                self._late = _Late(cf)
            raise
        finally:
            del cf  # it holds a failure whose traceback holds this frame

    async def _read_late(self, drv: Driver, size: int) -> bytes:
        """A read after one whose caller left: what that one got comes first."""
        late = self._late
        assert late is not None
        if (op := late.op) is not None:
            if not op.done():
                # Waited on through a copy: a waiter that leaves cancels
                # that, not the read (which may have started).
                ended: concurrent.futures.Future[None] = concurrent.futures.Future()
                op.add_done_callback(partial(_signal, ended))
                await drv._glue.from_thread(ended)
            late.op = None
            if not op.cancelled() and op.exception() is None:
                self._keep(late, op.result())
        data, at = late.data, late.at
        if data is None:
            self._late = None
            return await self._read(size)
        if len(data) - at <= size:
            self._late = None
            return data[at:] if at else data
        late.at = at + size
        return data[at:at + size]

    async def _readall(self) -> bytes:
        """Read up to the end (a read that returns nothing), the caller
        holding the lock. What a cancelled caller had read so far is read
        again (at our own position) or kept for the next read (a stream);
        only a seekable file at the kernel's position is past it."""
        chunks: list[bytes] = []
        size = _FIRST_CHUNK
        start = self._pos
        try:
            while data := await self._read(size):
                chunks.append(data)
                size = min(2 * size, _MAX_CHUNK)
        except BlockingIOError:
            # A non-blocking stream with no more data now: io's readall
            # returns what it read, else None (the caller's BlockingIOError).
            if not chunks:
                raise
        except BaseException:
            # At our own position a cancelled readall moves nothing: its
            # caller (a buffered read keeps only what it had before) reads
            # it all again.
            if start is not None and self._pos is not None:
                self._pos = start
            elif chunks:
                self._keep_first(b"".join(chunks))
            raise
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    # read, readall, readinto and write return None (NO_DATA, NO_COUNT) where a
    # non-blocking stream has no data or no room now, as io's do.

    async def read(self, size: int | None = -1) -> bytes:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        size = _size(size)
        self._fd_for(reading=True)
        await self._acquire()
        try:
            if size < 0:
                return await self._readall()
            return await self._read(size)
        except BlockingIOError:
            return NO_DATA
        finally:
            self._release()

    async def readall(self) -> bytes:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if self._fd >= 0 and not self._readable:
            # io's readall reads without looking at the mode: the descriptor
            # answers (EBADF where it is open for writing only).
            await self._acquire()
            try:
                return await self._readall()
            except BlockingIOError:
                return NO_DATA
            finally:
                self._release()
        return await self.read(-1)

    async def readinto(self, buffer: Buffer) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        with _target(buffer, "readinto() argument 1") as target:
            self._fd_for(reading=True)
            data = await self.read(len(target))
            if data is None:
                return NO_COUNT
            target[:len(data)] = data
        return len(data)

    async def readline(self, size: int | None = -1) -> bytes:
        # Unbuffered: one byte per read, as io's raw files do, so that
        # nothing past the line is consumed.
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        size = _size(size)
        if size == 0:  # io's generic readline: nothing to read, nothing checked
            return b""
        self._fd_for(reading=True)
        line = bytearray()
        start = self._pos
        try:
            while size < 0 or len(line) < size:
                b = await self.read(1)
                if b is None:  # io's generic readline takes no None
                    raise OSError("read() should have returned a bytes object, not 'NoneType'")
                if not b:
                    break
                line += b
                if b == b"\n":
                    break
        except BaseException:
            if start is not None and self._pos is not None:
                self._pos = start  # at our own position, a line read in part is read again
            elif line:
                self._keep_first(bytes(line))
            raise
        return bytes(line)

    # -- writing ----------------------------------------------------------

    async def _write(self, data: Buffer) -> int:
        """One write at the position (the caller holds the lock); the count
        written (a short count on the thread back end, in parts on the ring,
        as its driver writes them)."""
        pos, drv = self._pos, get_driver()
        if drv.backend != "io_uring":
            if pos is None:
                return await self._in_thread(drv, os.write, data)
            n = await self._in_thread(drv, os.pwrite, data, pos)
        elif pos is None:
            return await drv._write(self._fd, data, HERE if self._stream is False
                                    else self._here())
        else:
            n = await drv._write(self._fd, data, pos)
        self._pos = pos + n
        return n

    async def write(self, b: Buffer) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        _bytes_like(b)
        self._fd_for(reading=False)
        await self._acquire()
        try:
            return await self._write(b)
        except BlockingIOError:
            return NO_COUNT
        finally:
            self._release()

    def _write_sync(self, data: Buffer) -> None:
        """Write all of `data` now, blocking (for detach and finalization).
        A non-blocking stream that is full raises BlockingIOError with the
        count written (characters_written)."""
        fd = self._fd
        done = 0
        with memoryview(data) as view, view.cast("B") as rest:
            while rest:
                try:
                    if self._pos is None:
                        n = os.write(fd, rest)
                    else:
                        n = os.pwrite(fd, rest, self._pos)
                        self._pos += n
                except BlockingIOError as e:
                    raise BlockingIOError(e.errno, e.strerror, done) from None
                if n == 0:
                    raise OSError(errno.EIO, "write made no progress")
                rest = rest[n:]
                done += n

    async def truncate(self, size: int | None = None) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        self._fd_for(reading=False)
        await self._acquire()
        try:
            return await self._truncate(size)
        finally:
            self._release()

    async def _truncate(self, size: int | None) -> int:
        size = self._tell() if size is None else operator.index(size)
        drv = get_driver()
        if drv.backend != "io_uring":
            await self._in_thread(drv, os.ftruncate, size)
        else:
            await drv.truncate(self._fd, size)
        return size

    # -- position ---------------------------------------------------------

    def _seek(self, pos: int, whence: int = os.SEEK_SET) -> int:
        fd = self._fd_open()
        pos = operator.index(pos)
        if self._pos is None or not self._is_seekable():
            return os.lseek(fd, pos, whence)
        if whence == os.SEEK_CUR:
            pos, whence = self._pos + pos, os.SEEK_SET
        # The kernel's position follows, so that both agree after a seek.
        self._pos = new = os.lseek(fd, pos, whence)
        return new

    def _tell(self) -> int:
        fd = self._fd_open()
        if self._pos is None or not self._is_seekable():
            return os.lseek(fd, 0, os.SEEK_CUR)
        return self._pos

    async def seek(self, pos: int, whence: int = os.SEEK_SET) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        whence = _int_arg(whence)  # before the file, as io converts it
        self._fd_open()
        await self._acquire()
        try:
            return self._seek(pos, whence)
        finally:
            self._release()

    async def tell(self) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        self._fd_open()
        await self._idle()  # a read or write in flight moves it
        return self._tell()

    # -- closing ----------------------------------------------------------

    def _start_close(self) -> int:
        """Mark the file closed, and close its descriptor if that needs no
        waiting: the descriptor whose close is still to be awaited, else -1."""
        fd = self._fd
        if fd < 0:
            return -1
        self._fd = -1
        if not self.closefd:
            return -1
        try:
            drv = get_driver()
            ring = drv.backend == "io_uring"
        except RuntimeError:  # no running driver (the loop is closing)
            ring = False
        if not ring:
            # The thread back end drops a close whose caller is cancelled
            # before a thread took it: close here, at once (or as soon as the
            # last call on a thread is done with it).
            try:
                if self._threads is None:
                    os.close(fd)
                else:
                    self._threads.close()
            finally:
                self._remove()
            return -1
        # A descriptor someone else may know of (the caller's, or one that
        # fileno() handed out: both use the kernel's position) is closed
        # before close() returns, as io closes it: a lock on it is released,
        # and its number is free, by then.
        if self._writable or self._unlink is not None or self._pos is None:
            return fd
        try:
            drv.close_soon(fd)  # a file only read loses nothing if this fails
        except RuntimeError:  # the driver is closed: nothing was queued
            os.close(fd)
        return -1

    async def _finish_close(self, fd: int) -> None:
        # The file is closed already, whatever happens to this task: the
        # driver closes the descriptor even for a cancelled caller. Its error
        # can mean lost data: report it.
        try:
            try:
                await get_driver().close(fd)
            except RuntimeError:  # the driver is closed: nothing was queued
                os.close(fd)
        finally:
            self._remove()

    def _remove(self) -> None:
        name, self._unlink = self._unlink, None
        if name is not None:
            try:
                os.unlink(name)
            except FileNotFoundError:
                pass

    async def close(self) -> None:
        fd = self._start_close()
        if fd >= 0:
            await self._finish_close(fd)
        elif _loop._trio is not None and _running_loop() is None:  # closed: now the checkpoint
            await _loop._trio.file_checkpoint()

    def _close_sync(self) -> None:
        fd, self._fd = self._fd, -1
        if fd >= 0 and self.closefd:
            try:
                if self._threads is None:
                    os.close(fd)
                else:
                    self._threads.close()
            except OSError:
                pass
            self._remove()

    def __del__(self) -> None:
        if getattr(self, "_fd", -1) >= 0 and self.closefd:
            warnings.warn(f"unclosed file {self!r}", ResourceWarning, source=self)
            self._close_sync()


class _QuietFileIO(AsyncFileIO):
    """A named temporary file's raw file: collected unclosed, it is closed
    without a ResourceWarning, as tempfile's own wrapper closes it (the
    class keeps AsyncFileIO's name)."""

    __slots__ = ()

    def __del__(self) -> None:
        if getattr(self, "_fd", -1) >= 0 and self.closefd:
            self._close_sync()


_QuietFileIO.__name__ = _QuietFileIO.__qualname__ = "AsyncFileIO"


class _DirectFileIO(AsyncFileIO):
    """An AsyncFileIO whose descriptor has O_DIRECT (from an opener, or
    handed over): its reads and writes are os calls on a thread, as io
    makes them. O_DIRECT takes only aligned buffers, which the caller's own
    may be and the ring's copies are not; and the ring's read or write at
    the kernel's position may leave the position where it was (the kernel
    sets it before the transfer completes), so the next one would repeat
    it. The class keeps AsyncFileIO's name: it is the same file to its
    users."""

    __slots__ = ()

    async def _read(self, size: int) -> bytes:
        pos, drv = self._pos, get_driver()
        if pos is None:
            return await self._in_thread(drv, os.read, size)
        data = await self._in_thread(drv, os.pread, size, pos)
        self._pos = pos + len(data)
        return data

    async def _write(self, data: Buffer) -> int:
        pos, drv = self._pos, get_driver()
        if pos is None:
            return await self._in_thread(drv, os.write, data)
        n = await self._in_thread(drv, os.pwrite, data, pos)
        self._pos = pos + n
        return n

    async def readinto(self, buffer: Buffer) -> int:
        # Into the caller's buffer itself, as io.FileIO reads.
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        with _target(buffer, "readinto() argument 1") as target:
            self._fd_for(reading=True)
            await self._acquire()
            try:
                pos, drv = self._pos, get_driver()
                if pos is None:
                    return await self._in_thread(drv, os.readv, [target])
                n = await self._in_thread(drv, os.preadv, [target], pos)
                self._pos = pos + n
                return n
            finally:
                self._release()


_DirectFileIO.__name__ = _DirectFileIO.__qualname__ = "AsyncFileIO"
