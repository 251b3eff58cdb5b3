"""The text layer against io.TextIOWrapper: the same operation scripts run on
both over the same bytes, and every result, exception and file must agree."""

import asyncio
import collections
import io

import pytest

from kovra_uring import _text
from kovra_uring._text import AsyncTextIOWrapper


class AsyncOverSync:
    """A buffered binary file with coroutine methods over an io one, each
    call passing through the loop once as a real buffer's would."""

    def __init__(self, f):
        self._f = f

    def __getattr__(self, name):  # the synchronous surface
        return getattr(self._f, name)


def _async_method(name):
    async def method(self, *args):
        await asyncio.sleep(0)
        return getattr(self._f, name)(*args)
    return method


for _name in ["read", "read1", "write", "flush", "seek", "tell", "truncate", "close"]:
    setattr(AsyncOverSync, _name, _async_method(_name))


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
    monkeypatch.setattr(_text, "IO_CHUNK", request.param)
    return request.param


async def make_pair(tmp_path, open_buffer, data, mode="rb+", **kw):
    """(ours, io's) text files over two copies of `data`."""
    for name in ["ours", "ref"]:
        (tmp_path / name).write_bytes(data)
    ours = AsyncTextIOWrapper(await open_buffer(tmp_path / "ours", mode), **kw)
    return ours, io.TextIOWrapper(io.open(tmp_path / "ref", mode), **kw)


async def outcome(call):
    try:
        result = call()
        return await result if asyncio.iscoroutine(result) else result
    except Exception as e:  # noqa: BLE001 - compared with io's
        return type(e)


async def compare(ours, ref, op, *args, cookies=True):
    if op == "iter":
        async def lines():
            return [line async for line in ours]

        mine, theirs = await outcome(lines), await outcome(lambda: list(ref))
    elif op == "disk":
        mine, theirs = (open(f.buffer.name, "rb").read() for f in (ours, ref))
    else:
        mine = await outcome(lambda: getattr(ours, op)(*args))
        theirs = await outcome(lambda: getattr(ref, op)(*args))
    # Files (from detach, __aenter__) are each side's own.
    mine, theirs = ("file" if hasattr(x, "read") else x for x in (mine, theirs))
    if cookies or op not in ("tell", "seek") or type(mine) is not int:
        assert mine == theirs, (op, args)
    return mine


ENCODINGS = ["utf-8", "utf-16", "utf-8-sig", "latin-1", "cp932", "iso2022_jp"]
NEWLINES = [None, "", "\n", "\r", "\r\n"]


def sample(encoding):
    """Every line ending, first, last and doubled, around characters of the
    encoding's several byte lengths."""
    wide = "".join(c for c in "é日€ö本" if c.encode(encoding, "ignore"))
    return (f"\r\nab{wide}\r\ncd\r\r\n{wide}x\n\n{wide[::-1]}\r" * 3) + f"end{wide}"


def cookies_exact(chunk, data, encoding, newline):
    """Bytes that decode to nothing yet (a stateful codec's escape sequence,
    a "\r" the universal newline decoder holds back) make two cookies valid
    for one text position, and io picks one by guessing from its read-ahead:
    equal cookies need equal read-ahead there. Elsewhere they are equal."""
    return chunk > len(data) or (encoding != "iso2022_jp" and newline not in (None, ""))


