"""open() and its raw and buffered files against io.open on the same files,
on both back ends: the same scripts of calls give the same results, errors and
file contents."""

import array
import asyncio
import contextlib
import errno
import fcntl
import gc
import inspect
import io
import mmap
import os
import resource
import signal
import socket
import sys
import threading
import time
import warnings
from pathlib import Path

import anyio
import anyio.lowlevel
import pytest
from leaks import cycles_left
from loops import LIBRARIES, gather, run_with

import kovra_uring
import kovra_uring._driver
from kovra_uring import RingUnavailableWarning


_warm: list[None] = []


@pytest.fixture(params=["io_uring", "threads"])
def backend(request, monkeypatch):
    if request.param == "threads":
        def refuse(entries=256):
            raise OSError(errno.EPERM, os.strerror(errno.EPERM))
        monkeypatch.setattr(kovra_uring._driver, "Ring", refuse)
    if not _warm:  # a loop's first run may keep descriptors (uvloop's)
        _warm.extend(run_with(lib, anyio.sleep, 0) for lib in LIBRARIES)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RingUnavailableWarning)
        yield request.param


# Lines of many lengths, some longer than a small buffer; 41 KB.
DATA = b"".join(b"%d %s\n" % (i, b"xyz" * (i * 7 % 23)) for i in range(1500))
SIZES = {"small": 300, "big": len(DATA)}  # below and above the open's read-ahead


def fds():
    gc.collect()  # a driver is released once its loop's last cycles are
    return sorted(os.readlink(f"/proc/self/fd/{n}") for n in os.listdir("/proc/self/fd")
                  if os.path.exists(f"/proc/self/fd/{n}"))


async def call(f, op, *args, **kwargs):
    """f.op(*args), awaited if it is ours."""
    r = getattr(f, op)(*args, **kwargs)
    return await r if inspect.isawaitable(r) else r


async def step(f, op, *args):
    """One step of a script on `f`, io's or ours."""
    if op == "fpos":  # the kernel's file position, as fileno() users see it
        return os.lseek(f.fileno(), 0, os.SEEK_CUR)
    if op == "attr":
        return getattr(f, args[0])
    if op in ("readinto", "readinto1") and isinstance(args[0], int):
        buf = bytearray(args[0])
        return await call(f, op, buf), bytes(buf)
    if op in ("peek", "read1"):
        # How much these return depends on where the buffer's bounds fall,
        # which the open's read-ahead moves: compare the first byte, then go
        # on from just after it.
        start = await call(f, "tell")
        r = (await call(f, op, *args))[:1]
        await call(f, "seek", start + len(r))
        return r
    return await call(f, op, *args)


async def outcome(call):
    """A call's (or a coroutine's) result, or its exception as (type, message)."""
    try:
        r = call if inspect.isawaitable(call) else call()
        return "ok", await r if inspect.isawaitable(r) else r
    except Exception as e:
        return "error", type(e), str(e)


def parse(script):
    """ "read(5); seek(0, 2)" -> [("read", 5), ("seek", 0, 2)]"""
    return [(op.split("(")[0].strip(), *eval("(" + op.split("(", 1)[1][:-1] + ",)"))
            if "()" not in op else (op.split("(")[0].strip(),) for op in script.split(";")]


SCRIPTS = {
    "read": ("rb", -1, "read(5); read1(10); peek(1); readline(); readline(3); tell(); readinto(9);"
             "seek(100); read(20000); tell(); seek(-10, 2); read(); read(); read(5); tell();"
             "seek(3, 1); tell(); seek(0); fpos(); read1()"),
    "tiny buffer": ("rb", 7, "read(3); read(10); readline(); peek(1); read1(); read1(100);"
                    "seek(-5, 1); tell(); readline(2); read(9000); tell(); read()"),
    "lines": ("rb", -1, "readlines(1000); readline(); readlines(); readline(); seek(0); readlines(3);"
              "readlines(1)"),
    "raw read": ("rb", 0, "read(5); readall(); read(); seek(2); readinto(10); tell(); fpos();"
                 "readline(); readline(2); seek(0, 2); tell(); write(b'x'); truncate(); fpos()"),
    "update": ("r+b", -1, "read(10); write(b'AB'); tell(); read(3); seek(0); read(12); seek(5);"
               "write(b'xyz' * 3000); tell(); seek(-3, 1); read(10); truncate(); tell();"
               "seek(0, 2); write(b'end'); flush(); fpos(); read(); seek(1); peek(1);"
               "write(b'q'); read1(4); tell()"),
    "update tiny": ("r+b", 5, "read(2); write(b'123'); read(4); seek(1); write(b'a'); peek(1);"
                    "read(3); truncate(20); seek(0); read(); tell(); readline(); seek(1); readinto1(2);"
                    "fpos(); readinto1(3); readinto1(9); fpos()"),
    "write": ("wb", -1, "write(b'abc'); tell(); write(bytes(10000)); tell(); seek(1);"
              "write(b'Z'); flush(); fpos(); truncate(5); tell(); write(memoryview(b'mv'));"
              "write(bytearray(b'ba')); writelines([b'l1', b'l2']); tell(); read();"
              "seek(0, 2); flush(); fpos()"),
    "write tiny": ("wb", 4, "write(b'ab'); write(b'cdef'); write(b'g'); tell(); flush(); fpos();"
                   "write(b'12345678'); tell(); seek(0); write(b'X'); seek(0, 2); tell()"),
    "append": ("ab", -1, "tell(); write(b'tail'); tell(); seek(0); tell(); write(b'more'); tell();"
               "flush(); fpos(); read(1)"),
    "append update": ("a+b", -1, "read(3); seek(0); read(5); write(b'w'); tell(); flush(); seek(0);"
                      "read(); tell(); seek(100, 2); write(b'abc'); readinto(0); tell()"),
    "raw update": ("r+b", 0, "write(b'hello'); seek(0); read(3); write(b'XY'); tell(); fpos();"
                   "truncate(2); seek(0, 2); tell(); readall(); seek(0); readall(); truncate(-1)"),
    "misuse": ("rb", -1, "write(b'x'); truncate(); seek(0, 9); read(-2); seek(1.5); read1(None);"
               "peek(None); peek(1.5); read(2**70); read1(-2**70); peek(2**70); seek(2**70); seek(0, 1.0);"
               "seek(0, None); readline(2**70); readlines(-2**70); seek(0, 2**31); seek(0, -2**70);"
               "writelines([b'x']); attr('mode'); readable(); writable(); seekable(); isatty()"),
    "misuse writer": ("wb", -1, "read(); read1(1); readline(); readinto(2); write('str');"
                      "readable(); writable(); attr('mode'); read(None); read1(None);"
                      "readinto1(2); readline(0); read(2**70); read1(-2**31 - 1); close(); readline(0)"),
    "misuse raw writer": ("wb", 0, "readall(); readline(0); readline(); write(b'x'); close();"
                          "readline(0)"),
    "closed reader": ("rb", -1, "close(); readline(1.5); seek(0, 1.0); readlines(2**70); read(); read(-2); read1(); peek(1); readline(); readinto(1); tell();"
                      "seek(0); fileno(); isatty(); readable(); writable(); seekable(); flush();"
                      "readlines(); write(b'x'); truncate(); detach(); attr('closed');"
                      "attr('mode'); close()"),
    "closed writer": ("r+b", -1, "write(b'abc'); close(); write(b'x'); flush(); truncate();"
                      "seek(0); tell(); read(); writable(); detach(); writelines([])"),
    "closed raw": ("r+b", 0, "close(); read(1.5); seek(0, 1.0); seek(0, 2**40); readlines(1.5); readline(2**70);"
                   "read(); readall(); readinto(1); write(b'x'); seek(0);"
                   "tell(); truncate(); flush(); fileno(); isatty(); readable(); writable();"
                   "seekable(); readline(); readlines(); attr('closed')"),
    "detach": ("r+b", -1, "read(3); write(b'Q'); detach(); read(); write(b'x'); attr('raw');"
               "seek(0, 9); seek(0, 2**31); readline(1.5); read(2**70);"
               "close()"),
    "bad sizes": ("r+b", -1, "read1(None); peek(None); peek('3'); read1('3'); peek(2**70);"
                  "read1(2**70); read(1.5); readline('3'); tell()"),
    "bad text sizes": ("r", -1, "read('3'); read(1.5); readline('3'); read(2); tell(); close();"
                       "read('3'); seekable()"),
    **{f"closed, bad arguments{name}": (mode, buffering, "close(); read('3'); readline('3');"
                                        "readlines('3'); write('x'); write(3); read(None)")
       for name, mode, buffering in (("", "r+b", -1), (" raw", "r+b", 0), (" writer", "wb", -1))},
    **{f"bad buffers{name}": (mode, buffering, "readinto(b'ab'); readinto(None); readinto('ab');"
                              "readinto(3.0); readinto(memoryview(bytearray(4))[::2]); tell();"
                              "close(); readinto(None); peek(None)")
       for name, mode, buffering in (("", "rb", -1), (" raw", "rb", 0), (" writer", "wb", -1))},
}


