"""open(): io.open's argument checks and choice of class, with an opened
file that is awaited or entered with `async with`.

A file opened by name for reading only is opened by the driver together with
a first read at offset 0 (the read-ahead): a file smaller than that read is
open and buffered whole after one wait, and its read() needs no more I/O than
an lseek that checks the end is still there. The read-ahead also answers what
io asks fstat at open: a directory fails it (IsADirectoryError, raised at
open as io does). The ring reads a pipe or a tty whatever the offset, so a
stream is found out later (see AsyncFileIO._is_seekable), and names where
streams live are opened without a read-ahead.
"""

from __future__ import annotations

import errno
import io
import operator
import os
import stat
import threading
import warnings
from collections.abc import Awaitable, Callable, Coroutine, Generator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Literal, Protocol, TypeVar, overload

from . import _loop
from ._buffered import AsyncBufferedRandom, AsyncBufferedReader, AsyncBufferedWriter
from ._convert import PSEUDO_DIRS, SHM_DIR
from ._driver import Driver
from ._loop import _running_loop, get_driver
from ._raw import AsyncFileIO, _DirectFileIO
from ._text import AsyncTextIOWrapper
from ._threads import direct_io

if TYPE_CHECKING:
    from _typeshed import (FileDescriptorOrPath, OpenBinaryMode, OpenBinaryModeReading,
                           OpenBinaryModeUpdating, OpenBinaryModeWriting, OpenTextMode)

__all__ = ["open"]

# The first read behind an open for reading: one wait for most small files.
READ_AHEAD = 16 * 1024

# Where ttys, pipes and other streams are usually opened by name (but
# /dev/shm, where regular files in memory live): the ring reads a stream
# whatever the offset, so a read-ahead there would hold the open until the
# first data arrived (a FIFO elsewhere still does).
_DEVICES = PSEUDO_DIRS
_DEVICES_B = tuple(os.fsencode(d) for d in _DEVICES)
_SHM_B = os.fsencode(SHM_DIR)  # regular files in memory: no device

_Opener = Callable[[str, int], int]
_T = TypeVar("_T")
_F = TypeVar("_F", bound="_Closable", covariant=True)


class _Closable(Protocol):
    async def close(self) -> None: ...


class FileContext(Generic[_F]):
    """What open() returns: await it for the file, or use it with
    `async with`, which closes the file (flush, then close; their errors
    raise) when the block ends."""

    __slots__ = ("_coro", "_file")

    def __init__(self, coro: Coroutine[Any, Any, _F]) -> None:
        self._coro = coro

    def __await__(self) -> Generator[Any, None, _F]:
        return self._coro.__await__()

    def __aenter__(self) -> Coroutine[Any, Any, _F]:
        return self._enter()

    async def _enter(self) -> _F:
        self._file = await self._coro
        return self._file

    def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                  tb: TracebackType | None) -> Coroutine[Any, Any, None]:
        return self._file.close()


class _StoringContext(FileContext[_F]):
    """A FileContext whose opening coroutine stores the file itself (one
    coroutine less on open()'s most common path)."""

    __slots__ = ()

    def __aenter__(self) -> Coroutine[Any, Any, _F]:
        return self._coro


class _Handoff(Generic[_T]):
    """fn() on a worker thread for a caller that may leave before it
    returns: `cleanup` then gets what it returned, so that nothing it
    opened is lost."""

    __slots__ = ("_fn", "_cleanup", "_lock", "_left", "_done", "_result")

    def __init__(self, fn: Callable[[], _T], cleanup: Callable[[_T], object]) -> None:
        self._fn, self._cleanup = fn, cleanup
        self._lock = threading.Lock()
        self._left = self._done = False
        self._result: _T | None = None

    def _call(self) -> _T:
        result = self._fn()
        with self._lock:
            left = self._left
            self._done, self._result = not left, result
        if left:
            self._cleanup(result)
        return result

    async def run(self) -> _T:
        try:
            run: Callable[[Callable[[], _T]], Awaitable[_T]] = get_driver().run_sync
            return await run(self._call)
        except BaseException:
            with self._lock:
                self._left = True
                done, self._done = self._done, False
            if done:  # it returned, but this caller is gone
                self._cleanup(self._result)  # type: ignore[arg-type]
            raise


def _refuse_name(name: str | bytes) -> None:
    """A name with a NUL: raise what io raises for it (its words differ from
    os's, and between versions); it fails before any system call."""
    if ("\0" if isinstance(name, str) else b"\0") in name:  # type: ignore[operator]
        io.open(name, "rb").close()