SCRIPTS = {
    "read": [("read",)],
    "read sizes": [("read", 1), ("read", 0), ("read", 2), ("read", 7), ("tell",),
                   ("read", None), ("read", 1)],
    "readline": [("readline",)] * 20,
    "readline sizes": [("readline", 1), ("readline", 3), ("readline", 0), ("readline", 40),
                       ("readline", 2), ("read", 3), ("readline",), ("readline", 5)] * 3,
    "readlines": [("readlines",)],
    # io decodes a chunk for readline(0) when it holds no text.
    "readline 0": [("readline", 0), ("write", "Q"), ("seek", 0), ("read", 2), ("seek", 0, 2),
                   ("readline", 0), ("tell",), ("seek", 0), ("read",)],
    "readlines hint": [("readlines", 5), ("tell",), ("readlines", 1), ("read",)],
    "readlines hint met": [("readlines", 1), ("readlines", 2), ("readlines", 3), ("read",)],
    "iter": [("readline",), ("iter",), ("tell",)],
    "write": [("write", "new\nline\r\nx\ry"), ("tell",), ("seek", 0), ("read",),
              ("writelines", ["a\n", "b", "\n"]), ("seek", 0), ("readlines",)],
    "write after read": [("readline",), ("write", "W\n"), ("tell",), ("read",), ("seek", 0),
                         ("read",)],
    "seek end": [("seek", 0, 2), ("write", "tail\r\n"), ("seek", 0), ("readlines",),
                 ("seek", 0, 2), ("read",)],
    "seek cur": [("read", 3), ("seek", 0, 1), ("read", 3), ("seek", 1, 1), ("seek", 0, 1),
                 ("read",)],
    "bad seeks": [("seek", -1), ("seek", 1, 2), ("seek", 0, 3), ("seek", "x"), ("read", 2),
                  ("seek", 0, 1.0), ("seek", -1.0), ("seek", None), ("seek", 1j)],
    # io converts a cookie with int(), once it compares with 0.
    "odd cookies": [("read", 3), ("seek", 0.0), ("read", 2), ("seek", False), ("read", 2),
                    ("seek", 0.0, 1), ("read", 1), ("seek", 0.0, 2), ("tell",)],
    "truncate": [("readline",), ("truncate", 5), ("seek", 0), ("read",), ("truncate",),
                 ("seek", 0, 2), ("tell",)],
    # BOMs: at the start only, whatever the way there.
    "rewrite": [("write", "x\n"), ("seek", 0), ("write", "yz\n"), ("seek", 0), ("read",)],
    "append": ("ab+", [("write", "a\n"), ("seek", 0), ("read",), ("write", "b")]),
    "new file": ("wb", [("write", "a\n"), ("write", "b"), ("tell",), ("read",)]),
    "failed first write": ("wb", [("write", "a\udc80"), ("write", "b")]),
    "types": [("write", b"x"), ("read", "1"), ("readline", None), ("readline", 1.0)],
    "closed": [("close",), ("close",), ("read",), ("readline",), ("write", "x"), ("tell",),
               ("seek", 0), ("flush",), ("truncate",), ("seekable",), ("writelines", []),
               ("detach",), ("__aenter__",)],
    "read only": ("rb", [("write", "x"), ("readline",), ("truncate", 0), ("seek", 0, 2)]),
    "detached": [("detach",), ("read",), ("fileno",), ("close",), ("readable",)],
    "surface": [(name,) for name in ["readable", "writable", "seekable", "isatty"]] + [
        ("__getattribute__", name) for name in ["encoding", "errors", "line_buffering",
                                                "write_through", "closed"]] + [
        ("__aenter__",), ("__aexit__", None, None, None), ("__getattribute__", "closed")],
    # What reaches the file after each write.
    **{name: ("wb", [op for s in ["no end", " cr\r", "lf\nand", "\r\n", "x" * 99]
                     for op in [("write", s), ("disk",)]], {name: True})
       for name in ["line_buffering", "write_through"]},
    **{f"errors={errors}": ("rb", [("readline",), ("read", 3), ("iter",), ("read",)] * 2,
                            {"errors": errors, "data": b"ok\xff\xfe\nhalf\xe6\x97\nend\xe6"})
       for errors in ["strict", "replace", "surrogateescape", "ignore"]},
    # Text the end of the file flushes out of the decoder, then tell().
    **{f"flushed at the end {i}": ("rb", [("read", 100), ("tell",), ("read", 1), ("tell",)],
                                   {"data": data, "errors": "replace"})
       for i, data in enumerate(["ab\r", b"ab\xe6"])},
    # An escape sequence that iso2022 ignores leaves flags too big for a cookie.
    "odd decoder state": ("rb", [("read", 3), ("tell",), ("seek", 0, 1), ("read", 1), ("tell",)],
                          {"errors": "ignore", "data": b"ab\x1b+cd\n"}),
}

