"""read_files, iread_files, write_files and stat_files against the synchronous
calls they stand for, on the ring and on the thread fallback."""

import asyncio
import errno
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from array import array
from pathlib import Path

import pytest

from kovra_uring import Driver, RingUnavailableWarning, _batch, _convert
from kovra_uring._batch import iread_files, read_files, stat_files, write_files

LOOP_NEUTRAL = True  # synchronous calls: no event loop to parametrize


def refuse(*args, **kwargs):
    raise OSError(errno.EPERM, "Operation not permitted")


@pytest.fixture(params=["io_uring", "threads"])
def backend(request, monkeypatch):
    monkeypatch.setattr(_batch, "_idle", [])  # no ring left by another test
    if request.param == "threads":
        monkeypatch.setattr(_batch, "Ring", refuse)
        monkeypatch.setattr(_batch, "_warned", True)  # test_fallback_warns checks it
    return request.param


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception as e:
        return e


def same(a, b):
    if isinstance(a, BaseException):
        return (type(a) is type(b) and a.args == b.args
                and getattr(a, "filename", None) == getattr(b, "filename", None))
    return a == b


def sync_read(path):
    with open(path, "rb") as f:  # Path.read_bytes, bytes paths included
        return f.read()


def fds():
    return set(os.listdir("/proc/self/fd"))


def slots_empty(ring):
    """Closing each slot the calls use finds it empty."""
    ids = {ring.submit_close_fixed(s) for s in range(_batch.DEPTH)}
    ring.submit()
    results = []
    for _ in range(1000):
        results += [res for ud, res, _ in ring.reap() if ud in ids]
        if len(results) == len(ids):
            break
    return results == [-errno.EBADF] * len(ids)


@pytest.fixture
def tree(tmp_path):
    """Every kind of path a read meets, as str, bytes and Path."""
    first = _batch.FIRST_READ
    for name, size in [("empty", 0), ("4k", 4096), ("first", first), ("first+1", first + 1),
                       ("stat_from", _batch.STAT_FROM + 5), ("1m", 1 << 20)]:
        (tmp_path / name).write_bytes(os.urandom(size))
    with open(tmp_path / "large", "wb") as f:  # 100 MiB, sparse but for its ends
        f.write(b"head")
        f.seek(100 << 20)
        f.write(b"tail")
    (tmp_path / "dir").mkdir()
    (tmp_path / "link").symlink_to("4k")
    (tmp_path / "dangling").symlink_to("nowhere")
    (tmp_path / os.fsdecode(b"\xff\xfe-latin")).write_bytes(b"not UTF-8")
    os.mkfifo(tmp_path / "fifo")  # only for stat
    small = [tmp_path / "empty", str(tmp_path / "4k"), os.fsencode(tmp_path / "first"),
             tmp_path / "first+1", str(tmp_path / "stat_from"), tmp_path / "1m",
             tmp_path / "dir", str(tmp_path / "link"), tmp_path / "dangling",
             str(tmp_path / "missing"), tmp_path / "missing-dir" / "x",
             os.fsencode(tmp_path) + b"/\xff\xfe-latin", str(tmp_path / os.fsdecode(b"\xff\xfe-latin")),
             str(tmp_path / "nul\0byte"), None]
    # More items than slots, so that slots are reused after every kind of end.
    return [*small * 6, tmp_path / "large", *small]


def test_read_files_equal_the_sync_loop(backend, tree):
    want = [outcome(sync_read, p) for p in tree]
    got = read_files(tree, return_exceptions=True)
    assert len(got) == len(want) and all(same(w, g) for w, g in zip(want, got))
    streamed = dict(iread_files(iter(tree), return_exceptions=True))
    assert sorted(streamed) == list(range(len(tree)))
    assert all(same(want[i], g) for i, g in streamed.items())
    good = [p for p, w in zip(tree, want) if not isinstance(w, Exception)]
    assert read_files(good) == [w for w in want if not isinstance(w, Exception)]
    # Without return_exceptions: the exception of the first item that fails.
    first = next(w for w in want if isinstance(w, Exception))
    with pytest.raises(type(first)) as raised:
        read_files(tree)
    assert same(first, raised.value)
    assert read_files([]) == [] and list(iread_files([])) == []
    for call in read_files, stat_files, lambda p: list(iread_files(p)):
        with pytest.raises(TypeError):  # one path, where many are expected
            call(str(tree[1]))