def _close_quietly(fd: object) -> None:
    if isinstance(fd, int) and fd >= 0:
        try:
            os.close(fd)
        except OSError:
            pass


# Mode string -> (raw mode, reading, writing, appending, updating, creating,
# text, binary), checked as io.open checks it.
_modes: dict[str, tuple[str, bool, bool, bool, bool, bool, bool, bool]] = {}


def _parse_mode(mode: str) -> tuple[str, bool, bool, bool, bool, bool, bool, bool]:
    parsed = _modes.get(mode)
    if parsed is not None:
        return parsed
    modes = set(mode)
    if modes - set("axrwb+t") or len(mode) > len(modes):
        raise ValueError(f"invalid mode: '{mode}'")
    creating, reading, writing, appending = "x" in modes, "r" in modes, "w" in modes, "a" in modes
    updating, text, binary = "+" in modes, "t" in modes, "b" in modes
    if text and binary:
        raise ValueError("can't have text and binary mode at once")
    kinds = creating + reading + writing + appending
    if kinds > 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    if kinds == 0:
        raise ValueError("Must have exactly one of create/read/write/append mode "
                         "and at most one plus")
    raw = "x" * creating + "r" * reading + "w" * writing + "a" * appending + "+" * updating
    parsed = (raw, reading, writing, appending, updating, creating, not binary, binary)
    if len(_modes) < 64:
        _modes[mode] = parsed
    return parsed


def _type_error(arg: str, value: object, what: str = "str or None") -> TypeError:
    return TypeError(f"open() argument '{arg}' must be {what}, not {type(value).__name__}")


@overload
def open(file: FileDescriptorOrPath, mode: OpenTextMode = "r", buffering: int = -1,
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[AsyncTextIOWrapper]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryMode, buffering: Literal[0],
         encoding: None = None, errors: None = None, newline: None = None,
         closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[AsyncFileIO]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryModeUpdating,
         buffering: Literal[-1, 1] = -1, encoding: None = None, errors: None = None,
         newline: None = None, closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[AsyncBufferedRandom]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryModeWriting,
         buffering: Literal[-1, 1] = -1, encoding: None = None, errors: None = None,
         newline: None = None, closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[AsyncBufferedWriter]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryModeReading,
         buffering: Literal[-1, 1] = -1, encoding: None = None, errors: None = None,
         newline: None = None, closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[AsyncBufferedReader]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryMode, buffering: int = -1,
         encoding: None = None, errors: None = None, newline: None = None,
         closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None
         ) -> FileContext[AsyncFileIO | AsyncBufferedReader | AsyncBufferedWriter]: ...
