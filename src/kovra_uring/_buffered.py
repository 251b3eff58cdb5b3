"""Buffered binary files: io's BufferedReader, BufferedWriter and
BufferedRandom over an AsyncFileIO, awaited.

What a call can answer from the buffer it answers without awaiting the
driver and without the lock; everything else runs under the file's lock, so
that two tasks sharing a file see io's results as two threads would.

Cancellation never loses track of the position: a read that is cancelled
keeps what it already got in the read buffer; a write or flush that is
cancelled keeps the data not yet known to be written in the write buffer, for
the next flush or close to write again at the same offset. Where the kernel's
position is used (append mode, pipes) that rewrite could repeat data, so the
write in flight is counted as done instead.
"""

from __future__ import annotations

import errno
import io
import operator
import os
from collections import deque
from collections.abc import Buffer
from typing import Any, ClassVar, Self, cast

from . import _loop
from ._convert import HERE
from ._loop import _running_loop, get_driver
from ._raw import (_CLOSED_IOBASE, NO_COUNT, NO_DATA, AsyncFileIO, _answer, _AsyncIOBase,
                   _bytes_like, _int_arg, _size, _ssize, _target)

__all__ = ["AsyncBufferedReader", "AsyncBufferedWriter", "AsyncBufferedRandom"]

_DETACHED = "raw stream has been detached"
_WHENCES = frozenset({os.SEEK_SET, os.SEEK_CUR, os.SEEK_END, os.SEEK_DATA, os.SEEK_HOLE})
_OFF_MAX = 2**63 - 1  # off_t
_OFF_MIN = -2**63
# io's words where a non-blocking stream takes no more now.
_WOULD_BLOCK = "write could not complete without blocking"


def _would_block(written: int) -> BlockingIOError:
    return BlockingIOError(errno.EAGAIN, _WOULD_BLOCK, written)