@pytest.mark.parametrize("how", ["read_files", "iread_files", "Driver.read_file"])
def test_a_stream_named_under_proc_is_read_to_its_end(backend, how):
    """A pipe opened by name (/proc/self/fd/N): its first read comes back
    short long before the end."""
    r, w = os.pipe()

    def write():
        with open(w, "wb", buffering=0) as f:
            for burst in (b"a" * 10, b"b" * 10):
                time.sleep(0.05)
                f.write(burst)

    writer = threading.Thread(target=write)
    writer.start()
    path = f"/proc/self/fd/{r}"
    try:
        if how == "Driver.read_file":
            async def read():
                async with Driver() as drv:
                    return await drv.read_file(path)
            got = asyncio.run(read())
        else:
            got = read_files([path])[0] if how == "read_files" else dict(iread_files([path]))[0]
    finally:
        writer.join()
        os.close(r)
    assert got == b"a" * 10 + b"b" * 10


@pytest.mark.parametrize("route", ["here", "parallel"])
@pytest.mark.parametrize("follow", [True, False])
def test_stat_files_equal_os_stat(backend, tree, route, follow, monkeypatch):
    if route == "parallel":  # every chunk after the first one through the ring
        monkeypatch.setattr(_batch, "STAT_CHUNK", 5)
        monkeypatch.setattr(_batch, "SLOW_STAT_NS", -1)
    fd = os.open(tree[0].parent, os.O_RDONLY)  # os.stat takes a descriptor too
    (late := tree[0].parent / "late").touch()
    os.utime(late, ns=(2**63 + 7, 2**63 + 7))  # past 2262: more than 64-bit nanoseconds
    tree = [*tree, late, tree[0].parent / "fifo", fd]

    def fields(st):
        if isinstance(st, Exception):
            return st
        return (tuple(st), st.st_atime_ns, st.st_mtime_ns, st.st_ctime_ns, st.st_atime,
                st.st_mtime, st.st_ctime, st.st_blksize, st.st_blocks, st.st_rdev)

    try:
        want = [fields(outcome(os.stat, p, follow_symlinks=follow)) for p in tree]
        got = stat_files(tree, follow_symlinks=follow, return_exceptions=True)
    finally:
        os.close(fd)
    assert len(got) == len(want) and all(same(w, fields(g)) for w, g in zip(want, got))
    first = next(w for w in want if isinstance(w, Exception))
    with pytest.raises(type(first)) as raised:
        stat_files(tree, follow_symlinks=follow)
    assert same(first, raised.value)


def test_write_files_equal_write_bytes(backend, tmp_path):
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    for d in ours, theirs:
        d.mkdir()
        (d / "longer").write_bytes(b"x" * 100_000)  # truncated by the write
        (d / "dir").mkdir()
    data = [b"", b"abc", bytearray(b"xyz"), memoryview(b"0123456789")[2:8],
            array("i", range(1000)), os.urandom(1 << 20), b"short", "not bytes", None,
            memoryview(b"0123456789")[::2]]
    names = ["empty", "abc", "bytearray", "view", "array", "1m", "longer", "str", "none",
             "dir", "missing/x", "nul\0byte", b"\xff\xfe-latin"]

    def items(d):
        out = []
        for k, name in enumerate(names * 2):  # distinct paths: the writes run at once
            name = name + (b"2" if isinstance(name, bytes) else "2") if k >= len(names) else name
            path = os.fsencode(d) + b"/" + name if isinstance(name, bytes) else d / name
            out.append((path if k % 3 else str(path), data[k % len(data)]))
        return out

    want = [outcome(lambda p, b: Path(os.fsdecode(p)).write_bytes(b), *item)
            for item in items(theirs)]
    got = write_files(items(ours), return_exceptions=True)
    assert len(got) == len(want)
    for w, g in zip(want, got):
        if isinstance(w, OSError):
            w.filename = os.fspath(w.filename).replace("/theirs/", "/ours/")
        assert same(w, g), (w, g)
    for path in theirs.iterdir():
        if path.is_file():
            assert (ours / path.name).read_bytes() == path.read_bytes()
    with pytest.raises(TypeError):
        write_files(items(ours))
    # The mode of a file the write creates, less the umask; an existing one keeps its own.
    umask = os.umask(0o022)
    try:
        assert write_files([(ours / "new", b"1"), (ours / "abc", b"2")], mode=0o640) == [1, 1]
    finally:
        os.umask(umask)
    assert (ours / "new").stat().st_mode & 0o777 == 0o640 & ~0o022
    assert (ours / "abc").stat().st_mode == (theirs / "abc").stat().st_mode
    # A mode os.open takes but the ring does not: os's answer for each item.
    os.open(theirs / "odd", os.O_CREAT | os.O_WRONLY, -1)
    assert write_files([(ours / "odd", b"1")], mode=-1) == [1]
    assert (ours / "odd").stat().st_mode == (theirs / "odd").stat().st_mode
    # One the ring takes but os.open refuses: os's error, and no file.
    want = outcome(os.open, theirs / "big-mode", os.O_CREAT | os.O_WRONLY, 1 << 31)
    got = write_files([(ours / "big-mode", b"1")], mode=1 << 31, return_exceptions=True)[0]
    assert same(want, got) and not (ours / "big-mode").exists()


