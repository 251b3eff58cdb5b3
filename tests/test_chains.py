"""Linked open-and-read / open-and-write chains and direct-descriptor I/O."""
import errno
import os
import stat

import pytest

import _uring
from kernel_view import IOSQE_FIXED_FILE, IOSQE_IO_LINK, UNKNOWN_ID, fdinfo, new_ring, run, run_one, submit_trace

CANCELED = (-errno.ECANCELED, None)


@pytest.fixture
def ring():
    ring = _uring.Ring()
    if not ring.fixed_slots:
        pytest.skip("kernel without sparse direct descriptors")
    return ring


def chain(ring, kind, path, flags, slot, size=100):
    if kind == "read":
        return ring.submit_open_read(str(path), flags | os.O_RDONLY, 0, size, slot)
    return ring.submit_open_write(str(path), flags | os.O_WRONLY, 0o600, os.urandom(size), slot)


def test_small_file_read_whole_then_slot_freed_and_reused(ring, tmp_path):
    data = os.urandom(3000)
    (tmp_path / "f").write_bytes(data)
    assert ring.submit_open_read(str(tmp_path / "f"), os.O_RDONLY, 0, 4096, 3) == (1, 2)
    assert run(ring) == {1: (0, None), 2: (3000, data)}
    assert run_one(ring, ring.submit_close_fixed(3)) == (0, None)
    assert run_one(ring, ring.submit_read_fixed(3, 0, 10))[0] == -errno.EBADF  # slot now empty
    o, r = ring.submit_open_read(str(tmp_path / "f"), os.O_RDONLY, 0, 3000, 3)
    assert (o, r) == (5, 6) and run(ring) == {o: (0, None), r: (3000, data)}


def test_large_file_continued_with_fixed_reads(ring, tmp_path):
    data = os.urandom(5 << 19)  # 2.5 MiB
    (tmp_path / "f").write_bytes(data)
    o, r = ring.submit_open_read(str(tmp_path / "f"), os.O_RDONLY, 0, 65536, 9)
    res = run(ring)
    assert res[o] == (0, None) and res[r] == (65536, data[:65536])
    got = [res[r][1]]
    while True:  # 1 MiB chunks go through a worker, the tail is short, then end of file
        n, chunk = run_one(ring, ring.submit_read_fixed(9, sum(map(len, got)), 1 << 20))
        assert n == len(chunk)
        if not n:
            break
        got.append(chunk)
    assert b"".join(got) == data and len(got) == 4
    assert run_one(ring, ring.submit_close_fixed(9)) == (0, None)


def test_chained_write_creates_file_and_fixed_write_continues(ring, tmp_path):
    umask = os.umask(0)
    os.umask(umask)
    path, first, rest = tmp_path / "new", os.urandom(5000), os.urandom(7000)
    o, w = ring.submit_open_write(str(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o640, first, 511)
    assert run(ring) == {o: (0, None), w: (5000, None)}
    assert run_one(ring, ring.submit_write_fixed(511, 5000, rest)) == (7000, None)
    assert run_one(ring, ring.submit_close_fixed(511)) == (0, None)
    assert path.read_bytes() == first + rest
    assert stat.S_IMODE(path.stat().st_mode) == 0o640 & ~umask


@pytest.mark.parametrize("kind", ["read", "write"])
@pytest.mark.parametrize("name,flags,slot,err", [
    ("missing", 0, 0, errno.ENOENT),
    ("f", 0, 600, None),  # beyond the registered table
    ("f", 0, 4294967293, None),  # largest slot accepted at call time
    ("f", os.O_CLOEXEC, 0, errno.EINVAL),  # direct descriptors have no close-on-exec
])
def test_failed_open_cancels_linked_half(tmp_path, kind, name, flags, slot, err):
    ring = _uring.Ring()
    (tmp_path / "f").write_bytes(b"x" * 100)
    o, second = chain(ring, kind, tmp_path / name, flags, slot)
    res = run(ring)
    assert res[o][1] is None and (res[o][0] == -err if err else res[o][0] < 0)
    assert res[second] == CANCELED
    assert (tmp_path / "f").read_bytes() == b"x" * 100
    assert not (tmp_path / "missing").exists()


@pytest.mark.parametrize("slot", [4294967294, 4294967295])
@pytest.mark.parametrize("submit,used", [
    (lambda r, p, s: chain(r, "read", p, 0, s), 2),
    (lambda r, p, s: chain(r, "write", p, 0, s), 2),
    (lambda r, p, s: r.submit_close_fixed(s), 1),
])
def test_invalid_slot_refused_with_ids_consumed(tmp_path, slot, submit, used):
    (tmp_path / "f").write_bytes(b"x")
    ring = _uring.Ring()
    with pytest.raises(OSError) as e:
        submit(ring, tmp_path / "f", slot)
    assert e.value.args == ("invalid fixed-file slot",)
    assert ring.inflight == 0
    assert ring.submit_cancel(UNKNOWN_ID) == 1 + used


@pytest.mark.parametrize("kind", ["read", "write"])
def test_chain_never_fits_ring_of_one(tmp_path, kind):
    (tmp_path / "f").write_bytes(b"x" * 100)
    ring, rfd = new_ring(1)
    first = ring.submit_cancel(UNKNOWN_ID)
    assert fdinfo(rfd)["SqTail"] == 1
    with pytest.raises(OSError) as e:
        chain(ring, kind, tmp_path / "f", 0, 0)
    assert e.value.args == ("submission queue full",)
    info = fdinfo(rfd)
    assert info["SqTail"] == 1 and info["SqHead"] == 1  # queued cancel flushed, pair never published
    assert ring.inflight == 1
    assert ring.submit_cancel(UNKNOWN_ID) == first + 3
    assert run(ring) == {1: (-errno.ENOENT, None), 4: (-errno.ENOENT, None)}
    assert (tmp_path / "f").read_bytes() == b"x" * 100


def test_sqe_flags_seen_by_kernel(ring, tmp_path):
    (tmp_path / "f").write_bytes(os.urandom(2 << 20))
    mib = 1 << 20
    with submit_trace() as requests:
        o, r = ring.submit_open_read(str(tmp_path / "f"), os.O_RDONLY, 0, mib, 1)
        ow, w = ring.submit_open_write(str(tmp_path / "w"), os.O_WRONLY | os.O_CREAT, 0o600, bytes(mib), 2)
        assert {uid: res for uid, (res, _) in run(ring).items()} == {o: 0, r: mib, ow: 0, w: mib}
        big, small = ring.submit_read_fixed(1, 0, mib), ring.submit_read_fixed(1, 0, mib - 1)
        fw = ring.submit_write_fixed(2, mib, bytes(mib))
        assert {uid: res for uid, (res, _) in run(ring).items()} == {big: mib, small: mib - 1, fw: mib}
        seen = requests()
    link, fixed = IOSQE_IO_LINK, IOSQE_FIXED_FILE  # 0x10 is also the kernel's own on OPENAT with O_CREAT
    for uid, op, mask, want in [(o, "OPENAT", link | fixed, link), (ow, "OPENAT", link | fixed, link),
                                (r, "READ", 0x15, fixed), (w, "WRITE", 0x15, fixed), (big, "READ", 0x15, 0x11),
                                (small, "READ", 0x15, fixed), (fw, "WRITE", 0x15, fixed)]:
        assert seen[uid][0] == op and seen[uid][1] & mask == want, (uid, op, hex(seen[uid][1]))
