"""The stdlib's temporary files and directories with async files, as
aiofiles.tempfile offers them: each call is awaited, or used with
`async with`.

The stdlib creates each file or directory on a worker thread; the files are
then this package's own, over the descriptor the stdlib opened. A spooled
file stays the stdlib's object, each call made on a worker thread.
"""

from __future__ import annotations

import os
import tempfile as _tempfile
import threading
import weakref
from collections.abc import Awaitable, Callable, Coroutine, Generator, Iterable
from functools import partial
from types import TracebackType
from typing import TYPE_CHECKING, Any, AnyStr, Generic, Literal, Self, TypeVar, overload

from .._buffered import AsyncBufferedRandom, AsyncBufferedReader, AsyncBufferedWriter
from .._loop import cancel_pending, get_driver, shielded
from .._open import FileContext, _close_quietly, _Handoff, open
from .._raw import AsyncFileIO, _QuietFileIO
from .._text import AsyncTextIOWrapper

if TYPE_CHECKING:
    from _typeshed import (OpenBinaryMode, OpenBinaryModeReading, OpenBinaryModeUpdating,
                           OpenBinaryModeWriting, OpenTextMode, StrOrBytesPath, StrPath)

_T = TypeVar("_T")

__all__ = ["TemporaryFile", "NamedTemporaryFile", "SpooledTemporaryFile", "TemporaryDirectory"]


def _raw_of(f: Any) -> AsyncFileIO:
    while not isinstance(f, AsyncFileIO):
        f = f.buffer if hasattr(f, "buffer") else f.raw
    return f


async def _over(fd: int, name: str | int, mode: str, buffering: int, encoding: str | None,
                errors: str | None, newline: str | None) -> Any:
    """Our file over a new temporary file's descriptor, which nobody else
    has: it keeps its own position (see _raw)."""
    try:
        f = await open(fd, mode, buffering, encoding, errors, newline)
    except BaseException:
        _close_quietly(fd)
        raise
    raw = _raw_of(f)
    raw.name = name
    if not raw._appending:
        raw._pos, raw._seekable = os.lseek(fd, 0, os.SEEK_CUR), True
    return f


def _new_unnamed(suffix: Any, prefix: Any, dir: Any) -> int:
    with _tempfile.TemporaryFile(buffering=0, suffix=suffix, prefix=prefix, dir=dir) as f:
        return os.dup(f.fileno())


async def _temporary_file(mode: str, buffering: int, encoding: str | None, errors: str | None,
                          newline: str | None, suffix: str | bytes | None,
                          prefix: str | bytes | None, dir: StrOrBytesPath | None) -> Any:
    fd = await _Handoff(partial(_new_unnamed, suffix, prefix, dir), _close_quietly).run()
    return await _over(fd, fd, mode, buffering, encoding, errors, newline)


@overload
def TemporaryFile(mode: OpenTextMode, buffering: int = -1, encoding: str | None = None,
                  newline: str | None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: str | None = None) -> FileContext[AsyncTextIOWrapper]: ...
@overload
def TemporaryFile(mode: OpenBinaryMode, buffering: Literal[0], encoding: None = None,
                  newline: None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: None = None) -> FileContext[AsyncFileIO]: ...
@overload
def TemporaryFile(mode: OpenBinaryModeUpdating = "w+b", buffering: Literal[-1, 1] = -1,
                  encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: None = None) -> FileContext[AsyncBufferedRandom]: ...
@overload
def TemporaryFile(mode: OpenBinaryModeWriting, buffering: Literal[-1, 1] = -1,
                  encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: None = None) -> FileContext[AsyncBufferedWriter]: ...
@overload
def TemporaryFile(mode: OpenBinaryModeReading, buffering: Literal[-1, 1] = -1,
                  encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: None = None) -> FileContext[AsyncBufferedReader]: ...
@overload
def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,
                  newline: str | None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: str | None = None) -> FileContext[Any]: ...


