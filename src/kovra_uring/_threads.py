"""The driver where the kernel refuses io_uring: every operation is the os
call on a worker thread, with the same results and exceptions as the ring
back end."""

from __future__ import annotations

import concurrent.futures
import errno
import fcntl
import os
import select
import stat
import termios
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any, TypeVar

from ._convert import FIRST_READ, MAX_READ, MAX_WRITE, data_arg, part, read_size
from ._driver import Driver, StrOrBytesPath

__all__ = ["ThreadDriver"]

_T = TypeVar("_T")


def _os_write(fd: int, data: Any, offset: int | None) -> int:
    """os.write / os.pwrite of all of `data`, in parts as the ring writes it;
    stops at the first short part. What fits in one part is written from
    the caller's own buffer, as os writes it: a descriptor opened with
    O_DIRECT takes only the aligned buffers its caller made, not a copy."""
    try:
        with memoryview(data) as view:
            whole = view.nbytes <= MAX_WRITE
    except TypeError:
        whole = True  # not bytes-like: os says so in its own words
    if whole:
        return os.write(fd, data) if offset is None else os.pwrite(fd, data, offset)
    data, done = data_arg(data), 0
    while True:
        chunk = part(data, done)
        if offset is None:
            n = os.write(fd, chunk)
        else:  # the offset as given first: os's error for one that is no int
            n = os.pwrite(fd, chunk, offset + done if done else offset)
        done += n
        if n < len(chunk) or done >= len(data):
            return done


def _os_writev(fd: int, bufs: list[Any], offset: int | None) -> int:
    return os.writev(fd, bufs) if offset is None else os.pwritev(fd, bufs, offset)


def os_read_at(fd: int, size: int, offset: int | None) -> bytes:
    """os.read / os.pread, with os's own checks of the arguments (and their
    order); a size beyond MAX_READ is cut to it, as read_size() does."""
    if type(size) is int and MAX_READ < size < 1 << 63:
        size = MAX_READ
    return os.read(fd, size) if offset is None else os.pread(fd, size, offset)


def direct_io(fd: int) -> bool:
    """Whether `fd` was opened with O_DIRECT, which takes only aligned
    buffers (a copy of the caller's buffer made for the ring is not)."""
    try:
        return bool(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_DIRECT)
    except (OSError, ValueError):  # no descriptor: the write says so
        return False


# How long a thread waiting for room in a stream waits before it looks
# whether its caller left.
POLL_MS = 50
# write(2)'s errors where the kernel has no RWF_NOWAIT for the file (a tty,
# an older kernel's pipe) or refuses pwritev2 itself.
_NO_NOWAIT = frozenset({errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS, errno.EPERM})
# The most buffers one writev takes (more: EINVAL, even where joined they
# would do).
IOV_MAX = os.sysconf("SC_IOV_MAX")
# The device of a pty's master (/dev/ptmx, /dev/pts/ptmx).
_PTMX = os.makedev(5, 2)


def blocking_stream(fd: int) -> bool:
    """Whether `fd` is a stream whose write(2) writes everything, waiting
    for room."""
    try:
        return os.get_blocking(fd) and not stat.S_ISREG(os.fstat(fd).st_mode)
    except OSError:
        return False


def never_waits(fd: int) -> bool:
    """Whether `fd` is a file whose reads and writes never wait for a
    peer, non-blocking or not: a regular file or a block device (or a
    descriptor fstat refuses: the call itself then says what is wrong)."""
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return True
    return stat.S_ISREG(mode) or stat.S_ISBLK(mode)


def nonblocking_stream(fd: int) -> bool:
    """Whether `fd` is non-blocking now and a stream: its read(2) and
    write(2) answer at once (EAGAIN where they would wait), where the
    ring's would wait for data or room all the same."""
    try:
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    except OSError:
        return False
    return bool(flags & os.O_NONBLOCK) and not never_waits(fd)


def tty_answers_at_once(fd: int) -> bool:
    """Whether `fd` is a tty in non-canonical mode with VMIN 0: its read(2)
    returns within VTIME, with nothing if no data came."""
    try:
        if not os.isatty(fd):
            return False
        attrs = termios.tcgetattr(fd)
    except (OSError, termios.error):
        return False
    return not attrs[3] & termios.ICANON and attrs[6][termios.VMIN] == 0


