"""The driver's handling of hostile input, refused io_uring, late
completions and a failing ring, on the real kernel. Faults are injected by
wrapping the real Ring the driver constructs."""

import array
import asyncio
import errno
import gc
import mmap
import os
import sys
import warnings

import pytest
from leaks import open_fds, uring_maps
from test_driver import backend, refuse, run  # noqa: F401 (a fixture)

import kovra_uring._convert as convert
import kovra_uring._driver as driver
from _uring import Ring
from kovra_uring import Driver, RingUnavailableWarning
from kovra_uring._loop import get_driver


class WatchedRing:
    """A real Ring whose method calls are logged and can be made to raise."""

    def __init__(self, entries=256):
        self._ring = Ring(entries)
        self.log = []     # (method, args, result)
        self.faults = {}  # method -> exception it raises instead

    def __getattr__(self, name):
        attr = getattr(self._ring, name)
        if not callable(attr):
            return attr

        def call(*args):
            if (fault := self.faults.get(name)) is not None:
                # A fresh exception: one that this frame referred to would
                # keep the frame, and the ring, alive until a collection.
                raise type(fault)(*fault.args)
            out = attr(*args)
            self.log.append((name, args, out))
            return out
        return call


@pytest.fixture
def watched(monkeypatch):
    rings = []

    def make(entries=256):
        rings.append(WatchedRing(entries))
        return rings[-1]
    monkeypatch.setattr(driver, "Ring", make)
    return rings


def outcome(fn, *args):
    """What a call gives: its result, or its exception's type, errno,
    filenames and text."""
    try:
        return "ok", fn(*args)
    except Exception as e:
        return (type(e), getattr(e, "errno", None), getattr(e, "filename", None),
                getattr(e, "filename2", None), str(e))


async def aoutcome(coro):
    try:
        return "ok", await coro
    except Exception as e:
        return (type(e), getattr(e, "errno", None), getattr(e, "filename", None),
                getattr(e, "filename2", None), str(e))


# -- io_uring refused ----------------------------------------------------------

@pytest.mark.parametrize("code", [errno.EPERM, errno.ENOSYS, errno.ENOMEM])
def test_refused_ring_falls_back_to_threads(tmp_path, monkeypatch, code):
    monkeypatch.setattr(driver, "Ring", refuse(code))
    f = tmp_path / "f"

    async def main():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            io = Driver()
        async with io:
            await io.write_file(f, b"hello")
            fd = await io.open(f, os.O_RDWR)
            assert await io.write(fd, b"HE", 0) == 2
            assert await io.read(fd, 10, 0) == b"HEllo"
            await io.close(fd)
            out = await io.read_file(f), await io.stat(f), await aoutcome(io.stat(tmp_path / "x"))
        return io, caught, out

    io, caught, (data, st, missing) = run(main())
    assert io.backend == "threads" and data == b"HEllo" and st.st_size == 5
    assert missing == outcome(os.stat, tmp_path / "x")
    assert [w.category for w in caught] == [RingUnavailableWarning]
    assert os.strerror(code) in str(caught[0].message)


@pytest.mark.parametrize("make", ["Driver()", "get_driver()"])
def test_fallback_warning_points_at_the_caller(monkeypatch, make):
    monkeypatch.setattr(driver, "Ring", refuse(errno.EPERM))

    async def main():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            line = sys._getframe().f_lineno + 1
            io = Driver() if make == "Driver()" else get_driver()
        await io.aclose()
        return [(w.filename, w.lineno) for w in caught], line

    caught, line = run(main())
    assert caught == [(__file__, line)]


def test_other_ring_errors_are_raised(monkeypatch):
    monkeypatch.setattr(driver, "Ring", refuse(errno.EMFILE))

    async def main():
        Driver()

    with pytest.raises(OSError) as info:
        run(main())
    assert info.value.errno == errno.EMFILE


# -- data and paths as os takes them ------------------------------------------