async def run_script(f, script, raws):
    """Each step's outcome (paths as in the io run, a raw file from detach
    as a token, kept for closing), then close."""
    out = []
    for s in script:
        r = await outcome(step(f, *s))
        if r[0] == "error":
            r = r[0], r[1], r[2].replace("ours", "io")
        elif isinstance(r[1], (io.FileIO, kovra_uring.AsyncFileIO)):
            raws.append(r[1])
            r = "ok", "raw file"
        out.append(r)
    for f in [f, *raws]:
        await outcome(call(f, "close"))
    return out


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("name", SCRIPTS)
def test_script_as_io(tmp_path, backend, name, size, run_on):
    mode, buffering, script = SCRIPTS[name]
    script = parse(script)
    for d in ("io", "ours"):
        (tmp_path / d).mkdir()
        (tmp_path / d / "f").write_bytes(DATA[:SIZES[size]])
    expected = run_on(run_script, io.open(tmp_path / "io" / "f", mode, buffering), script, [])

    async def ours():
        return await run_script(await kovra_uring.open(tmp_path / "ours" / "f", mode, buffering),
                                script, [])

    for s, e, g in zip(script, expected, run_on(ours)):
        assert (s, g) == (s, e)
    assert (tmp_path / "ours" / "f").read_bytes() == (tmp_path / "io" / "f").read_bytes()


@pytest.mark.parametrize("mode", ["r+", "w+"])
def test_text_write_after_read_lands_as_io(tmp_path, backend, mode, run_on):
    """A text write after a read goes where the buffer's reads took it: a
    seek to a cookie that replays bytes fills io's block size, not more."""
    text = "ab\r\ncd" + "é" * 5000

    async def script(f):
        if mode == "w+":
            await call(f, "write", text)
            await call(f, "seek", 0)
        out = [await call(f, "read", 3)]
        await call(f, "seek", await call(f, "tell"))
        out += [await call(f, "read", 100), await call(f, "write", "V"), await call(f, "tell")]
        await call(f, "close")
        return out

    results = []
    for d, opener in [("io", io.open), ("ours", kovra_uring.open)]:
        (tmp_path / d).write_text(text, "utf-8", newline="")

        async def run(opener=opener, path=tmp_path / d):
            f = opener(path, mode, encoding="utf-8", newline="")
            return await script(await f if opener is kovra_uring.open else f)
        results.append((run_on(run), (tmp_path / d).read_bytes()))
    assert results[1] == results[0]


BAD_ARGS = [
    (1.5,), ([b"p"],), ("{p}", 1), ("{p}", "rb", "x"), ("{p}", "r", -1, 1),
    ("{p}", "r", -1, None, 1), ("{p}", "r", -1, None, None, 1), ("{p}", "rw"), ("{p}", "rr"),
    ("{p}", "q"), ("{p}", ""), ("{p}", "tb"), ("{p}", "b"), ("{p}", "+"), ("{p}", "U"),
    ("{p}", "rb", -1, "utf8"), ("{p}", "rb", -1, None, "strict"), ("{p}", "rb", -1, None, None, ""),
    ("{p}", "r", 0), ("{p}", "w", 0), (-1,), ("{p}", "rb", -1, None, None, None, False),
    ("{p}", "rb", -1, None, None, None, True, lambda name, flags: -3),
    ("{p}", "rb", -1, None, None, None, True, lambda name, flags: "3"),
    ("{d}", "rb"), ("{d}", "rb", 0), ("{d}", "r"), ("{d}", "wb"), ("{d}", "rb", -1, None, None,
                                                                  None, True, os.open),
    ("{p}-missing", "rb"), ("{p}", "xb"), (9999, "rb"), ("{p}\0", "rb"),
    ("{p}", "rb", -1.0), ("{p}", "wb", -1.0),
]


@pytest.mark.parametrize("args", BAD_ARGS, ids=repr)
def test_open_refuses_as_io(tmp_path, backend, args, run_on):
    p = tmp_path / "f"
    args = [a.format(p=p, d=tmp_path) if isinstance(a, str) else a for a in args]
    results = []
    for opener in (io.open, kovra_uring.open):
        p.write_bytes(b"data")
        before = fds()
        # ours raises only once awaited, as aiofiles' open does
        call = (lambda: opener(*args)) if opener is io.open else opener(*args)
        results.append((run_on(outcome, call), p.read_bytes(), fds()))
        assert results[-1][0][0] == "error" and results[-1][2] == before
    assert results[0] == results[1]


MODES = [("rb", -1), ("rb", 0), ("wb", -1), ("wb", 0), ("ab", 1), ("xb", -1), ("r+b", 5),
         ("w+b", -1), ("a+b", 0), ("x+b", -1), ("r", -1), ("w", 1), ("a+", -1), ("rt", -1)]