def _waits_for_data(fd: int) -> bool:
    """Whether a read of `fd`, which has no data now, would wait for some.
    Asked again each time: the caller may have made the descriptor
    non-blocking since (read() then raises EAGAIN), and a tty in
    non-canonical mode with VMIN 0 answers with nothing (within VTIME)."""
    try:
        if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK:
            return False
    except OSError:
        return True  # the read itself says what is wrong
    return not tty_answers_at_once(fd)


def wait_readable(fd: int, left: list[bool]) -> None:
    """Wait in short polls until the stream `fd` has data, or until a read
    of it would answer at once without any. Nothing interrupts a thread
    blocked in read(): a read whose caller left (`left[0]`) would hold its
    thread, and the driver's aclose() (the loop's end) with it, until data
    came, and take that data from whoever reads next. It gives up instead,
    with an InterruptedError nobody sees."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    if not poller.poll(0) and not _waits_for_data(fd):
        return  # read() answers at once, without data
    while True:
        ready = poller.poll(POLL_MS)
        if left[0]:  # also where data came: it is the next caller's
            raise InterruptedError(errno.EINTR, "the caller left")
        if ready:
            return


def _wait_writable(fd: int, poller: select.poll | None, left: list[bool]) -> select.poll:
    if poller is None:
        poller = select.poll()
        poller.register(fd, select.POLLOUT)
    while True:
        ready = poller.poll(POLL_MS)
        if left[0]:
            raise InterruptedError(errno.EINTR, "the caller left")
        if ready:  # room, or an error that the write reports
            return poller


def _twin(fd: int) -> int:
    """A descriptor of the terminal `fd` that does not wait for room (a
    file of its own, O_NONBLOCK, leaving `fd`'s flags alone: others share
    them), or -1. Never for a pty's master: opening it anew makes another
    pty."""
    try:
        rdev = os.fstat(fd).st_rdev
        if rdev == _PTMX:
            return -1
        twin = os.open(f"/proc/self/fd/{fd}",
                       os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:  # no /proc, or not ours to open: the fallback's pieces
        return -1
    try:
        if os.fstat(twin).st_rdev == rdev:
            return twin
    except OSError:
        pass
    os.close(twin)
    return -1


def write_stream(fd: int, data: Any, left: list[bool]) -> int:
    """os.write of all of contiguous `data` to a blocking pipe, socket or
    tty, without waiting for room in the kernel: nothing interrupts a thread
    blocked there, so a write whose reader stalls would hold its thread,
    and the loop's end with it, for good. Each write takes what fits at
    once (RWF_NOWAIT); the thread waits for room in short polls, and stops
    when its caller has left (an InterruptedError nobody sees). A tty has
    no RWF_NOWAIT, and poll() says it has room while a few bytes are free:
    it is written through a non-blocking descriptor of its own (_twin).
    Where neither works, a pipe or tty gets PIPE_BUF bytes a time once
    poll() says it has room (a pipe then has a free page, which takes them
    at once); other files all of the rest, as they take it. An error after
    a part was written returns the count, as write(2) does."""
    poller: select.poll | None = None
    piece = 0  # the fallback's size of a write; 0 while RWF_NOWAIT works
    twin = -1
    done = 0
    try:
        with memoryview(data) as view, view.cast("B") as whole:
            total = len(whole)
            while True:
                try:
                    if twin >= 0:
                        done += os.write(twin, whole[done:])
                    elif not piece:
                        done += os.pwritev(fd, [whole[done:]], -1, os.RWF_NOWAIT)
                    else:
                        poller = _wait_writable(fd, poller, left)
                        done += os.write(fd, whole[done:done + piece])
                except BlockingIOError:
                    poller = _wait_writable(fd, poller, left)
                    continue
                except OSError as e:
                    if not piece and twin < 0 and e.errno in _NO_NOWAIT:
                        tty = os.isatty(fd)
                        if tty and (twin := _twin(fd)) >= 0:
                            continue
                        split = tty or stat.S_ISFIFO(os.fstat(fd).st_mode)
                        piece = select.PIPE_BUF if split else total
                        continue
                    if done:
                        return done
                    raise
                if done >= total:
                    return done
    finally:
        if twin >= 0:
            os.close(twin)


def _os_write_here(fd: int, data: Any, left: list[bool]) -> int:
    """_os_write at the file's position; a blocking stream's by write_stream."""
    if blocking_stream(fd):
        return write_stream(fd, data_arg(data), left)
    return _os_write(fd, data, None)


def _os_writev_here(fd: int, bufs: list[Any], left: list[bool]) -> int:
    """os.writev at the file's position; a blocking stream's by write_stream
    (of the buffers joined), which os.writev writes all of too."""
    if len(bufs) <= IOV_MAX and blocking_stream(fd):
        try:
            data = b"".join(bufs)
        except TypeError:  # not bytes-like: os.writev says so in its own words
            pass
        else:
            return write_stream(fd, data, left)
    return os.writev(fd, bufs)


async def until_left(drv: Driver, fn: Callable[..., _T], *args: Any) -> _T:
    """fn(*args, left) on a worker thread, where `left[0]` is raised once
    the caller has left: fn's waits for a stream look at it, and give up."""
    left = [False]

    def leave() -> bool:
        left[0] = True
        return False  # nothing else to unblock

    return await drv._in_thread(fn, *args, left, unblock=leave)


async def write_here(drv: Driver, fd: int, data: Any, vector: bool = False) -> int:
    """os.write of all of `data` at `fd`'s position (os.writev of the list
    `data` with `vector`), on a worker thread; a blocking stream's write
    stops at its next wait for room once the caller has left."""
    return await until_left(drv, _os_writev_here if vector else _os_write_here, fd, data)


def _os_read_here(fd: int, size: int, left: list[bool]) -> bytes:
    """os.read at `fd`'s position; a blocking stream's wait for data is
    made in short polls (see wait_readable)."""
    if blocking_stream(fd):
        wait_readable(fd, left)
    return os_read_at(fd, size, None)


def _os_read_file(path: str | bytes) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)  # os's words for a bad name
    try:
        if stat.S_ISDIR(os.fstat(fd).st_mode):  # refused as io refuses it, by name
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        f = open(fd, "rb", buffering=0)
    except BaseException:
        os.close(fd)
        raise
    with f:
        return f.readall()


def _os_write_file(path: str | bytes, data: bytes | memoryview, left: list[bool]) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        if left[0] and stat.S_ISFIFO(os.fstat(fd).st_mode):
            # The open returned because the caller left (unblock_fifo's
            # reader, gone by now): a write would meet no reader, and its
            # SIGPIPE kills a program that keeps the default action.
            raise InterruptedError(errno.EINTR, "the caller left")
        done = 0
        while done < len(data):
            n = os.write(fd, part(data, done))
            if n == 0:
                raise OSError(errno.EIO, "write made no progress", path)
            done += n
    except BaseException:
        os.close(fd)
        raise
    os.close(fd)


def os_open_read(path: str | bytes, flags: int, mode: int,
                 size: int) -> tuple[int, int | None, bytes]:
    fd = os.open(path, flags, mode)
    try:
        data = os.pread(fd, size, 0)
    except OSError as e:
        return fd, -(e.errno or errno.EIO), b""
    return fd, len(data), data


def unblock_fifo(path: str | bytes, flags: int) -> bool:
    """An os.open of a FIFO waits for the other end: open that end without
    waiting and close it again, so that an open whose caller left returns
    (and what it opened is closed by its cleanup, or by the call itself).
    False where `path` names no FIFO: nothing to do, now or later."""
    try:
        if not stat.S_ISFIFO(os.stat(path).st_mode):
            return False
        other = os.O_RDONLY if flags & os.O_ACCMODE == os.O_WRONLY else os.O_WRONLY
        os.close(os.open(path, other | os.O_NONBLOCK | os.O_CLOEXEC))
    except OSError as e:  # no reader waits yet (ENXIO): again later
        return e.errno == errno.ENXIO
    except ValueError:
        return False
    return True


def _os_exists(path: StrOrBytesPath) -> bool:
    try:
        os.stat(path)
    except (OSError, ValueError):
        return False
    return True


def _copy_outcome(to: concurrent.futures.Future[Any], src: concurrent.futures.Future[Any]) -> None:
    if to.cancelled():  # its waiter left
        return
    if src.cancelled():
        to.cancel()
    elif (e := src.exception()) is not None:
        to.set_exception(e)
    else:
        to.set_result(src.result())


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass


class ThreadDriver(Driver):
    """Driver operations as os calls on worker threads."""

    backend = "threads"

    def __init__(self, entries: int = 256, *, fixed: bool = True,
                 slots: int | None = None) -> None:
        super().__init__()
        self.ring = None
        self.slots = 0

    async def _aclose(self) -> None:
        # Again after a cancelled one: what it left running is waited for.
        self._closed = True
        await self._join_threads()

    async def _run_os(self, fn: Any, *args: Any) -> Any:
        self._check()
        return await self._in_thread(fn, *args)

    async def open(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                   mode: int = 0o666) -> int:
        self._check()
        path = os.fspath(path)
        await self._open_turn()
        try:
            return await self._in_thread(os.open, path, flags | os.O_CLOEXEC, mode,
                                         cleanup=os.close, unblock=partial(unblock_fifo, path, flags))
        finally:
            self._open_done()

    async def open_read(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                        mode: int = 0o666, size: int = FIRST_READ
                        ) -> tuple[int, int | None, bytes]:
        self._check()
        path = os.fspath(path)
        await self._open_turn()
        try:
            return await self._in_thread(os_open_read, path, flags | os.O_CLOEXEC,
                                         mode, read_size(size),
                                         cleanup=lambda r: _close_quietly(r[0]),
                                         unblock=partial(unblock_fifo, path, flags))
        finally:
            self._open_done()

    def close_soon(self, fd: int) -> None:
        self._check()
        self._thread_call(_close_quietly, fd)

    async def close(self, fd: int) -> None:
        self._check()
        cf = self._thread_call(os.close, fd)
        # A cancelled caller still closes its descriptor: the wait is on a
        # copy of the call's future, so cancelling it leaves the call queued.
        copy: concurrent.futures.Future[None] = concurrent.futures.Future()
        cf.add_done_callback(partial(_copy_outcome, copy))
        try:
            await self._glue.from_thread(copy)
        finally:
            del cf, copy  # both hold a failure whose traceback holds this frame

    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        if offset is None:
            self._check()
            return await until_left(self, _os_read_here, fd, size)
        return await self._run_os(os_read_at, fd, size, offset)  # type: ignore[no-any-return]

    async def write(self, fd: int, data: Any, offset: int | None = None) -> int:
        if offset is not None:
            return await self._run_os(_os_write, fd, data, offset)  # type: ignore[no-any-return]
        self._check()
        return await write_here(self, fd, data)

    async def writev(self, fd: int, bufs: Sequence[Any], offset: int | None = None) -> int:
        if offset is None:
            self._check()
            return await write_here(self, fd, list(bufs), vector=True)
        return await self._run_os(_os_writev, fd, list(bufs), offset)  # type: ignore[no-any-return]

    # The file objects' calls: os's own checks are all the thread makes.
    _read = read
    _write = write

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        await self._run_os(os.fdatasync if datasync else os.fsync, fd)

    async def truncate(self, fd: int, length: int) -> None:
        await self._run_os(os.ftruncate, fd, length)

    async def fstat(self, fd: int) -> os.stat_result:
        return await self._run_os(os.fstat, fd)  # type: ignore[no-any-return]

    async def stat(self, path: StrOrBytesPath, follow: bool = True) -> os.stat_result:
        self._check()
        return await self._in_thread(partial(os.stat, path, follow_symlinks=bool(follow)))

    async def exists(self, path: StrOrBytesPath) -> bool:
        return await self._run_os(_os_exists, path)  # type: ignore[no-any-return]

    async def mkdir(self, path: StrOrBytesPath, mode: int = 0o777) -> None:
        await self._run_os(os.mkdir, path, mode)

    async def unlink(self, path: StrOrBytesPath) -> None:
        await self._run_os(os.unlink, path)

    async def rmdir(self, path: StrOrBytesPath) -> None:
        await self._run_os(os.rmdir, path)

    async def rename(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        await self._run_os(os.rename, src, dst)

    async def symlink(self, target: StrOrBytesPath, linkpath: StrOrBytesPath) -> None:
        await self._run_os(os.symlink, target, linkpath)

    async def link(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        await self._run_os(os.link, src, dst)

    async def read_file(self, path: StrOrBytesPath) -> bytes:
        self._check()
        path = os.fspath(path)
        return await self._in_thread(_os_read_file, path,
                                     unblock=partial(unblock_fifo, path, os.O_RDONLY))

    async def write_file(self, path: StrOrBytesPath, data: Any) -> None:
        self._check()
        path, data = os.fspath(path), data_arg(data)
        left = [False]

        def unblock() -> bool:
            left[0] = True  # before a reader is opened (see _os_write_file)
            return unblock_fifo(path, os.O_WRONLY)

        await self._in_thread(_os_write_file, path, data, left, unblock=unblock)
