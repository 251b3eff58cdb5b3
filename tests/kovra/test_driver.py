"""The driver against the real kernel."""

import asyncio
import ctypes
import concurrent.futures
import errno
import mmap
import os
import random
import resource
import select
import signal
import socket
import sys
import termios
import warnings
from pathlib import Path

import anyio
import pytest
from leaks import cycles_left, open_fds, uring_maps
from loops import gather

import kovra_uring._driver as driver
import kovra_uring._loop
from kovra_uring import Driver, RingUnavailableWarning
from kovra_uring._convert import FIRST_READ, STAT_FROM


def refuse(code):
    """A Ring constructor that fails as io_uring_setup does where it is refused."""
    def ring(entries=256):
        raise OSError(code, os.strerror(code))
    return ring


@pytest.fixture(params=["io_uring", "threads"])
def backend(request, monkeypatch):
    """Runs a test on the ring, then on the thread pool the driver falls back to."""
    if request.param == "threads":
        monkeypatch.setattr(driver, "Ring", refuse(errno.EPERM))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RingUnavailableWarning)
        yield request.param


def run(coro, timeout=20):
    async def bounded():
        task = asyncio.ensure_future(coro)
        done, _ = await asyncio.wait({task}, timeout=timeout)
        while not done:  # hung: cancel again while the driver's close() waits too
            task.cancel()
            done, _ = await asyncio.wait({task}, timeout=1)
        if task.cancelled():
            raise TimeoutError(f"no result in {timeout} s")
        return task.result()
    return asyncio.run(bounded())


def make_files(root, n):
    for i in range(n):
        (root / f"f{i}").write_bytes(bytes([i % 251]) * (100 + 37 * i))
    return [root / f"f{i}" for i in range(n)]


@pytest.mark.parametrize("fixed", [True, False])
def test_hundreds_of_coroutines_share_one_ring(tmp_path, fixed, run_on):
    paths = make_files(tmp_path, 300)

    async def main():
        async with Driver(64, fixed=fixed) as io:
            out = await gather(*(io.read_file(p) for p in paths),
                               *(io.stat(p) for p in paths))
        return out, io

    out, io = run_on(main)
    assert out[:300] == [p.read_bytes() for p in paths]
    assert [st.st_size for st in out[300:]] == [p.stat().st_size for p in paths]
    assert io.ring is None and (io.chains > 0) == fixed


@pytest.mark.parametrize("fixed", [True, False])
def test_completion_queue_overflow_does_not_hang(tmp_path, fixed, run_on):
    paths = make_files(tmp_path, 200)

    async def main():
        async with Driver(8, fixed=fixed) as io:  # CQ of 16 entries, 400-600 completions
            return await gather(*(io.read_file(p) for p in paths)), io

    out, io = run_on(main, timeout=10)
    assert out == [p.read_bytes() for p in paths]
    assert io.ring is None


def readable(fd):
    return bool(select.select([fd], [], [], 0)[0])


@pytest.mark.parametrize("shape", ["one at a time", "gather", "closes nobody awaits"])
def test_eventfd_is_left_drained_once_completions_stop(tmp_path, shape):
    """The reader leaves the eventfd signalled while completions keep coming;
    once they stop it must end drained, or the level-triggered reader would
    keep the loop spinning."""
    path = tmp_path / "data"
    path.write_bytes(os.urandom(64 * 4096))

    async def main():
        async with Driver(64) as io:
            fd = await io.open(path)
            if shape == "one at a time":
                for i in range(64):
                    assert await io.read(fd, 4096, i * 4096) == path.read_bytes()[i * 4096:][:4096]
            elif shape == "gather":
                await asyncio.gather(*(io.read(fd, 4096, i * 4096) for i in range(64)))
            else:  # whole-file reads, whose closes complete with nobody waiting
                for _ in range(16):
                    assert await io.read_file(path) == path.read_bytes()
            await io.close(fd)
            while io.ring.inflight:
                await asyncio.sleep(0.001)
            for _ in range(4):  # the passes that reap what is left and drain
                await asyncio.sleep(0)
            return readable(io.ring.eventfd)

    assert run(main()) is False


