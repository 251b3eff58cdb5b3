"""kovra_uring.os and .os.path against os and os.path: same call, same tree, same outcome."""

import asyncio
import gc
import inspect
import os
import pathlib
import stat
import warnings

import anyio
import pytest
from leaks import cycles_left
from test_driver import backend  # noqa: F401 (a fixture)

import kovra_uring.os as kos
import kovra_uring.ospath
from kovra_uring._loop import get_driver


def make_tree(root):
    (root / "d/e").mkdir(parents=True)
    for name, data in [("d/g", b"g" * 5000), ("f", b"data"), ("secret", b"")]:
        (root / name).write_bytes(data)
    (root / "secret").chmod(0)  # unreadable, but for root
    for link, target in [("ln", "f"), ("dl", "d"), ("broken", "missing"), ("loop", "loop")]:
        os.symlink(target, root / link)
    open(os.fsencode(root / "bad") + b"\xff", "wb").close()  # not UTF-8


def norm(r):
    """What a result says, in a form that compares."""
    if isinstance(r, os.stat_result):
        return tuple(getattr(r, k) for k in dir(r) if k.startswith("st_"))
    if isinstance(r, os.statvfs_result):
        return r.f_bsize, r.f_namemax, r.f_fsid  # the free counts move
    if type(r).__name__ == "ScandirIterator":
        with r:
            return sorted((e.name, e.path, e.is_dir(), e.is_symlink(), e.inode()) for e in r)
    return sorted(r) if isinstance(r, list) else r


def outcome(call):
    try:
        return norm(call())
    except Exception as e:
        return (type(e), *(getattr(e, a, None) for a in ("errno", "filename", "filename2")),
                None if isinstance(e, OSError) else str(e))


def snapshot(root):
    """The tree as lstat and readlink see it."""
    paths = sorted(os.path.join(top, n) for top, ds, fs in os.walk(root) for n in ds + fs)
    return [(os.path.relpath(p, root), (st := os.lstat(p)).st_mode, st.st_nlink, st.st_size,
             stat.S_ISLNK(st.st_mode) and os.readlink(p)) for p in paths]


PATHS = ["f", "d", "d/", "ln", "dl", "broken", "loop", "secret", "nope", "f/x", "nope/x", "",
         "/", "/proc/self/status", "x" * 300, "a\0b", b"f", b"bad\xff", b"a\0", pathlib.Path("dl"),
         "FD", None, 1.5, bytearray(b"f")]
QUERIES = (
    [(f, (p,), {}) for p in PATHS for f in ["stat", *("path." + f for f in kos.path.__all__)]]
    + [("stat", (p,), {"follow_symlinks": False}) for p in PATHS]
    + [("stat", ("g",), {"dir_fd": "DIRFD"}), ("path.sameopenfile", ("FD", "FD"), {})]
    + [("path.samefile", a, {}) for a in [("f", "ln"), ("d", "dl/"), ("f", "nope"), (b"f", "FD")]]
    + [("path.sameopenfile", a, {}) for a in [("FD", "DIRFD"), (-1, "FD"), (2**40, "FD"), ("f", 0)]]
    + [(f, (p,), {}) for f in ["readlink", "listdir", "scandir", "statvfs"]
       for p in ["ln", "d", "f", "nope", "broken", b"ln", b".", "a\0", "DIRFD", None]]
    + [("access", (p, m), {}) for p in ["f", "secret", "nope", "ln", b"bad\xff"]
       for m in [os.F_OK, os.R_OK | os.W_OK, os.X_OK]]
    + [("listdir", (), {}), ("scandir", (), {}), ("getcwd", (), {})])


def call_in(root, module, name, args, kwargs):
    """The call's outcome in `root`, "FD" and "DIRFD" standing for descriptors of f and d."""
    os.chdir(root)
    fds = {"FD": os.open("f", os.O_RDONLY), "DIRFD": os.open("d", os.O_RDONLY)}
    args = [fds.get(a, a) if isinstance(a, str) else a for a in args]
    kwargs = {k: fds.get(v, v) for k, v in kwargs.items()}
    fn = getattr(module.path, name[5:]) if name.startswith("path.") else getattr(module, name)
    try:
        return outcome(lambda: asyncio.run(fn(*args, **kwargs)) if module is kos
                       else fn(*args, **kwargs))
    finally:
        for fd in fds.values():
            os.close(fd)


@pytest.mark.parametrize("name,args,kwargs", QUERIES)
def test_queries_as_os(backend, tmp_path, monkeypatch, name, args, kwargs):
    make_tree(tmp_path)
    monkeypatch.chdir(tmp_path)
    assert call_in(tmp_path, kos, name, args, kwargs) == call_in(tmp_path, os, name, args, kwargs)