@pytest.mark.parametrize("op", ["write_file", "write", "writev"])
@pytest.mark.parametrize("bad", [5, "text", None, 2.5])
def test_data_must_be_bytes_like(tmp_path, backend, op, bad):
    f = tmp_path / "f"
    f.write_bytes(b"keep")
    fd = os.open(f, os.O_RDWR)
    os_call = {"write_file": lambda: os.write(fd, bad), "write": lambda: os.write(fd, bad),
               "writev": lambda: os.writev(fd, [b"a", bad])}[op]

    async def main():
        async with Driver() as io:
            call = {"write_file": lambda: io.write_file(f, bad),
                    "write": lambda: io.write(fd, bad, 0),
                    "writev": lambda: io.writev(fd, [b"a", bad], 0)}[op]
            return await aoutcome(call())

    try:
        got, want = run(main()), outcome(os_call)
    finally:
        os.close(fd)
    assert got == want and want[0] is TypeError
    assert f.read_bytes() == b"keep"


@pytest.mark.parametrize("fixed", [True, False])
def test_bytes_like_data_is_written(tmp_path, backend, fixed):
    f = tmp_path / "f"
    ints = array.array("i", [1, 2, 3])

    async def main():
        async with Driver(fixed=fixed) as io:
            await io.write_file(f, bytearray(b"abc"))
            fd = await io.open(f, os.O_RDWR)
            assert await io.write(fd, memoryview(b"xyz")[1:], 3) == 2
            assert await io.writev(fd, [bytearray(b"-"), ints], 5) == 13
            await io.close(fd)
            return await io.read_file(f)

    assert run(main()) == b"abcyz-" + ints.tobytes()


PATH_OPS = {  # driver method, os function, arguments (which names to pass)
    "open": ("open", lambda p: os.open(p, os.O_RDONLY), ("p",)),
    "stat": ("stat", os.stat, ("p",)),
    "lstat": ("lstat", os.lstat, ("p",)),
    "mkdir": ("mkdir", os.mkdir, ("p",)),
    "unlink": ("unlink", os.unlink, ("p",)),
    "rmdir": ("rmdir", os.rmdir, ("p",)),
    "rename": ("rename", os.rename, ("p", "q")),
    "symlink": ("symlink", os.symlink, ("q", "p")),
    "link": ("link", os.link, ("p", "q")),
    "listdir": ("listdir", os.listdir, ("p",)),
}


@pytest.mark.parametrize("op, where", [
    *((op, w) for op, (_, _, args) in sorted(PATH_OPS.items()) for w in args),
    ("read_file", "p"), ("write_file", "p"), ("exists", "p")])
def test_nul_in_path_raises_what_os_raises(tmp_path, backend, op, where):
    names = {"p": str(tmp_path / "a"), "q": str(tmp_path / "b")}
    names[where] += "\0x"

    async def main():
        async with Driver() as io:
            if op == "read_file":
                return await aoutcome(io.read_file(names["p"]))
            if op == "write_file":
                return await aoutcome(io.write_file(names["p"], b"x"))
            if op == "exists":
                return await io.exists(names["p"])
            method, _, args = PATH_OPS[op]
            return await aoutcome(getattr(io, method)(*(names[a] for a in args)))

    got = run(main())
    if op == "exists":
        assert got is os.path.exists(names["p"]) is False
    elif op in ("read_file", "write_file"):
        assert got == outcome(os.open, names["p"], os.O_RDONLY)
    else:
        method, os_fn, args = PATH_OPS[op]
        assert got == outcome(os_fn, *(names[a] for a in args))
    assert got == False or got[0] is ValueError  # noqa: E712
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", [b"caf\xe9", "caf\udce9", b"caf\xc3\xa9", "café"])
def test_names_that_are_not_utf8_work_as_with_os(tmp_path, backend, name):
    """Each call's outcome matches os on the same name; a failing call gives
    the same exception, filenames included."""
    base = os.fsencode(tmp_path) if isinstance(name, bytes) else str(tmp_path)
    p = os.path.join(base, name)
    q = p + (b".2" if isinstance(name, bytes) else ".2")

    async def main():
        got = []
        async with Driver() as io:
            got.append(await aoutcome(io.stat(p)))
            got.append(await aoutcome(io.read_file(p)))
            await io.write_file(p, b"data")
            got.append(await io.read_file(p))
            got.append((await io.stat(p)).st_size)
            got.append(await io.exists(p))
            fd = await io.open(p, os.O_RDWR)
            got.append(await io.read(fd, 10, 0))
            await io.close(fd)
            await io.link(p, q)
            await io.rename(q, q + q[-1:])
            await io.symlink(p, q)
            got.append((await io.lstat(q)).st_size == len(os.fsencode(p)))
            got.append(sorted(await io.listdir(base)))
            got.append(sorted(e.name for e in await io.scandir(base)))
            for x in (q, q + q[-1:], p):
                await io.unlink(x)
            await io.mkdir(p)
            got.append(await aoutcome(io.mkdir(p)))
            await io.rmdir(p)
        return got

    got = run(main())
    assert got[0] == outcome(os.stat, p) and got[0][0] is FileNotFoundError
    assert got[1] == got[0]
    assert got[2:7] == [b"data", 4, True, b"data", True]
    assert got[7] == got[8] == sorted(os.path.basename(x) for x in (p, q, q + q[-1:]))
    os.mkdir(p)
    try:
        assert got[9] == outcome(os.mkdir, p)
    finally:
        os.rmdir(p)
    assert os.listdir(tmp_path) == []