@pytest.mark.parametrize("concurrency", [1, 3])
def test_dependent_operations_of_every_kind_never_stall(tmp_path, concurrency, run_on):
    """Each step queues its operation from the coroutine a completion just
    woke: whatever submits it (at once, a flush, the eventfd's reader), none
    may be left sitting in the queue."""
    async def chain(io, k):
        d = tmp_path / f"d{k}"
        for i in range(40):
            await io.mkdir(d)
            await io.write_file(d / "f", b"x" * i)
            fd = await io.open(d / "f")
            assert await io.read(fd, 100, 0) == b"x" * i
            assert (await io.stat(d / "f")).st_size == i
            await io.close(fd)
            assert await io.read_file(d / "f") == b"x" * i
            await io.unlink(d / "f")
            await io.rmdir(d)

    async def main():
        async with Driver(16) as io:
            await gather(*(chain(io, k) for k in range(concurrency)))

    run_on(main, timeout=30)


@pytest.mark.parametrize("size", [0, 1, FIRST_READ - 1, FIRST_READ, FIRST_READ + 1, 3 << 20])
@pytest.mark.parametrize("fixed", [True, False])
def test_whole_file_sizes(tmp_path, size, fixed, backend, run_on):
    data = os.urandom(size)

    async def main():
        async with Driver(fixed=fixed) as io:
            await io.write_file(tmp_path / "w", data)
            return await io.read_file(tmp_path / "w")

    assert run_on(main) == data == (tmp_path / "w").read_bytes()


@pytest.mark.parametrize("fixed", [True, False])
def test_short_write_is_continued(tmp_path, fixed):
    # Past RLIMIT_FSIZE the first write comes back short and only the
    # continuation fails, with EFBIG, as a plain write loop would.
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, limit[1]))

    async def main():
        async with Driver(fixed=fixed) as io:
            await io.write_file(tmp_path / "w", b"x" * 300_000)

    try:
        with pytest.raises(OSError) as want:
            (tmp_path / "v").write_bytes(b"x" * 300_000)
        with pytest.raises(OSError) as info:
            run(main())
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, handler)
    assert info.value.errno == errno.EFBIG
    assert (info.value.args, info.value.filename) == (want.value.args, want.value.filename)
    assert (tmp_path / "w").stat().st_size == 100_000


@pytest.mark.parametrize("entries, slots", [(64, 1), (64, 2), (1, None)])
def test_slot_exhaustion_waits_and_small_ring_falls_back(tmp_path, entries, slots, run_on):
    paths = make_files(tmp_path, 60)

    async def main():
        async with Driver(entries, slots=slots) as io:
            data = await gather(*(io.read_file(p) for p in paths))
            await gather(*(io.write_file(f"{p}.copy", d) for p, d in zip(paths, data)))
            return data, io

    data, io = run_on(main)
    assert data == [p.read_bytes() for p in paths]
    assert all(open(f"{p}.copy", "rb").read() == d for p, d in zip(paths, data))
    # Busy slots are waited for; only a queue too small for a pair falls back.
    assert (io.fallbacks > 0) == (entries == 1) and (io.chains > 0) == (entries > 1)
    assert sorted(io._slots) == list(range(io.slots))  # every slot was given back


def answering_at_once(kind):
    """A descriptor pair of `kind` whose read(2) and write(2) answer at once
    where they have no data or room (a tty: in non-canonical mode with VMIN
    0, blocking), and the calls to make on it."""
    if kind == "tty":
        m, s = os.openpty()
        attrs = termios.tcgetattr(s)
        attrs[3] &= ~termios.ICANON
        attrs[6][termios.VMIN] = attrs[6][termios.VTIME] = 0
        termios.tcsetattr(s, termios.TCSANOW, attrs)
        return (s, m), [("read", s, 10)]
    r, w = os.pipe() if kind == "pipe" else (s.detach() for s in socket.socketpair())
    os.set_blocking(r, False)
    os.set_blocking(w, False)
    return (r, w), [("read", r, 10), ("write", w, b"x" * 300_000), ("write", w, b"x"),
                    ("writev", w, [b"x"]), ("read", r, 10)]