@pytest.mark.parametrize("mode, buffering", MODES)
def test_class_and_attributes_as_io(tmp_path, backend, mode, buffering, run_on):
    p = tmp_path / "f"

    async def describe(opener):
        p.unlink(missing_ok=True)
        p.write_bytes(b"x") if "x" not in mode else None
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            f = await outcome(lambda: opener(p, mode, buffering))
        parts, f = [(w.message.args, w.filename) for w in warned
                    if w.category is RuntimeWarning], f[1]
        parts += [os.fspath(f.name) == str(p)]
        while f is not None:
            parts += [type(f).__name__.removeprefix("Async"), f.mode]
            f, top = getattr(f, "buffer", None) or getattr(f, "raw", None), f
        await call(top, "close")
        return parts

    assert run_on(describe, kovra_uring.open) == run_on(describe, io.open)


# The classes aiofiles programs check a file against, by the io class of
# io.open's file: aiofiles names its own after it (a reader is also a
# buffered file).
AIOFILES_CLASSES = {io.FileIO: {"AsyncFileIO"},
                    io.BufferedReader: {"AsyncBufferedReader", "AsyncBufferedIOBase"},
                    io.BufferedRandom: {"AsyncBufferedReader", "AsyncBufferedIOBase"},
                    io.BufferedWriter: {"AsyncBufferedIOBase"},
                    io.TextIOWrapper: {"AsyncTextIOWrapper"}}


@pytest.mark.parametrize("mode, buffering", MODES)
def test_aiofiles_class_names(tmp_path, mode, buffering):
    from kovra_uring import base, threadpool
    p = tmp_path / "f"
    names = set().union(*AIOFILES_CLASSES.values())

    async def classes():
        p.unlink(missing_ok=True)
        p.write_bytes(b"x") if "x" not in mode else None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            ctx = kovra_uring.open(p, mode, buffering)
        assert isinstance(ctx, base.AiofilesContextManager)
        async with ctx as f:
            assert isinstance(f, base.AsyncBase) and not isinstance(f, base.AsyncIndirectBase)
            return {n for n in names if isinstance(f, getattr(threadpool, n))}

    p.write_bytes(b"x") if "x" not in mode else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with io.open(p, mode, buffering) as f:
            expected = AIOFILES_CLASSES[type(f)]
    assert asyncio.run(classes()) == expected
    for n in names:  # also reached through the module aiofiles defines it in
        assert getattr(threadpool, n) is getattr(threadpool.binary, n, None) \
            or getattr(threadpool, n) is getattr(threadpool.text, n)
    assert threadpool.open is kovra_uring.open
    for s in ["stdin", "stdout", "stderr"]:
        for stream, cls in [(s, threadpool.text.AsyncTextIndirectIOWrapper),
                            (s + "_bytes", threadpool.binary.AsyncIndirectBufferedIOBase)]:
            assert getattr(threadpool, stream) is getattr(kovra_uring, stream)
            assert isinstance(getattr(kovra_uring, stream), cls)
            assert isinstance(getattr(kovra_uring, stream), base.AsyncIndirectBase)


def _peer(path, mode, data):
    """The other end of a FIFO, on a thread: writes `data` in two bursts (the
    first short, so that a read finds less than it asked for before the
    end), or reads all."""
    got = []

    def write():
        with open(path, "wb", buffering=0) as f:
            f.write(data[:100])
            time.sleep(0.05)
            f.write(data[100:])

    t = threading.Thread(target=write if data else lambda: got.append(Path(path).read_bytes()))
    t.start()
    return t, got


@pytest.mark.parametrize("mode, buffering", [("rb", -1), ("rb", 0), ("wb", -1), ("wb", 0),
                                             ("ab", -1)])
def test_fifo_as_io(tmp_path, backend, mode, buffering, run_on):
    """Pipes are streams: no positions, io's errors, and a short read is not
    the end."""
    reading = "r" in mode
    script = parse("read(5); read(20000); readline(); seekable(); tell(); seek(0); read(); read()"
                   if reading
                   else "write(DATA); seekable(); tell(); flush(); write(b'end')")

    async def run(opener, path):
        os.mkfifo(path)
        t, got = _peer(path, "wb" if reading else "rb", DATA if reading else None)
        f = await call(opener, "__call__", path, mode, buffering)
        out = [await outcome(step(f, *s)) for s in script]
        await call(f, "close")
        t.join()  # done by now: all read, or the end written
        return out, got

    before = fds()
    assert run_on(run, kovra_uring.open, tmp_path / "ours") == \
        run_on(run, io.open, tmp_path / "io")
    assert fds() == before


DEVICE_SCRIPTS = [
    ("/dev/zero", "rb", -1, "read(5); read(70000); tell(); seek(100); tell(); read(3); tell()"),
    ("/dev/zero", "rb", 0, "read(5); tell(); seek(9); read(2); tell(); readline(4); tell()"),
    ("/dev/zero", "r+b", 4, "read(5); write(b'abc'); read(3); tell(); flush(); fpos()"),
    ("/dev/null", "wb", 0, "write(b'abc'); tell(); seek(3); tell(); write(b'x'); fpos()"),
    ("/dev/null", "w", -1, "write('é'); tell(); flush(); fpos()"),
]


@pytest.mark.parametrize("by", ["name", "descriptor"])
@pytest.mark.parametrize("path, mode, buffering, script", DEVICE_SCRIPTS)
def test_devices_as_io(backend, path, mode, buffering, script, by, run_on):
    """Devices that seek without keeping a position: tell() is the kernel's,
    as io's."""
    if sys.version_info < (3, 13) and path == "/dev/zero" and buffering:
        pytest.skip("3.12's io: a negative position, after its own read-ahead")
    script = parse(script)
    flags = os.O_RDWR if "+" in mode else os.O_RDONLY if "r" in mode else os.O_WRONLY

    async def run(opener):
        file = path if by == "name" else os.open(path, flags)
        return await run_script(await call(opener, "__call__", file, mode, buffering), script, [])

    assert run_on(run, kovra_uring.open) == run_on(run, io.open)


def test_descriptors_and_opener_as_io(tmp_path, backend, run_on):
    p = tmp_path / "f"
    before = fds()
    dirfd = os.open(tmp_path, os.O_RDONLY)

    def relative(name, flags):
        return os.open(name, flags, dir_fd=dirfd)

    def cases():
        r, w = os.pipe()
        p.write_bytes(DATA)
        return [(w, "wb", True, None, "write(b'through a pipe'); fileno()"),
                (r, "rb", False, None, "read(14); fileno(); seekable()"),
                ("f", "rb", True, relative, "read(7); fpos(); seek(3); read(2); fpos()"),
                (os.open(p, os.O_RDONLY), "rb", True, None, "seek(5); read(4); fpos()"),
                (os.open(p, os.O_RDWR), "r+b", False, None,
                 "read(2); write(b'!'); flush(); fpos(); read(3)")]

    async def run(opener):
        out = []
        for fd, mode, closefd, fd_opener, script in cases():
            f = await call(opener, "__call__", fd, mode, closefd=closefd, opener=fd_opener)
            for s in parse(script):  # descriptor numbers differ between the two runs
                r = await outcome(step(f, *s))
                out.append(("ok", "fd") if s == ("fileno",) and r == ("ok", fd) else r)
            await call(f, "close")
            if not closefd:  # left open, and where
                out.append(await outcome(lambda: os.lseek(fd, 0, os.SEEK_CUR)))
                os.close(fd)
        r, w = os.pipe()  # a stream cannot be opened for update
        out.append(await outcome(lambda: opener(r, "r+b", closefd=False)))
        os.close(r), os.close(w)
        return out

    expected = run_on(run, io.open)
    assert run_on(run, kovra_uring.open) == expected
    os.close(dirfd)
    assert fds() == before


