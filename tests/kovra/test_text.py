"""The text layer against io.TextIOWrapper: the same operation scripts run on
both over the same bytes, and every result, exception and final file must
agree."""

import asyncio
import codecs
import io

import pytest

from kovra_uring import _text
from kovra_uring._text import AsyncTextIOWrapper


class AsyncOverSync:
    """A buffered binary file with coroutine methods, over an io one; each
    call passes through the loop once, as a real buffer's would."""

    def __init__(self, f):
        self._f = f

    def __getattr__(self, name):  # the synchronous surface
        return getattr(self._f, name)

    async def _call(self, name, *args):
        await asyncio.sleep(0)
        return getattr(self._f, name)(*args)

    async def read(self, n=-1):
        return await self._call("read", n)

    async def read1(self, n=-1):
        return await self._call("read1", n)

    async def write(self, b):
        return await self._call("write", b)

    async def flush(self):
        return await self._call("flush")

    async def seek(self, pos, whence=0):
        return await self._call("seek", pos, whence)

    async def tell(self):
        return await self._call("tell")

    async def truncate(self, pos=None):
        return await self._call("truncate", pos)

    async def close(self):
        return await self._call("close")


@pytest.fixture
def open_buffer():
    """Opens the asynchronous buffer under test: swap this for the real
    buffered files."""

    async def open_buffer(path, mode):
        return AsyncOverSync(io.open(path, mode))

    return open_buffer


@pytest.fixture(params=[1 << 16, 5, 1], ids=["chunk64k", "chunk5", "chunk1"])
def chunk(request, monkeypatch):
    monkeypatch.setattr(_text, "CHUNK", request.param)
    return request.param


async def make_pair(tmp_path, open_buffer, data, mode="rb+", **kw):
    """(ours, io's) text files over two copies of `data`."""
    (tmp_path / "ours").write_bytes(data)
    (tmp_path / "ref").write_bytes(data)
    ours = AsyncTextIOWrapper(await open_buffer(tmp_path / "ours", mode), **kw)
    ref = io.TextIOWrapper(io.open(tmp_path / "ref", mode), **kw)
    return ours, ref


async def outcome(call):
    try:
        return await call()
    except Exception as e:  # noqa: BLE001 - compared with io's
        return type(e)


def sync_outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001
        return type(e)


async def compare(ours, ref, op, *args, cookies=True):
    if op == "iter":
        async def lines():
            return [line async for line in ours]

        mine, theirs = await outcome(lines), sync_outcome(lambda: list(ref))
    else:
        mine = await outcome(lambda: getattr(ours, op)(*args))
        theirs = sync_outcome(lambda: getattr(ref, op)(*args))
    if not cookies and op in ("tell", "seek") and type(mine) is type(theirs) is int:
        return mine
    assert mine == theirs, (op, args)
    return mine


ENCODINGS = ["utf-8", "utf-16", "utf-8-sig", "latin-1", "cp932", "iso2022_jp"]
NEWLINES = [None, "", "\n", "\r", "\r\n"]


def sample(encoding):
    """Every kind of line ending, at the start, the end and doubled, around
    characters of several byte lengths that the encoding has."""
    wide = "".join(c for c in "é日€ö本" if _encodable(c, encoding))
    return (f"\r\nab{wide}\r\ncd\r\r\n{wide}x\n\n{wide[::-1]}\r" * 3) + f"end{wide}"


def cookies_exact(chunk, data, encoding, newline):
    """Bytes that decode to nothing yet (a stateful codec's escape sequence,
    a "\r" the universal newline decoder holds back) make two cookies valid
    for one text position, and io picks one by guessing from its read-ahead:
    equal cookies need equal read-ahead there. Elsewhere they are equal."""
    return chunk > len(data) or (encoding != "iso2022_jp" and newline not in (None, ""))


def _encodable(c, encoding):
    try:
        c.encode(encoding)
    except UnicodeEncodeError:
        return False
    return True


SCRIPTS = {
    "read": [("read",)],
    "read sizes": [("read", 1), ("read", 0), ("read", 2), ("read", 7), ("tell",),
                   ("read", None), ("read", 1)],
    "readline": [("readline",)] * 20,
    "readline sizes": [("readline", 1), ("readline", 3), ("readline", 0), ("readline", 40),
                       ("readline", 2), ("read", 3), ("readline",), ("readline", 5)] * 3,
    "readlines": [("readlines",)],
    "readlines hint": [("readlines", 5), ("tell",), ("readlines", 1), ("read",)],
    "iter": [("readline",), ("iter",), ("tell",)],
    "write": [("write", "new\nline\r\nx\ry"), ("tell",), ("seek", 0), ("read",),
              ("writelines", ["a\n", "b", "\n"]), ("seek", 0), ("readlines",)],
    "write after read": [("readline",), ("write", "W\n"), ("tell",), ("read",), ("seek", 0),
                         ("read",)],
    "seek end": [("seek", 0, 2), ("write", "tail\r\n"), ("seek", 0), ("readlines",),
                 ("seek", 0, 2), ("read",)],
    "seek cur": [("read", 3), ("seek", 0, 1), ("read", 3), ("seek", 1, 1), ("seek", 0, 1),
                 ("read",)],
    "bad seeks": [("seek", -1), ("seek", 1, 2), ("seek", 0, 3), ("seek", "x"), ("read", 2)],
    "truncate": [("readline",), ("truncate", 5), ("seek", 0), ("read",), ("truncate",),
                 ("seek", 0, 2), ("tell",)],
    "rewrite": [("write", "x\n"), ("seek", 0), ("write", "yz\n"), ("seek", 0), ("read",)],
    "types": [("write", b"x"), ("read", "1"), ("readline", None), ("readline", 1.0)],
    "closed": [("close",), ("close",), ("read",), ("readline",), ("write", "x"), ("tell",),
               ("seek", 0), ("flush",), ("truncate",), ("seekable",), ("detach",)],
}


