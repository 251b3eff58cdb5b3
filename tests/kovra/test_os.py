"""kovra_uring.os and kovra_uring.os.path against os and os.path: the same
call on the same tree gives the same result, or the same exception."""

import asyncio
import errno
import inspect
import os
import pathlib
import stat
import warnings

import pytest

import kovra_uring._driver as driver
import kovra_uring.os as kos
import kovra_uring.ospath
from kovra_uring import RingUnavailableWarning


@pytest.fixture(params=["io_uring", "threads"])
def backend(request, monkeypatch):
    if request.param == "threads":
        def refused(entries=256):
            raise OSError(errno.EPERM, os.strerror(errno.EPERM))
        monkeypatch.setattr(driver, "Ring", refused)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RingUnavailableWarning)
        yield request.param


def make_tree(root):
    (root / "d/e").mkdir(parents=True)
    (root / "d/g").write_bytes(b"g" * 5000)
    (root / "f").write_bytes(b"data")
    (root / "secret").write_bytes(b"")
    (root / "secret").chmod(0)
    os.symlink("f", root / "ln")
    os.symlink("d", root / "dl")
    os.symlink("missing", root / "broken")
    os.symlink("loop", root / "loop")
    open(os.fsencode(root) + b"/bad\xff", "wb").close()


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
        detail = None if isinstance(e, OSError) else str(e)
        return type(e), getattr(e, "errno", None), getattr(e, "filename", None), \
            getattr(e, "filename2", None), detail


def snapshot(root):
    """The tree as lstat and readlink see it."""
    out = []
    for top, dirs, files in os.walk(root):
        for name in sorted(dirs + files):
            p = os.path.join(top, name)
            st = os.lstat(p)
            out.append((os.path.relpath(p, root), st.st_mode, st.st_nlink, st.st_size,
                        os.readlink(p) if stat.S_ISLNK(st.st_mode) else None))
    return out


def resolve(args, fds):
    return [fds.get(a, a) if isinstance(a, str) else a for a in args]


PATHS = ["f", "d", "d/", "ln", "dl", "broken", "loop", "secret", "nope", "f/x", "nope/x", "",
         "/", "/proc/self/status", "x" * 300, "a\0b", b"f", b"bad\xff", b"a\0", pathlib.Path("dl"),
         "FD", None, 1.5, bytearray(b"f")]
PATH_FUNCS = ["exists", "isfile", "isdir", "islink", "ismount", "getsize", "getmtime",
              "getatime", "getctime", "abspath"]
QUERIES = (
    [("stat", (p,), {}) for p in PATHS]
    + [("stat", (p,), {"follow_symlinks": False}) for p in PATHS]
    + [("path." + f, (p,), {}) for f in PATH_FUNCS for p in PATHS]
    + [("stat", ("g",), {"dir_fd": "DIRFD"}), ("stat", ("FD",), {"follow_symlinks": False})]
    + [("path.samefile", ps, {}) for ps in [("f", "ln"), ("d", "dl/"), ("f", "d"), ("f", "nope"),
                                             (b"f", "FD")]]
    + [("path.sameopenfile", fs, {}) for fs in [("FD", "FD"), ("FD", "DIRFD"), (-1, "FD"),
                                                 (2**40, "FD"), ("f", "f")]]
    + [(f, (p,), {}) for f in ["readlink", "listdir", "scandir", "statvfs"]
       for p in ["ln", "d", "f", "nope", "broken", b"ln", b".", "a\0", "DIRFD", None]]
    + [("access", (p, m), {}) for p in ["f", "secret", "nope", "ln", b"bad\xff"]
       for m in [os.F_OK, os.R_OK | os.W_OK, os.X_OK]]
    + [("listdir", (), {}), ("scandir", (), {}), ("getcwd", (), {})])


def get(module, name):
    return getattr(module.path, name[5:]) if name.startswith("path.") else getattr(module, name)


@pytest.mark.parametrize("name,args,kwargs", QUERIES)
def test_queries_as_os(backend, tmp_path, monkeypatch, name, args, kwargs):
    make_tree(tmp_path)
    monkeypatch.chdir(tmp_path)
    fds = {"FD": os.open("f", os.O_RDONLY), "DIRFD": os.open("d", os.O_RDONLY)}
    args, kwargs = resolve(args, fds), dict(zip(kwargs, resolve(kwargs.values(), fds)))
    try:
        expected = outcome(lambda: get(os, name)(*args, **kwargs))
        assert outcome(lambda: asyncio.run(get(kos, name)(*args, **kwargs))) == expected
    finally:
        for fd in fds.values():
            os.close(fd)


CHANGES = (
    [(f, (p,), {}) for f in ["remove", "unlink", "rmdir", "mkdir", "makedirs", "removedirs"]
     for p in ["f", "d", "d/e", "ln", "dl", "broken", "nope", "nope/x", "new", "f/x", b"bad\xff",
               b"new\xfe", "a\0", pathlib.Path("d/e"), "/proc/self/status", "/proc/k", None]]
    + [(f, ps, {}) for f in ["rename", "replace", "renames", "symlink", "link"]
       for ps in [("f", "new"), ("f", "d/g"), ("f", "d"), ("d", "f"), ("d", "d/e/x"), ("ln", "new"),
                  ("nope", "new"), ("f", "nope/x"), ("f", "f"), (b"bad\xff", b"new"),
                  ("f", b"new"), (pathlib.Path("dl"), "new"), ("f", "a\0"), ("f", "/proc/k"),
                  ("f", None)]]
    + [("mkdir", ("new", m), {}) for m in [0o700, 0o4777, -1, 2**31, 1.0]]
    + [("makedirs", ("d/e", 0o755, True), {}), ("makedirs", ("new/a/b", 0o700), {})]
    + [(f, ("g", "new"), {"src_dir_fd": "DIRFD", "dst_dir_fd": "DIRFD"})
       for f in ["rename", "replace", "link"]]
    + [(f, ("g",), {"dir_fd": "DIRFD"}) for f in ["unlink", "mkdir"]]
    + [("symlink", ("f", "new"), {"dir_fd": "DIRFD"}), ("link", ("ln", "new"), {"follow_symlinks": False})])


@pytest.mark.parametrize("name,args,kwargs", CHANGES)
def test_changes_as_os(backend, tmp_path, monkeypatch, name, args, kwargs):
    results = []
    for tree, module in [("os", os), ("kovra", kos)]:
        (tmp_path / tree).mkdir()
        make_tree(tmp_path / tree)
        monkeypatch.chdir(tmp_path / tree)
        fds = {"DIRFD": os.open("d", os.O_RDONLY)}
        a, kw = resolve(args, fds), dict(zip(kwargs, resolve(kwargs.values(), fds)))
        call = get(module, name)
        result = outcome(lambda: call(*a, **kw) if module is os else asyncio.run(call(*a, **kw)))
        os.close(fds["DIRFD"])
        results.append((result, snapshot(tmp_path / tree)))
    assert results[0] == results[1]


def test_signatures_are_os():
    def params(fn):
        return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]
    assert kos.path is kovra_uring.ospath
    for module, names in [(os, kos.__all__), (os.path, kos.path.__all__)]:
        for name in set(names) - {"path"}:
            ours = get(kos, "path." + name if module is os.path else name)
            assert inspect.iscoroutinefunction(ours)
            assert params(ours) == params(getattr(module, name))