# Every newline mode reads whole in one chunk; two of them also cross chunk
# boundaries everywhere.
CHUNK_NEWLINES = [(1 << 16, nl) for nl in NEWLINES] + [
    (chunk, nl) for chunk in (5, 1) for nl in (None, "\r\n")]


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("chunk,newline", CHUNK_NEWLINES, indirect=["chunk"])
@pytest.mark.parametrize("script", SCRIPTS)
def test_script(tmp_path, open_buffer, chunk, encoding, newline, script):
    if chunk != 1 << 16 and script in ("write after read", "errors=strict", "readline 0"):
        pytest.skip("where a write lands, when a decoding error shows: io's read-ahead")
    entry = SCRIPTS[script]
    mode, ops, kw = (*entry, {})[:3] if isinstance(entry, tuple) else ("rb+", entry, {})
    kw = dict(kw)
    data = kw.pop("data", None) or sample(encoding)
    data = data.encode(encoding) if isinstance(data, str) else data
    exact = cookies_exact(chunk, data, encoding, newline)

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, mode, encoding=encoding,
                                    newline=newline, **kw)
        ref.__aenter__, ref.__aexit__ = ref.__enter__, ref.__exit__
        for op, *args in ops:
            # What follows a decoding error depends on how much was read.
            if await compare(ours, ref, op, *args, cookies=exact) in (UnicodeError,
                                                                      UnicodeDecodeError):
                break
            if chunk > len(data):  # newlines tells what was read ahead
                await compare(ours, ref, "__getattribute__", "newlines")
        for f in [ours, ref, ours.buffer, ref.buffer]:
            await outcome(f.close) if f is not None else None

    asyncio.run(main())
    assert (tmp_path / "ours").read_bytes() == (tmp_path / "ref").read_bytes()


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("newline", [None, "", "\r\n"])
@pytest.mark.parametrize("step", [("read", 1), ("readline",)])
def test_tell_seek_everywhere(tmp_path, open_buffer, chunk, encoding, newline, step):
    """tell() at every position gives io's cookie, and seeking back to it
    reads on as io does from there."""
    data = sample(encoding).encode(encoding)
    exact = cookies_exact(chunk, data, encoding, newline)

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding=encoding,
                                    newline=newline)
        cookies = [(await compare(ours, ref, "tell", cookies=exact), ref.tell())]
        while await compare(ours, ref, *step):
            cookies.append((await compare(ours, ref, "tell", cookies=exact), ref.tell()))
        for cookie, ref_cookie in reversed(cookies):
            assert (await ours.seek(cookie), ref.seek(ref_cookie)) == (cookie, ref_cookie)
            for op in [("read", 2), ("tell",), ("readline",)]:
                await compare(ours, ref, *op, cookies=exact)

    asyncio.run(main())


@pytest.mark.parametrize("kw", [{"encoding": "hex"}, {"encoding": "nope"}, {"encoding": b"x"},
                                {"errors": 1}, {"newline": 1}, {"newline": "x"}, {}])
def test_arguments(tmp_path, open_buffer, kw):
    async def main():
        pair = await outcome(lambda: make_pair(tmp_path, open_buffer, b"", "rb", **kw))
        if isinstance(pair, type):
            with pytest.raises(pair):
                io.TextIOWrapper(io.BytesIO(), **kw)
            return
        ours, ref = pair
        assert (ours.encoding, ours.errors, ours.mode) == (ref.encoding, ref.errors, "r")
        ours.mode = "rt"  # what open() sets
        assert f"name={ours.buffer.name!r} mode='rt'" in repr(ours)

    asyncio.run(main())


def test_large(tmp_path, open_buffer):
    """Lines and cookies across the real chunk size and io's read-ahead."""
    data = "".join(f"{i} {'é日' * (i % 40)}{'x' * (i % 97)}{chr(13) * (i % 3 == 0)}\n"
                   for i in range(2500)).encode()

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding="utf-8")
        cookies = []
        while await compare(ours, ref, "readline"):
            cookies.append(await compare(ours, ref, "tell"))
        for cookie in cookies[::37]:
            await compare(ours, ref, "seek", cookie)
            await compare(ours, ref, "read", 100000)
        await compare(ours, ref, "seek", 0)
        await compare(ours, ref, "iter")

    asyncio.run(main())