def test_fstat_exists_listdir_scandir_match_os(tmp_path, backend):
    (tmp_path / "f").write_bytes(b"x" * 10)
    (tmp_path / "d").mkdir()
    os.symlink("missing", tmp_path / "dangling")

    async def main():
        async with Driver() as io:
            fd = await io.open(tmp_path / "f")
            st = await io.fstat(fd)
            await io.close(fd)
            bad = await aoutcome(io.fstat(fd))
            exists = [await io.exists(tmp_path / n) for n in ("f", "d", "dangling", "none")]
            entries = {e.name: e.is_dir() for e in await io.scandir(tmp_path)}
            return st, bad, exists, sorted(await io.listdir(tmp_path)), entries, \
                await aoutcome(io.listdir(tmp_path / "none"))

    st, bad, exists, names, entries, missing = run(main())
    assert (st.st_size, st.st_ino) == (10, os.stat(tmp_path / "f").st_ino)
    assert bad[:2] == (OSError, errno.EBADF)
    assert exists == [True, True, False, False]
    assert names == ["d", "dangling", "f"] and entries == {"d": True, "dangling": False,
                                                           "f": False}
    assert missing == outcome(os.listdir, tmp_path / "none")


# -- writes of 4 GiB and more --------------------------------------------------

@pytest.mark.parametrize("fixed", [True, False])
def test_long_data_is_written_in_parts(tmp_path, backend, monkeypatch, fixed):
    monkeypatch.setattr(convert, "MAX_WRITE", 1000)
    data = os.urandom(4500)
    f = tmp_path / "f"

    async def main():
        async with Driver(fixed=fixed) as io:
            await io.write_file(f, data)
            whole = await io.read_file(f)
            fd = await io.open(f, os.O_RDWR)
            n = await io.write(fd, memoryview(data)[::-1].tobytes(), 100)
            m = await io.write(fd, bytearray(b"y" * 2500))  # at the file position, 0
            await io.close(fd)
            return whole, n, m

    whole, n, m = run(main())
    assert whole == data and (n, m) == (4500, 2500)
    assert f.read_bytes() == b"y" * 2500 + data[::-1][2400:]


def test_writes_of_4_gib_and_more_land_whole(tmp_path):
    size = (4 << 30) + 4096 + 3
    marks = {0: b"head", (1 << 30) - 2: b"<>", (4 << 30) - 1: b"\xff\x01", size - 4: b"tail"}
    # In memory where there is room for it: the disk is not what is tested.
    shm = os.statvfs("/dev/shm") if os.path.isdir("/dev/shm") else None
    where = "/dev/shm" if shm and shm.f_bavail * shm.f_frsize > 2 * size else tmp_path
    f = os.path.join(where, f"driver-test-{os.getpid()}")
    with mmap.mmap(-1, size) as buf:  # untouched pages cost no memory
        for off, mark in marks.items():
            buf[off:off + len(mark)] = mark

        async def main():
            async with Driver() as io:
                await io.write_file(f, buf)

        try:
            run(main(), timeout=300)
            assert os.stat(f).st_size == size
            with open(f, "rb") as r:
                for off, mark in marks.items():
                    r.seek(off)
                    assert r.read(len(mark)) == mark
                r.seek(3 << 30)
                assert r.read(4096) == bytes(4096)
        finally:
            if os.path.exists(f):
                os.unlink(f)


# -- slots, descriptors and the ring are released ------------------------------

