"""The example asyncio driver (examples/driver.py) against the real kernel."""

import asyncio
import os
import stat as stat_mod
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
from driver import FIRST_READ, Driver  # noqa: E402


def run(coro, timeout=20):
    async def bounded():
        return await asyncio.wait_for(coro, timeout)
    return asyncio.run(bounded())


def make_files(root, n, size=lambda i: 100 + 37 * i):
    paths = []
    for i in range(n):
        p = root / f"f{i}"
        p.write_bytes(bytes([i % 251]) * size(i))
        paths.append(p)
    return paths


@pytest.mark.parametrize("fixed", [True, False])
def test_hundreds_of_coroutines_share_one_ring(tmp_path, fixed):
    paths = make_files(tmp_path, 300)

    async def main():
        async with Driver(64, fixed=fixed) as io:
            out = await asyncio.gather(*(io.read_file(p) for p in paths),
                                       *(io.stat(p) for p in paths))
            await asyncio.gather(*(io.write_file(tmp_path / f"c{i}", d) for i, d in enumerate(out[:300])))
        return out, io

    out, io = run(main())
    assert out[:300] == [p.read_bytes() for p in paths]
    assert [st.st_size for st in out[300:]] == [p.stat().st_size for p in paths]
    assert [(tmp_path / f"c{i}").read_bytes() for i in range(300)] == out[:300]
    assert io.ring.inflight == 0 and (io.chains > 0) == fixed


@pytest.mark.parametrize("how", ["read_file", "pread"])
def test_completion_queue_overflow_does_not_hang(tmp_path, how):
    paths = make_files(tmp_path, 200)

    async def main():
        async with Driver(8) as io:  # CQ of 16 entries, 200-400 completions
            if how == "read_file":
                return await asyncio.gather(*(io.read_file(p) for p in paths)), io
            fds = [os.open(p, os.O_RDONLY) for p in paths]
            try:
                return await asyncio.gather(*(io.read(fd, 100_000, 0) for fd in fds)), io
            finally:
                for fd in fds:
                    os.close(fd)

    out, io = run(main(), timeout=10)
    assert out == [p.read_bytes() for p in paths]
    assert io.ring.inflight == 0


@pytest.mark.parametrize("size", [0, 1, FIRST_READ - 1, FIRST_READ, FIRST_READ + 1, 3 * 2**20 + 5])
@pytest.mark.parametrize("fixed", [True, False])
def test_whole_file_sizes(tmp_path, size, fixed):
    data = os.urandom(size)

    async def main():
        async with Driver(fixed=fixed) as io:
            await io.write_file(tmp_path / "w", data)
            return await io.read_file(tmp_path / "w")

    assert run(main()) == data == (tmp_path / "w").read_bytes()


@pytest.mark.parametrize("entries, slots", [(64, 1), (64, 2), (1, None)])
def test_slot_exhaustion_and_small_ring_fall_back(tmp_path, entries, slots):
    paths = make_files(tmp_path, 60)

    async def main():
        async with Driver(entries, slots=slots) as io:
            data = await asyncio.gather(*(io.read_file(p) for p in paths))
            await asyncio.gather(*(io.write_file(str(p) + ".copy", d) for p, d in zip(paths, data)))
            return data, io

    data, io = run(main())
    assert data == [p.read_bytes() for p in paths]
    assert all(open(str(p) + ".copy", "rb").read() == d for p, d in zip(paths, data))
    assert io.fallbacks > 0 and (io.chains > 0) == (entries > 1)
    assert sorted(io._slots) == list(range(io.slots))  # every slot was given back


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
        await io.close()  # waits for the kernel's answers to the cancelled reads
        return results, io

    try:
        results, io = run(main())
        assert all(isinstance(x, asyncio.CancelledError) for x in results)
        assert io.ring.inflight == 0
        os.write(w, b"still mine")  # no cancelled read consumed it
        assert os.read(r, 100) == b"still mine"
    finally:
        os.close(r)
        os.close(w)


