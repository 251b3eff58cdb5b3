"""kovra_uring.tempfile against the stdlib's tempfile, on both back ends."""

import contextlib
import gc
import os
import tempfile
import warnings

import anyio
import pytest
from test_open import backend, call, fds, outcome, parse  # noqa: F401  (backend: a fixture)

import kovra_uring

@contextlib.asynccontextmanager
async def entered(cm):
    """`async with` for ours, `with` for the stdlib's."""
    if hasattr(cm, "__aenter__"):
        async with cm as f:
            yield f
    else:
        with cm as f:
            yield f


SCRIPT = parse("write(b'some bytes\\nand more\\n'); seek(0); readline(); tell(); read(); seek(5);"
               "truncate(); seek(0); read()")


@pytest.mark.parametrize("kind", ["TemporaryFile", "NamedTemporaryFile", "SpooledTemporaryFile"])
@pytest.mark.parametrize("mode, buffering", [("w+b", -1), ("w+b", 0), ("wb", -1), ("w+", -1)])
def test_files_as_stdlib(tmp_path, backend, kind, mode, buffering, run_on):
    script = [(op, *(a.decode() if "b" not in mode and type(a) is bytes else a for a in args))
              for op, *args in (SCRIPT if "+" in mode else SCRIPT[:1] + parse("tell(); seek(1)"))]
    args = (8, mode, buffering) if kind == "SpooledTemporaryFile" else (mode, buffering)
    kw = {"dir": tmp_path, "prefix": "pre", "suffix": ".suf"}

    async def run(module):
        async with entered(getattr(module, kind)(*args, **kw)) as f:
            out = [await outcome(call(f, op, *a)) for op, *a in script]
            inner = f
            while (i := getattr(inner, "_file", None) or getattr(inner, "file", None)) is not None:
                inner = i  # the file inside the wrappers
            out += [type(inner).__name__.removeprefix("Async"), inner.mode,
                    sorted(n[:3] + n[-4:] for n in os.listdir(tmp_path))]
        return out + [os.listdir(tmp_path), f.closed]

    before = fds()
    assert run_on(run, kovra_uring.tempfile) == run_on(run, tempfile)
    assert fds() == before


@pytest.mark.parametrize("delete, delete_on_close", [(True, True), (True, False), (False, True)])
def test_named_deletion_as_stdlib(tmp_path, backend, delete, delete_on_close, run_on):
    kw = {"dir": tmp_path, "delete": delete, "delete_on_close": delete_on_close}

    async def run(module):
        async with entered(module.NamedTemporaryFile(**kw)) as f:
            assert f.name.startswith(str(tmp_path))
            await call(f, "close")
            out = [os.path.exists(f.name)]
        g = await module.NamedTemporaryFile(**kw) if module is kovra_uring.tempfile else \
            module.NamedTemporaryFile(**kw)
        name = g.name
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            del g  # not entered: removed (quietly) when collected, unless on close
            gc.collect()
        return out + [os.path.exists(f.name), os.path.exists(name),
                      [w.category for w in caught]]

    assert run_on(run, kovra_uring.tempfile) == run_on(run, tempfile)


def test_directory_as_stdlib(tmp_path, backend, run_on):
    async def main():
        async with kovra_uring.tempfile.TemporaryDirectory(dir=tmp_path, prefix="d") as name:
            assert type(name) is str and os.path.isdir(name)
            (tmp_path / name / "inside").write_bytes(b"x")
        d = await kovra_uring.tempfile.TemporaryDirectory(dir=tmp_path)
        assert os.path.isdir(d.name)
        assert isinstance(d, kovra_uring.tempfile.temptypes.AsyncTemporaryDirectory)
        async with kovra_uring.tempfile.SpooledTemporaryFile() as s:
            assert isinstance(s, kovra_uring.tempfile.temptypes.AsyncSpooledTemporaryFile)
        await d.cleanup()
        async with kovra_uring.tempfile.TemporaryDirectory(dir=tmp_path, delete=False) as kept:
            pass
        return name, d.name, kept

    *gone, kept = run_on(main)
    for name in gone:
        assert not os.path.exists(name)
    assert os.path.isdir(kept)


@pytest.mark.parametrize("kind", ["TemporaryDirectory", "NamedTemporaryFile"])
def test_gone_when_a_cancel_scope_leaves_the_block(tmp_path, backend, kind, run_on):
    """As after tempfile's with-block, also when a cancel scope ends it."""
    async def main():
        with anyio.CancelScope() as scope:
            async with getattr(kovra_uring.tempfile, kind)(dir=tmp_path) as made:
                name = getattr(made, "name", made)
                scope.cancel()
                await anyio.sleep(5)
        return os.path.exists(name)

    assert run_on(main) is False


def runs_without_resource_warnings(run_on, main):
    """run_on(main), after which nothing is left unclosed for the collector."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        run_on(main)
        gc.collect()
    assert [w.message for w in caught if w.category is ResourceWarning] == []


def test_cancelled_creation_leaves_nothing(tmp_path, backend, run_on):
    async def victim(kind):
        async with getattr(kovra_uring.tempfile, kind)(dir=tmp_path):
            await anyio.sleep(0)

    kinds = ["TemporaryFile", "NamedTemporaryFile", "TemporaryDirectory", "SpooledTemporaryFile"]

    async def main():
        kovra_uring._loop.get_driver()
        before = fds()
        for i in range(80):
            async with anyio.create_task_group() as tg:
                tg.start_soon(victim, kinds[i % len(kinds)])
                for _ in range(i % 9):
                    await anyio.sleep(0 if i % 2 else 0.0003)
                tg.cancel_scope.cancel()
        for _ in range(100):  # threads still creating for cancelled callers
            if fds() == before:
                break
            await anyio.sleep(0.01)
        assert fds() == before

    runs_without_resource_warnings(run_on, main)
    assert os.listdir(tmp_path) == []


def test_spooled_close_after_cancelled_rollover(tmp_path, backend, run_on):
    # The cancelled write runs on in its thread, rolling the file over onto
    # disk; the close must come after it, and close that file too.
    async def main():
        kovra_uring._loop.get_driver()
        before = fds()
        for _ in range(100):
            f = await kovra_uring.tempfile.SpooledTemporaryFile(max_size=10, dir=tmp_path)
            with anyio.CancelScope() as scope:
                scope.cancel()
                await f.write(b"z" * 100)
            await f.close()
        assert fds() == before

    runs_without_resource_warnings(run_on, main)