@pytest.mark.parametrize("kind", ["pipe", "socket", "tty"])
def test_streams_that_answer_at_once_as_os(kind, backend, run_on):
    """Reads of an empty non-blocking stream or of a tty that answers with
    nothing, and writes to a full non-blocking stream, answer as os's (the
    ring's own would wait for data or room)."""
    def outcome(fn, *args):
        try:
            r = fn(*args)
        except OSError as e:
            return type(e), e.errno
        return r if isinstance(r, bytes) else r > 0

    async def ours(calls):
        io = kovra_uring._loop.get_driver()
        results = []
        for op, *args in calls:
            try:
                r = await getattr(io, op)(*args)
            except OSError as e:
                r = (type(e), e.errno)
            results.append(r if isinstance(r, (bytes, tuple)) else r > 0)
        return results

    results = []
    for mine in (False, True):
        fds, calls = answering_at_once(kind)
        try:
            results.append(run_on(ours, calls, timeout=5) if mine
                           else [outcome(getattr(os, op), *args) for op, *args in calls])
        finally:
            for fd in fds:
                os.close(fd)
    assert results[1] == results[0]


def test_cancelled_pipe_read_keeps_its_buffer_until_completion():
    r, w = os.pipe()

    async def main():
        io = Driver()
        tasks = [asyncio.create_task(io.read(r, 4096)) for _ in range(3)]
        await asyncio.sleep(0.05)
        assert io.ring.inflight == 3
        for t in tasks:
            t.cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        await io.aclose()  # waits for the kernel's answers to the cancelled reads
        return results, io

    try:
        results, io = run(main())
        assert all(isinstance(x, asyncio.CancelledError) for x in results)
        assert io.ring is None
        os.write(w, b"still mine")  # no cancelled read consumed it
        assert os.read(r, 100) == b"still mine"
    finally:
        os.close(r)
        os.close(w)


def test_cancel_that_misses_a_read_in_transit_is_sent_again():
    # A read of 1 MiB or more goes straight to a kernel worker; a cancel that
    # arrives while it is on its way there can miss it, and then nothing
    # would ever end the read (aclose would wait for it forever).
    r, w = os.pipe()

    async def main():
        async with Driver() as io:
            for i in range(200):
                task = asyncio.create_task(io.read(r, 2 << 20))
                for _ in range(i % 3):
                    await asyncio.sleep(0)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
        return io

    try:
        assert run(main(), timeout=10).ring is None
    finally:
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("fixed", [True, False])
def test_cancelled_whole_file_read_returns_its_slot(tmp_path, fixed):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # opening it for reading blocks until a writer comes
    fds, maps = open_fds(), uring_maps()

    async def main():
        io = Driver(fixed=fixed, slots=1)
        task = asyncio.create_task(io.read_file(fifo))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await io.aclose()
        return io

    io = run(main())
    assert io.ring is None and sorted(io._slots) == list(range(io.slots))
    del io
    assert (open_fds(), uring_maps()) == (fds, maps)  # nothing left open, ring included


@pytest.mark.parametrize("op", ["read_file", "write_file", "open", "stat"])
def test_cancellation_at_every_step_leaks_nothing(tmp_path, op):
    # Cancelling after 0, 1, 2, ... loop iterations lands before the flush,
    # while the kernel works (on each read and the statx of a big file),
    # after a completion was reaped but before the task resumed, and after.
    (tmp_path / "f").write_bytes(os.urandom(STAT_FROM + FIRST_READ))
    args = (tmp_path / "f", b"x" * 100)[:2 if op == "write_file" else 1]
    fds, maps = open_fds(), uring_maps()

    async def main():
        io, ticks, done = Driver(slots=2), 0, False
        while not done:  # until the operation finishes before the cancel
            task = asyncio.create_task(getattr(io, op)(*args))
            for _ in range(ticks):
                await asyncio.sleep(0)
            task.cancel()
            try:
                result = await task
                done = True
            except asyncio.CancelledError:
                ticks += 1
        if op == "open":
            os.close(result)
        await io.aclose()
        return io, ticks

    io, ticks = run(main())
    assert ticks > 0 and io.ring is None and not io._ops and not io._late
    assert sorted(io._slots) == list(range(io.slots))
    del io
    assert (open_fds(), uring_maps()) == (fds, maps)