@pytest.mark.parametrize("by", ["opener", "descriptor"])
def test_direct_io_file_as_io(tmp_path, by, backend, run_on):
    """An unbuffered file on an O_DIRECT descriptor reads into and writes
    from the caller's own (aligned) buffers, and each moves the position."""
    p, page = tmp_path / "f", mmap.PAGESIZE
    try:
        os.close(os.open(tmp_path / "probe", os.O_RDWR | os.O_CREAT | os.O_DIRECT))
    except OSError as e:
        pytest.skip(f"no O_DIRECT here: {e}")

    def direct(path, flags):
        return os.open(path, flags | os.O_DIRECT)

    async def run(opener):
        p.write_bytes(bytes(range(256)) * (3 * page // 256))  # in the page cache
        buf, src = mmap.mmap(-1, page), mmap.mmap(-1, page)
        src.write(b"z" * page)
        if by == "opener":
            f = await call(opener, "__call__", p, "r+b", buffering=0, opener=direct)
        else:
            f = await call(opener, "__call__", os.open(p, os.O_RDWR | os.O_DIRECT), "r+b", buffering=0)
        out = []
        for op, arg in [("readinto", buf), ("tell", None), ("readinto", buf), ("tell", None),
                        ("write", src), ("tell", None), ("seek", 0), ("write", src)]:
            out.append(await outcome(call(f, op, *([] if arg is None else [memoryview(arg)
                                                    if isinstance(arg, mmap.mmap) else arg]))))
            out.append(bytes(buf[:4]))
        await call(f, "close")
        return out, p.read_bytes()

    assert run_on(run, kovra_uring.open) == run_on(run, io.open)


@pytest.mark.parametrize("mode, buffering", [("r", -1), ("rb", -1), ("rb", 0)])
@pytest.mark.parametrize("by", ["descriptor", "fileno"])
def test_close_releases_a_known_descriptor_as_io(tmp_path, backend, mode, buffering, by, run_on):
    """A descriptor the caller knows of is closed once close() returns: its
    lock is released and its number is free, as with io."""
    p = tmp_path / "f"
    p.write_bytes(DATA)

    async def run(opener):
        fd = os.open(p, os.O_RDONLY) if by == "descriptor" else p
        f = await call(opener, "__call__", fd, mode, buffering)
        fcntl.flock(f.fileno(), fcntl.LOCK_EX)
        fd = f.fileno()
        await call(f, "read", 10)
        await call(f, "close")
        closed = await outcome(lambda: os.fstat(fd) and None)
        other = os.open(p, os.O_RDONLY)
        try:
            return [closed,
                    await outcome(lambda: fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB))]
        finally:
            os.close(other)

    assert run_on(run, kovra_uring.open) == run_on(run, io.open)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("mode, buffering", [("rb", -1), ("rb", 7), ("r", -1)])
@pytest.mark.parametrize("by", ["fileno", "detach"])
def test_handed_out_at_its_start_as_io(tmp_path, backend, mode, buffering, size, by, run_on):
    """A file just opened for reading hands out its descriptor (a child's
    stdin, sendfile) or its raw file at its start, as io's, whatever the open
    read ahead."""
    p = tmp_path / "f"
    p.write_bytes(DATA[:SIZES[size]])

    async def run(opener):
        f = await call(opener, "__call__", p, mode, buffering)
        if by == "fileno":
            fd = f.fileno()
            out = [os.lseek(fd, 0, os.SEEK_CUR), os.read(fd, 50)]
        else:
            raw = f.detach()
            out = [await call(raw, "tell"), await call(raw, "read", 50)]
            f = raw
        await call(f, "close")
        return out

    assert run_on(run, kovra_uring.open) == run_on(run, io.open)


def _released():
    view = memoryview(bytearray(3))
    view.release()
    return view


ODD_BUFFERS = {
    "strided": lambda: memoryview(bytearray(b"abcdefgh"))[::2],
    "read-only": lambda: memoryview(b"abcd"),
    "released": _released,
    "str": lambda: "abcd",
    "ints": lambda: array.array("i", [1, 2, 3]),
    "2-d": lambda: memoryview(bytearray(b"abcdefgh")).cast("B", (2, 4)),
}


@pytest.mark.parametrize("closed", [False, True])
@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("wb", 0), ("wb", -1),
                                             ("r+b", 4)])
def test_odd_buffers_as_io(tmp_path, backend, mode, buffering, closed, run_on):
    """What readinto and write take, and what they raise for the rest
    (before looking at the mode or whether the file is closed), as io."""
    async def run(opener, path):
        path.write_bytes(DATA[:100])
        out = []
        for make in ODD_BUFFERS.values():
            for op in ("readinto", "readinto1", "write"):
                f = await call(opener, "__call__", path, mode, buffering)
                if closed:
                    await call(f, "close")
                b = make()
                if hasattr(f, op):
                    out.append(await outcome(call(f, op, b)))
                    out.append(await outcome(lambda: bytes(b)))
                await call(f, "close")
        return out, path.read_bytes()

    assert run_on(run, kovra_uring.open, tmp_path / "ours") == \
        run_on(run, io.open, tmp_path / "io")


STREAM = b"".join(b"<%05d>" % i for i in range(20000))  # no two places alike


@pytest.mark.parametrize("inside", [True, False], ids=["async-with", "open-file"])
@pytest.mark.parametrize("mode, buffering", [("rb", -1), ("rb", 0), ("r+b", 7), ("wb", -1),
                                             ("wb", 0), ("wb", 5)])
def test_cancelled_anywhere(tmp_path, backend, mode, buffering, inside, run_on):
    """A task cancelled at any point (in open, a read, a write, close) leaks
    no descriptor, and leaves the file either closed or in a state that
    agrees with its position: what a reader reads next is what is there, and
    what a writer has written is the start of what it was given."""
    writing = "w" in mode
    sizes = [1, 13, 4096, 700, 9000, 3]

    async def work(f, done):
        if writing:
            for n in sizes * 4:
                await f.write(STREAM[done[0]:done[0] + n])
                done[0] += n
                if n == 700:
                    await f.flush()
        else:
            for n in sizes * 4:
                at = done[0]
                got = await (f.read(n) if n != 13 else f.readline())
                end = at + n if n != 13 else DATA.index(b"\n", at) + 1
                assert got == DATA[at:end]
                done[0] += len(got)

    async def victim(p, opened, done):
        if inside:
            async with kovra_uring.open(p, mode, buffering) as f:
                opened.append(f)
                await work(f, done)
        else:
            await work(opened[0], done)

    async def main():
        kovra_uring._loop.get_driver()
        before = fds()
        for i in range(60):
            # A file each: a write left running on a thread by its cancelled
            # caller may land after the close.
            p = tmp_path / f"f{i}"
            p.write_bytes(b"" if writing else DATA)
            opened, done = [] if inside else [await kovra_uring.open(p, mode, buffering)], [0]
            async with anyio.create_task_group() as tg:
                tg.start_soon(victim, p, opened, done)
                for _ in range(i % 15):
                    await anyio.sleep(0 if i % 4 else 0.0002)
                tg.cancel_scope.cancel()
            if not opened:
                continue
            f = opened[0]
            if not inside:
                at = await f.tell()
                if not writing:  # the cancelled read took nothing
                    assert (at, await f.read()) == (done[0], DATA[done[0]:])
                await f.close()
            assert f.closed
            content = p.read_bytes()
            if writing:
                assert content == STREAM[:len(content)]
                if not inside and buffering:  # nothing in flight when the file closed
                    assert len(content) == at
        for _ in range(500):  # closes not waited for (files only read, calls left running)
            if fds() == before:
                break
            await anyio.sleep(0.01)
        assert fds() == before

    run_on(main)