@pytest.mark.parametrize("name", ["", b""])
def test_an_empty_name_is_what_path_makes_of_it(backend, tmp_path, monkeypatch, name):
    # Path("") is Path("."): the current directory, which is neither read nor written.
    monkeypatch.chdir(tmp_path)
    path = Path(os.fsdecode(name))
    got = [read_files([name], return_exceptions=True)[0],
           next(iread_files([name], return_exceptions=True))[1],
           write_files([(name, b"x")], return_exceptions=True)[0]]
    for want, e in zip([outcome(path.read_bytes)] * 2 + [outcome(path.write_bytes, b"x")], got):
        assert (type(e), e.args, os.fsdecode(e.filename)) == (type(want), want.args, want.filename)


@pytest.mark.parametrize("too_long_to_copy", [False, True])
def test_write_items_that_reuse_one_buffer(backend, tmp_path, monkeypatch, too_long_to_copy):
    """Each file gets the buffer as it was when its item was given, as in a
    loop, though the caller refills it for the next item."""
    if too_long_to_copy:  # written from the caller's buffer a part at a time
        monkeypatch.setattr(_convert, "MAX_WRITE", 4096)
        monkeypatch.setattr(_batch, "MAX_WRITE", 4096)
    buf = bytearray(100_000)

    def items(d):
        d.mkdir()
        for i in range(_batch.DEPTH + 8):
            buf[:] = bytes([i]) * len(buf)
            yield d / f"w{i}", buf

    for path, data in items(tmp_path / "theirs"):
        path.write_bytes(data)
    write_files(items(tmp_path / "ours"))
    assert [p.read_bytes() for p in sorted((tmp_path / "ours").iterdir())] == \
        [p.read_bytes() for p in sorted((tmp_path / "theirs").iterdir())]


@pytest.mark.parametrize("end", [RuntimeError("the caller's generator failed"), ("not", "a", "pair")])
@pytest.mark.parametrize("catch", [False, True])
def test_write_items_before_a_failing_iterable_are_written(backend, tmp_path, end, catch):
    """As a loop of write_bytes calls: every item handed over is written,
    then the iterable's failure is raised."""
    def items(d):
        d.mkdir()
        for i in range(_batch.DEPTH + 8):
            (d / f"w{i}").write_bytes(b"old")  # a cancelled write would truncate it
            yield d / f"w{i}", bytes([i]) * 200_000
        if isinstance(end, Exception):
            raise end
        yield end

    def loop(d):
        for path, data in items(d):
            path.write_bytes(data)

    want = outcome(loop, tmp_path / "theirs")
    got = outcome(write_files, items(tmp_path / "ours"), return_exceptions=catch)
    assert type(got) is type(want) and got.args == want.args
    assert [p.read_bytes() for p in sorted((tmp_path / "ours").iterdir())] == \
        [p.read_bytes() for p in sorted((tmp_path / "theirs").iterdir())]


class FailingPath:
    """A path-like whose __fspath__ fails in a way of its own."""
    def __fspath__(self):
        raise RuntimeError("no path here")


