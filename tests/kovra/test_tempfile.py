"""kovra_uring.tempfile against the stdlib's tempfile, on both back ends."""

import asyncio
import errno
import gc
import os
import tempfile
import warnings

import pytest

import kovra_uring
import kovra_uring._driver
from kovra_uring import RingUnavailableWarning


@pytest.fixture(params=["io_uring", "threads"])
def backend(request, monkeypatch):
    if request.param == "threads":
        def refuse(entries=256):
            raise OSError(errno.EPERM, os.strerror(errno.EPERM))
        monkeypatch.setattr(kovra_uring._driver, "Ring", refuse)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RingUnavailableWarning)
        yield request.param


def fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


async def run(f, script):
    out = []
    for op, *args in script:
        r = getattr(f, op)(*args)
        out.append(await r if asyncio.iscoroutine(r) else r)
    return out


SCRIPT = [("write", b"some bytes\nand more\n"), ("seek", 0), ("readline",), ("tell",),
          ("read",), ("seek", 5), ("truncate",), ("seek", 0), ("read",)]


@pytest.mark.parametrize("kind", ["TemporaryFile", "NamedTemporaryFile", "SpooledTemporaryFile"])
@pytest.mark.parametrize("mode, buffering", [("w+b", -1), ("w+b", 0), ("wb", -1), ("w+", -1)])
def test_files_as_stdlib(tmp_path, backend, kind, mode, buffering):
    text = "b" not in mode
    if text and not hasattr(kovra_uring._text.AsyncTextIOWrapper, "seek"):
        pytest.skip("the text layer is not there yet")
    script = [(op, *(a.decode() if text and isinstance(a, bytes) else a for a in args))
              for op, *args in SCRIPT]
    if "+" not in mode:
        script = script[:1] + [("tell",), ("seek", 0), ("write", script[0][1][:3])]
    if kind == "SpooledTemporaryFile":
        args = (8, mode, buffering)  # rolls over to a file within the script
    else:
        args = (mode, buffering)
    kw = {"dir": tmp_path, "prefix": "pre", "suffix": ".suf"}

    def describe(f):  # the file inside the wrappers
        while (inner := getattr(f, "_file", None) or getattr(f, "file", None)) is not None:
            f = inner
        return type(f).__name__.removeprefix("Async"), f.mode

    with getattr(tempfile, kind)(*args, **kw) as f:
        expected = [outcome(lambda: run_sync(f, script)), describe(f),
                    sorted(n[:3] + n[-4:] for n in os.listdir(tmp_path))]
    expected.append(os.listdir(tmp_path))

    async def main():
        async with getattr(kovra_uring.tempfile, kind)(*args, **kw) as f:
            got = [await arun(f, script), describe(f),
                   sorted(n[:3] + n[-4:] for n in os.listdir(tmp_path))]
        return got + [os.listdir(tmp_path)], f.closed

    before = fds()
    got, closed = asyncio.run(main())
    assert got == expected and closed
    assert fds() == before


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:
        return "error", type(e), str(e)


def run_sync(f, script):
    return [getattr(f, op)(*args) for op, *args in script]


async def arun(f, script):
    try:
        return "ok", await run(f, script)
    except Exception as e:
        return "error", type(e), str(e)


@pytest.mark.parametrize("delete, delete_on_close", [(True, True), (True, False), (False, True)])
def test_named_deletion_as_stdlib(tmp_path, backend, delete, delete_on_close):
    kw = {"dir": tmp_path, "delete": delete, "delete_on_close": delete_on_close}
    with tempfile.NamedTemporaryFile(**kw) as f:
        f.close()
        expected = [os.path.exists(f.name)]
    expected.append(os.path.exists(f.name))

    async def main():
        async with kovra_uring.tempfile.NamedTemporaryFile(**kw) as f:
            assert f.name.startswith(str(tmp_path))
            await f.close()
            got = [os.path.exists(f.name)]
        got.append(os.path.exists(f.name))
        # Not entered: removed when collected, unless on close.
        g = await kovra_uring.tempfile.NamedTemporaryFile(**kw)
        name = g.name
        del g
        gc.collect()
        return got, os.path.exists(name)

    got, left = asyncio.run(main())
    assert got == expected
    assert left == (not delete)


def test_directory_as_stdlib(tmp_path, backend):
    async def main():
        async with kovra_uring.tempfile.TemporaryDirectory(dir=tmp_path, prefix="d") as name:
            assert type(name) is str and os.path.isdir(name)
            (tmp_path / name / "inside").write_bytes(b"x")
        d = await kovra_uring.tempfile.TemporaryDirectory(dir=tmp_path)
        assert os.path.isdir(d.name)
        await d.cleanup()
        return name, d.name

    for name in asyncio.run(main()):
        assert not os.path.exists(name)


def test_cancelled_creation_leaves_nothing(tmp_path, backend):
    async def victim(kind, got):
        async with getattr(kovra_uring.tempfile, kind)(dir=tmp_path) as f:
            got.append(f)
            await asyncio.sleep(0)

    async def main():
        kovra_uring._loop.get_driver()
        before = fds()
        for i in range(80):
            kind = ["TemporaryFile", "NamedTemporaryFile", "TemporaryDirectory"][i % 3]
            got = []
            task = asyncio.ensure_future(victim(kind, got))
            for _ in range(i % 9):
                await asyncio.sleep(0 if i % 2 else 0.0003)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
        await asyncio.sleep(0.05)  # threads still creating for cancelled callers
        assert fds() == before

    asyncio.run(main())
    assert os.listdir(tmp_path) == []