@pytest.mark.parametrize("buffering", [-1, 0])
def test_cancelled_read_to_the_end_moves_nothing(tmp_path, backend, buffering, run_on):
    """read() cancelled after any of the reads it makes up to the end of a
    file leaves the position where it was: the next read() gets it all."""
    data = STREAM * 8  # several of read()'s growing reads
    (tmp_path / "f").write_bytes(data)

    async def main():
        got: list[bytes] = []

        async def read(f):
            got.append(await f.read())

        async with kovra_uring.open(tmp_path / "f", "rb", buffering) as f:
            await f.read(10)
            for passes in range(20):
                async with anyio.create_task_group() as tg:
                    tg.start_soon(read, f)
                    for _ in range(passes):
                        await anyio.lowlevel.checkpoint()
                    tg.cancel_scope.cancel()
                if got:
                    return got[0]
                assert await f.tell() == 10
            return await f.read()

    assert run_on(main) == data[10:]


@pytest.mark.parametrize("mode", ["wb", "ab"])
def test_cancelled_write_never_lands_after_the_next(tmp_path, backend, mode, run_on):
    """A write whose caller left is done before the next call on the file,
    or not at all: never on top of (own position) or after (append mode)
    what the caller wrote next. One still waiting for a worker thread when
    its caller left is dropped, as asyncio drops an executor's call."""
    old, new = b"a" * 1000, b"b" * 1000
    gate = threading.Event()

    async def write(f, done):
        done.append(await f.write(old))

    async def main():
        drv = kovra_uring._loop.get_driver()
        for i in range(10):
            p = tmp_path / f"f{i}"
            f, done = await kovra_uring.open(p, mode, 0), []
            gate.clear()
            try:
                async with anyio.create_task_group() as tg:
                    for _ in range(64):  # every worker thread busy
                        tg.start_soon(drv.run_sync, gate.wait)
                    async with anyio.create_task_group() as victim:
                        victim.start_soon(write, f, done)
                        while not f._busy:
                            await anyio.sleep(0)
                        victim.cancel_scope.cancel()
                    gate.set()
            finally:
                gate.set()
            await f.write(new)
            await f.close()
            assert p.read_bytes() in ([old + new] if done else
                                      [new, old + new] if mode == "ab" and backend == "io_uring"
                                      else [new])

    run_on(main)


@pytest.mark.parametrize("mode", ["rb", "r+b", "wb", "r"])
def test_close_cancelled_behind_a_call_still_closes(tmp_path, backend, mode, run_on):
    """A close() cancelled while another task is in the file's I/O closes
    the file once that task is done with it."""
    p = tmp_path / "f"
    p.write_bytes(DATA * 200)

    async def main():
        kovra_uring._loop.get_driver()
        before = fds()
        f = await kovra_uring.open(p, mode)
        busy = f.buffer if mode == "r" else f

        async def close():
            with anyio.CancelScope() as scope:
                scope.cancel()
                await f.close()

        async with anyio.create_task_group() as tg:
            tg.start_soon(*((f.write, DATA * 200) if "w" in mode else (f.read,)))
            while not busy._busy:
                await anyio.sleep(0)
            tg.start_soon(close)
        assert f.closed
        for _ in range(100):  # a file only read is closed without waiting
            if fds() == before:
                break
            await anyio.sleep(0.01)
        assert fds() == before

    run_on(main)


@pytest.mark.parametrize("call", [
    lambda drv, p: kovra_uring.open(p, "rb"),
    lambda drv, p: kovra_uring.open(p, "wb"),
    lambda drv, p: kovra_uring.open(p, "rb", 0),
    lambda drv, p: drv.read_file(p),
    lambda drv, p: drv.write_file(p, b"x"),
], ids=["rb", "wb", "rb-raw", "read_file", "write_file"])
def test_cancelled_open_of_a_fifo_leaves_nothing_behind(tmp_path, backend, call, run_on):
    """An open waiting for a FIFO's other end, cancelled, leaves no thread
    blocked behind (which would hold the loop's end) and no descriptor, and
    writes nothing to the FIFO once released (no reader: a SIGPIPE, which
    kills a program that keeps the signal's default action)."""
    p = tmp_path / "fifo"
    os.mkfifo(p)
    pipes = []
    signal.signal(signal.SIGPIPE, lambda *args: pipes.append(args))

    async def main():
        drv = kovra_uring._loop.get_driver()
        before = fds()
        with anyio.move_on_after(0.05):
            f = await call(drv, p)
            await f.close()  # rb-raw opens at once: its read would wait
        try:
            for _ in range(200):
                if not drv._threads and fds() == before:
                    break
                await anyio.sleep(0.01)
            assert not drv._threads
            assert fds() == before
        finally:  # a thread still blocked would hold the run's end
            for flags in (os.O_RDONLY, os.O_WRONLY):
                try:
                    os.close(os.open(p, flags | os.O_NONBLOCK))
                except OSError:
                    pass

    try:
        run_on(main)
    finally:
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    assert not pipes


@contextlib.contextmanager
def closed_later(fd):
    """`fd`, closed after 5 s (which ends a thread left blocked on the other
    end) or on leaving: the list it yields holds `fd` while it is open."""
    held, lock = [fd], threading.Lock()

    def close():
        with lock:
            if held:
                os.close(held.pop())

    timer = threading.Timer(5, close)
    timer.start()
    try:
        yield held
    finally:
        timer.cancel()
        close()


def test_a_cancelled_read_file_of_a_stream_leaves_nothing_waiting(backend, run_on):
    """read_file of a stream named under /proc (read on to its end), cancelled
    while its writer stays: nothing is left waiting on it, which would hold
    the loop's end until the writer is done (a thread's read cannot be
    interrupted: the ring only)."""
    if backend == "threads":
        pytest.skip("a thread's read cannot be interrupted")
    r, w = os.pipe()
    async def main():
        drv = kovra_uring._loop.get_driver()
        with anyio.move_on_after(0.05):
            await drv.read_file(f"/proc/self/fd/{r}")
        return len(drv._threads)

    try:
        with closed_later(w):  # a thread left reading ends then
            assert run_on(main) == 0
    finally:
        os.close(r)