def loop_outcomes(fn, items, catch):
    """What a loop of fn(*item) gives: the results (failures in their place
    with `catch`), or the first failure."""
    results = [outcome(fn, *item) for item in items]
    failures = [r for r in results if isinstance(r, Exception)]
    return results if catch or not failures else failures[0]


@pytest.mark.parametrize("call", ["read_files", "iread_files", "stat_files", "write_files"])
@pytest.mark.parametrize("catch", [False, True])
def test_a_failing_path_like_fails_its_item_only(backend, tmp_path, call, catch, monkeypatch):
    """An item whose path fails in a way of its own is that item's failure,
    as in the loop: earlier writes in flight are finished, not cancelled."""
    monkeypatch.setattr(_batch, "STAT_CHUNK", 1)  # stats in this thread, then on the ring
    monkeypatch.setattr(_batch, "SLOW_STAT_NS", -1)
    ok = tmp_path / "ok"
    ok.write_bytes(b"data")
    paths = [ok, ok, FailingPath(), ok]
    if call == "write_files":
        def items(d):
            d.mkdir()
            return [(d / f"w{i}", bytes([i]) * 1_000_000) for i in range(4)] + [(FailingPath(), b"x")]
        want = loop_outcomes(lambda p, b: Path(p).write_bytes(b), items(tmp_path / "theirs"), catch)
        got = outcome(write_files, items(tmp_path / "ours"), return_exceptions=catch)
        assert [p.read_bytes() for p in sorted((tmp_path / "ours").iterdir())] == \
            [p.read_bytes() for p in sorted((tmp_path / "theirs").iterdir())]
    else:
        sync, batch = {"read_files": (sync_read, read_files), "stat_files": (os.stat, stat_files),
                       "iread_files": (sync_read, lambda p, **kw: [
                           r for _, r in sorted(iread_files(p, **kw), key=lambda r: r[0])])}[call]
        want = loop_outcomes(sync, [(p,) for p in paths], catch)
        got = outcome(batch, paths, return_exceptions=catch)
    if isinstance(want, list):
        assert len(got) == len(want) and all(map(same, want, got))
    else:
        assert same(want, got)


@pytest.mark.parametrize("call", ["read_files", "iread_files", "stat_files", "stat_files on the ring"])
@pytest.mark.parametrize("catch", [False, True])
def test_an_iterable_that_fails_after_a_failing_item(backend, tmp_path, call, catch, monkeypatch):
    """As in a loop: the items given before the iterable's failure are done,
    and an earlier item's failure is the one raised."""
    if call == "stat_files on the ring":
        monkeypatch.setattr(_batch, "STAT_CHUNK", 3)
        monkeypatch.setattr(_batch, "SLOW_STAT_NS", -1)
    ok = tmp_path / "ok"
    ok.write_bytes(b"data")
    paths = [ok, ok, ok, tmp_path / "missing", ok]  # the last chunk of 3 fails, then stops
    sync = os.stat if call.startswith("stat") else sync_read

    def items():
        yield from paths
        raise RuntimeError("the caller's generator failed")

    def loop():
        return [(i, sync(p) if not catch else outcome(sync, p)) for i, p in enumerate(items())]

    want = outcome(loop)
    if call == "iread_files":
        seen = []
        got = outcome(lambda: seen.extend(iread_files(items(), return_exceptions=catch)))
        # Every item given before the failure came out first.
        if catch:
            assert sorted(i for i, _ in seen) == list(range(len(paths)))
    else:
        got = outcome({"read_files": read_files}.get(call, stat_files), items(),
                      return_exceptions=catch)
    assert same(want, got), (want, got)


def test_an_early_end_leaks_nothing(backend, tree):
    tree = [p for p in tree if not isinstance(p, Path) or p.name != "large"]
    read_files(tree[:3])  # the ring the calls reuse exists before the count
    gc.collect()  # files that earlier tests left to the collector
    before = fds()

    def failing(items, after):
        yield from items[:after]
        raise RuntimeError("the caller's generator failed")

    with pytest.raises(RuntimeError):
        read_files(failing(tree, 70), return_exceptions=True)
    with pytest.raises(RuntimeError):
        write_files(failing([(tree[0].parent / f"w{i}", b"x" * i) for i in range(200)], 100))
    it = iread_files(tree * 3, return_exceptions=True)
    next(it)
    it.close()  # a consumer that stops early
    assert fds() == before
    if backend == "io_uring":
        assert [r.inflight for r in _batch._idle] == [0] and slots_empty(_batch._idle[0])
    assert read_files(tree[:2]) == [sync_read(p) for p in tree[:2]]