CHANGES = (
    [(f, (p,), {}) for f in ["remove", "unlink", "rmdir", "mkdir", "makedirs", "removedirs"]
     for p in ["f", "d", "d/e", "ln", "dl", "broken", "nope", "nope/x", "new", "f/x", b"bad\xff",
               b"new\xfe", "a\0", pathlib.Path("d/e"), "/proc/self/status", "/proc/k", None]]
    + [(f, ps, {}) for f in ["rename", "replace", "renames", "symlink", "link"]
       for ps in [("f", "new"), ("f", "d/g"), ("f", "d"), ("d", "f"), ("d", "d/e/x"), ("ln", "new"),
                  ("nope", "new"), ("f", "nope/x"), ("f", "f"), (b"bad\xff", b"new"),
                  ("f", b"new"), (pathlib.Path("dl"), "new"), ("f", "a\0"), ("f", "/proc/k"),
                  ("f", None), ("f/x", ""), ("nope/x", "x" * 4096), ("f", "x" * 4096)]]
    + [("mkdir", ("new", m), {}) for m in [0o700, 0o4777, -1, 2**31, 1.0]]
    + [("makedirs", ("d/e", 0o755, True), {}), ("makedirs", ("new/a/b", 0o700), {})]
    + [(f, ("g", "new"), {"src_dir_fd": "DIRFD", "dst_dir_fd": "DIRFD"})
       for f in ["rename", "replace", "link"]]
    + [(f, ("g",), {"dir_fd": "DIRFD"}) for f in ["unlink", "mkdir"]]
    + [("symlink", ("f", "new"), {"dir_fd": "DIRFD"}),
       ("link", ("ln", "new"), {"follow_symlinks": False})])


@pytest.mark.parametrize("name,args,kwargs", CHANGES)
def test_changes_as_os(backend, tmp_path, monkeypatch, name, args, kwargs):
    monkeypatch.chdir(tmp_path)
    results = []
    for module in os, kos:
        (root := tmp_path / module.__name__).mkdir()
        make_tree(root)
        results.append((call_in(root, module, name, args, kwargs), snapshot(root)))
    assert results[0] == results[1]


@pytest.mark.parametrize("name", ["stat", "listdir", "scandir", "readlink", "statvfs",
                                  "path.getsize"])
def test_a_failure_holds_no_reference_cycle(backend, run_on, tmp_path, name):
    """A failed call's exception (and the frames of its traceback) is freed
    with its last reference, not left to the cycle collector: a long-running
    program that meets missing files would otherwise pile them up."""
    fn = kos
    for part in name.split("."):
        fn = getattr(fn, part)

    async def fail():
        for _ in range(3):
            with pytest.raises(OSError):
                await fn(tmp_path / "nope")

    assert run_on(cycles_left, fail) == 0


def test_signatures_are_os():
    def params(fn):
        return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]
    assert kos.path is kovra_uring.ospath
    aiofiles_keywords = [(k, inspect.Parameter.KEYWORD_ONLY, None) for k in ("loop", "executor")]
    for theirs, ours in [(os, kos), (os.path, kos.path)]:
        for name in set(ours.__all__) - {"path", "wrap"}:
            assert inspect.iscoroutinefunction(getattr(ours, name))
            assert params(getattr(ours, name)) == params(getattr(theirs, name)) + aiofiles_keywords
    assert kos.path.wrap is kos.wrap  # aiofiles offers it in both
    assert asyncio.run(kos.wrap(os.path.join)("a", "b", executor=None)) == "a/b"


@pytest.mark.parametrize("ns", [-1_500_000_001, 2**62, 2**63 + 7, 15_032_385_535 * 10**9])
def test_times_as_os(backend, tmp_path, ns):
    # Times past 2262 do not fit 64-bit nanoseconds (ext4 keeps them to 2446).
    (f := tmp_path / "f").touch()
    os.utime(f, ns=(ns, ns))

    async def ours():
        fd = os.open(f, os.O_RDONLY)
        try:
            return [await kos.stat(f), await kos.path.getmtime(f),
                    await get_driver().fstat(fd)]
        finally:
            os.close(fd)
    assert [norm(r) for r in asyncio.run(ours())] == [norm(os.stat(f)), os.path.getmtime(f),
                                                     norm(os.stat(f))]


def test_scandir_left_by_its_caller_is_closed(backend, run_on, tmp_path):
    async def main():
        for delay in [0, 0, 1e-5, 1e-4, 1e-3] * 4:
            with anyio.move_on_after(delay):
                (await kos.scandir(tmp_path)).close()

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        run_on(main)
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