@pytest.mark.parametrize("op, os_fn, args", [
    ("read_file", lambda p: open(p, "rb"), ("missing",)),
    ("read_file", lambda p: open(p, "rb"), ("file/x",)),
    ("write_file", lambda p: open(p, "wb"), ("nodir/x",)),
    # Failures of the file once open: io names no file.
    ("read_file", lambda p: open(p, "rb").read(), ("/proc/self/mem",)),
    ("write_file", lambda p: Path(p).write_bytes(b"data"), ("/dev/full",)),
    ("stat", os.stat, ("missing",)),
    ("mkdir", os.mkdir, ("file",)),
    ("unlink", os.unlink, ("missing",)),
    ("rename", os.rename, ("missing", "y")),
    ("symlink", os.symlink, ("file", "file")),
    ("link", os.link, ("file", "file")),
])
@pytest.mark.parametrize("fixed", [True, False])
def test_errors_are_raised_as_os_raises_them(tmp_path, op, os_fn, args, fixed, backend, run_on):
    (tmp_path / "file").write_bytes(b"x")
    args = tuple(str(tmp_path / a) for a in args)
    with pytest.raises(OSError) as want:
        os_fn(*args)

    async def main():
        async with Driver(fixed=fixed) as io:
            extra = (b"data",) if op == "write_file" else ()
            with pytest.raises(OSError) as info:
                await getattr(io, op)(*args, *extra)
            return info.value

    got, want = run_on(main), want.value
    assert type(got) is type(want) and got.errno == want.errno
    assert (got.filename, got.filename2, str(got)) == (want.filename, want.filename2, str(want))


@pytest.mark.parametrize("call", [
    "write(FD, b'x', -1)", "write(FD, b'x', 1 << 63)", "writev(FD, [b'x'], -1)",
    "fstat(-100)", "fsync(-1)", "fsync(-1, True)", "exists(FD)", "stat(FD)", "read_file(DIR)",
    "stat(None)", "exists(1.5)", "lstat(FD)", "lstat(b'a\\0')", "mkdir(None)", "unlink(b'')",
    "rename(DIR, None)", "link(None, DIR)", "mkdir(NEW, -1)", "mkdir(NEW, 1 << 31)",
    "read(FD, 1, 1 << 63)", "read(FD, 1, (1 << 64) - 1)", "read(-1, 1, 1 << 63)",
    "read(FD, None, '0')", "read(FD, -1, 1.0)", "read(DIRFD, 0)", "read(DIRFD, 0, 0)",
    "write(FD, b'x', '0')", "writev(FD, [b'x'], '0')", "writev(-1, [b'x'] * 1025)",
    "truncate(-1, 1 << 63)", "truncate(FD, 1 << 64)", "open('', CREATDIR)",
    # A stream has no offsets: the ring would read or write it at its position.
    "write(PIPE_W, b'x', 0)", "writev(PIPE_W, [b'x'], 0)",
    "read(FD, 5, 'x')", "write(FD, b'x', 'x')"])