def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,
                  newline: str | None = None, suffix: str | bytes | None = None,
                  prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                  loop: object = None, executor: object = None, *,
                  errors: str | None = None) -> FileContext[Any]:
    """tempfile.TemporaryFile, awaited: a file without a name, gone once closed."""
    return FileContext(_temporary_file(mode, buffering, encoding, errors, newline,
                                       suffix, prefix, dir))


def _unlink_quietly(name: StrOrBytesPath) -> None:
    try:
        os.unlink(name)
    except FileNotFoundError:
        pass


def _drop_named(made: tuple[int, StrOrBytesPath]) -> None:
    _close_quietly(made[0])
    _unlink_quietly(made[1])


class _NamedContext(FileContext[Any]):
    """Removes the file when the block ends, if it is to be deleted but not
    on close."""

    __slots__ = ("_holder",)

    def __init__(self, coro: Any, holder: list[Any]) -> None:
        super().__init__(coro)
        self._holder = holder

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        try:
            await super().__aexit__(exc_type, exc, tb)
        finally:
            if self._holder:
                self._holder[0]()


async def _named_temporary_file(mode: str, buffering: int, encoding: str | None,
                                errors: str | None, newline: str | None,
                                suffix: str | bytes | None, prefix: str | bytes | None,
                                dir: StrOrBytesPath | None, delete: bool,
                                delete_on_close: bool, holder: list[Any]) -> Any:
    fd, name = await _Handoff(partial(_tempfile.mkstemp, suffix, prefix, dir),
                              _drop_named).run()
    try:
        f = await _over(fd, name, mode, buffering, encoding, errors, newline)
    except BaseException:
        _unlink_quietly(name)
        raise
    raw = _raw_of(f)
    if type(raw) is AsyncFileIO:
        raw.__class__ = _QuietFileIO
    if delete:
        if delete_on_close:
            raw._unlink = name
        else:
            # Removed when the block ends, or else when the file is collected.
            holder.append(weakref.finalize(raw, _unlink_quietly, name))
    return f


@overload
def NamedTemporaryFile(mode: OpenTextMode, buffering: int = -1,
                       encoding: str | None = None, newline: str | None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: str | None = None) -> FileContext[AsyncTextIOWrapper]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryMode, buffering: Literal[0],
                       encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: None = None) -> FileContext[AsyncFileIO]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryModeUpdating = "w+b", buffering: Literal[-1, 1] = -1,
                       encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: None = None) -> FileContext[AsyncBufferedRandom]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryModeWriting, buffering: Literal[-1, 1] = -1,
                       encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: None = None) -> FileContext[AsyncBufferedWriter]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryModeReading, buffering: Literal[-1, 1] = -1,
                       encoding: None = None, newline: None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: None = None) -> FileContext[AsyncBufferedReader]: ...
@overload
def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1,
                       encoding: str | None = None, newline: str | None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *,
                       errors: str | None = None) -> FileContext[Any]: ...


def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,
                       newline: str | None = None, suffix: str | bytes | None = None,
                       prefix: str | bytes | None = None, dir: StrOrBytesPath | None = None,
                       delete: bool = True, delete_on_close: bool = True, loop: object = None,
                       executor: object = None, *, errors: str | None = None) -> FileContext[Any]:
    """tempfile.NamedTemporaryFile, awaited. With `delete`, the file is
    removed when closed, or (`delete_on_close=False`) when the `async with`
    block ends or the file is collected."""
    holder: list[Any] = []
    return _NamedContext(_named_temporary_file(mode, buffering, encoding, errors, newline,
                                               suffix, prefix, dir, delete, delete_on_close,
                                               holder), holder)


class _Once:
    """fn() the first time it is called, from whichever thread; nothing after."""

    __slots__ = ("_fn", "_lock", "claimed")

    def __init__(self, fn: Callable[[], object]) -> None:
        self._fn = fn
        self._lock = threading.Lock()
        self.claimed = False

    def __call__(self) -> None:
        with self._lock:
            if self.claimed:
                return
            self.claimed = True
        self._fn()