class Gate:
    """A buffer whose read1 waits, cancellably, while `held` (after letting
    `passes` more through)."""

    def __init__(self, buf):
        self._buf, self.held, self.passes = buf, False, 0

    def __getattr__(self, name):
        return getattr(self._buf, name)

    async def read1(self, n=-1):
        while self.held and not self.passes:
            await asyncio.sleep(0)
        self.passes = max(self.passes - 1, 0)
        return await self._buf.read1(n)


@pytest.mark.parametrize("op", [("readline",), ("read", 4), ("read", 15), ("__anext__",)])
@pytest.mark.parametrize("passes", [0, 1])
def test_cancelled_read_loses_nothing(tmp_path, open_buffer, monkeypatch, op, passes):
    """A read cancelled while it waits for a chunk, after taking the text of
    `passes` chunks before it, leaves all that text to the next read, and
    tell() where it was."""
    if passes and op == ("read", 4):
        pytest.skip("done within one chunk")
    monkeypatch.setattr(_text, "CHUNK", 4)
    (tmp_path / "f").write_bytes("ab\ncdé€fghijklm\nij".encode())

    async def main():
        f = AsyncTextIOWrapper(gate := Gate(await open_buffer(tmp_path / "f", "rb")),
                               encoding="utf-8")
        assert await f.readline() == "ab\n"  # with "c" decoded
        cookie = await f.tell()
        gate.held, gate.passes = True, passes
        task = asyncio.ensure_future(getattr(f, op[0])(*op[1:]))
        for _ in range(3):
            await asyncio.sleep(0)
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        gate.held = False
        assert await f.tell() == cookie
        assert await f.read() == "cdé€fghijklm\nij"

    asyncio.run(main())


def test_write_after_read_lands_where_io_puts_it(tmp_path, open_buffer):
    """A write after a read goes where the buffer stands: past io's chunk."""
    data = b"".join(b"%05d\n" % i for i in range(20000))

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, encoding="utf-8")
        for op in [("readline",), ("write", "ZZ"), ("readline",), ("tell",), ("flush",),
                   ("disk",)]:
            await compare(ours, ref, *op)

    asyncio.run(main())


@pytest.mark.parametrize("op", [("readline",), ("readline", 5), ("read", 7), ("__anext__",)])
def test_tasks_sharing_a_file_each_get_their_own_part(tmp_path, open_buffer, chunk, op):
    """Workers reading one file at once get every part of it once, as the
    same calls made one after another on io's file do."""
    data = "".join(f"{i} " + "é" * (i % 9) + "\n" for i in range(2000)).encode()

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, encoding="utf-8")
        got = []

        async def worker():
            if op == ("__anext__",):
                got.extend([line async for line in ours])
                return
            while part := await getattr(ours, op[0])(*op[1:]):
                got.append(part)

        await asyncio.gather(*(worker() for _ in range(8)))
        name = "readline" if op == ("__anext__",) else op[0]
        expected = list(iter(lambda: getattr(ref, name)(*op[1:]), ""))
        assert collections.Counter(got) == collections.Counter(expected)

    asyncio.run(main())


@pytest.mark.parametrize("newline", ["", "\r"])
def test_lines_across_chunks(tmp_path, open_buffer, chunk, newline):
    """Lines that end anywhere in a chunk or across two (a CR LF split
    included) are io's, by async for and by readline()."""
    data = ("a\r\nb\rc\n\r\r\n\nd\r" * 20 + "é\r\nend\r").encode()

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding="utf-8",
                                    newline=newline)
        expected = list(ref)
        assert [line async for line in ours] == expected
        await ours.seek(0)
        assert [await ours.readline() for _ in expected] == expected
        assert await ours.readline() == ""

    asyncio.run(main())


@pytest.mark.parametrize("op", [("read",), ("read", 3), ("readline",), ("write", "x"),
                                ("tell",)])