def test_odd_arguments_as_os(tmp_path, call, backend, run_on):
    """Descriptors, offsets and paths that the ring takes otherwise than os."""
    (tmp_path / "file").write_bytes(b"x")
    pipe_r, pipe_w = os.pipe()
    os.write(pipe_w, b"data")
    names = {"FD": os.open(tmp_path / "file", os.O_RDWR), "DIR": str(tmp_path),
             "NEW": str(tmp_path / "new"), "DIRFD": os.open(tmp_path, os.O_RDONLY),
             "CREATDIR": os.O_CREAT | os.O_DIRECTORY, "PIPE_R": pipe_r, "PIPE_W": pipe_w}
    as_os = {"write": os.pwrite, "writev": lambda fd, bufs, off=None:
             os.writev(fd, bufs) if off is None else os.pwritev(fd, bufs, off),
             "read": lambda fd, n, off=None: os.read(fd, n) if off is None else os.pread(fd, n, off),
             "exists": os.path.exists, "truncate": os.ftruncate,
             "read_file": lambda p: open(p, "rb").read(), "fsync": lambda fd, data=False:
             (os.fdatasync if data else os.fsync)(fd)}

    def outcome(fn):
        try:
            r = fn()
        except Exception as e:
            return type(e), str(e)
        return tuple(r) if isinstance(r, os.stat_result) else r

    async def ours():
        async with Driver() as io:
            return await eval(call, names, {n: getattr(io, n) for n in dir(Driver)})
    try:
        outcome(lambda: run_on(ours))  # what the loop keeps for itself (uvloop: a pipe)
        fds = open_fds()
        got = outcome(lambda: run_on(ours))
        assert open_fds() == fds
        assert got == outcome(lambda: eval(call, names, {**vars(os), **as_os}))
    finally:
        for fd in names["FD"], names["DIRFD"], pipe_r, pipe_w:
            os.close(fd)


def page_aligned_bytes(size):
    """Random bytes whose data starts on a page (the ring writes a bytes
    object from where it lies)."""
    others = []  # kept until one is found, so that each try gets new memory
    for _ in range(4096):
        data = random.randbytes(size)
        if ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value % mmap.PAGESIZE == 0:
            return data
        others.append(data)
    pytest.skip("this allocator puts no bytes object on a page (a sanitizer's never does)")


@pytest.mark.parametrize("op", ["write", "writev"])
def test_direct_io_writes_as_os(tmp_path, op, backend, run_on):
    """O_DIRECT takes the caller's own aligned buffers (a copy is not
    aligned), and writes at the file position move it as os's do."""
    pages = [mmap.mmap(-1, mmap.PAGESIZE) for _ in range(2)]
    for page, fill in zip(pages, b"AB"):
        page.write(bytes([fill]) * mmap.PAGESIZE)
    datas = [memoryview(pages[0]), page_aligned_bytes(mmap.PAGESIZE), memoryview(pages[1])]
    steps = [(data, None) for data in datas] + [(data, mmap.PAGESIZE) for data in datas]
    content = random.randbytes(3 * mmap.PAGESIZE)  # in the page cache, as a file just written is
    for name in "ab":
        (tmp_path / name).write_bytes(content)
    try:
        fds = [os.open(tmp_path / name, os.O_RDWR | os.O_DIRECT) for name in "ab"]
    except OSError as e:
        pytest.skip(f"no O_DIRECT here: {e}")

    def outcome(fn, *args):
        try:
            return fn(*args), os.lseek(args[0], 0, os.SEEK_CUR)
        except OSError as e:
            return e.errno

    def as_os(fd, data, offset):
        if op == "writev":
            return os.writev(fd, [data]) if offset is None else os.pwritev(fd, [data], offset)
        return os.write(fd, data) if offset is None else os.pwrite(fd, data, offset)

    async def ours():
        async with Driver() as io:
            got = []
            for data, offset in steps:
                try:
                    arg = [data] if op == "writev" else data
                    got.append((await getattr(io, op)(fds[1], arg, offset),
                                os.lseek(fds[1], 0, os.SEEK_CUR)))
                except OSError as e:
                    got.append(e.errno)
            return got
    try:
        want = [outcome(as_os, fds[0], data, offset) for data, offset in steps]
        assert run_on(ours) == want
    finally:
        for fd in fds:
            os.close(fd)
    assert (tmp_path / "b").read_bytes() == (tmp_path / "a").read_bytes()