class _Buffered(_AsyncIOBase):
    """The buffer logic shared by the three classes; `_reading` and
    `_writing` say which halves a class has."""

    __slots__ = ("_raw", "buffer_size", "_buf", "_bpos", "_eof", "_wbuf", "__weakref__")

    _reading: ClassVar[bool] = False
    _writing: ClassVar[bool] = False

    def __init__(self, raw: AsyncFileIO, buffer_size: int = io.DEFAULT_BUFFER_SIZE) -> None:
        if not isinstance(raw, AsyncFileIO):
            raise TypeError(f"raw must be an AsyncFileIO, not {type(raw).__name__}")
        if self._reading and not raw.readable():
            raise io.UnsupportedOperation("File or stream is not readable.")
        if self._writing and not raw._writable:
            raise io.UnsupportedOperation("File or stream is not writable.")
        if self._reading and self._writing and not raw._is_seekable():
            raise io.UnsupportedOperation("File or stream is not seekable.")
        buffer_size = operator.index(buffer_size)
        if buffer_size <= 0:
            raise ValueError("buffer size must be strictly positive")
        self._raw: AsyncFileIO | None = raw
        self.buffer_size = buffer_size
        self._busy, self._waiters = False, None
        # Read buffer: _buf[_bpos:] is read from the raw file and not yet
        # handed out. Write buffer: _wbuf, not yet written. At most one of
        # them holds data at a time.
        self._buf = b""
        self._bpos = 0
        # The open's read-ahead found the end of the file: checked again (an
        # lseek) by the first call that would otherwise read (_at_end).
        self._eof = False
        self._wbuf = bytearray()

    @classmethod
    def _with_data(cls, raw: AsyncFileIO, data: bytes, eof: bool) -> Self:
        """A buffer over `raw` that already holds `data`, read from the raw
        file's start (the open's read-ahead)."""
        self = cls.__new__(cls)
        self._raw, self.buffer_size, self._busy, self._waiters = raw, io.DEFAULT_BUFFER_SIZE, False, None
        self._buf, self._bpos, self._eof, self._wbuf = data, 0, eof, bytearray()
        return self

    # -- state ------------------------------------------------------------

    @property
    def raw(self) -> AsyncFileIO:
        # None once detached, as io's; typed as io's is, for the common case.
        return cast(AsyncFileIO, self._raw)

    def _live(self) -> AsyncFileIO:
        raw = self._raw
        if raw is None:
            raise ValueError(_DETACHED)
        return raw

    def _open_raw(self, what: str) -> AsyncFileIO:
        """The raw file, for an operation named in io's words `what`."""
        raw = self._raw
        if raw is None:
            raise ValueError(_DETACHED)
        if raw._fd < 0:
            raise ValueError(f"{what} closed file")
        return raw

    def _reader(self, op: str, what: str, size: Any = -1) -> AsyncFileIO:
        if not self._reading:
            if op in ("read", "read1"):
                _int_arg(size)  # io's writer takes the size as an int first
            raise io.UnsupportedOperation(op)
        return self._open_raw(what)

    def _writer(self, op: str, what: str) -> AsyncFileIO:
        if not self._writing:
            raise io.UnsupportedOperation(op)
        return self._open_raw(what)

    @property
    def closed(self) -> bool:
        return self._live()._fd < 0

    @property
    def name(self) -> str | bytes | int:
        return self._live().name

    @property
    def mode(self) -> str:
        return self._live().mode

    def __repr__(self) -> str:
        cls = f"{type(self).__module__.split('.')[0]}.{type(self).__qualname__}"
        raw = self._raw
        if raw is None or raw._fd < 0:
            return f"<{cls}>"
        return f"<{cls} name={raw.name!r}>"

    def fileno(self) -> int:
        raw = self._live()
        if not self._busy:
            self._give_back(raw)
        return raw.fileno()

    def _give_back(self, raw: AsyncFileIO) -> None:
        """Before a reader's raw file is handed out (detach, or its
        descriptor by fileno()): a file opened by name may hold the open's
        read-ahead, far more than io's buffer would have read by then, so the
        raw file goes back to the logical position (a file just opened: its
        start, as io's), the buffered part to be read again."""
        if (not self._writing and raw._fd >= 0 and raw._pos is not None
                and self._bpos < len(self._buf) and raw._is_seekable()):
            self._rewind(raw)

    # These four answer at once, or when awaited (see _Answer).

    def isatty(self) -> bool:
        return self._live().isatty()

    def readable(self) -> bool:
        return self._live().readable() if self._reading else _answer(False)

    def writable(self) -> bool:
        return self._live().writable() if self._writing else _answer(False)

    def seekable(self) -> bool:
        return _answer(self._live()._is_seekable())

    # -- reading ----------------------------------------------------------

    def _at_end(self) -> bool:
        """The open's read-ahead found the end of the file: is that still
        the end? (Asked once; a file that has grown since, or a stream, is
        read on.)"""
        self._eof = False
        raw = self._raw
        if raw is None or (pos := raw._pos) is None:
            return False
        return raw._end() == pos  # None for a stream, which _end finds out

    async def _fill(self, raw: AsyncFileIO, size: int) -> bytes:
        """One read of the raw file, or its end when that is known already."""
        if self._eof and self._at_end():
            return b""
        return await raw._read(size)

    def _keep(self, chunks: list[bytes]) -> None:
        """A read is leaving early: what it took from the buffer and the raw
        file becomes the buffer again, the position unchanged."""
        self._buf = b"".join(chunks)
        self._bpos = 0

    def _rewind(self, raw: AsyncFileIO) -> None:
        """Give the unread part of the read buffer back to the raw file, so
        that its position is the logical one (BufferedRandom)."""
        unread = len(self._buf) - self._bpos
        self._buf, self._bpos, self._eof = b"", 0, False
        if unread:
            raw._seek(-unread, os.SEEK_CUR)

    async def read(self, size: int | None = -1) -> bytes:
        # None where a non-blocking stream has no data now, as io's.
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if self._eof and size == -1 and not self._busy:
            # All of a small file came with the open, if that is still its
            # end (_eof is never set on a closed or detached file). The
            # common case of _at_end, written out: it is most of this read.
            self._eof = False
            raw = self._raw
            if raw is not None and (at := raw._pos) is not None:
                try:
                    end = os.lseek(raw._fd, 0, os.SEEK_END)
                except OSError:
                    raw._seekable, raw._pos = False, None
                else:
                    raw._seekable = True
                    if end == at:
                        buf, pos = self._buf, self._bpos
                        self._buf, self._bpos = b"", 0
                        return buf if pos == 0 else buf[pos:]
        if not self._reading:
            self._reader("read", "read of", size)  # raises io's error
        size = _size(size)
        # io's order: the size, then whether it is detached, then closed.
        if size < -1 and self._raw is not None:
            raise ValueError("read length must be non-negative or -1")
        raw = self._open_raw("read of")
        buf, pos = self._buf, self._bpos
        if not self._busy:
            if 0 <= size <= len(buf) - pos:
                self._bpos = pos + size
                return buf if size == len(buf) else buf[pos:pos + size]
        await self._acquire()
        try:
            raw = self._reader("read", "read of")  # closed while this task waited?
            return await self._read_locked(raw, size)
        finally:
            self._release()

    async def _read_locked(self, raw: AsyncFileIO, size: int) -> bytes:
        if self._wbuf:  # written data goes out before reading (BufferedRandom)
            await self._flush_writes(raw)
        buf, pos = self._buf, self._bpos
        if (size >= self.buffer_size and pos < len(buf) and not self._eof
                and raw._pos is not None and raw._is_seekable()):
            # A big read at our own position reads what is buffered again
            # with the rest, into one buffer: no copy to join them.
            raw._pos -= len(buf) - pos
            buf, pos = b"", 0
        chunks = [buf[pos:]] if pos < len(buf) else []
        self._buf, self._bpos = b"", 0
        try:
            if size < 0:
                if not (self._eof and self._at_end()):
                    try:
                        chunks.append(await raw._readall())
                    except BlockingIOError:
                        if not chunks:
                            return NO_DATA
                return chunks[0] if len(chunks) == 1 else b"".join(chunks)
            have = sum(map(len, chunks))
            while have < size:
                want = size - have
                # Big reads go straight to the raw file; small ones fill the buffer.
                data = await self._fill(raw, want if want >= self.buffer_size else self.buffer_size)
                if not data:
                    break
                chunks.append(data)
                have += len(data)
        except BlockingIOError:
            # A non-blocking stream has no more now: what was read, else None.
            if not chunks:
                return NO_DATA
        except BaseException:
            self._keep(chunks)
            raise
        data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        if len(data) > size:
            self._buf, self._bpos = data, size
            return data[:size]
        return data

    async def read1(self, size: int = -1) -> bytes:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if not self._reading:
            self._reader("read1", "read of", size)  # raises io's error
        size = _ssize(size)  # None is no size here, as for io's read1
        self._open_raw("read of")
        try:
            return await self._read1(size if size >= 0 else self.buffer_size, False)
        except BlockingIOError:  # a non-blocking stream with no data now
            return b""

    async def _read1(self, size: int, fill: bool) -> bytes:
        """read1 of `size` (>= 0); with `fill`, an empty buffer is filled
        first when `size` fits in it, as io's readinto1 does (so a run of
        small readinto1 calls costs one raw read per buffer, not one each).
        BlockingIOError where a non-blocking stream has no data now."""
        if size == 0:
            return b""
        buf, pos = self._buf, self._bpos
        if not self._busy and pos < len(buf):
            end = min(len(buf), pos + size)
            self._bpos = end
            return buf if pos == 0 and end == len(buf) else buf[pos:end]
        await self._acquire()
        try:
            raw = self._reader("read1", "read of")
            if self._wbuf:
                await self._flush_writes(raw)
            buf, pos = self._buf, self._bpos
            if pos < len(buf):
                end = min(len(buf), pos + size)
                self._bpos = end
                return buf[pos:end]
            if fill and size <= self.buffer_size:
                data = await self._fill(raw, self.buffer_size)
                if len(data) > size:
                    self._buf, self._bpos = data, size
                    return data[:size]
                return data
            # Buffer empty: one raw read of what was asked, as io's read1 does.
            return await self._fill(raw, size)
        finally:
            self._release()

    async def readinto(self, buffer: Buffer) -> int:
        with _target(buffer, "readinto() argument") as target:
            self._reader("read", "readinto of")
            if not target and self._wbuf and self._bpos >= len(self._buf):
                # io's readinto writes out what is buffered even for no bytes
                # (in append mode the position moves to the end then).
                await self.flush()
                return 0
            data = await self.read(len(target))
            if data is None:
                return NO_COUNT
            target[:len(data)] = data
        return len(data)

    async def readinto1(self, buffer: Buffer) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        with _target(buffer, "readinto1() argument") as target:
            self._reader("read1", "readinto of")
            try:
                data = await self._read1(len(target), True)
            except BlockingIOError:  # a non-blocking stream with no data now
                return NO_COUNT
            target[:len(data)] = data
        return len(data)

    async def readline(self, size: int | None = -1) -> bytes:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        size = _size(size)
        try:
            raw = self._reader("read", "readline of")
        except io.UnsupportedOperation:
            if size == 0:  # io's generic readline reads nothing for that
                return b""
            raise
        buf, pos = self._buf, self._bpos
        if not self._busy:
            end = len(buf) if size < 0 else min(len(buf), pos + size)
            i = buf.find(b"\n", pos, end)
            if i >= 0:
                self._bpos = i + 1
                return buf[pos:i + 1]
            if 0 <= size <= len(buf) - pos:
                self._bpos = end
                return buf[pos:end]
        await self._acquire()
        try:
            raw = self._reader("read", "readline of")
            return await self._readline_locked(raw, size)
        finally:
            self._release()

    async def _readline_locked(self, raw: AsyncFileIO, size: int) -> bytes:
        if self._wbuf:  # written data goes out before reading (BufferedRandom)
            await self._flush_writes(raw)
        buf, pos = self._buf, self._bpos
        chunks = [buf[pos:]] if pos < len(buf) else []
        self._buf, self._bpos = b"", 0
        have = len(chunks[0]) if chunks else 0
        if chunks and (b"\n" in chunks[0] or 0 <= size <= have):
            data = chunks[0]  # the line is all there (the lock was busy before)
        else:
            try:
                while True:
                    try:
                        data = await self._fill(raw, self.buffer_size)
                    except BlockingIOError:  # no more now: what there is
                        break
                    if not data:
                        break
                    chunks.append(data)
                    if b"\n" in data or 0 <= size <= have + len(data):
                        break
                    have += len(data)
            except BaseException:
                self._keep(chunks)
                raise
            data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
        end = len(data) if size < 0 else min(len(data), size)
        i = data.find(b"\n", 0, end)
        if i >= 0:
            end = i + 1
        if end < len(data):
            self._buf, self._bpos = data, end
            return data[:end]
        return data

    # -- writing ----------------------------------------------------------

    async def _flush_writes(self, raw: AsyncFileIO) -> None:
        """Write the write buffer out (lock held)."""
        wbuf = self._wbuf
        while wbuf:
            try:
                n = await self._write_out(raw, bytes(wbuf))
            except BlockingIOError:  # a non-blocking stream is full: kept for later
                raise _would_block(0) from None
            del wbuf[:n]

    async def _write_out(self, raw: AsyncFileIO, data: bytes | Buffer) -> int:
        """One raw write of `data` (lock held): the count written. If the
        caller leaves while the kernel may be writing, this counts it as
        written where the kernel's position is used (see the module's notes)."""
        try:
            # raw._write, written out for the ring.
            pos, drv = raw._pos, get_driver()
            if drv.backend != "io_uring":
                n = await raw._write(data)
            elif pos is None:
                n = await drv._write(raw._fd, data, HERE if raw._stream is False
                                     else raw._here())
            else:
                n = await drv._write(raw._fd, data, pos)
                raw._pos = pos + n
        except OSError:
            raise
        except BaseException:
            if raw._pos is None:
                self._wbuf.clear()
            raise
        if n == 0:
            raise OSError(errno.EIO, "write could not complete without blocking")
        return n

    async def write(self, b: Buffer) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if not self._writing:
            self._writer("write", "write to")  # raises io's error
        n = _bytes_like(b)  # io's order: what is written, then the file
        raw = self._open_raw("write to")
        wbuf = self._wbuf
        if not self._busy and self._bpos >= len(self._buf) and len(wbuf) + n <= self.buffer_size:
            wbuf += b
            return n
        data: Buffer = b if type(b) is bytes else bytes(b)  # ours: the caller may reuse b
        await self._acquire()
        try:
            raw = self._writer("write", "write to")
            if self._bpos < len(self._buf) or self._eof:
                self._rewind(raw)
            if len(wbuf) + n <= self.buffer_size:
                wbuf += data
                return n
            if wbuf:
                # One write for both: what was buffered and the new data. As
                # io's: until the old data is out a failure drops the new;
                # a short write that leaves no more than a buffer's worth
                # keeps the rest buffered (for the next flush to report).
                old = len(wbuf)
                wbuf += data
                try:
                    while len(wbuf) > self.buffer_size or len(wbuf) > n:
                        del wbuf[:await self._write_out(raw, bytes(wbuf))]
                except BlockingIOError:
                    # A non-blocking stream is full. As io's: what is left of
                    # the old data stays, and the new is buffered as far as
                    # the buffer has room, the count of it taken reported.
                    written = old + n - len(wbuf)
                    if written < old:
                        room = self.buffer_size - (old - written)
                        if n <= room:
                            return n
                        del wbuf[old - written + room:]
                        raise _would_block(room) from None
                    del wbuf[self.buffer_size:]
                    raise _would_block(written - old + self.buffer_size) from None
                except OSError:
                    if len(wbuf) > n:
                        del wbuf[len(wbuf) - n:]
                    else:
                        wbuf.clear()
                    raise
                return n
            with memoryview(data) as view:
                done = 0
                try:
                    while n - done > self.buffer_size:
                        done += await self._write_out(raw, view[done:] if done else data)
                except BlockingIOError:
                    # A non-blocking stream is full: as io's, a buffer's worth
                    # more is taken, and the count taken reported.
                    wbuf += view[done:done + self.buffer_size]
                    raise _would_block(done + self.buffer_size) from None
                except OSError:
                    raise  # what failed is dropped, as io drops it
                except BaseException:
                    if raw._pos is not None:  # rewritten by the next flush
                        wbuf += view[done:]
                    raise
                if done < n:
                    wbuf += view[done:]
            return n
        finally:
            self._release()

    async def flush(self) -> None:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if not self._writing:
            # A reader's flush is the raw file's (nothing to write).
            await self._live().flush()
            return
        self._writer("flush", "flush of")
        await self._acquire()
        try:
            raw = self._writer("flush", "flush of")
            await self._flush_writes(raw)
            if self._reading:
                self._rewind(raw)
        finally:
            self._release()

    async def truncate(self, pos: int | None = None) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        self._open_raw("truncate of")  # io checks this one before the mode
        self._writer("truncate", "truncate of")
        await self._acquire()
        try:
            raw = self._writer("truncate", "truncate of")
            await self._flush_writes(raw)
            self._rewind(raw)
            return await raw._truncate(pos)
        finally:
            self._release()

    # -- position ---------------------------------------------------------

    async def seek(self, target: int, whence: int = 0) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        # io's order: whence converted, detached, whence known, closed,
        # seekable, then the target.
        whence = _int_arg(whence)
        self._live()
        if whence not in _WHENCES:
            raise ValueError(f"whence value {whence} unsupported")
        raw = self._open_raw("seek of")
        if not raw._is_seekable():
            raise io.UnsupportedOperation("File or stream is not seekable.")
        target = operator.index(target)
        if not _OFF_MIN <= target <= _OFF_MAX:
            raise ValueError("cannot fit 'int' into an offset-sized integer")
        buf, pos = self._buf, self._bpos
        if not self._busy and whence in (0, 1) and pos < len(buf):
            # Within the read buffer: no I/O.
            start = raw._tell() - len(buf)  # the position of buf[0]
            i = target - start if whence == 0 else pos + target
            if 0 <= i <= len(buf):
                self._bpos = i
                return start + i
        await self._acquire()
        try:
            raw = self._open_raw("seek of")
            await self._flush_writes(raw)
            if whence == os.SEEK_CUR:
                target -= len(self._buf) - self._bpos
            n = raw._seek(target, whence)
            self._buf, self._bpos, self._eof = b"", 0, False
            return n
        finally:
            self._release()

    async def tell(self) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        raw = self._live()
        await self._idle()  # an operation in flight moves it
        pos = raw._tell() - (len(self._buf) - self._bpos) + len(self._wbuf)
        # A device that seeks without moving (/dev/zero) reads ahead of a
        # position that stays 0: io answers 0 (3.12's io a negative count,
        # which follows its own buffer).
        return pos if pos >= 0 else 0

    # -- closing ----------------------------------------------------------

    async def close(self) -> None:
        raw = self._raw
        if raw is None:
            raise ValueError(_DETACHED)
        if raw._fd < 0:
            if _loop._trio is not None and _running_loop() is None:
                await _loop._trio.file_checkpoint()
            return
        if not self._busy and not self._wbuf:  # nothing to write, nobody to wait for
            if self._writing and self._bpos < len(self._buf):
                self._rewind(raw)  # as io's flush leaves it, for whoever else has the file
            self._buf, self._bpos, self._eof = b"", 0, False
            fd = raw._start_close()
            if fd >= 0:
                await raw._finish_close(fd)
            elif _loop._trio is not None and _running_loop() is None:  # closed: now the checkpoint
                await _loop._trio.file_checkpoint()
            return
        if self._wbuf and _loop.cancel_pending() and raw._is_seekable():
            # A cancel scope cancels every wait until it is left: an `async
            # with` that one leaves would close the file with its writes
            # dropped, where io, trio's own files and a cancelled asyncio
            # task's __aexit__ write them. A file (not a stream, whose write
            # may wait for good) closes as trio's files do: shielded, then
            # the cancel point.
            await _loop.shielded(self.close)
            return
        if self._busy:
            try:
                await self._acquire()
            except BaseException:
                # Cancelled while another task is in the file's I/O: the file
                # still ends closed, once that task is done with it.
                if raw._fd >= 0:
                    if self._waiters is None:
                        self._waiters = deque()
                    self._waiters.appendleft(_CloseInTurn(self))
                    if not self._busy:
                        self._release()
                raise
        else:  # the lock's common case, as every written file's close takes it
            self._busy = True
        try:
            if raw._fd < 0:  # closed while this task waited
                return
            try:
                if wbuf := self._wbuf:  # _flush_writes, written out
                    while wbuf:
                        try:
                            n = await self._write_out(raw, bytes(wbuf))
                        except BlockingIOError:
                            raise _would_block(0) from None
                        del wbuf[:n]
                elif self._writing and self._bpos < len(self._buf):
                    self._rewind(raw)
            finally:
                # Whatever the flush did (failed, or was cancelled), the file
                # ends closed; an error of the flush comes first. (raw.close(),
                # written out.)
                self._buf, self._bpos, self._eof, self._wbuf = b"", 0, False, bytearray()
                fd = raw._start_close()
                if fd >= 0:
                    await raw._finish_close(fd)
                elif _loop._trio is not None and _running_loop() is None:
                    await _loop._trio.file_checkpoint()
        finally:
            self._release()

    def _close_now(self) -> None:
        """Close without waiting, dropping what was not written (a cancelled
        close's turn, see _CloseInTurn)."""
        raw = self._raw
        self._buf, self._bpos, self._eof, self._wbuf = b"", 0, False, bytearray()
        if raw is None or (fd := raw._start_close()) < 0:
            return
        try:
            get_driver().close_soon(fd)
        except RuntimeError:  # the driver is closed: nothing was queued
            os.close(fd)
        finally:
            raw._remove()

    def detach(self) -> AsyncFileIO:
        """io's detach: flush, then hand the raw file over. Not awaited, as
        in aiofiles, so pending writes go out with a blocking write."""
        raw = self._live()
        if raw._fd < 0:
            raise ValueError(_CLOSED_IOBASE if not self._writing else "flush of closed file")
        if self._busy:
            raise RuntimeError("detach() while another task is using the file")
        if self._wbuf:
            try:
                raw._write_sync(self._wbuf)
            except BlockingIOError as e:
                # A full non-blocking stream: as io's flush, what was written
                # leaves the buffer, the rest stays, and the file attached.
                del self._wbuf[:e.characters_written]
                raise _would_block(0) from None
            self._wbuf.clear()
        if self._writing and self._reading:
            self._rewind(raw)
        else:
            self._give_back(raw)
        self._raw, self._buf, self._bpos, self._eof = None, b"", 0, False
        return raw