def _stops_at(after):
    def items(pairs):
        yield from pairs[:after]
        raise RuntimeError("the caller's generator failed")
    return items


@pytest.mark.parametrize("call, items", [
    (read_files, lambda ok, bad: [ok, bad, ok]),
    (lambda it, **kw: list(iread_files(it, **kw)), lambda ok, bad: [ok, bad, ok]),
    (stat_files, lambda ok, bad: [ok, bad, ok]),
    (write_files, lambda ok, bad: [(ok, b"x"), (bad, b"x"), (ok, 5)]),
    (write_files, lambda ok, bad: _stops_at(1)([(ok, b"x"), (ok, b"x")])),
    (read_files, lambda ok, bad: _stops_at(2)([ok, bad])),
    (stat_files, lambda ok, bad: _stops_at(2)([ok, bad])),
    (write_files, lambda ok, bad: _stops_at(2)([(ok, b"x"), (bad, b"x")])),
])
@pytest.mark.parametrize("catch", [False, True])
def test_a_failure_holds_no_reference_cycle(backend, tmp_path, call, items, catch):
    """A failure, returned or raised, is freed with its last reference, not
    left (with the call's frames and data) to the cycle collector."""
    ok = tmp_path / "ok"
    ok.write_bytes(b"data")
    args = items(ok, tmp_path / "missing-dir" / "x")
    gc.collect()
    gc.disable()
    try:
        try:
            result = call(args, return_exceptions=catch)
            assert any(isinstance(r, Exception) or isinstance(r[1], Exception) for r in result)
        except Exception as e:
            result = e
        result = None
        assert gc.collect() == 0
    finally:
        gc.enable()


def test_calls_from_threads_loops_and_generators(backend, tree):
    tree = [p for p in tree if not isinstance(p, Path) or p.name != "large"]
    want = read_files(tree, return_exceptions=True)

    def nested():  # a call from inside another call's path generator
        for k, p in enumerate(tree):
            if k % 20 == 0:
                assert all(map(same, want[:5], read_files(tree[:5], return_exceptions=True)))
            yield p

    async def in_loop():
        return read_files(tree, return_exceptions=True)

    results = []
    threads = [threading.Thread(target=lambda: results.append(
        read_files(tree, return_exceptions=True))) for _ in range(4)]
    for t in threads:
        t.start()
    results.append(read_files(nested(), return_exceptions=True))
    results.append(asyncio.run(in_loop()))
    for t in threads:
        t.join()
    assert len(results) == 6 and all(all(map(same, want, r)) for r in results)


def test_fallback_warns_once(tree, monkeypatch):
    monkeypatch.setattr(_batch, "_idle", [])
    monkeypatch.setattr(_batch, "Ring", refuse)
    monkeypatch.setattr(_batch, "_warned", False)
    with pytest.warns(RingUnavailableWarning, match="threads") as record:
        read_files(tree[:2])
    assert record[0].filename == __file__  # points at the caller
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        read_files(tree[:2])
        write_files([(tree[0].parent / "w", b"")])