# Every newline mode reads whole in one chunk; two of them also cross chunk
# boundaries everywhere.
CHUNK_NEWLINES = [(1 << 16, nl) for nl in NEWLINES] + [
    (chunk, nl) for chunk in (5, 1) for nl in (None, "\r\n")]


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("chunk,newline", CHUNK_NEWLINES, indirect=["chunk"])
@pytest.mark.parametrize("script", SCRIPTS)
def test_script(tmp_path, open_buffer, chunk, encoding, newline, script):
    if chunk != 1 << 16 and script == "write after read":
        pytest.skip("a write after a read lands where io's read-ahead ended")
    data = sample(encoding).encode(encoding)
    exact = cookies_exact(chunk, data, encoding, newline)

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, encoding=encoding,
                                    newline=newline)
        for op, *args in SCRIPTS[script]:
            await compare(ours, ref, op, *args, cookies=exact)
            if chunk > len(data):  # newlines tells what was read ahead
                assert ours.newlines == ref.newlines
        await ours.close()
        ref.close()

    asyncio.run(main())
    assert (tmp_path / "ours").read_bytes() == (tmp_path / "ref").read_bytes()


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("newline", [None, "", "\r\n"])
@pytest.mark.parametrize("step", ["read1", "readline"])
def test_tell_seek_everywhere(tmp_path, open_buffer, chunk, encoding, newline, step):
    """tell() at every position gives io's cookie, and seeking back to it
    reads on as io does from there."""
    data = sample(encoding).encode(encoding)
    exact = cookies_exact(chunk, data, encoding, newline)
    op = ("read", 1) if step == "read1" else ("readline",)

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding=encoding,
                                    newline=newline)
        cookies = []
        while True:
            cookie = await ours.tell()
            ref_cookie = ref.tell()
            assert cookie == ref_cookie or not exact
            cookies.append((cookie, ref_cookie))
            got = await getattr(ours, op[0])(*op[1:])
            assert got == getattr(ref, op[0])(*op[1:])
            if not got:
                break
        for cookie, ref_cookie in reversed(cookies):
            assert await ours.seek(cookie) == cookie
            ref.seek(ref_cookie)
            assert await ours.read(2) == ref.read(2)
            assert await ours.tell() == ref.tell() or not exact
            assert await ours.readline() == ref.readline()
        await ours.close()
        ref.close()

    asyncio.run(main())


BAD = b"ok\xff\xfe\nhalf\xe6\x97\nend\xe6"


@pytest.mark.parametrize("errors", ["strict", "replace", "surrogateescape", "ignore"])
@pytest.mark.parametrize("op", [("read",), ("readline",), ("read", 3), ("iter",)])
def test_decode_errors(tmp_path, open_buffer, chunk, errors, op):
    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, BAD, "rb", encoding="utf-8",
                                    errors=errors)
        assert ours.errors == ref.errors
        for _ in range(6):
            # What follows an error depends on how much the decoder was fed.
            if await compare(ours, ref, *op) is UnicodeDecodeError:
                break

    asyncio.run(main())


@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16", "utf-8"])
@pytest.mark.parametrize("mode,data", [("rb+", b""), ("rb+", "old\n"), ("ab+", b""),
                                       ("ab+", "old\n"), ("wb", b"")])
def test_bom(tmp_path, open_buffer, encoding, mode, data):
    """A BOM only at the start of the file, whatever the way there."""
    data = data.encode(encoding) if isinstance(data, str) else data
    script = [("write", "a\n"), ("write", "b")]
    if mode != "wb":
        script += [("seek", 0), ("read",), ("write", "c"), ("seek", 0), ("write", "d"),
                   ("seek", 0, 2), ("write", "e")]

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, mode, encoding=encoding)
        for op, *args in script:
            await compare(ours, ref, op, *args)
        await ours.close()
        ref.close()

    asyncio.run(main())
    assert (tmp_path / "ours").read_bytes() == (tmp_path / "ref").read_bytes()