@pytest.mark.parametrize("op, method", [("read_file", "submit_open_read"),
                                        ("write_file", "submit_open_write")])
@pytest.mark.parametrize("fault", [RuntimeError("boom"), MemoryError(), OverflowError("big")])
def test_slot_is_returned_on_every_exception(tmp_path, watched, op, method, fault):
    async def main():
        async with Driver(slots=2) as io:
            watched[0].faults[method] = fault
            args = (tmp_path / "f", b"x")[:2 if op == "write_file" else 1]
            with pytest.raises(type(fault)):
                await getattr(io, op)(*args)
            return sorted(io._slots)

    assert run(main()) == [0, 1]


@pytest.mark.parametrize("fault", [OSError(errno.EBADF, "refused"), OSError("submission queue full")])
def test_slot_is_returned_when_the_close_is_refused(tmp_path, watched, fault):
    (tmp_path / "f").write_bytes(b"data")

    async def main():
        async with Driver(slots=2) as io:
            watched[0].faults["submit_close_fixed"] = fault
            data = await io.read_file(tmp_path / "f")
            watched[0].faults.clear()
            await asyncio.sleep(0.01)
            return data, sorted(io._slots)

    assert run(main()) == (b"data", [0, 1])


@pytest.mark.parametrize("size", [-1, 0, 1 << 32, 1 << 63, 1 << 64])
def test_read_sizes_out_of_range_raise_what_os_raises(tmp_path, backend, size):
    (tmp_path / "f").write_bytes(b"data")
    fd = os.open(tmp_path / "f", os.O_RDONLY)

    async def main():
        async with Driver() as io:
            return [await aoutcome(io.read(fd, size, offset)) for offset in (None, 0)]

    try:
        expected = [outcome(os.read, fd, size), outcome(os.pread, fd, size, 0)]
        os.lseek(fd, 0, os.SEEK_SET)
        assert run(main()) == expected
    finally:
        os.close(fd)


@pytest.mark.parametrize("fixed", [True, False])
def test_read_file_doubles_its_reads(tmp_path, watched, fixed):
    data = os.urandom(7 * 16384 + 5)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with Driver(fixed=fixed) as io:
            return await io.read_file(tmp_path / "f")

    assert run(main()) == data
    reads = [m for m, _, _ in watched[0].log if m.startswith(("submit_read", "submit_open_read"))]
    assert len(reads) == 4  # 16, 16, 32 and 64 KiB


def test_cancelled_close_waiting_for_room_still_closes(watched):
    async def main():
        async with Driver() as io:
            r, w = os.pipe()
            pending = asyncio.ensure_future(io.read(r, 1))  # keeps the ring busy
            await asyncio.sleep(0)
            fd = os.open(__file__, os.O_RDONLY)
            watched[0].faults["submit_close"] = OSError(errno.EBUSY, "no room for now")
            close = asyncio.ensure_future(io.close(fd))
            for _ in range(3):
                await asyncio.sleep(0)
            close.cancel()
            await asyncio.gather(close, return_exceptions=True)
            del watched[0].faults["submit_close"]
            await io.stat(__file__)  # a flush, and room
            os.write(w, b"x")
            await pending
            await asyncio.sleep(0.05)
        for n in r, w:
            os.close(n)
        return fd

    fd = run(main())
    assert not os.path.exists(f"/proc/self/fd/{fd}") or os.readlink(f"/proc/self/fd/{fd}") != __file__


class HoldingRing(WatchedRing):
    """A ring whose every other reap finds nothing, though completions are
    there: the driver's reader then drains the eventfd and finds them on its
    second reap, so nothing will signal it about what they lead to."""

    held = False

    def reap(self):
        self.held = not self.held
        return [] if self.held else self._ring.reap()


def test_batch_reaped_after_the_drain_still_gets_its_flush(tmp_path, monkeypatch):
    monkeypatch.setattr(driver, "Ring", HoldingRing)
    data = os.urandom(300_000)
    (tmp_path / "f").write_bytes(data)

    async def chain(io, fd):
        # Each operation is queued by the coroutine the previous one woke.
        return [await io.read(fd, 1, i) for i in range(40)]

    async def main():
        async with Driver() as io:
            fd = await io.open(tmp_path / "f")
            got = await asyncio.gather(chain(io, fd), io.read_file(tmp_path / "f"),
                                       io.write_file(tmp_path / "g", data))
            await io.close(fd)
            return got

    singles, whole, _ = run(main(), timeout=10)
    assert b"".join(singles) == data[:40] and whole == data
    assert (tmp_path / "g").read_bytes() == data