@pytest.mark.parametrize("fixed", [True, False])
def test_cancelled_whole_file_read_returns_its_slot(tmp_path, fixed):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # opening it for reading blocks until a writer comes

    async def main():
        io = Driver(fixed=fixed, slots=1)
        task = asyncio.create_task(io.read_file(fifo))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await io.close()
        return io

    io = run(main())
    assert io.ring.inflight == 0 and sorted(io._slots) == list(range(io.slots))
    assert len(os.listdir("/proc/self/fd")) < 50  # no descriptor left open


def _os_error(fn, *args):
    try:
        fn(*args)
    except OSError as e:
        return e
    raise AssertionError(f"{fn.__name__}{args} did not fail")


@pytest.mark.parametrize("op, os_fn, args", [
    ("read_file", lambda p: open(p, "rb"), ("missing",)),
    ("read_file", lambda p: open(p, "rb"), ("file/x",)),
    ("write_file", lambda p: open(p, "wb"), ("nodir/x",)),
    ("stat", os.stat, ("missing",)),
    ("mkdir", os.mkdir, ("file",)),
    ("unlink", os.unlink, ("missing",)),
    ("rename", os.rename, ("missing", "y")),
    ("symlink", os.symlink, ("file", "file")),
    ("link", os.link, ("file", "file")),
])
@pytest.mark.parametrize("fixed", [True, False])
def test_errors_are_raised_as_os_raises_them(tmp_path, op, os_fn, args, fixed):
    (tmp_path / "file").write_bytes(b"x")
    args = tuple(str(tmp_path / a) for a in args)
    expected = _os_error(os_fn, *args)

    async def main():
        async with Driver(fixed=fixed) as io:
            extra = (b"data",) if op == "write_file" else ()
            with pytest.raises(OSError) as info:
                await getattr(io, op)(*args, *extra)
            return info.value

    got = run(main())
    assert type(got) is type(expected) and got.errno == expected.errno
    assert (got.filename, got.filename2, str(got)) == (expected.filename, expected.filename2, str(expected))


def test_stat_matches_os_stat(tmp_path):
    (tmp_path / "f").write_bytes(b"abc" * 1000)
    os.symlink("f", tmp_path / "link")
    cases = [(tmp_path / "f", True), (tmp_path, True), (tmp_path / "link", False),
             (tmp_path / "link", True), ("/dev/null", True)]

    async def main():
        async with Driver() as io:
            return await asyncio.gather(*(io.stat(p, follow=f) for p, f in cases))

    for (path, follow), got in zip(cases, run(main())):
        want = os.stat(path, follow_symlinks=follow)
        for field in ("st_mode", "st_ino", "st_dev", "st_nlink", "st_uid", "st_gid", "st_size",
                      "st_mtime", "st_mtime_ns", "st_ctime_ns", "st_blksize", "st_blocks", "st_rdev"):
            assert getattr(got, field) == getattr(want, field), (path, field)
        assert tuple(got)[:7] == tuple(want)[:7]
    assert stat_mod.S_ISLNK(got.st_mode) is False and got.st_rdev == os.stat("/dev/null").st_rdev


def test_descriptor_and_link_operations(tmp_path):
    async def main():
        async with Driver() as io:
            fd = await io.open(tmp_path / "a", os.O_RDWR | os.O_CREAT)
            assert not os.get_inheritable(fd)
            assert await io.writev(fd, [b"hello ", b"io_uring"]) == 14
            assert await io.write(fd, b"!", 14) == 1
            await io.fsync(fd)
            assert await io.read(fd, 5, 0) == b"hello"
            assert await io.read(fd, 100) == b""  # the file position is at the end
            await io.truncate(fd, 5)
            await io.close_fd(fd)
            with pytest.raises(OSError):
                await io.close_fd(fd)
            await io.mkdir(tmp_path / "d")
            await io.rename(tmp_path / "a", tmp_path / "d" / "b")
            await io.symlink("b", tmp_path / "d" / "s")
            await io.link(tmp_path / "d" / "b", tmp_path / "d" / "h")
            assert await io.read_file(tmp_path / "d" / "s") == b"hello"
            assert (await io.stat(tmp_path / "d" / "h")).st_nlink == 2
            for name in "bsh":
                await io.unlink(tmp_path / "d" / name)
            await io.rmdir(tmp_path / "d")

    run(main())
    assert os.listdir(tmp_path) == []