@pytest.mark.parametrize("newline", NEWLINES)
@pytest.mark.parametrize("flags", [{}, {"line_buffering": True}, {"write_through": True}])
def test_write_buffering(tmp_path, open_buffer, newline, flags):
    """What reaches the file after each write, and the translated bytes."""
    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, b"", "wb", encoding="utf-8",
                                    newline=newline, **flags)
        assert (ours.line_buffering, ours.write_through) == (ref.line_buffering,
                                                             ref.write_through)
        for s in ["no end", " cr\r", "lf\nand more", "\r\n", "x" * 100]:
            await compare(ours, ref, "write", s)
            assert (tmp_path / "ours").read_bytes() == (tmp_path / "ref").read_bytes()
        await ours.close()
        ref.close()

    asyncio.run(main())
    assert (tmp_path / "ours").read_bytes() == (tmp_path / "ref").read_bytes()


@pytest.mark.parametrize("kw", [{"encoding": "hex"}, {"encoding": "nope"}, {"encoding": b"x"},
                                {"errors": 1}, {"newline": 1}, {"newline": "x"}, {}])
def test_arguments(tmp_path, open_buffer, kw):
    async def main():
        ours = await outcome(lambda: make_pair(tmp_path, open_buffer, b"", "rb", **kw))
        ref = sync_outcome(lambda: io.TextIOWrapper(io.open(tmp_path / "ref", "rb"), **kw))
        if isinstance(ref, io.TextIOWrapper):
            ours = ours[0]
            assert (ours.encoding, ours.errors) == (ref.encoding, ref.errors)
            assert codecs.lookup(ours.encoding) == codecs.lookup(ref.encoding)
        else:
            assert ours == ref

    asyncio.run(main())


@pytest.mark.parametrize("mode", ["rb", "rb+", "wb", "ab"])
def test_surface(tmp_path, open_buffer, mode):
    async def main():
        f, ref = await make_pair(tmp_path, open_buffer, b"x\n", mode, encoding="utf-8")
        for op in [("read",), ("readline",), ("write", "y"), ("tell",), ("seek", 0, 2)]:
            await compare(f, ref, *op)
        ref.close()
        async with f:
            assert f.name == f.buffer.name
            assert f.mode == mode.replace("b", "")
            f.mode = "r+t"  # what open() sets
            assert f.mode in repr(f)
            for name in ["fileno", "isatty", "readable", "writable", "seekable"]:
                assert getattr(f, name)() == getattr(f.buffer, name)()
        assert f.closed
        f2 = (await make_pair(tmp_path, open_buffer, b"x", mode, encoding="utf-8"))[0]
        buf = f2.detach()
        assert f2.buffer is None and not buf.closed
        for call in [lambda: f2.closed, f2.fileno, f2.readable, f2.read, f2.close]:
            with pytest.raises(ValueError):
                result = call()
                if asyncio.iscoroutine(result):
                    await result
        await buf.close()

    asyncio.run(main())


def test_large(tmp_path, open_buffer):
    """Lines and cookies across the real chunk size, and io's read-ahead."""
    text = "".join(f"{i} {'é日' * (i % 40)}{'x' * (i % 97)}{chr(13) * (i % 3 == 0)}\n"
                   for i in range(2500))
    data = text.encode()

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding="utf-8")
        cookies = []
        while line := await ours.readline():
            assert line == ref.readline()
            cookies.append(await ours.tell())
            assert cookies[-1] == ref.tell()
        for cookie in cookies[::37]:
            await ours.seek(cookie)
            ref.seek(cookie)
            assert await ours.read(100000) == ref.read(100000)
        await ours.seek(0)
        ref.seek(0)
        assert [line async for line in ours] == list(ref)

    asyncio.run(main())


class Gate:
    """A buffer whose read1 waits, cancellably, until it is let through."""

    def __init__(self, buf):
        self._buf = buf
        self.waiting = asyncio.Event()
        self.open = asyncio.Event()

    def __getattr__(self, name):
        return getattr(self._buf, name)

    async def read1(self, n=-1):
        self.waiting.set()
        await self.open.wait()
        return await self._buf.read1(n)


@pytest.mark.parametrize("op", [("readline",), ("read", 4), ("iter",)])
def test_cancelled_read_loses_nothing(tmp_path, open_buffer, monkeypatch, op):
    """A read cancelled while it waits for the next chunk leaves the text
    it had already decoded to the next read."""
    monkeypatch.setattr(_text, "CHUNK", 4)
    data = b"ab\ncdefgh\nij"

    async def main():
        (tmp_path / "f").write_bytes(data)
        gate = Gate(await open_buffer(tmp_path / "f", "rb"))
        f = AsyncTextIOWrapper(gate, encoding="utf-8")
        gate.open.set()
        assert await f.readline() == "ab\n"  # and "c" decoded, waiting
        gate.open.clear()
        gate.waiting.clear()
        call = anext(f) if op == ("iter",) else getattr(f, op[0])(*op[1:])
        task = asyncio.ensure_future(call)
        await gate.waiting.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        gate.open.set()
        assert await f.read() == data[3:].decode()

    asyncio.run(main())