@overload
def open(file: FileDescriptorOrPath, mode: str, buffering: int = -1,
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[Any]: ...


def open(file: FileDescriptorOrPath, mode: str = "r", buffering: int = -1,
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: _Opener | None = None, *,
         loop: object = None, executor: object = None) -> FileContext[Any]:
    """io.open, awaited: `f = await open(...)` or `async with open(...) as f`.

    `loop` and `executor` are accepted for aiofiles' callers, and unused:
    the running loop's driver does the I/O."""
    # (buffering's type too: -1.0 is equal, and io refuses it.)
    if ((mode == "rb" or mode == "wb") and buffering == -1 and type(buffering) is int
            and opener is None and encoding is None and errors is None and newline is None
            and closefd is True):
        if type(file) is not str and isinstance(file, os.PathLike):
            # A pathlib path: its name, asked once as io does (with the other
            # arguments io's defaults, the name is what io checks first).
            try:
                file = os.fspath(file)
            except Exception as e:
                return FileContext(_raise(e))
        if type(file) is str and (not file.startswith(_DEVICES) or file.startswith(SHM_DIR)):
            ctx: _StoringContext[Any] = _StoringContext.__new__(_StoringContext)
            ctx._coro = (_open_read(file, "rb", -1, None, ctx) if mode == "rb"
                         else _open_write(file, ctx))
            return ctx
    # The same checks as io.open, in its order. What they raise is raised
    # when the result is awaited or entered, as aiofiles raises it.
    try:
        if not isinstance(mode, str):
            raise _type_error("mode", mode, "str")
        buffering = operator.index(buffering)
        for arg, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            if value is not None and not isinstance(value, str):
                raise _type_error(arg, value)
        if not isinstance(file, int):
            file = os.fspath(file)
        raw_mode, reading, _, appending, updating, _, text, binary = _parse_mode(mode)
        if binary:
            for arg, value in (("an encoding", encoding), ("an errors", errors),
                               ("a newline", newline)):
                if value is not None:
                    raise ValueError(f"binary mode doesn't take {arg} argument")
            if buffering == 1:
                warnings.warn("line buffering (buffering=1) isn't supported in binary mode, "
                              "the default buffer size will be used", RuntimeWarning, 2)
        else:
            encoding = io.text_encoding(encoding)  # a warning points at open()'s caller
        if isinstance(file, int):
            if file < 0:
                raise ValueError("negative file descriptor")
        elif not closefd:
            raise ValueError("Cannot use closefd=False with file name")
        if (reading and not updating and opener is None and buffering
                and not isinstance(file, int) and not _device_name(file)):
            return FileContext(_open_read(file, mode, buffering, (encoding, errors, newline),
                                          None))
        return FileContext(_open(file, mode, raw_mode, buffering, (encoding, errors, newline),
                                 bool(closefd), opener))
    except Exception as e:
        return FileContext(_raise(e))


async def _raise(e: Exception) -> Any:
    try:
        raise e
    finally:
        del e  # no cycle through the traceback


async def _open_read(file: str | bytes, mode: str, buffering: int,
                     text: tuple[str | None, str | None, str | None] | None,
                     ctx: FileContext[Any] | None) -> Any:
    """Open by name for reading only, buffered, with the read-ahead. `text`
    is None for "rb" with default buffering (the common case); `ctx`, if
    any, gets the file (see _StoringContext)."""
    # The driver's opens take turns: an unbounded gather of opens reads and
    # closes the files opened first before opening ever more.
    drv = get_driver()
    try:
        fd, res, data = await drv.open_read(file, os.O_RDONLY, 0o666, READ_AHEAD)
    except ValueError:
        _refuse_name(file)
        raise
    if res is not None and res >= 0:
        raw = AsyncFileIO._opened_for_reading(fd, file, res)
        if text is None:
            f = AsyncBufferedReader._with_data(raw, data, res < READ_AHEAD)
            if ctx is not None:
                ctx._file = f
            return f
    elif res == -errno.EISDIR:
        _close_quietly(fd)
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), file)
    else:
        raw = AsyncFileIO(fd, "r", True, name=file)
        if res == -errno.ESPIPE:  # a pipe or a tty: the kernel's position
            raw._seekable = False
        else:  # no read-ahead (it could not be queued, or failed: io's read will say so)
            _own_position(raw)
        data = b""
    f = _wrap(raw, mode, buffering, text or (None, None, None), data,
              res is not None and 0 <= res < READ_AHEAD)
    if ctx is not None:
        ctx._file = f
    return f


# open(name, "wb")'s flags, as _open computes them.
_WRITE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_TRUNC


async def _open_write(file: str, ctx: FileContext[Any]) -> AsyncBufferedWriter:
    """open(file, "wb") with the default arguments, for a name outside the
    devices' directories: what _open and _wrap do for it, without their
    choices."""
    drv = get_driver()
    try:
        fd = await drv.open(file, _WRITE_FLAGS, 0o666)
    except ValueError:
        _refuse_name(file)
        raise
    try:
        raw = AsyncFileIO._opened_for_writing(fd, file)
    except BaseException:
        _close_quietly(fd)
        raise
    try:
        _own_position(raw)
        f = ctx._file = AsyncBufferedWriter._with_data(raw, b"", False)
    except BaseException:
        raw._close_sync()
        raise
    return f


def _device_name(file: str | bytes) -> bool:
    if isinstance(file, str):
        return file.startswith(_DEVICES) and not file.startswith(SHM_DIR)
    return file.startswith(_DEVICES_B) and not file.startswith(_SHM_B)


def _own_position(raw: AsyncFileIO) -> None:
    """A file opened by name keeps its own position, if it has one."""
    try:
        raw._pos = os.lseek(raw._fd, 0, os.SEEK_CUR)
    except OSError:
        raw._seekable = False
    else:
        raw._seekable = True


