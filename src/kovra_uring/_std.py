"""sys.stdin, sys.stdout and sys.stderr, and their binary buffers, as
asynchronous files.

Each call looks the stream up in `sys` when it is made, so a replaced or
redirected sys.stdout is the one written to, and runs on one of the driver's
threads: a terminal or a pipe can block for as long as the other side likes,
and the stream's own buffering and decoding are what the user expects.
"""

from __future__ import annotations

import io
import sys
from collections.abc import Callable, Iterable
from typing import IO, Any, AnyStr, BinaryIO, Generic, TextIO, cast

from .ospath import _thread

__all__ = ["stderr", "stderr_bytes", "stdin", "stdin_bytes", "stdout", "stdout_bytes", "wrap"]


class _StdStream(Generic[AnyStr]):
    """What the text streams and their buffers have in common."""

    __slots__ = ("_get", "_name")
    _get: Callable[[], IO[AnyStr]]

    def __init__(self, get: Callable[[], IO[AnyStr]], name: str) -> None:
        self._get = get
        self._name = name

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {self._name}: {self._get()!r}>"

    # Plain attributes and calls that never block.
    @property
    def closed(self) -> bool:
        return self._get().closed

    @property
    def name(self) -> str:
        return self._get().name

    @property
    def mode(self) -> str:
        return self._get().mode

    def fileno(self) -> int:
        return self._get().fileno()

    # The rest on a thread.
    async def read(self, size: int = -1, /) -> AnyStr:
        return await _thread(self._get().read, size)

    async def readline(self, size: int = -1, /) -> AnyStr:
        return await _thread(self._get().readline, size)

    async def readlines(self, hint: int = -1, /) -> list[AnyStr]:
        return await _thread(self._get().readlines, hint)

    async def write(self, data: AnyStr, /) -> int:
        return await _thread(self._get().write, data)

    async def writelines(self, lines: Iterable[AnyStr], /) -> None:
        return await _thread(self._get().writelines, lines)

    async def flush(self) -> None:
        return await _thread(self._get().flush)

    async def close(self) -> None:
        return await _thread(self._get().close)

    async def seek(self, offset: int, whence: int = io.SEEK_SET, /) -> int:
        return await _thread(self._get().seek, offset, whence)

    async def tell(self) -> int:
        return await _thread(self._get().tell)

    async def truncate(self, size: int | None = None, /) -> int:
        return await _thread(self._get().truncate, size)

    async def isatty(self) -> bool:
        return await _thread(self._get().isatty)

    async def seekable(self) -> bool:
        return await _thread(self._get().seekable)

    async def writable(self) -> bool:
        return await _thread(self._get().writable)

    def __aiter__(self) -> _StdStream[AnyStr]:
        return self

    async def __anext__(self) -> AnyStr:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line


class StdTextStream(_StdStream[str]):
    """sys.stdin, sys.stdout or sys.stderr, as an asynchronous text file."""

    __slots__ = ()
    _get: Callable[[], TextIO]

    def _wrapper(self) -> io.TextIOWrapper:
        return cast(io.TextIOWrapper, self._get())

    @property
    def buffer(self) -> BinaryIO:
        return self._get().buffer

    @property
    def encoding(self) -> str:
        return self._get().encoding

    @property
    def errors(self) -> str | None:
        return self._get().errors

    @property
    def line_buffering(self) -> bool:
        return self._wrapper().line_buffering

    @property
    def newlines(self) -> Any:
        return self._get().newlines

    def detach(self) -> BinaryIO:
        return cast(BinaryIO, self._wrapper().detach())

    async def readable(self) -> bool:
        return await _thread(self._get().readable)


class StdBinaryStream(_StdStream[bytes]):
    """The binary buffer of sys.stdin, sys.stdout or sys.stderr, as an
    asynchronous file. Like aiofiles' `readable()` here, and unlike that of
    the text streams, is a plain call."""

    __slots__ = ()

    def _buffered(self) -> io.BufferedReader | io.BufferedWriter:
        return cast("io.BufferedReader | io.BufferedWriter", self._get())

    @property
    def raw(self) -> io.RawIOBase:
        return cast(io.RawIOBase, self._buffered().raw)

    def detach(self) -> io.RawIOBase:
        return self._buffered().detach()

    def readable(self) -> bool:
        return self._get().readable()

    async def read1(self, size: int = -1, /) -> bytes:
        return await _thread(self._buffered().read1, size)

    async def readinto(self, buffer: bytearray | memoryview, /) -> int:
        return await _thread(self._buffered().readinto, buffer)


def wrap(file: IO[Any], *, loop: object = None, executor: object = None
         ) -> StdTextStream | StdBinaryStream:
    """An open file object of io's (text, buffered, or a FileIO) as an
    asynchronous file whose calls run on a thread, as aiofiles'
    `threadpool.wrap` gives it. `loop` and `executor` are taken for that
    signature's sake: the calls run on the driver's threads."""
    if isinstance(file, io.TextIOBase):
        return StdTextStream(lambda: cast(TextIO, file), repr(file))
    if isinstance(file, (io.BufferedIOBase, io.FileIO)):
        return StdBinaryStream(lambda: cast(BinaryIO, file), repr(file))
    raise TypeError(f"Unsupported io type: {file}.")


stdin = StdTextStream(lambda: sys.stdin, "sys.stdin")
stdout = StdTextStream(lambda: sys.stdout, "sys.stdout")
stderr = StdTextStream(lambda: sys.stderr, "sys.stderr")
stdin_bytes = StdBinaryStream(lambda: sys.stdin.buffer, "sys.stdin.buffer")
stdout_bytes = StdBinaryStream(lambda: sys.stdout.buffer, "sys.stdout.buffer")
stderr_bytes = StdBinaryStream(lambda: sys.stderr.buffer, "sys.stderr.buffer")