def test_stat_matches_os_stat(tmp_path, backend, run_on):
    (tmp_path / "f").write_bytes(b"abc" * 1000)
    os.symlink("f", tmp_path / "link")
    cases = [(tmp_path / "f", True), (tmp_path, True), (tmp_path / "link", False),
             (tmp_path / "link", True), ("/dev/null", True)]

    async def main():
        async with Driver() as io:
            return await gather(*(io.stat(p, follow=f) for p, f in cases))

    for (path, follow), got in zip(cases, run_on(main)):
        want = os.stat(path, follow_symlinks=follow)
        for field in ("st_mode", "st_ino", "st_dev", "st_nlink", "st_uid", "st_gid", "st_size",
                      "st_mtime", "st_mtime_ns", "st_ctime_ns", "st_blksize", "st_blocks", "st_rdev"):
            assert getattr(got, field) == getattr(want, field), (path, field)


def test_descriptor_and_link_operations(tmp_path, backend, run_on):
    async def main():
        async with Driver() as io:
            fd = await io.open(tmp_path / "a", os.O_RDWR | os.O_CREAT)
            assert not os.get_inheritable(fd)
            assert await io.writev(fd, [b"hello ", b"io_uring"]) == 14
            assert await io.write(fd, b"!", 14) == 1
            await io.fsync(fd)
            assert await io.read(fd, 5, 0) == b"hello"
            assert await io.read(fd, 100) == b"!"  # from the file position (pwrite left it)
            await io.truncate(fd, 5)
            await io.close(fd)
            with pytest.raises(OSError, match=r"^\[Errno 9\] Bad file descriptor$"):
                await io.read(fd, 1)
            await io.mkdir(tmp_path / "d")
            await io.rename(tmp_path / "a", tmp_path / "d" / "b")
            await io.symlink("b", tmp_path / "d" / "s")
            await io.link(tmp_path / "d" / "b", tmp_path / "d" / "h")
            assert await io.read_file(tmp_path / "d" / "s") == b"hello"
            assert (await io.stat(tmp_path / "d" / "h")).st_nlink == 2
            for name in "bsh":
                await io.unlink(tmp_path / "d" / name)
            await io.rmdir(tmp_path / "d")

    run_on(main)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("target", ["file", "empty", "dir", "missing"])
def test_open_read_carries_the_first_read(tmp_path, backend, target):
    path = tmp_path / target
    if target == "file":
        path.write_bytes(os.urandom(40_000))
    elif target == "empty":
        path.write_bytes(b"")
    elif target == "dir":
        path.mkdir()

    def expected():
        fd = os.open(path, os.O_RDONLY)
        try:
            data = os.pread(fd, 16384, 0)
            return len(data), data
        except OSError as e:
            return -e.errno, b""
        finally:
            os.close(fd)

    async def main():
        async with Driver() as io:
            try:
                fd, res, data = await io.open_read(path, size=16384)
            except OSError as e:
                return type(e), e.errno, e.filename
            io.close_soon(fd)
            return res, data

    if target == "missing":
        assert run(main()) == (FileNotFoundError, errno.ENOENT, str(path))
    else:
        assert run(main()) == expected()


def test_open_read_cancelled_anywhere_leaks_nothing(tmp_path, backend):
    (tmp_path / "f").write_bytes(b"x" * 100)

    async def main():
        async with Driver() as io:
            before = set(open_fds())
            for i in range(60):
                task = asyncio.ensure_future(io.open_read(tmp_path / "f"))
                for _ in range(i % 6):
                    await asyncio.sleep(0)
                task.cancel()
                try:
                    fd, _, _ = await task
                except asyncio.CancelledError:
                    continue
                io.close_soon(fd)
            await asyncio.sleep(0.05)
            return set(open_fds()) - before

    assert run(main()) == set()


def test_a_cancelled_read_of_an_empty_pipe_takes_nothing_after(backend, run_on):
    # Data that comes once the read's caller has left is the next reader's;
    # nor does a read left behind hold its thread (aclose() waits for it).
    r, w = os.pipe()

    async def main():
        async with Driver() as io:
            with anyio.move_on_after(0.05):
                await io.read(r, 10)
            await anyio.sleep(0.05)  # the cancellation's way to the kernel
            os.write(w, b"data")
            await anyio.sleep(0.2)  # time enough for a read left behind to take it
        os.set_blocking(r, False)
        return os.read(r, 10)

    try:
        assert run_on(main) == b"data"
    finally:
        os.close(r)
        os.close(w)