async def _open(file: str | bytes | int, mode: str, raw_mode: str, buffering: int,
                text: tuple[str | None, str | None, str | None], closefd: bool,
                opener: _Opener | None) -> Any:
    flags = ((os.O_RDWR if "+" in raw_mode else os.O_RDONLY if "r" in raw_mode else os.O_WRONLY)
             | (os.O_EXCL | os.O_CREAT if "x" in raw_mode else 0)
             | (os.O_CREAT | os.O_TRUNC if "w" in raw_mode else 0)
             | (os.O_APPEND | os.O_CREAT if "a" in raw_mode else 0))
    own = not isinstance(file, int)
    if isinstance(file, int):
        # Nothing here waits, but on trio every call is a checkpoint (as
        # trio's own open_file, on a thread): taken before the file takes the
        # descriptor over, so that a cancelled caller still has it.
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.checkpoint()
        fd = file
    elif opener is not None:
        name = file

        _refuse_name(name)

        def call() -> int:
            got = opener(name, flags | os.O_CLOEXEC)  # type: ignore[arg-type]  # io passes bytes too
            if not isinstance(got, int):
                raise TypeError("expected integer from opener")
            if got < 0:
                raise ValueError(f"opener returned {got}")
            return got
        fd = await _Handoff(call, _close_quietly).run()
    else:
        drv = get_driver()
        try:
            fd = await drv.open(file, flags, 0o666)
        except ValueError:
            _refuse_name(file)
            raise
    block = io.DEFAULT_BUFFER_SIZE
    stream: bool | None = None  # see AsyncFileIO._here: told by the fstat, where one is made
    try:
        # What io.FileIO checks once it has the descriptor (a descriptor
        # opened for writing is no directory). A file open for update also
        # wants io's block size: a text write after a read lands where the
        # buffer's reads took it.
        if not own or raw_mode == "r" or "+" in raw_mode:
            try:
                st = os.fstat(fd)
            except OSError as e:
                if e.errno == errno.EBADF:
                    raise
            else:
                if stat.S_ISDIR(st.st_mode):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), file)
                if st.st_blksize > 1:
                    block = st.st_blksize
                stream = not (stat.S_ISREG(st.st_mode) or stat.S_ISBLK(st.st_mode))
        raw = AsyncFileIO(fd, raw_mode, closefd, name=file)
        raw._stream = stream
        if (not own or opener is not None) and direct_io(fd):
            raw.__class__ = _DirectFileIO
        if "a" in raw_mode:
            # As io does: at the end from the start, not only at the first write.
            try:
                os.lseek(fd, 0, os.SEEK_END)
            except OSError as e:
                if e.errno != errno.ESPIPE:
                    raise
                raw._stream = True
            else:
                if stream is None:  # a file appended to by name seeks: no stream
                    raw._stream = False
        elif not isinstance(file, int) and opener is None and not _device_name(file):
            # A device (/dev/zero, /dev/null) may seek without keeping a
            # position: the kernel's is what io shows.
            _own_position(raw)
    except BaseException:
        if own:
            _close_quietly(fd)
        raise
    return _wrap(raw, mode, buffering, text, b"", False, block)


def _wrap(raw: AsyncFileIO, mode: str, buffering: int,
          text: tuple[str | None, str | None, str | None], data: bytes, eof: bool,
          block: int = io.DEFAULT_BUFFER_SIZE) -> Any:
    """The buffered and text layers over `raw`, as io.open picks them; on
    failure the raw file is closed, as io does. The default buffer size is
    the file's block size where an fstat told it (as io's), else io's
    default: no open pays for an fstat only to learn it."""
    try:
        binary = "b" in mode
        line_buffering = False
        if buffering == 1 or (buffering < 0 and not binary and not raw._is_seekable()
                              and os.isatty(raw._fd)):
            buffering, line_buffering = -1, True
        if buffering < 0:
            buffering = block
        if buffering == 0:
            if binary:
                return raw
            raise ValueError("can't have unbuffered text I/O")
        buffer: AsyncBufferedReader | AsyncBufferedWriter
        if "+" in mode:
            buffer = AsyncBufferedRandom(raw, buffering)
        elif "r" in mode:
            buffer = AsyncBufferedReader(raw, buffering)
            buffer._buf, buffer._eof = data, eof
        else:
            buffer = AsyncBufferedWriter(raw, buffering)
        if binary:
            return buffer
        encoding, errors, newline = text
        wrapper = AsyncTextIOWrapper(buffer, encoding, errors, newline, line_buffering)
        wrapper.mode = mode
        return wrapper
    except BaseException:
        raw._close_sync()
        raise