@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("r", -1)])
def test_a_cancelled_read_of_a_stream_takes_nothing(backend, mode, buffering, run_on):
    """A read cancelled while its pipe is empty takes none of the data that
    comes later: the next read gets it, and nothing is left waiting on the
    pipe to hold the loop's end while the writer stays."""
    r, w = os.pipe()
    async def main():
        f = await kovra_uring.open(r, mode, buffering, closefd=False)
        with anyio.move_on_after(0.05):
            await f.readline()
        await anyio.sleep(0.05)  # the caller has left by now, whatever it waited in
        os.write(w, b"late\n")
        line = None
        with anyio.move_on_after(2):
            line = await f.readline()
        await f.close()
        return line

    try:
        with closed_later(w) as writer:  # a thread left reading ends then
            assert run_on(main) == (b"late\n" if "b" in mode else "late\n")
            assert writer  # the run ended while the writer stayed
    finally:
        os.close(r)


def stream(kind):
    """The reading and the writing end of a blocking stream of `kind`."""
    if kind == "pipe":
        return os.pipe()
    if kind == "socket":
        a, b = socket.socketpair()
        return a.detach(), b.detach()
    return os.openpty()  # a tty: its writes have no RWF_NOWAIT


@pytest.mark.parametrize("buffering", [0, -1])
def test_a_failed_read_of_a_stream_holds_no_reference_cycle(backend, buffering):
    """A stream's read error (a reset connection) is freed with its last
    reference, not left with the read's frames to the cycle collector."""
    async def main():
        async def fail():
            for _ in range(3):
                a, b = socket.socketpair()
                a.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                b.send(b"x")
                a.close()  # unread data and a zero linger: a reset
                async with kovra_uring.open(b.detach(), "rb", buffering) as f:
                    with pytest.raises(ConnectionResetError):
                        await f.read(10)
        return await cycles_left(fail)

    assert asyncio.run(main()) == 0


@pytest.mark.parametrize("kind", ["pipe", "socket"])
@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("r", -1)])
@pytest.mark.parametrize("how", ["read", "readline", "readall"])
def test_what_a_cancelled_read_of_a_stream_got_comes_next(backend, kind, mode, buffering, how,
                                                          run_on):
    """A read cancelled just after its data came (in the kernel, or on its
    thread) loses none of it, nor what it read before (a part of a line, of
    the stream): the file's next read returns it, and the stream reads as
    a whole as io reads it."""
    r, w = stream(kind)
    writer = [w]
    data = b"la", b"te\nmore\n"

    async def main():
        f = await kovra_uring.open(r, mode, buffering, closefd=False)
        got = []
        scope = anyio.CancelScope()

        async def reading():
            with scope:
                while True:
                    got.append(await (f.read(100) if how == "read" else
                                      f.readline() if how == "readline" else f.read()))

        async with anyio.create_task_group() as tg:
            tg.start_soon(reading)
            for part in data:
                await anyio.sleep(0.05)
                os.write(w, part)
            time.sleep(0.05)  # the read gets it before its caller leaves
            scope.cancel()
        os.close(writer.pop())
        got.append(await f.read())
        await f.close()
        return got[0][:0].join(got)

    try:
        expected = b"".join(data)
        assert run_on(main) == (expected if "b" in mode else expected.decode())
    finally:
        os.close(r)
        for w in writer:
            os.close(w)


@pytest.mark.parametrize("kind", ["pipe", "socket", "tty"])
@pytest.mark.parametrize("how", [0, -1, "driver", "writev"])
def test_a_cancelled_write_to_a_stalled_stream_ends(backend, kind, how, run_on):
    """A write cancelled while its reader does not read leaves nothing
    waiting for room to hold the loop's end while the reader stays (a tty
    too, which says it has room while a few bytes are free)."""
    r, w = stream(kind)
    async def main():
        with anyio.move_on_after(0.1):
            if how == "driver":
                await kovra_uring._loop.get_driver().write(w, b"x" * 1_000_000)
            elif how == "writev":
                await kovra_uring._loop.get_driver().writev(w, [b"x" * 500_000] * 2)
            else:
                f = await kovra_uring.open(w, "wb", how, closefd=False)
                await f.write(b"x" * 1_000_000)
                await f.flush()
        return "ended"

    try:
        with closed_later(r) as reader:  # a write left waiting fails then
            assert run_on(main) == "ended"
            assert reader  # the run ended while the reader stayed
    finally:
        os.close(w)


@pytest.mark.parametrize("kind", ["pipe", "socket", "tty"])
@pytest.mark.parametrize("buffering", [0, -1, "writev"])
def test_a_write_to_a_slow_pipe_writes_it_all(backend, kind, buffering, run_on):
    """As io's write to a blocking pipe: all of it, waiting for the reader,
    where the pipe takes a part at a time (and a tty's write, which the ring
    would make inside its submit, waits without stopping the process)."""
    r, w = stream(kind)
    got = []

    def reader():
        try:
            while data := os.read(r, 5000):
                got.append(data)
                time.sleep(0.001)
        except OSError:  # a tty's end once its other side is closed
            pass

    t = threading.Thread(target=reader)
    t.start()

    async def main():
        if buffering == "writev":  # Driver.writev, as os.writev
            try:
                return await kovra_uring._loop.get_driver().writev(w, [b"x" * 100_000, b"x" * 50_000])
            finally:
                os.close(w)
        async with kovra_uring.open(w, "wb", buffering) as f:
            return await f.write(b"x" * 150_000)

    try:
        assert run_on(main) == 150_000
    finally:
        t.join(10)
        os.close(r)
    assert sum(map(len, got)) == 150_000


@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1)])
def test_a_tty_that_answers_at_once_as_io(backend, mode, buffering, run_on):
    """A tty in non-canonical mode with VMIN 0 answers a read with nothing
    when it has no data: the read returns, as io's, rather than waiting."""
    import termios

    def read_twice(f):
        return [f.read(10), f.read(10)]

    async def ours(fd):
        f = await kovra_uring.open(fd, mode, buffering, closefd=False)
        try:
            return [await f.read(10), await f.read(10)]
        finally:
            await f.close()

    results = []
    for opener in (io.open, kovra_uring.open):
        m, s = os.openpty()
        try:
            attrs = termios.tcgetattr(s)
            attrs[3] &= ~(termios.ICANON | termios.ECHO)
            attrs[6][termios.VMIN] = attrs[6][termios.VTIME] = 0
            termios.tcsetattr(s, termios.TCSANOW, attrs)
            os.write(m, b"x")
            time.sleep(0.05)  # through the line discipline
            if opener is io.open:
                with io.open(s, mode, buffering, closefd=False) as f:
                    results.append(read_twice(f))
            else:
                results.append(run_on(ours, s, timeout=5))
        finally:
            os.close(s)
            os.close(m)
    assert results[1] == results[0]


def drained(fd):
    """How many bytes `fd` (left non-blocking) had to read."""
    os.set_blocking(fd, False)
    n = 0
    with contextlib.suppress(BlockingIOError):
        while data := os.read(fd, 1 << 20):
            n += len(data)
    return n


