"""Text files: decoding, newline translation and tell() cookies over an
asynchronous buffered file, with the semantics of io.TextIOWrapper.

Reading decodes large chunks (a read1 of CHUNK bytes) and keeps the decoded
text with an index into it, so a line already decoded is one str.find and
one slice, with no await. Everything that can touch the file goes through
the buffer's coroutines; nothing here belongs to an event loop.
"""

from __future__ import annotations

import codecs
import io
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Protocol, Self, cast

from . import _loop
from ._loop import _running_loop
from ._raw import _int_arg, _size, _ssize, _Turns

__all__ = ["AsyncBuffer", "AsyncTextIOWrapper"]

# Bytes asked of the buffer per read1: one round trip decodes a thousand
# lines of ordinary text, which is what makes a line cheap. A file also
# open for writing reads io's chunks instead: a write after a read lands
# where the buffer stands, which is the end of the last chunk read.
CHUNK = 1 << 16
IO_CHUNK = 8192
# A read(size) asks for its size's worth of bytes at once, up to this.
MAX_CHUNK = 1 << 24

# Encodings whose encoder keeps no state: str.encode does their work without
# an incremental encoder's Python-level call.
_STATELESS = frozenset({"utf-8", "iso8859-1", "ascii"})
# Encodings whose BOM io's own encoder drops once a write was tried, even
# one that failed to encode (the codec's encoder keeps it for the next).
_BOM_ONCE = frozenset({"utf-16", "utf-32"})

_DETACHED = "underlying buffer has been detached"
_CLOSED = "I/O operation on closed file."


class AsyncBuffer(Protocol):
    """What the wrapper needs of its buffered binary file."""

    @property
    def closed(self) -> bool: ...

    async def read(self, size: int = -1, /) -> bytes: ...

    async def read1(self, size: int = -1, /) -> bytes: ...

    async def write(self, data: bytes, /) -> int: ...

    async def flush(self) -> None: ...

    async def seek(self, pos: int, whence: int = 0, /) -> int: ...

    async def tell(self) -> int: ...

    async def truncate(self, pos: int | None = None, /) -> int: ...

    async def close(self) -> None: ...

    def readable(self) -> bool: ...

    def writable(self) -> bool: ...

    def seekable(self) -> bool: ...

    def fileno(self) -> int: ...

    def isatty(self) -> bool: ...


class _Decoder(Protocol):
    def decode(self, data: bytes, final: bool = False, /) -> str: ...

    def getstate(self) -> tuple[bytes, int]: ...

    def setstate(self, state: tuple[bytes, int], /) -> None: ...

    def reset(self) -> None: ...


def _pack(pos: int, flags: int = 0, feed: int = 0, eof: bool = False, skip: int = 0) -> int:
    # io's cookie: the bytes of its C struct (a 64-bit offset, three 32-bit
    # ints, a flag) read as one little-endian number, so that the cookie is
    # the plain byte offset wherever the decoder starts afresh.
    if not 0 <= flags <= 0x7FFFFFFF:
        _c_int(flags)
    return pos | flags << 64 | feed << 96 | skip << 128 | eof << 160


def _c_int(flags: int) -> None:
    # A decoder's flags go into a C int: a codec left in an odd state (an
    # escape sequence ignored by iso2022) has flags io cannot pack either.
    if flags > 0x7FFFFFFF:
        raise OverflowError("signed integer is greater than maximum")
    if flags < -0x80000000:
        raise OverflowError("signed integer is less than minimum")


def _state(dec: _Decoder) -> tuple[bytes, int]:
    # io reads every state it walks through for a cookie into a C int.
    pending, flags = dec.getstate()
    if not 0 <= flags <= 0x7FFFFFFF:
        _c_int(flags)
    return pending, flags


def _unpack(cookie: int) -> tuple[int, int, int, bool, int]:
    if cookie >> 168:
        raise OverflowError("int too big to convert")
    mask = 0xFFFFFFFF
    return (cookie & (1 << 64) - 1, cookie >> 64 & mask, cookie >> 96 & mask,
            bool(cookie >> 160), cookie >> 128 & mask)