async def _finish(fn: Callable[[], object]) -> None:
    """fn() (a close or a cleanup) on a worker thread, done even if the
    caller leaves first: on asyncio a cancelled wait drops the call when no
    thread has taken it yet, which would leave the file open or the
    directory behind."""
    once = _Once(fn)
    drv = get_driver()
    if cancel_pending():
        # A trio or anyio scope being left (an `async with` inside it)
        # cancels every wait until it is: done first, as tempfile's own
        # would be by the block's end, then the cancel point.
        await shielded(partial(drv.run_sync, once))
        return
    try:
        await drv.run_sync(once)
    except BaseException:
        if not once.claimed:
            if drv._closed:
                once()
            else:
                drv._thread_call(once)  # the driver's aclose() waits for it
        raise


class AsyncSpooledTemporaryFile(Generic[AnyStr]):
    """A tempfile.SpooledTemporaryFile whose calls run on a worker thread."""

    def __init__(self, file: _tempfile.SpooledTemporaryFile[AnyStr]) -> None:
        self._file: _tempfile.SpooledTemporaryFile[AnyStr] = file
        # The calls run one at a time: a call whose caller was cancelled
        # runs on in its thread, and a close overlapping a write that rolls
        # the file over would close the memory file under it, leaving the
        # new file on disk unclosed.
        self._lock = threading.Lock()

    def _locked(self, fn: Callable[..., _T], *args: Any) -> _T:
        with self._lock:
            return fn(*args)

    async def _call(self, fn: Callable[..., _T], *args: Any) -> _T:
        run: Callable[..., Awaitable[_T]] = get_driver().run_sync
        return await run(self._locked, fn, *args)

    @property
    def closed(self) -> bool:
        return self._file.closed

    @property
    def mode(self) -> str:
        return self._file.mode

    @property
    def name(self) -> str | None:
        return self._file.name

    @property
    def encoding(self) -> str:
        return self._file.encoding

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        return self._file.newlines

    async def close(self) -> None:
        await _finish(partial(self._locked, self._file.close))

    async def fileno(self) -> int:
        return await self._call(self._file.fileno)

    async def flush(self) -> None:
        await self._call(self._file.flush)

    async def isatty(self) -> bool:
        return await self._call(self._file.isatty)

    async def read(self, size: int | None = -1) -> AnyStr:
        return await self._call(self._file.read, size)

    async def readline(self, size: int | None = -1) -> AnyStr:
        return await self._call(self._file.readline, size)

    async def readlines(self, hint: int = -1) -> list[AnyStr]:
        return await self._call(self._file.readlines, hint)

    async def rollover(self) -> None:
        await self._call(self._file.rollover)

    async def seek(self, offset: int, whence: int = 0) -> int:
        return await self._call(self._file.seek, offset, whence)

    async def tell(self) -> int:
        return await self._call(self._file.tell)

    async def truncate(self, size: int | None = None) -> int | None:
        return await self._call(self._file.truncate, size)

    async def write(self, s: AnyStr) -> int:
        return await self._call(self._file.write, s)

    async def writelines(self, lines: Iterable[AnyStr]) -> None:
        await self._call(self._file.writelines, lines)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> AnyStr:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        await self.close()


async def _spooled(make: Callable[[], _tempfile.SpooledTemporaryFile[Any]]
                   ) -> AsyncSpooledTemporaryFile[Any]:
    # A caller that leaves while the thread makes it closes what was made:
    # dropped unclosed, it would warn (and, rolled over, hold a descriptor).
    return AsyncSpooledTemporaryFile(await _Handoff(make, _tempfile.SpooledTemporaryFile.close).run())


@overload
def SpooledTemporaryFile(max_size: int, mode: OpenTextMode, buffering: int = -1,
                         encoding: str | None = None, newline: str | None = None,
                         suffix: str | bytes | None = None, prefix: str | bytes | None = None,
                         dir: StrOrBytesPath | None = None, loop: object = None,
                         executor: object = None, *, errors: str | None = None
                         ) -> FileContext[AsyncSpooledTemporaryFile[str]]: ...