def run_child(code, **kwargs):
    """`code` in a fresh interpreter that imports kovra_uring as this one did."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120, **kwargs)


# Root reads everything; a child without the two capabilities that allow it
# (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH) meets the permission bits. Threads
# started later inherit the reduced set.
DROP_DAC = """
import ctypes, os
if os.geteuid() == 0:
    libc = ctypes.CDLL(None, use_errno=True)
    class Header(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]
    class Data(ctypes.Structure):
        _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                    ("inheritable", ctypes.c_uint32)]
    header, data = Header(0x20080522, 0), (Data * 2)()
    if libc.capget(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capget")
    data[0].effective &= ~0b110
    if libc.capset(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capset")
"""


def test_unreadable_files(tmp_path):
    (tmp_path / "secret").write_bytes(b"secret")
    (tmp_path / "closed").mkdir()
    (tmp_path / "closed" / "inside").write_bytes(b"inside")
    (tmp_path / "open").write_bytes(b"open")
    os.chmod(tmp_path / "secret", 0)
    os.chmod(tmp_path / "closed", 0)
    try:
        child = run_child(DROP_DAC + textwrap.dedent(f"""
        import errno, warnings
        from kovra_uring import _batch
        paths = [{str(tmp_path / "secret")!r}, {str(tmp_path / "closed" / "inside")!r},
                 {str(tmp_path / "open")!r}] * 30
        def outcome(p):
            try:
                return open(p, "rb").read()
            except OSError as e:
                return type(e), e.args, e.filename
        want = [outcome(p) for p in paths]
        assert sum(isinstance(w, tuple) for w in want) == 60, want[:3]
        for backend in "io_uring", "threads":
            if backend == "threads":
                _batch._idle.clear()
                def refuse(*a):
                    raise OSError(errno.EPERM, "refused")
                _batch.Ring = refuse
                warnings.simplefilter("ignore")
            got = [g if isinstance(g, bytes) else (type(g), g.args, g.filename)
                   for g in _batch.read_files(paths, return_exceptions=True)]
            assert got == want, (backend, got[:3])
            got = [type(g) for g in _batch.stat_files(paths, return_exceptions=True)]
            assert got == [os.stat_result, PermissionError, os.stat_result] * 30
        print("ok")
        """))
    finally:
        os.chmod(tmp_path / "closed", 0o700)
    assert child.stdout == "ok\n", child.stderr


@pytest.mark.parametrize("kind", ["io_uring", "threads"])
def test_ctrl_c(tmp_path, kind):
    """SIGINT stops a read of an endless generator whose FIFO blocks its open
    in a kernel worker: promptly, every operation finished, nothing leaked."""
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "f").write_bytes(b"x" * 5000)
    child = run_child(f"""
        import errno, itertools, os, signal, threading, time, warnings
        from kovra_uring import _batch
        if {kind!r} == "threads":
            def refuse(*a):
                raise OSError(errno.EPERM, "refused")
            _batch.Ring = refuse
            warnings.simplefilter("ignore")
        f, fifo = {str(tmp_path / "f")!r}, {str(tmp_path / "fifo")!r}
        _batch.read_files([f])
        before = set(os.listdir("/proc/self/fd"))
        sent = []
        def interrupt():
            time.sleep(0.5)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        try:
            _batch.read_files(itertools.cycle([f] * 100 + [fifo]))
        except KeyboardInterrupt:
            took = time.monotonic() - sent[0]
        if {kind!r} == "threads":
            # The workers blocked in the FIFO's open go once a writer comes.
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            _batch._executor.shutdown()
            _batch._executor = None
        after = set(os.listdir("/proc/self/fd"))
        assert after == before, (before, after)
        assert _batch.read_files([f] * 3) == [b"x" * 5000] * 3
        if {kind!r} == "io_uring":
            ring, = _batch._idle
            assert ring.inflight == 0
        print("ok", took)
        """)
    assert child.stdout.startswith("ok "), child.stderr
    assert float(child.stdout.split()[1]) < 1.0


def test_a_million_paths_in_bounded_memory(tmp_path):
    """The input is pulled as files finish, never far ahead: a generator of a
    million paths costs the same memory as one of ten thousand."""
    (tmp_path / "empty").write_bytes(b"")
    child = run_child(f"""
        import resource
        from kovra_uring import _batch
        path = {str(tmp_path / "empty")!r}
        pulled = lead = 0
        def paths(n):
            global pulled
            for _ in range(n):
                pulled += 1
                yield path
        def run(n):
            global lead, pulled
            pulled = 0
            for done, (i, data) in enumerate(_batch.iread_files(paths(n)), 1):
                lead = max(lead, pulled - done)
            return done
        assert run(10_000) == 10_000
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert run(1_000_000) == 1_000_000
        print(lead, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss)
        """)
    lead, grown_kib = map(int, child.stdout.split())
    assert lead <= 2 * _batch.DEPTH, lead
    assert grown_kib < 4096, grown_kib