def test_reads_waiting_on_threads_leave_threads_for_the_writes(backend, run_on):
    # As many reads of empty pipes as trio's or anyio's threads take wait at
    # once, and the writes that end them still get threads of their own.
    pipes = [os.pipe() for _ in range(36)]

    async def main():
        async with Driver() as io:
            return await gather(*(io.read(r, 5) for r, _ in pipes),
                                *(io.write(w, b"x") for _, w in pipes))

    try:
        assert run_on(main) == [b"x"] * 36 + [1] * 36
    finally:
        for fd in sum(pipes, ()):
            os.close(fd)


def test_writev_to_a_pipe_as_os(backend, run_on):
    # os.writev waits to write it all; one whose caller left writes no more.
    r, w = os.pipe()
    os.set_blocking(r, False)
    bufs = [b"x" * 40_000, b"y" * 30_000]  # more than the pipe holds

    def drain(want=0):
        out = b""
        while True:
            select.select([r], [], [], 0.01)
            try:
                out += os.read(r, 1 << 20)
            except BlockingIOError:
                if len(out) >= want:
                    return out

    async def main():
        async with Driver() as io:
            with anyio.move_on_after(0.05):  # nobody reads: the pipe fills
                await io.writev(w, bufs)
            await anyio.sleep(0.05)  # the cancellation's way to the kernel
            os.read(r, 1 << 20)  # room, once
            await anyio.sleep(0.2)  # a write left behind would go on meanwhile
            left_behind = drain()
            reader = concurrent.futures.ThreadPoolExecutor(1)
            got = reader.submit(drain, sum(map(len, bufs)))
            n = await io.writev(w, bufs)
            reader.shutdown()
            return left_behind, n, got.result() == b"".join(bufs)

    try:
        assert run_on(main) == (b"", sum(map(len, bufs)), True)
    finally:
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("call", ["close", "read", "fstat", "listdir"])
def test_a_failure_holds_no_reference_cycle(backend, call):
    """A failed call's exception, with the frames of its traceback, is freed
    with its last reference, not left to the cycle collector."""
    args = ("/nonexistent",) if call == "listdir" else (10**6,)  # no such descriptor

    async def main():
        io = kovra_uring._loop.get_driver()

        async def fail():
            for _ in range(3):
                with pytest.raises(OSError):
                    await getattr(io, call)(*args, *[1] * (call == "read"))
        return await cycles_left(fail)

    assert run(main()) == 0


def test_a_closed_driver_holds_no_reference_cycle(backend):
    """A program that makes a Driver per job frees each one, with its slot
    table, by reference counting."""
    async def use():
        async with Driver() as io:
            await io.close(await io.open(__file__))
            await io.read_file(__file__)

    async def main():
        return await cycles_left(use)

    assert run(main()) == 0


def test_a_close_cancelled_with_its_block_finishes_in_the_background(backend, run_on):
    """trio's rule for aclose(): cancelled, it still closes. A cancel scope
    that ends `async with Driver()` during a call cancels the close too."""
    r, w = os.pipe()

    async def main():
        with anyio.move_on_after(0.05):
            async with Driver() as io:
                await io.read(r, 10)
        while io.ring is not None or io._executor is not None:  # the run's timeout if never
            await anyio.sleep(0.01)

    try:
        run_on(main)
    finally:
        os.close(r)
        os.close(w)


def test_cancelled_close_still_closes(backend):
    async def main():
        async with Driver() as io:
            before = set(open_fds())
            for i in range(30):
                task = asyncio.ensure_future(io.close(os.open(__file__, os.O_RDONLY)))
                for _ in range(1 + i % 3):  # once it has started, at varying points
                    await asyncio.sleep(0)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            await asyncio.sleep(0.05)
            return set(open_fds()) - before

    assert run(main()) == set()