class _CloseInTurn:
    """In a file's queue of waiters, the turn of a close() whose caller was
    cancelled: when the lock comes to it, the file is closed and the lock
    passed on (whoever waits behind it finds the file closed)."""

    __slots__ = ("_file",)

    def __init__(self, file: _Buffered) -> None:
        self._file = file

    def done(self) -> bool:
        return False

    def set_result(self, result: object) -> None:
        try:
            self._file._close_now()
        finally:
            self._file._release()


class AsyncBufferedReader(_Buffered):
    """io.BufferedReader, awaited."""

    __slots__ = ()
    _reading = True

    async def peek(self, size: int = 0) -> bytes:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        _ssize(size)  # unused, but an integer, as io takes it
        self._reader("peek", "peek of")
        await self._acquire()
        try:
            raw = self._reader("peek", "peek of")
            if self._wbuf:
                await self._flush_writes(raw)
            buf, pos = self._buf, self._bpos
            if pos < len(buf):
                return buf[pos:]
            try:
                data = await self._fill(raw, self.buffer_size)
            except BlockingIOError:  # a non-blocking stream with no data now
                data = b""
            self._buf, self._bpos = data, 0
            return data
        finally:
            self._release()


class AsyncBufferedWriter(_Buffered):
    """io.BufferedWriter, awaited."""

    __slots__ = ()
    _writing = True

    def __del__(self) -> None:
        # As io does when a buffered file is collected unclosed: flush; the
        # raw file then closes itself. (A reader has nothing to flush.)
        raw = getattr(self, "_raw", None)
        if raw is None or raw._fd < 0:
            return
        if self._wbuf and not self._busy:
            try:
                raw._write_sync(self._wbuf)
            except OSError:
                pass


class AsyncBufferedRandom(AsyncBufferedReader, AsyncBufferedWriter):
    """io.BufferedRandom, awaited."""

    __slots__ = ()
    _reading = True
    _writing = True