async def run_steps(f, steps, r, w):
    """The outcomes of `steps` on file `f` (io's or ours) over stream (r, w):
    ("W", data) writes to the stream, ("D",) drains it, others call f."""
    out = []
    for op, *args in steps:
        if op == "W":
            out.append(os.write(w, args[0]))
        elif op == "D":
            out.append(drained(r))
        else:
            try:
                out.append(await step(f, op, *args))
            except BlockingIOError as e:  # its count of what was taken, too
                out.append((type(e), e.args, e.characters_written))
            except Exception as e:
                out.append((type(e), str(e)))
    return out


NONBLOCKING = {
    "raw read": ("rb", 0, "read(5); read(); readall(); readinto(5); W(b'ab'); read(); W(b'ab\\ncd');"
                 "readline(); read(10); readline()"),
    "read": ("rb", -1, "read(5); read(); read1(5); read1(); peek(); readinto(5); readinto1(5);"
             "readline(); W(b'xyz'); read(5); W(b'xyz'); read(); W(b'xy\\nz'); readline(); readline();"
             "W(b'abc'); readinto1(5); readlines()"),
    "text read": ("r", -1, "read(5); readline(); W(b'hello'); read(); W(b'hello'); read(3); read(3);"
                  "read(3); read()"),
    "raw write": ("wb", 0, "write(b'x' * 200000); write(b'x' * 10); D(); write(b'y' * 10); D()"),
    "write": ("wb", -1, "write(b'x' * 200000); write(b'y' * 10); flush(); D(); flush(); D();"
              "write(b'z' * 5000); write(b'z' * 70000); write(b'z' * 5000); D(); flush(); D();"
              "write(b'w' * 100); close()"),
    "detach": ("wb", -1, "write(b'x' * 4_000_000); detach(); D(); close(); D()"),
    "text write": ("w", -1, "write('x' * 200000); flush(); D(); flush(); D(); write('abc'); flush(); D()"),
}


@pytest.mark.parametrize("kind", ["pipe", "socket"])
@pytest.mark.parametrize("name", NONBLOCKING)
def test_a_non_blocking_stream_as_io(backend, kind, name, run_on):
    """A read of a non-blocking stream without data, and a write to one
    without room, answer at once as io's (None, b'', BlockingIOError and its
    count of what was taken), where the ring waited for data or room."""
    mode, buffering, script = NONBLOCKING[name]
    steps = [tuple(op) if op[0] in "WD" else op for op in parse(script)]

    async def run(opener):
        r, w = stream(kind)
        os.set_blocking(r, False)
        os.set_blocking(w, False)
        try:
            f = await call(opener, "__call__", r if "r" in mode else w, mode, buffering,
                           closefd=False)
            return await run_steps(f, steps, r, w)
        finally:
            os.close(r)
            os.close(w)

    assert run_on(run, kovra_uring.open, timeout=10) == asyncio.run(run(io.open))


@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("wb", 0), ("wb", -1)])
def test_set_blocking_after_open_as_io(backend, mode, buffering, run_on):
    """A stream made non-blocking after its first call answers at once, and
    made blocking again waits again, as io's does (a read left waiting for
    data by its cancelled caller takes none of it)."""
    steps = ("W(b'a'); read(1); NB(); read(5); W(b'bc'); read(5); B(); late(); read(4)"
             if "r" in mode else
             "write(b'x' * 10); flush(); NB(); write(b'y' * 200000); write(b'y' * 10); flush();"
             "D(); B(); write(b'z' * 5000); flush(); D()")

    async def run(opener):
        r, w = os.pipe()
        fd = r if "r" in mode else w
        try:
            f = await call(opener, "__call__", fd, mode, buffering, closefd=False)
            out = []
            for op in parse(steps):
                if op[0] in ("NB", "B"):
                    os.set_blocking(fd, op[0] == "B")
                elif op[0] == "late":  # ours: a read cancelled while the pipe is empty
                    if opener is not io.open:
                        with anyio.move_on_after(0.05):
                            await f.read(4)
                        await anyio.sleep(0.05)
                    os.write(w, b"late")
                else:
                    out.extend(await run_steps(f, [op], r, w))
            await call(f, "close")
            return out
        finally:
            os.close(r)
            os.close(w)

    assert run_on(run, kovra_uring.open, timeout=10) == asyncio.run(run(io.open))


def test_unbounded_gather(tmp_path, backend, run_on):
    """As many opens at once as a gather asks for: no more descriptors held
    than the files the program has open (here a limit of 256 for 3,000)."""
    paths = [tmp_path / f"f{i}" for i in range(3000)]

    async def copy(i, p):
        async with kovra_uring.open(p, "wb") as f:
            await f.write(STREAM[i:i + 5000])
        async with kovra_uring.open(p, "rb") as f:
            return await f.read()

    async def main():
        return await gather(*map(copy, range(3000), paths))

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    try:
        got = run_on(main, timeout=60)
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert got == [STREAM[i:i + 5000] for i in range(3000)]
    assert [p.read_bytes() for p in paths] == got


def test_tasks_sharing_a_file(tmp_path, backend, run_on):
    """Two tasks on one file see what two threads see with io: whole calls,
    in some order."""
    p = tmp_path / "f"
    records = [b"%06d|" % i * (1 + i % 700) + b"\n" for i in range(400)]

    async def main():
        async with kovra_uring.open(p, "wb", 1000) as f:
            await gather(*(f.write(r) for r in records), f.flush(), f.tell())
        async with kovra_uring.open(p, "rb", 1000) as f:
            async def lines():
                return [line async for line in f]
            return await gather(lines(), lines())

    first, second = run_on(main)
    assert sorted(p.read_bytes().splitlines(True)) == sorted(records) == sorted(first + second)


def test_calls_behind_a_close_and_a_failed_write_as_io(tmp_path, backend, run_on):
    """A read queued behind a close fails as on a closed file; a write that
    failed is dropped, not written again by the close."""
    p = tmp_path / "f"
    p.write_bytes(DATA * 40)

    async def run(opener):
        f = await call(opener, "__call__", p, "rb")
        if opener is io.open:  # one thread: the close comes first
            f.close()
            behind = [await outcome(step(f, "read", 100))]
        else:  # a call in flight, a close waiting for it, a read behind the close
            behind = []

            async def run_step(op):
                behind.append(await outcome(step(f, *op)))
            await f._acquire()  # the call in flight: held until both wait
            async with anyio.create_task_group() as tg:
                for op, started in [(("close",), lambda: f._waiters),
                                    (("read", 100), lambda: len(f._waiters) > 1)]:
                    tg.start_soon(run_step, op)
                    while not started():
                        await anyio.sleep(0)
                f._release()
            behind = behind[1:]
        f = await call(opener, "__call__", "/dev/full", "wb")
        return behind + [await outcome(step(f, "write", b"x" * 100000)),
                         await outcome(step(f, "close"))]

    assert run_on(run, kovra_uring.open) == run_on(run, io.open)