def test_tasks_waiting_their_turn_when_the_file_closes(tmp_path, open_buffer, op):
    """Tasks that waited for the file's turn while it was closed each raise
    io's error for a closed file: none keeps the turn, which would leave the
    next caller waiting for good."""

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, b"ab\n" * 10)
        ref.close()
        release = asyncio.Event()
        read1 = ours.buffer.read1

        async def held_read1(n):
            await release.wait()
            return await read1(n)

        async def call(name, *args):
            try:
                return await getattr(ours, name)(*args)
            except ValueError as e:
                return repr(e)

        ours.buffer.read1 = held_read1
        first = asyncio.create_task(call("readline"))  # takes the turn
        await asyncio.sleep(0)
        waiting = [asyncio.create_task(call(*op)) for _ in range(2)]
        await asyncio.sleep(0)
        ours.buffer._f.close()  # closed under the task that has the turn
        release.set()
        async with asyncio.timeout(5):
            await first
            got = await asyncio.gather(*waiting, call(*op))
        try:
            getattr(ref, op[0])(*op[1:])
        except ValueError as e:
            assert got == [repr(e)] * 3

    asyncio.run(main())


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16-le", "shift_jis"])
@pytest.mark.parametrize("at", [4, 30, 32, 62])
@pytest.mark.parametrize("step", [("readline",), ("readline", 5), ("read", 3)])
def test_decode_error_where_io_meets_it(tmp_path, open_buffer, monkeypatch, encoding, at,
                                        step):
    """Bigger chunks than io's meet a bad byte no sooner: the text before
    io's chunk that holds it is read first, and the error is io's."""
    monkeypatch.setattr(_text, "CHUNK", 64)
    monkeypatch.setattr(_text, "IO_CHUNK", 8)
    text = "ab\nあ日\n".encode(encoding) * 10
    data = text[:at] + b"\xff\xdc" + text[at:]

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding=encoding)
        ref._CHUNK_SIZE = 8
        results: list = [None, None]
        while results[0] != "" and not isinstance(results[0], tuple):
            for i, f in enumerate((ours, ref)):
                try:
                    result = getattr(f, step[0])(*step[1:])
                    results[i] = await result if f is ours else result
                except UnicodeDecodeError as e:
                    results[i] = (e.start, e.end, e.reason, e.object)
            assert results[0] == results[1]
            if not isinstance(results[0], tuple):
                assert await ours.tell() == ref.tell()
        assert isinstance(results[0], tuple)

    asyncio.run(main())


@pytest.mark.parametrize("closed", [False, True])
@pytest.mark.parametrize("op", [("read", 1.0), ("read", "1"), ("seekable",), ("readable",),
                                ("seek", 0, 1.0), ("seek", 0, 2**31), ("seek", 0, -2**70),
                                ("readline", 2**63)])
def test_refusals_in_io_words(tmp_path, open_buffer, closed, op):
    """What a bad argument or a closed file raises, and in which order, is
    io's, words included."""
    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, b"abc", encoding="utf-8")
        results = []
        for f in (ours, ref):
            if closed:
                await outcome(f.close)
            try:
                result = getattr(f, op[0])(*op[1:])
                results.append(await result if asyncio.iscoroutine(result) else result)
            except Exception as e:  # noqa: BLE001 - compared with io's
                results.append((type(e), str(e)))
            await outcome(f.close)
        assert results[0] == results[1]

    asyncio.run(main())


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("newline", NEWLINES)
def test_tell_within_replayed_bytes(tmp_path, open_buffer, encoding, newline):
    """tell() within the few bytes a seek replayed, where the guess from the
    chunk before would reach past them, answers the cookie io gives at that
    point when read there without the seek (io's own guess reads past its
    bytes), and seeking to it reads on from there."""
    data = "\n\n\r\nx".encode(encoding)

    async def main():
        ours, ref = await make_pair(tmp_path, open_buffer, data, "rb", encoding=encoding,
                                    newline=newline)
        assert await ours.readline() == ref.readline()
        assert await ours.read(2) == ref.read(2)
        await ours.seek(0, 1)
        assert await ours.readline() == ref.readline()
        assert await ours.tell() == ref.tell()
        cookie, rest = await ours.tell(), await ours.read()
        await ours.seek(cookie)
        assert await ours.read() == rest == ref.read()

    asyncio.run(main())
