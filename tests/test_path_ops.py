"""Operations that name files by path, checked against os on real files."""
import contextlib
import errno
import os
import stat

import pytest

from kernel_view import run

FIELDS = ("st_mode", "st_ino", "st_dev", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime_ns",
          "st_mtime_ns", "st_ctime_ns", "st_blksize", "st_blocks", "st_rdev")


@pytest.fixture
def umask():
    old = os.umask(0o027)
    yield 0o027
    os.umask(old)


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "f").write_bytes(os.urandom(5000))
    os.utime(tmp_path / "f", ns=(-500000000, -1999999999))  # before 1970
    with contextlib.suppress(PermissionError):  # widest device number the kernel keeps
        os.mknod(tmp_path / "n", stat.S_IFCHR | 0o600, os.makedev(4095, 1048575))
    (tmp_path / "d").mkdir()
    (tmp_path / "l").symlink_to("f")
    return tmp_path


def ok(ring, uid):
    assert run(ring) == {uid: (0, None)}


@pytest.mark.parametrize("name,follow,os_stat", [
    ("f", True, os.stat), ("d", True, os.stat), ("l", True, os.stat), ("l", False, os.lstat),
    ("/dev/null", True, os.stat), ("n", True, os.stat), ("f", None, os.fstat), ("d", None, os.fstat),
])
def test_statx_matches_os(ring, tree, name, follow, os_stat):
    path = str(tree / name)
    if not os.path.lexists(path):
        pytest.skip("mknod not permitted")
    if follow is None:
        fd = os.open(path, os.O_RDONLY)
        uid, st = ring.submit_fstatx(fd), os_stat(fd)
        res, payload = run(ring)[uid]
        os.close(fd)
    else:
        uid = ring.submit_statx(path) if follow else ring.submit_statx(path, follow=False)
        res, payload = run(ring)[uid]
        st = os_stat(path)
    assert res == 0 and type(payload) is tuple
    assert dict(zip(FIELDS, payload)) == {f: getattr(st, f) for f in FIELDS}


def test_statx_fields_follow_each_file(ring, tree):
    # Neighbours that differ in mode, links, device and block size, in both
    # orders: no value of one file may stand in for the next one's.
    os.link(tree / "f", tree / "f2")
    os.chmod(tree / "d", 0o701)
    names = ["f", "d", "f", "/dev/null", "d", "/proc/self/stat", "f2"]
    paths = [name if name.startswith("/") else str(tree / name) for name in names]
    uids = [ring.submit_statx(p) for p in paths]
    out = run(ring)
    for uid, path in zip(uids, paths):
        st = os.stat(path)
        assert out[uid][0] == 0
        expected = {f: getattr(st, f) for f in FIELDS if "time" not in f}
        assert {f: v for f, v in zip(FIELDS, out[uid][1]) if "time" not in f} == expected


@pytest.mark.parametrize("args,mode", [((), 0o750), ((0o700,), 0o700), ((0o777,), 0o750)])
def test_mkdir_mode(ring, tmp_path, umask, args, mode):
    ok(ring, ring.submit_mkdir(str(tmp_path / "new"), *args))
    st = os.stat(tmp_path / "new")
    assert stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == mode


def test_name_operations(ring, tree):
    f, g, s, h = (str(tree / n) for n in "fgsh")
    data = (tree / "f").read_bytes()
    ok(ring, ring.submit_rename(f, g))
    assert not os.path.lexists(f) and (tree / "g").read_bytes() == data
    ok(ring, ring.submit_symlink("g", s))
    assert os.readlink(s) == "g"
    ok(ring, ring.submit_link(g, h))
    assert os.stat(h).st_ino == os.stat(g).st_ino and os.stat(h).st_nlink == 2
    ok(ring, ring.submit_link(s, f))  # a symlink as src is linked, not followed
    assert os.path.islink(f) and os.lstat(f).st_ino == os.lstat(s).st_ino
    ok(ring, ring.submit_unlink(g))
    assert not os.path.lexists(g) and os.stat(h).st_nlink == 1
    ok(ring, ring.submit_unlink(str(tree / "d"), remove_dir=True))
    assert not os.path.lexists(tree / "d")


def test_two_path_operations_resolve_relative_names_from_the_cwd(ring, tree, monkeypatch):
    monkeypatch.chdir(tree)  # restored after the test
    data = (tree / "f").read_bytes()
    ok(ring, ring.submit_rename("f", "d/g"))
    ok(ring, ring.submit_link("d/g", "h"))
    ok(ring, ring.submit_symlink("d/g", "s"))
    assert not os.path.lexists(tree / "f") and (tree / "d" / "g").read_bytes() == data
    assert os.stat(tree / "h").st_ino == os.stat(tree / "d" / "g").st_ino
    assert os.readlink(tree / "s") == "d/g"


@pytest.mark.parametrize("submit,err", [
    (lambda r, t: r.submit_statx(f"{t}/missing"), errno.ENOENT),
    (lambda r, t: r.submit_statx(""), errno.ENOENT),
    (lambda r, t: r.submit_open(f"{t}/missing", os.O_RDONLY, 0), errno.ENOENT),
    (lambda r, t: r.submit_open(f"{t}/f", os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600), errno.EEXIST),
    (lambda r, t: r.submit_unlink(f"{t}/missing"), errno.ENOENT),
    (lambda r, t: r.submit_unlink(f"{t}/d"), errno.EISDIR),
    (lambda r, t: r.submit_unlink(f"{t}/f", remove_dir=True), errno.ENOTDIR),
    (lambda r, t: r.submit_mkdir(f"{t}/d"), errno.EEXIST),
    (lambda r, t: r.submit_mkdir(f"{t}/f/sub"), errno.ENOTDIR),
    (lambda r, t: r.submit_rename(f"{t}/missing", f"{t}/x"), errno.ENOENT),
    (lambda r, t: r.submit_symlink("f", f"{t}/d"), errno.EEXIST),
    (lambda r, t: r.submit_link(f"{t}/f", f"{t}/l"), errno.EEXIST),
])
def test_errors_come_back_as_negative_errno(ring, tree, submit, err):
    uid = submit(ring, tree)
    assert run(ring) == {uid: (-err, None)}


def test_open_gives_usable_inheritable_fd(ring, tmp_path, umask):
    path = tmp_path / "f"
    uid = ring.submit_open(str(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
    fd, payload = run(ring)[uid]
    assert fd >= 0 and payload is None
    try:
        assert os.get_inheritable(fd)  # no O_CLOEXEC added
        assert os.write(fd, b"new") == 3 and os.pread(fd, 10, 0) == b"new"
    finally:
        os.close(fd)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask
