"""`Driver`: async file operations on one io_uring, or on threads where the
kernel refuses io_uring.

`Driver()` picks the back end: the ring one (`_chains.RingDriver`, on `_ring.RingCore`) when
`Ring()` succeeds, the thread one (`_threads.ThreadDriver`) when the kernel
refuses io_uring (a container's seccomp profile, the
`kernel.io_uring_disabled` sysctl, an old kernel, a low locked-memory
limit), with a `RingUnavailableWarning`. Both have the same methods, results
and exceptions; what they share lives here.

    async with Driver() as io:
        data = await io.read_file("/etc/hostname")
        st = await io.stat("/etc/hostname")
"""

from __future__ import annotations

import concurrent.futures
from collections import deque
import os
import warnings
from collections.abc import AsyncGenerator, Callable, Sequence
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar, overload

from _uring import Ring

from ._errors import REFUSED, RingUnavailableWarning
from ._loop import current_loop

if TYPE_CHECKING:
    from _typeshed import BytesPath, StrPath

__all__ = ["Driver", "RingUnavailableWarning"]

T = TypeVar("T")
StrOrBytesPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

_PACKAGE = os.path.dirname(__file__)

# Opens take turns, at most OPEN_DEPTH in flight, on either back end: an
# unbounded gather of open-and-read coroutines then reads and closes the
# files opened first before opening ever more (and running out of
# descriptors), as a pool of that many workers would.
OPEN_DEPTH = 64


def _scandir(path: StrOrBytesPath) -> list[os.DirEntry[Any]]:
    with os.scandir(path) as it:
        return list(it)


class Driver:
    """Async file I/O on one io_uring.

    entries: size of the submission queue (the completion queue is twice as
        big; the driver copes with more operations in flight than that).
    fixed: use direct-descriptor slots for read_file/write_file chains; when
        false every whole-file operation takes the plain open/read/close path.
    slots: size of the slot pool (at most `ring.fixed_slots`); calls that
        find every slot busy wait for one.

    `backend` is "io_uring", or "threads" where the kernel refused the ring.
    Paths are `str`, `bytes` or path-like, as for os; data is bytes-like.
    Operations raise what the os call of the same name raises.
    """

    backend: ClassVar[str]
    ring: Ring | None
    slots: int
    chains: int
    fallbacks: int

    def __new__(cls, entries: int = 256, *, fixed: bool = True,
                slots: int | None = None) -> Driver:
        if cls is not Driver:
            return object.__new__(cls)
        from ._chains import RingDriver
        from ._threads import ThreadDriver

        try:
            ring = Ring(entries)
        except OSError as e:
            if e.errno not in REFUSED:
                raise
            # Points at the first caller outside the package, whether it made
            # the driver itself or a library call made it.
            warnings.warn(f"io_uring is unavailable ({e}); file operations run on threads",
                          RingUnavailableWarning, stacklevel=2, skip_file_prefixes=(_PACKAGE,))
            return object.__new__(ThreadDriver)
        self = object.__new__(RingDriver)
        self.ring = ring
        return self

    def __init__(self, entries: int = 256, *, fixed: bool = True,
                 slots: int | None = None) -> None:
        self._glue = current_loop()
        # None, or what library code awaits where a call completes without
        # waiting for the driver (trio's rule: every async call is a checkpoint).
        self.checkpoint = self._glue.checkpoint
        self._closed = False
        self._executor: concurrent.futures.Executor | None = None
        self._threads: set[concurrent.futures.Future[Any]] = set()  # os calls still running
        self._lifetime: AsyncGenerator[None, None] | None = None  # see _loop
        self._finishing: Any = None  # a cancelled aclose() carried on (see there)
        self._opening = 0  # opens in flight
        self._open_waiters: deque[Any] = deque()
        self.chains = 0      # whole-file operations done through a slot
        self.fallbacks = 0   # ... and through a plain descriptor

    # -- turns of opens ----------------------------------------------------------

    async def _open_turn(self) -> None:
        if self._opening < OPEN_DEPTH:
            self._opening += 1
            return
        fut = self._glue.create_future()
        self._open_waiters.append(fut)
        try:
            await fut  # the turn was handed over: _opening already counts it
        except BaseException:
            if fut.done() and not fut.cancelled():
                self._open_done()
            raise

    def _open_done(self) -> None:
        waiters = self._open_waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():
                fut.set_result(None)
                return
        self._opening -= 1

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("driver is closed")

    def create_future(self) -> Any:
        """A future of the driver's event loop, for code that parks a task
        until something else resolves it."""
        return self._glue.create_future()

    async def run_sync(self, fn: Callable[..., T], *args: Any) -> T:
        """fn(*args) on one of the driver's worker threads."""
        self._check()
        return await self._in_thread(fn, *args)

    def _thread_call(self, fn: Callable[..., T], *args: Any) -> concurrent.futures.Future[T]:
        """Start fn(*args) on a worker thread; aclose() waits for it."""
        if self._executor is None:
            self._executor = self._glue.executor()
        cf = self._executor.submit(fn, *args)
        self._threads.add(cf)
        cf.add_done_callback(self._threads.discard)
        return cf

    async def _in_thread(self, fn: Callable[..., T], *args: Any,
                         cleanup: Callable[[T], object] | None = None,
                         unblock: Callable[[], bool] | None = None) -> T:
        """fn(*args) on a worker thread. A caller that leaves early leaves
        the call running; `cleanup` then gets its result, and `unblock`
        (if any) is called until the call has ended (see _unblock)."""
        cf = self._thread_call(fn, *args)
        try:
            return await self._glue.from_thread(cf)
        except BaseException:
            if cleanup is not None:
                def done(f: concurrent.futures.Future[T]) -> None:
                    if not f.cancelled() and f.exception() is None:
                        cleanup(f.result())
                cf.add_done_callback(done)
            if unblock is not None:
                self._unblock(cf, unblock)
            raise
        finally:
            # A failure's traceback holds this frame, and `cf` holds the
            # failure: left here, the two would keep each other (and the
            # caller's frames) alive until the next garbage collection.
            del cf

    def _unblock(self, cf: concurrent.futures.Future[Any], unblock: Callable[[], bool],
                 delay: float = 0.001) -> None:
        """Call `unblock()` now and again, less and less often, until the
        call `cf` has ended: nothing interrupts a thread blocked in the
        kernel, and one blocked for good would hold aclose() (and with it
        the loop's end) for good. The thread may not have got to the
        blocking call yet, hence the repeats, until unblock() says there is
        nothing to unblock."""
        if cf.done() or self._glue.is_closed() or not unblock():
            return
        self._glue.call_later(delay, self._unblock, cf, unblock, min(2 * delay, 0.1))

    async def _join_threads(self) -> None:
        while self._threads:
            await self._glue.wait_all([self._glue.from_thread(f) for f in list(self._threads)])
        if self._executor is not None:
            # Every call has finished: this only waits for the idle workers
            # to exit, so that none outlives the driver.
            self._executor.shutdown(wait=True)
            self._executor = None

    # -- lifecycle ----------------------------------------------------------

    async def aclose(self) -> None:
        """Wait for everything in flight, then release the ring (its
        descriptor and eventfd) and the worker threads.

        If the wait is cancelled (on trio and anyio, a cancel scope cancels
        every wait of the block it ends, `async with Driver()`'s included),
        the close goes on in the background and releases them once what is
        in flight has completed, as trio wants of a cancelled aclose."""
        try:
            await self._aclose()
        except self._glue.Cancelled:
            if not self._glue.is_closed() and (self._finishing is None
                                               or self._finishing.done()):
                self._finishing = self._glue.spawn(self._aclose())
            raise
        if self.checkpoint is not None:  # trio: a checkpoint even with nothing to wait for
            await self.checkpoint()

    async def _aclose(self) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> Driver:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    # -- the operations ------------------------------------------------------
    # Each back end defines these; the ones below are the same on both.

    async def open(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                   mode: int = 0o666) -> int:
        """os.open; the descriptor is not inherited by child processes."""
        raise NotImplementedError

    async def close(self, fd: int) -> None:
        """os.close (`aclose()` closes the driver itself)."""
        raise NotImplementedError

    async def read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        """os.pread when `offset` is given, else os.read at the file position."""
        raise NotImplementedError

    async def write(self, fd: int, data: Any, offset: int | None = None) -> int:
        """os.write / os.pwrite; data longer than one write allows goes in
        parts, up to the first short one."""
        raise NotImplementedError

    async def writev(self, fd: int, bufs: Sequence[Any], offset: int | None = None) -> int:
        """os.writev / os.pwritev."""
        raise NotImplementedError

    async def _read(self, fd: int, size: int, offset: int | None = None) -> bytes:
        """read() for a caller that passes an offset only where `fd` has a
        position (the file objects): no look at the descriptor first."""
        raise NotImplementedError

    async def _write(self, fd: int, data: Any, offset: int | None = None) -> int:
        """write() as _read is read()."""
        raise NotImplementedError

    async def fsync(self, fd: int, datasync: bool = False) -> None:
        """os.fsync, or os.fdatasync with datasync=True."""
        raise NotImplementedError

    async def truncate(self, fd: int, length: int) -> None:
        """os.ftruncate."""
        raise NotImplementedError

    async def fstat(self, fd: int) -> os.stat_result:
        """os.fstat."""
        raise NotImplementedError

    async def stat(self, path: StrOrBytesPath, follow: bool = True) -> os.stat_result:
        """os.stat; with follow=False, os.lstat."""
        raise NotImplementedError

    async def lstat(self, path: StrOrBytesPath) -> os.stat_result:
        """os.lstat."""
        if not isinstance(path, (str, bytes, os.PathLike)):  # os.lstat takes no descriptor
            return await self.run_sync(os.lstat, path)
        try:
            return await self.stat(path, follow=False)
        except ValueError:  # a NUL, which os.lstat words in its own name
            return await self.run_sync(os.lstat, path)

    async def exists(self, path: StrOrBytesPath) -> bool:
        """os.path.exists: False for a path that cannot be stat'ed."""
        try:
            await self.stat(path)
        except (OSError, ValueError):
            return False
        return True

    @overload
    async def listdir(self, path: StrPath = ".") -> list[str]: ...
    @overload
    async def listdir(self, path: BytesPath) -> list[bytes]: ...

    async def listdir(self, path: StrOrBytesPath = ".") -> list[Any]:
        """os.listdir (on a thread: the ring has no directory reads)."""
        self._check()
        return await self._in_thread(os.listdir, path)

    @overload
    async def scandir(self, path: StrPath = ".") -> list[os.DirEntry[str]]: ...
    @overload
    async def scandir(self, path: BytesPath) -> list[os.DirEntry[bytes]]: ...

    async def scandir(self, path: StrOrBytesPath = ".") -> list[os.DirEntry[Any]]:
        """The entries of os.scandir, all read on a thread, as a list."""
        self._check()
        return await self._in_thread(_scandir, path)

    async def mkdir(self, path: StrOrBytesPath, mode: int = 0o777) -> None:
        """os.mkdir."""
        raise NotImplementedError

    async def unlink(self, path: StrOrBytesPath) -> None:
        """os.unlink."""
        raise NotImplementedError

    async def rmdir(self, path: StrOrBytesPath) -> None:
        """os.rmdir."""
        raise NotImplementedError

    async def rename(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        """os.rename (which replaces `dst`, as os.replace does)."""
        raise NotImplementedError

    async def symlink(self, target: StrOrBytesPath, linkpath: StrOrBytesPath) -> None:
        """os.symlink."""
        raise NotImplementedError

    async def link(self, src: StrOrBytesPath, dst: StrOrBytesPath) -> None:
        """os.link."""
        raise NotImplementedError

    async def read_file(self, path: StrOrBytesPath) -> bytes:
        """The whole file, like Path.read_bytes."""
        raise NotImplementedError

    async def write_file(self, path: StrOrBytesPath, data: Any) -> None:
        """Create or truncate `path` and write `data`, like Path.write_bytes."""
        raise NotImplementedError

    async def open_read(self, path: StrOrBytesPath, flags: int = os.O_RDONLY,
                        mode: int = 0o666, size: int = 16 * 1024
                        ) -> tuple[int, int | None, bytes]:
        """Open `path` and read up to `size` bytes at offset 0 behind the
        open, the caller waiting once: (fd, res, data), `res` being the
        read's result (-errno when it failed, None when no read was made).
        The open's errors raise as open() raises them."""
        raise NotImplementedError

    def close_soon(self, fd: int) -> None:
        """Close `fd` without waiting for it (a file only read loses nothing
        when its close fails)."""
        raise NotImplementedError