def test_growing_file_and_finalization(tmp_path, backend, run_on):
    p = tmp_path / "f"
    p.write_bytes(b"start\n")

    async def main(opener):
        f = await call(opener, "__call__", p, "rb")
        with p.open("ab", buffering=0) as other:
            other.write(b"more\n")  # the end the read-ahead saw at open is no longer the end
            first = await call(f, "read")
            other.write(b"again\n")
            out = first, await call(f, "read"), await call(f, "read")
        await call(f, "close")
        p.write_bytes(b"start\n")
        return out

    assert run_on(main, kovra_uring.open) == run_on(main, io.open)

    async def unclosed():
        f = await kovra_uring.open(p, "wb")
        await f.write(b"flushed when collected")
        return fds()

    with pytest.warns(ResourceWarning):
        before = fds()
        run_on(unclosed)
        assert fds() == before
    assert p.read_bytes() == b"flushed when collected"


TYPED_USE = '''
import os
import pathlib
from typing import assert_type
import kovra_uring
from kovra_uring import AsyncBufferedRandom, AsyncBufferedReader, AsyncBufferedWriter, AsyncFileIO


async def use(p: str) -> None:
    async with kovra_uring.open(p, "rb") as f:
        assert_type(f, AsyncBufferedReader)
        assert_type(f.raw, AsyncFileIO)
        data: bytes = await f.read()
        async for line in f:
            assert_type(line, bytes)
    async with kovra_uring.open(p, "wb") as w:
        assert_type(w, AsyncBufferedWriter)
        n: int = await w.write(data)
    async with kovra_uring.open(p, "r+b") as r:
        assert_type(r, AsyncBufferedRandom)
    raw = await kovra_uring.open(p, "rb", buffering=0)
    assert_type(raw, AsyncFileIO)
    assert_type(await raw.read(n), bytes)
    async with kovra_uring.open(p) as t:
        text: str = await t.read()
    async with kovra_uring.tempfile.TemporaryDirectory(dir=pathlib.Path(p)) as d:
        assert_type(d, str)
    async with kovra_uring.tempfile.TemporaryFile() as tf:
        assert_type(tf, AsyncBufferedRandom)
    async with kovra_uring.tempfile.NamedTemporaryFile("w+", dir=pathlib.Path(d)) as nt:
        assert_type(await nt.read(), str)
    async with kovra_uring.tempfile.SpooledTemporaryFile(mode="w+") as sp:
        assert_type(await sp.read(), str)
    assert_type(kovra_uring.read_files([p]), list[bytes])
    for _, got in kovra_uring.iread_files([p], return_exceptions=True):
        assert_type(got, bytes | Exception)
    assert_type(kovra_uring.write_files([(p, data)]), list[int])
    assert_type(kovra_uring.stat_files([p]), list[os.stat_result])
    async with kovra_uring.Driver() as io:
        assert_type(await io.listdir(os.fsencode(p)), list[bytes])
    # aiofiles' names, as its users annotate with them
    t2: kovra_uring.threadpool.text.AsyncTextIOWrapper = await kovra_uring.open(p)
    b2: kovra_uring.threadpool.binary.AsyncBufferedReader = await kovra_uring.open(p, "rb")
    w2: kovra_uring.threadpool.binary.AsyncBufferedIOBase = await kovra_uring.open(p, "ab")
    ctx: kovra_uring.base.AiofilesContextManager[AsyncFileIO] = kovra_uring.open(p, "rb", 0)


async def misuse(p: str) -> None:
    kovra_uring.open(p, "rb").read()  # type: ignore[attr-defined]
    async with kovra_uring.open(p, "wb") as w:
        await w.write("text")  # type: ignore[arg-type]
    async with kovra_uring.open(p, "rb") as f:
        f.peek()  # type: ignore[unused-coroutine]
'''


def test_user_code_type_checks(tmp_path, monkeypatch):
    mypy = pytest.importorskip("mypy.api")
    (tmp_path / "use.py").write_text(TYPED_USE)
    package_dir = os.path.dirname(os.path.dirname(kovra_uring.__file__))
    if "-packages" not in package_dir:  # the source tree: mypy finds an installed one itself
        monkeypatch.setenv("MYPYPATH", package_dir)
    out, err, status = mypy.run(["--strict", "--follow-imports=silent", "--cache-dir",
                                 str(tmp_path / "cache"), str(tmp_path / "use.py")])
    assert status == 0, out + err


@pytest.mark.parametrize("mode", ["rb", "r"])
def test_detach_refused_while_a_read_waits(backend, mode, run_on):
    """A file whose read waits (an empty pipe) cannot be detached from
    under it; once the read is done, it can."""
    r, w = os.pipe()

    async def main():
        f = await kovra_uring.open(r, mode, closefd=False)
        async with anyio.create_task_group() as tg:
            tg.start_soon(f.read, 3)
            await anyio.sleep(0.05)
            with pytest.raises(RuntimeError, match="another task"):
                f.detach()
            os.write(w, b"abc")
        f.detach()

    run_on(main)
    os.close(r)
    os.close(w)


def test_stream_by_name_opens_before_its_data(backend, run_on):
    r, w = os.pipe()

    async def main():
        with anyio.fail_after(5):
            f = await kovra_uring.open(f"/proc/self/fd/{r}", "rb")
        os.write(w, b"written after the open")
        os.close(w)
        async with f:
            return await f.read()

    assert run_on(main) == b"written after the open"
    os.close(r)


def test_answers_are_awaitable_too(tmp_path, backend, run_on):
    """readable() and the like answer at once, as io's, or awaited, as
    aiofiles' (text files pass on their buffer's answers)."""
    p = tmp_path / "f"

    async def main():
        async with kovra_uring.open(p, "w+b") as f, kovra_uring.open(p, "r") as t:
            nows = [getattr(g, n)() for g in (f, f.raw, t)
                    for n in ("readable", "writable", "seekable", "isatty")]
            return [(now == await now, bool(now)) for now in nows]

    with io.open(p, "w+b") as f, io.open(p, "r") as t:
        expected = [(True, getattr(g, n)()) for g in (f, f.raw, t)
                    for n in ("readable", "writable", "seekable", "isatty")]
    assert run_on(main) == expected


@pytest.mark.parametrize("mode", ["wb", "ab", "r+b"])
@pytest.mark.parametrize("sizes", [(9000,), (4500, 4500), (4500, 20000), (9000, 9000)])
def test_writes_past_the_file_size_limit_as_io(tmp_path, backend, mode, sizes, run_on):
    """A write cut short by the limit keeps the rest buffered, its error
    raised by the next flush or close; one that fails drops what io drops."""
    p = tmp_path / "f"

    async def run(opener):
        p.write_bytes(b"")
        f = await call(opener, "__call__", p, mode, 8192)
        out = [await outcome(step(f, "write", b"%d" % i * n)) for i, n in enumerate(sizes)]
        out += [await outcome(step(f, op)) for op in ("flush", "close", "close")]
        return out, p.read_bytes()

    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, hard))
    try:
        assert run_on(run, kovra_uring.open) == run_on(run, io.open)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, handler)