class AsyncTextIOWrapper(_Turns):
    """io.TextIOWrapper over an asynchronous buffered binary file.

    Where it differs from io: tell() works inside `async for` (io's `for`
    turns it off; readlines() still does, as io's); each write() hands its
    bytes to the buffer at once, so write_through changes nothing; and
    detach(), being synchronous, leaves the buffer unflushed. Cookies are
    io's, except that where two byte offsets hold the same text position
    (a "\r" held back, a codec's escape sequence) io's choice follows its
    8 KiB read-ahead and this one's its own chunks.

    Tasks take turns: a call that awaits the buffer holds the wrapper's
    decoded text until it is done with it, so that calls made at once on
    one file (workers sharing its lines) each get their own part of it.
    """

    def __init__(
        self,
        buffer: AsyncBuffer,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
        line_buffering: bool = False,
        write_through: bool = False,
    ) -> None:
        if encoding is not None and not isinstance(encoding, str):
            raise TypeError(f"TextIOWrapper() argument 'encoding' must be str or None, "
                            f"not {type(encoding).__name__}")
        if errors is not None and not isinstance(errors, str):
            raise TypeError(f"TextIOWrapper() argument 'errors' must be str or None, "
                            f"not {type(errors).__name__}")
        if newline is not None and not isinstance(newline, str):
            raise TypeError(f"TextIOWrapper() argument 'newline' must be str or None, "
                            f"not {type(newline).__name__}")
        if newline not in (None, "", "\n", "\r", "\r\n"):
            raise ValueError(f"illegal newline value: {newline}")
        # An EncodingWarning names whoever made the wrapper.
        encoding = io.text_encoding(encoding)
        if encoding == "locale":
            import locale

            encoding = locale.getencoding()
        info = codecs.lookup(encoding)
        if not info._is_text_encoding:
            raise LookupError(f"{encoding!r} is not a text encoding; "
                              "use codecs.open() to handle arbitrary codecs")
        errors = "strict" if errors is None else errors

        self._buffer: AsyncBuffer | None = buffer
        self._busy, self._waiters = False, None
        self._encoding = encoding
        self._errors = errors
        self._line_buffering = bool(line_buffering)
        self._write_through = bool(write_through)
        self._mode: str | None = None
        self._seekable = buffer.seekable()
        # io's readlines() iterates, and iterating turns tell() off until the
        # end of the file or a flush (async for does not: it reads lines).
        self._telling = self._seekable

        # Reading: newline=None translates every ending to "\n" in the
        # decoder, "" only reports them (lines end at "\r", "\n" or "\r\n"),
        # and any other value is searched for as it is.
        self._universal = not newline
        self._nl = None if newline == "" else (newline or "\n")
        self._text = ""      # the decoded text of the last chunk
        self._pos = 0        # how much of it was returned
        self._cr = -1        # newline="": the next "\r" at or after _pos
        # For tell(): the decoder's flags where _text begins, and the bytes
        # that decode to _text (plus whatever the decoder kept back).
        self._snapshot: tuple[int, bytes] | None = None
        self._b2c = 0.0      # bytes per character of the last chunk
        self._first: tuple[int, bytes] | None = None  # see _note
        # The last tell()'s resting point in the snapshot's bytes.
        self._mark: tuple[tuple[int, bytes] | None, int, int, int] | None = None
        self._decoder: _Decoder | None = None
        if buffer.readable():
            codec = codecs.getincrementaldecoder(encoding)(errors)
            self._decoder = codec
            if self._universal:
                self._decoder = io.IncrementalNewlineDecoder(codec, translate=newline is None)

        # Writing: "\n" becomes _writenl unless newline="".
        self._writetranslate = newline != ""
        self._writenl = newline or "\n"
        self._encoder: codecs.IncrementalEncoder | None = None
        self._encode: Callable[[str], bytes] = str.encode
        self._bom_once = False
        # io looks at the position once, when the wrapper is made, so that a
        # file not at its start gets no BOM; that look needs an await here,
        # so it happens before the first operation that moves the position.
        self._bom_check = False
        if buffer.writable():
            self._encoder = codecs.getincrementalencoder(encoding)(errors)
            if info.name in _STATELESS:
                name = info.name
                self._encode = lambda s: s.encode(name, errors)
            else:
                self._encode = self._encoder.encode
                self._bom_once = info.name in _BOM_ONCE
            self._bom_check = self._seekable
        self._chunk = CHUNK if self._encoder is None else IO_CHUNK

    # --- attributes -----------------------------------------------------

    def __repr__(self) -> str:
        parts = [f"<{type(self).__module__}.{type(self).__qualname__}"]
        for attr in ("name", "mode"):
            try:
                parts.append(f"{attr}={getattr(self, attr)!r}")
            except (AttributeError, ValueError):
                pass
        parts.append(f"encoding={self._encoding!r}>")
        return " ".join(parts)

    @property
    def buffer(self) -> AsyncBuffer:
        # None once detached, as io's; typed as io's is, for the common case.
        return cast(AsyncBuffer, self._buffer)

    @property
    def encoding(self) -> str:
        return self._encoding

    @property
    def errors(self) -> str:
        return self._errors

    @property
    def line_buffering(self) -> bool:
        return self._line_buffering

    @property
    def write_through(self) -> bool:
        return self._write_through

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        self._attached()
        return getattr(self._decoder, "newlines", None)

    @property
    def closed(self) -> bool:
        return self._attached().closed

    @property
    def name(self) -> Any:
        return getattr(self._attached(), "name")

    @property
    def mode(self) -> str:
        """The mode given to open(); for a wrapper made by hand, the
        buffer's mode without its "b"."""
        if self._mode is not None:
            return self._mode
        mode: str = getattr(self._attached(), "mode")
        return mode.replace("b", "")

    @mode.setter
    def mode(self, value: str) -> None:
        self._mode = value

    def fileno(self) -> int:
        return self._attached().fileno()

    def isatty(self) -> bool:
        return self._attached().isatty()

    def readable(self) -> bool:
        return self._attached().readable()

    def writable(self) -> bool:
        return self._attached().writable()

    def seekable(self) -> bool:
        buf = self._attached()
        if buf.closed:  # the buffer's words, as io asks the buffer
            return buf.seekable()
        return self._seekable

    def detach(self) -> AsyncBuffer:
        """Hand back the buffer, which keeps whatever it holds unwritten
        (flush it with `await buffer.flush()`): io's detach flushes it, which
        this synchronous call cannot do."""
        buf = self._open()
        if self._busy:
            raise RuntimeError("detach() while another task is using the file")
        self._buffer = None
        self._set_text("")
        self._snapshot = None
        return buf

    # --- checks ---------------------------------------------------------

    def _attached(self) -> AsyncBuffer:
        buf = self._buffer
        if buf is None:
            raise ValueError(_DETACHED)
        return buf

    def _open(self) -> AsyncBuffer:
        buf = self._attached()
        if buf.closed:
            raise ValueError(_CLOSED)
        return buf

    def _readable(self) -> tuple[AsyncBuffer, _Decoder]:
        buf = self._open()
        if self._decoder is None:
            raise io.UnsupportedOperation("not readable")
        return buf, self._decoder

    def _set_text(self, text: str, pos: int = 0) -> None:
        self._text = text
        self._pos = pos
        self._cr = -1

    async def _check_bom(self, buf: AsyncBuffer) -> None:
        self._bom_check = False
        if self._encoder is not None and await buf.tell() != 0:
            self._encoder.setstate(0)

    # --- reading --------------------------------------------------------

    async def _read_chunk(self, buf: AsyncBuffer, dec: _Decoder, size: int = 0,
                          io_size: int = 0) -> bytes:
        """Replace the decoded text by that of the next chunk, and return the
        chunk (empty at end of file). The decoder's state is taken after the
        await, so a read cancelled or failed in flight changes nothing here.
        `io_size` is what io would have read instead."""
        if self._bom_check:
            await self._check_bom(buf)
        chunk = await buf.read1(size or self._chunk)
        flags = 0
        pending = b""
        if self._seekable:
            pending, flags = dec.getstate()
        eof = not chunk
        try:
            text = dec.decode(chunk, eof)
        except UnicodeError:
            io_size = io_size or IO_CHUNK
            if len(chunk) <= io_size or not self._seekable:
                raise
            text, chunk = await self._decode_as_io(buf, dec, chunk, (pending, flags), io_size)
        self._set_text(text)
        self._b2c = len(chunk) / len(text) if text else 0.0
        if self._seekable:
            self._snapshot = (flags, pending + chunk)
        return chunk

    async def _decode_as_io(self, buf: AsyncBuffer, dec: _Decoder, chunk: bytes,
                            state: tuple[bytes, int], io_size: int) -> tuple[str, bytes]:
        """A chunk bigger than io's failed to decode: io would have decoded
        its own smaller chunks up to the one that fails, and raised only when
        it came to that one. Decode as io would, give the buffer back the
        bytes io would not have read yet, and return the text and bytes of
        the chunks that decode (raising the error of the first that fails)."""
        dec.setstate(state)
        texts: list[str] = []
        good = 0
        try:
            while good < len(chunk):
                piece = chunk[good:good + io_size]
                texts.append(dec.decode(piece))
                good += len(piece)
                state = dec.getstate()
        except UnicodeError:
            # What follows the failing chunk is read next, as io reads on.
            end = min(good + io_size, len(chunk)) if not texts else good
            dec.setstate(state)
            await buf.seek(end - len(chunk), io.SEEK_CUR)
            if not texts:
                raise
        return "".join(texts), chunk[:good]

    def _put_back(self, text: str, pos: int, snapshot: tuple[int, bytes] | None,
                  texts: list[str], chunks: list[bytes]) -> None:
        """A read that decoded `chunks` (into `texts`) after the text it
        started with (`text` from `pos`, decoded from `snapshot`) is leaving
        early: all of that text is held again, unread, as if the read had
        not started. Its snapshot spans every chunk, so tell() still counts
        right."""
        if not texts:
            return
        if snapshot is None:  # nothing was held: the first chunk's own
            snapshot, chunks = self._first, chunks[1:]
        if snapshot is not None and self._seekable:
            self._snapshot = (snapshot[0], snapshot[1] + b"".join(chunks))
        self._set_text(text + "".join(texts), pos)

    async def read(self, size: int | None = -1) -> str:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        size = _size(size)  # in io's words, before the file's state
        buf, dec = self._readable()
        if 0 <= size <= len(self._text) - self._pos and not self._busy:
            pos = self._pos
            self._pos = pos + size
            return self._text[pos:pos + size]
        if self._busy:
            buf, dec = await self._take_turn(self._readable)
        else:
            self._busy = True
        try:
            return await self._read(buf, dec, size)
        finally:
            self._release()

    async def _read(self, buf: AsyncBuffer, dec: _Decoder, size: int) -> str:
        text, pos = self._text, self._pos
        if size < 0:
            if self._bom_check:
                await self._check_bom(buf)
            data = await buf.read()
            # The chars still held stay readable if the read fails.
            result = text[pos:] + dec.decode(data, True)
            self._set_text("")
            self._snapshot = None
            return result
        if len(text) - pos >= size:
            self._pos = pos + size
            return text[pos:pos + size]
        parts = [text[pos:]]
        need = size - len(parts[0])
        snapshot = self._snapshot
        texts: list[str] = []
        chunks: list[bytes] = []
        try:
            while need > 0:
                size = min(max(self._chunk, int(need * self._b2c)), MAX_CHUNK)
                io_size = max(IO_CHUNK, int(need * max(self._b2c, 1.0)))
                chunk = await self._read_chunk(buf, dec, size, io_size)
                self._note(texts, chunks, chunk)
                take = self._text[:need]
                self._pos = len(take)
                parts.append(take)
                need -= len(take)
                # The end of the file may still give text (a "\r" held back,
                # flushed): io then reads once more, where the decoder's
                # state is its last, which tell() starts from.
                if not chunk and not take:
                    break
        except BaseException:
            self._put_back(text, pos, snapshot, texts, chunks)
            raise
        return "".join(parts)

    def _note(self, texts: list[str], chunks: list[bytes], chunk: bytes) -> None:
        """Keep what a read decoded, for _put_back."""
        if not texts:
            self._first = self._snapshot
        texts.append(self._text)
        chunks.append(chunk)

    async def readline(self, size: int = -1) -> str:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if size == -1 and not self._busy:
            # The common case: the line is already decoded.
            text = self._text
            pos = self._pos
            nl = self._nl
            if nl is not None:
                end = text.find(nl, pos)
                if end >= 0:
                    end += len(nl)
                    self._pos = end
                    return text[pos:end]
            elif (end := self._line_end(text, pos)) >= 0:
                self._pos = end
                return text[pos:end]
        return await self._readline(_ssize(size))

    def _line_end(self, text: str, start: int) -> int:
        """Where the line that goes on at text[start:] ends (just past its
        ending), or -1."""
        nl = self._nl
        if nl is not None:
            end = text.find(nl, start)
            return end + len(nl) if end >= 0 else -1
        # newline="": the decoder never ends a chunk with a "\r" unless at
        # end of file, so a "\r\n" is never split. The next "\r" is cached
        # so that text without any is scanned once per chunk, not per line.
        lf = text.find("\n", start)
        cr = self._cr
        if cr < start:
            cr = text.find("\r", start)
            if cr < 0:
                cr = len(text)
            self._cr = cr
        if cr >= len(text) or 0 <= lf < cr:
            return lf + 1 if lf >= 0 else -1
        return cr + 2 if text.startswith("\n", cr + 1) else cr + 1

    async def _readline(self, size: int) -> str:
        if self._busy:
            await self._acquire()
        else:
            self._busy = True
        try:
            return await self._readline_held(size)
        finally:
            self._release()

    async def _readline_held(self, size: int) -> str:
        buf, dec = self._readable()
        if size == 0:
            # io decodes a chunk before it looks at the limit when it holds
            # no text: the position and tell() follow that chunk, a decode
            # error is raised, and the end of the file drops the snapshot.
            while not self._text:
                chunk = await self._read_chunk(buf, dec)
                if not chunk:
                    self._set_text("")
                    self._snapshot = None
                    break
            return ""
        text, pos = self._text, self._pos
        start = (text, pos, self._snapshot)
        texts: list[str] = []
        chunks: list[bytes] = []
        parts: list[str] = []
        have = 0  # chars in parts
        cr = False  # whether they end with "\r"
        end = self._line_end(text, pos)
        while end < 0 or 0 <= size < end - pos + have:
            if 0 <= size <= len(text) - pos + have:
                end = pos + size - have
                break
            # The line goes on in the next chunk. The text held stays in
            # place until that chunk arrives, and a read that leaves early
            # puts back what it took: a cancelled read loses none.
            tail = text[pos:]
            try:
                chunk = await self._read_chunk(buf, dec)
            except BaseException:
                self._put_back(*start, texts, chunks)
                raise
            self._note(texts, chunks, chunk)
            more = bool(chunk)
            text, pos = self._text, 0
            parts.append(tail)
            have += len(tail)
            if tail:
                cr = tail.endswith("\r")
            if cr and self._nl == "\r\n" and text.startswith("\n"):
                end = 1  # an ending split between two chunks
            elif text or more:
                end = self._line_end(text, 0)
            else:
                self._set_text("")
                self._snapshot = None
                return "".join(parts)
        self._pos = end
        parts.append(text[pos:end])
        return "".join(parts)

    async def readlines(self, hint: int | None = -1) -> list[str]:
        hint = _size(hint)
        lines: list[str] = []
        total = 0
        self._telling = False
        while line := await self.readline():
            lines.append(line)
            total += len(line)
            if 0 < hint < total:
                return lines
        self._telling = self._seekable
        return lines

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> str:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        nl = self._nl
        if not self._busy:
            text = self._text
            pos = self._pos
            if nl is not None:
                end = text.find(nl, pos)
                if end >= 0:
                    end += len(nl)
                    self._pos = end
                    return text[pos:end]
            elif (end := self._line_end(text, pos)) >= 0:
                self._pos = end
                return text[pos:end]
        line = await self._readline(-1)
        if not line:
            raise StopAsyncIteration
        return line

    # --- writing --------------------------------------------------------

    async def write(self, s: str) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        if not isinstance(s, str):
            raise TypeError(f"write() argument must be str, not {type(s).__name__}")
        buf = self._open()
        if self._encoder is None:
            raise io.UnsupportedOperation("not writable")
        if self._busy:
            buf = await self._take_turn(self._open)
        else:
            self._busy = True
        try:
            if self._bom_check:
                await self._check_bom(buf)
            length = len(s)
            haslf = (self._writetranslate or self._line_buffering) and "\n" in s
            if haslf and self._writetranslate and self._writenl != "\n":
                s = s.replace("\n", self._writenl)
            try:
                data = self._encode(s)
            except BaseException:
                if self._bom_once:
                    self._encoder.setstate(0)
                raise
            # What was read ahead is dropped, as io drops it: the write lands
            # where the buffer stands.
            if self._text:
                self._set_text("")
            self._snapshot = None
            if self._decoder is not None:
                self._decoder.reset()
            await buf.write(data)
            if self._line_buffering and (haslf or "\r" in s):
                await buf.flush()
            return length
        finally:
            if self._waiters:
                self._release()
            else:
                self._busy = False

    async def writelines(self, lines: Iterable[str]) -> None:
        self._open()
        for line in lines:
            await self.write(line)

    async def flush(self) -> None:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        buf = self._open()
        self._telling = self._seekable
        await buf.flush()

    async def close(self) -> None:
        buf = self._attached()
        if buf.closed:
            if _loop._trio is not None and _running_loop() is None:
                await _loop._trio.file_checkpoint()
            return
        self._set_text("")
        self._snapshot = None
        try:
            await buf.flush()
        finally:
            await buf.close()

    async def truncate(self, pos: int | None = None) -> int:
        # As io: the position defaults to the buffer's, not tell()'s.
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        buf = self._open()
        await self.flush()
        return await buf.truncate(pos)

    async def __aenter__(self) -> Self:
        self._open()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        await self.close()

    # --- positions ------------------------------------------------------

    def _set_decoder(self, start: int, flags: int) -> None:
        # At the start of the stream reset() rather than setstate(): some
        # decoders (utf-16) start in a state other than (b"", 0).
        dec = self._decoder
        assert dec is not None
        if start == 0 and flags == 0:
            dec.reset()
        else:
            dec.setstate((b"", flags))

    def _reset_encoder(self, start_of_stream: bool) -> None:
        if self._encoder is not None:
            self._bom_check = False
            if start_of_stream:
                self._encoder.reset()
            else:
                self._encoder.setstate(0)

    async def tell(self) -> int:
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        buf = self._open()
        if not self._seekable:
            raise io.UnsupportedOperation("underlying stream is not seekable")
        if not self._telling:
            raise OSError("telling position disabled by next() call")
        if self._busy:
            buf = await self._take_turn(self._open)
        else:
            self._busy = True
        try:
            return await self._tell(buf)
        finally:
            self._release()

    async def _tell(self, buf: AsyncBuffer) -> int:
        await buf.flush()
        position = await buf.tell()
        dec = self._decoder
        snapshot = self._snapshot
        if dec is None or snapshot is None:
            return position
        flags, data = snapshot
        _c_int(flags)
        position -= len(data)
        if self._pos == 0:
            return _pack(position, flags)
        saved = dec.getstate()
        try:
            return self._cookie(dec, position, flags, data, self._pos)
        finally:
            dec.setstate(saved)

    def _cookie(self, dec: _Decoder, position: int, flags: int, data: bytes, skip: int) -> int:
        """io's cookie for the point `skip` chars into the decoding of
        `data` from (position, flags): a point at or before it where the
        decoder holds no bytes, plus what to replay from there."""
        snapshot = self._snapshot
        mark = self._mark if self._mark is not None and self._mark[0] is snapshot else None
        # Offsets in data, with the chars before them and the decoder's flags
        # there, of points where the decoder holds nothing: decoding resumes
        # from the nearest one instead of from the start of the chunk, so a
        # tell() after each line costs a line, not a chunk.
        base = (0, 0, flags)

        def count(n: int) -> int:
            off, chars, fl = base if base[0] <= n else (0, 0, flags)
            if mark is not None and off < mark[1] <= n:
                _, off, chars, fl = mark
            self._set_decoder(position + off, fl)
            return chars + len(dec.decode(data[off:n]))

        # io's guess first, from the chunk's bytes per char, backing off
        # until the decoder holds nothing. Where several points decode to
        # the same count (an escape sequence, a held-back "\r") the cookie
        # depends on this guess: keeping io's keeps io's cookie.
        start, back, n, dec_flags = min(int(self._b2c * skip), len(data)), 1, 0, flags
        while start > 0:
            n = count(start)
            if n <= skip:
                pending, dec_flags = _state(dec)
                if not pending:
                    break
                start, back = start - len(pending), 1
            else:
                start, back = start - back, back * 2
        if start <= 0:
            start, n, dec_flags = 0, 0, flags
        base = (start, n, dec_flags)
        if n == skip:
            self._mark = (snapshot, *base)
            return _pack(position + start, dec_flags)

        # From there io feeds one byte at a time up to the target, a chunk's
        # length of decoder calls when the guess fell short. Every point on
        # the way where the decoder is empty leads to the same cookie, so
        # jump to the last one: the longest prefix that decodes to fewer
        # than `skip` chars (galloping from an estimate, then bisecting),
        # backed off to where the decoder holds nothing.
        lo, hi = start, len(data) + 1  # count(lo) < skip <= count(hi)
        if lo < len(data):
            guess = min(start + max(int(self._b2c * (skip - n)) - 1, 1), len(data))
            step = 1
            if count(guess) < skip:
                lo = guess
                while lo + step < hi and count(lo + step) < skip:
                    lo, step = lo + step, step * 2
                hi = min(hi, lo + step)
            else:
                hi = guess
                while hi - step > lo and count(hi - step) >= skip:
                    hi, step = hi - step, step * 2
                lo = max(lo, hi - step)
            while hi - lo > 1:
                mid = (lo + hi) // 2
                if count(mid) < skip:
                    lo = mid
                else:
                    hi = mid
        while lo > start:
            n = count(lo)
            pending, dec_flags = _state(dec)
            if not pending:
                base = (lo, n, dec_flags)
                break
            lo -= len(pending)

        off, chars, flags = base
        self._set_decoder(position + off, flags)
        fed = decoded = 0
        for i in range(off, len(data)):
            fed += 1
            decoded += len(dec.decode(data[i:i + 1]))
            pending, dec_flags = _state(dec)
            if not pending and chars + decoded <= skip:
                off, chars, flags = off + fed, chars + decoded, dec_flags
                fed = decoded = 0
            if chars + decoded >= skip:
                self._mark = (snapshot, off, chars, flags)
                return _pack(position + off, flags, fed, False, skip - chars)
        decoded += len(dec.decode(b"", True))
        if chars + decoded < skip:
            raise OSError("can't reconstruct logical file position")
        return _pack(position + off, flags, fed, True, skip - chars)

    async def seek(self, cookie: int, whence: int = 0) -> int:
        whence = _int_arg(whence)
        if _loop._trio is not None and _running_loop() is None:
            await _loop._trio.file_checkpoint()
        buf = self._open()
        if not self._seekable:
            raise io.UnsupportedOperation("underlying stream is not seekable")
        # As io's: the cookie is anything that compares with 0 and converts
        # to an int (a float included), and is handed back as it came.
        if whence == io.SEEK_CUR:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero cur-relative seeks")
            cookie = await self.tell()
        elif whence == io.SEEK_END:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero end-relative seeks")
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if cookie < 0:
            raise ValueError(f"negative seek position {cookie!r}")
        await self._acquire()
        try:
            if whence == io.SEEK_END:
                return await self._seek_end(buf)
            return await self._seek(buf, cookie)
        finally:
            self._release()

    async def _seek_end(self, buf: AsyncBuffer) -> int:
        await self.flush()
        position = await buf.seek(0, io.SEEK_END)
        self._set_text("")
        self._snapshot = None
        if self._decoder is not None:
            self._decoder.reset()
        self._reset_encoder(position == 0)
        return position

    async def _seek(self, buf: AsyncBuffer, cookie: int) -> int:
        await self.flush()
        start, flags, feed, eof, skip = _unpack(int(cookie))
        await buf.seek(start)
        self._set_text("")
        self._snapshot = None
        dec = self._decoder
        if dec is not None:
            self._set_decoder(start, flags)
            self._snapshot = (flags, b"")
            if skip:
                data = await buf.read(feed)
                text = dec.decode(data, eof)
                self._snapshot = (flags, data)
                if len(text) < skip:
                    raise OSError("can't restore logical file position")
                self._set_text(text, skip)
        self._reset_encoder(start == 0 and flags == 0)
        return cookie