def test_aclose_closes_the_ring_at_once(tmp_path):
    async def main():
        # A Ring an earlier test left in a reference cycle (a frame kept by
        # its own traceback, say) would otherwise close during this one.
        gc.collect()
        before = open_fds(), uring_maps()
        io = Driver()
        await io.read_file(__file__)
        await io.aclose()
        return io, before, (open_fds(), uring_maps())

    io, before, after = run(main())
    assert after == before and io.backend == "io_uring"
    with pytest.raises(RuntimeError, match="driver is closed"):
        run(io.stat(tmp_path))


@pytest.mark.parametrize("fixed", [True, False])
def test_descriptor_is_closed_only_after_its_abandoned_read(tmp_path, watched, fixed):
    """However late a read_file is cancelled, its descriptor (or slot) is
    closed only after every read on it was reaped: a read punted to a kernel
    worker looks the number up when it runs and would read whatever got it."""
    f = tmp_path / "f"
    f.write_bytes(os.urandom(3 << 20))  # reads of 1 MiB and more: punted to workers

    async def main():
        io, ticks, done = Driver(fixed=fixed), 0, False
        while not done:
            task = asyncio.create_task(io.read_file(f))
            for _ in range(ticks):
                await asyncio.sleep(0)
            task.cancel()
            try:
                done = len(await task) == 3 << 20
            except asyncio.CancelledError:
                ticks += 1
        await io.aclose()
        return ticks

    assert run(main()) > 3
    reads, reaped, checked = {}, set(), 0
    for method, args, out in watched[0].log:
        if method == "submit_read":
            reads.setdefault(("fd", args[0]), []).append(out)
        elif method == "submit_read_fixed":
            reads.setdefault(("slot", args[0]), []).append(out)
        elif method == "submit_open_read":
            reads.setdefault(("slot", args[4]), []).append(out[1])
        elif method == "reap":
            reaped.update(t[0] for t in out)
        elif method in ("submit_close", "submit_close_fixed"):
            key = ("fd" if method == "submit_close" else "slot", args[0])
            assert all(r in reaped for r in reads.pop(key, [])), "closed under a read"
            checked += 1
    assert checked > 3


# -- a failing ring ------------------------------------------------------------

def test_failing_submit_fails_aclose_and_waiting_pushers(watched):
    r, w = os.pipe()

    async def main():
        io = Driver()
        ring = watched[0]
        reader = asyncio.create_task(io.read(r, 10))
        await asyncio.sleep(0.01)
        ring.faults["submit_read"] = OSError("submission queue full")
        pusher = asyncio.create_task(io.read(r, 10))
        await asyncio.sleep(0)
        ring.faults = {"submit": OSError(errno.EBADR, os.strerror(errno.EBADR))}
        failed = await aoutcome(pusher), await aoutcome(io.aclose())
        ring.faults = {}
        os.write(w, b"late")
        got = await reader
        await io.aclose()  # now it can finish
        return failed, got, io

    try:
        (pushed, closed), got, io = run(main(), timeout=10)
    finally:
        os.close(r)
        os.close(w)
    assert pushed[:2] == closed[:2] == (OSError, errno.EBADR)
    assert got == b"late" and io.ring is None


def test_failing_action_does_not_strand_the_batch(tmp_path):
    (tmp_path / "f").write_bytes(b"0123456789")
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    errors = []

    def explode(t):
        raise ZeroDivisionError("action")

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        async with Driver() as io:
            # One tick, so one submit and one batch of (page-cached) completions.
            futures = []
            for i in range(6):
                if i % 3 == 0:
                    io._queue(explode, io.ring.submit_read, fd, 0, 1)
                futures.append(io._track(io._try_push(io.ring.submit_read, fd, i, 2)))
            return [data for _, _, data in await asyncio.gather(*futures)]

    try:
        assert run(main()) == [b"01", b"12", b"23", b"34", b"45", b"56"]
    finally:
        os.close(fd)
    assert [type(c["exception"]) for c in errors] == [ZeroDivisionError] * 2