@overload
def SpooledTemporaryFile(max_size: int = 0, *, mode: OpenTextMode, buffering: int = -1,
                         encoding: str | None = None, newline: str | None = None,
                         suffix: str | bytes | None = None, prefix: str | bytes | None = None,
                         dir: StrOrBytesPath | None = None, loop: object = None,
                         executor: object = None, errors: str | None = None
                         ) -> FileContext[AsyncSpooledTemporaryFile[str]]: ...
@overload
def SpooledTemporaryFile(max_size: int = 0, mode: OpenBinaryMode = "w+b", buffering: int = -1,
                         encoding: None = None, newline: None = None,
                         suffix: str | bytes | None = None, prefix: str | bytes | None = None,
                         dir: StrOrBytesPath | None = None, loop: object = None,
                         executor: object = None, *, errors: None = None
                         ) -> FileContext[AsyncSpooledTemporaryFile[bytes]]: ...
@overload
def SpooledTemporaryFile(max_size: int = 0, mode: str = "w+b", buffering: int = -1,
                         encoding: str | None = None, newline: str | None = None,
                         suffix: str | bytes | None = None, prefix: str | bytes | None = None,
                         dir: StrOrBytesPath | None = None, loop: object = None,
                         executor: object = None, *, errors: str | None = None
                         ) -> FileContext[AsyncSpooledTemporaryFile[Any]]: ...


def SpooledTemporaryFile(max_size: int = 0, mode: str = "w+b", buffering: int = -1,
                         encoding: str | None = None, newline: str | None = None,
                         suffix: str | bytes | None = None, prefix: str | bytes | None = None,
                         dir: StrOrBytesPath | None = None, loop: object = None,
                         executor: object = None, *, errors: str | None = None
                         ) -> FileContext[AsyncSpooledTemporaryFile[Any]]:
    """tempfile.SpooledTemporaryFile, awaited (its calls run on a thread)."""
    return FileContext(_spooled(partial(_tempfile.SpooledTemporaryFile, max_size, mode,
                                        buffering, encoding, newline, suffix, prefix, dir,
                                        errors=errors)))


class AsyncTemporaryDirectory:
    """A tempfile.TemporaryDirectory, removed by the awaited cleanup()."""

    def __init__(self, tdir: _tempfile.TemporaryDirectory[str]) -> None:
        self._dir = tdir
        self.name = tdir.name

    async def cleanup(self) -> None:
        await _finish(self._dir.cleanup)

    close = cleanup


class _DirectoryContext:
    """Awaited: the AsyncTemporaryDirectory; with `async with`: its name,
    and the directory removed when the block ends."""

    def __init__(self, coro: Coroutine[Any, Any, AsyncTemporaryDirectory], delete: bool) -> None:
        self._coro = coro
        self._delete = delete
        self._dir: AsyncTemporaryDirectory | None = None

    def __await__(self) -> Generator[Any, None, AsyncTemporaryDirectory]:
        return self._coro.__await__()

    async def __aenter__(self) -> str:
        self._dir = await self._coro
        return self._dir.name

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        assert self._dir is not None
        if self._delete:  # delete=False keeps it, as tempfile's does
            await self._dir.cleanup()


async def _temporary_directory(make: Callable[[], _tempfile.TemporaryDirectory[str]]
                               ) -> AsyncTemporaryDirectory:
    made = await _Handoff(make, _tempfile.TemporaryDirectory.cleanup).run()
    return AsyncTemporaryDirectory(made)


def TemporaryDirectory(suffix: str | None = None, prefix: str | None = None,
                       dir: StrPath | None = None, loop: object = None, executor: object = None,
                       ignore_cleanup_errors: bool = False, *,
                       delete: bool = True) -> _DirectoryContext:
    """tempfile.TemporaryDirectory, awaited (its directory's name with
    `async with`)."""
    return _DirectoryContext(_temporary_directory(partial(
        _tempfile.TemporaryDirectory, suffix, prefix, dir, ignore_cleanup_errors, delete=delete)),
        bool(delete))


from . import temptypes  # noqa: E402 (it names the classes above)
