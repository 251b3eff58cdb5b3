"""Operations on descriptors the caller holds, end to end on real files."""
import contextlib
import errno
import os

import pytest

from kernel_view import IOSQE_ASYNC, fdinfo, new_ring, run, run_one, submit_trace

SIZE = 3 << 19  # 1.5 MiB, so a 1 MiB read is complete


@pytest.fixture
def fd(tmp_path):
    fd = os.open(tmp_path / "data", os.O_RDWR | os.O_CREAT, 0o600)
    yield fd
    with contextlib.suppress(OSError):
        os.close(fd)


@pytest.fixture
def content(fd):
    data = os.urandom(SIZE)
    os.pwrite(fd, data, 0)
    return data


@pytest.mark.parametrize("how", ["write", "list", "tuple", "empty list", "empty bytes"])
def test_writes_read_back_identical(ring, fd, how):
    parts = [] if how.startswith("empty") else [os.urandom(n) for n in (1, 4096, 70000)]
    data = b"".join(parts)
    if how in ("write", "empty bytes"):
        uid = ring.submit_write(fd, 7, data)
    else:
        uid = ring.submit_writev(fd, 7, tuple(parts) if how == "tuple" else parts)
    assert run(ring) == {uid: (len(data), None)}
    assert os.pread(fd, len(data) + 1, 7) == data


@pytest.mark.parametrize("offset,length", [
    (0, 4096),           # full
    (0, 1 << 20),        # full, through a worker
    (SIZE - 4096, 4096), # full, up to the end exactly
    (SIZE - 100, 4096),  # short
    (SIZE, 10),          # end of file
    (SIZE + 9999, 10),   # past the end
    (5, 0),              # zero length
])
def test_read_payload(ring, fd, content, offset, length):
    uid = ring.submit_read(fd, offset, length)
    want = content[offset:offset + length]
    res, payload = run(ring)[uid]
    assert res == len(want)
    assert type(payload) is bytes and payload == want


@pytest.mark.parametrize("args,kwargs,datasync", [((), {}, 0), ((False,), {}, 0), ((True,), {}, 1),
                                                   ((), {"datasync": True}, 1)])
def test_fsync(fd, content, args, kwargs, datasync):
    ring, rfd = new_ring()
    uid = ring.submit_fsync(fd, *args, **kwargs)
    queued = fdinfo(rfd).get("SQEs_lines")
    if queued:  # IORING_FSYNC_DATASYNC is rw_flags 1
        assert f"rw_flags:{datasync:#x}," in queued[0]
    assert run(ring) == {uid: (0, None)}


@pytest.mark.parametrize("length", [0, 123, SIZE + 5000])
def test_ftruncate(ring, fd, content, length):
    res, payload = run_one(ring, ring.submit_ftruncate(fd, length))
    assert payload is None
    if res in (-errno.EINVAL, -errno.EOPNOTSUPP):
        pytest.skip("kernel has no IORING_OP_FTRUNCATE")
    assert res == 0 and os.fstat(fd).st_size == length


def test_close(ring, fd):
    uid = ring.submit_close(fd)
    assert os.fstat(fd)  # still open until submitted
    assert run(ring) == {uid: (0, None)}
    with pytest.raises(OSError) as e:
        os.fstat(fd)
    assert e.value.errno == errno.EBADF


@pytest.mark.parametrize("submit,err", [
    (lambda r, d: r.submit_read(-1, 0, 10), errno.EBADF),
    (lambda r, d: r.submit_write(-1, 0, b"x"), errno.EBADF),
    (lambda r, d: r.submit_writev(-1, 0, [b"x"]), errno.EBADF),
    (lambda r, d: r.submit_fsync(-1), errno.EBADF),
    (lambda r, d: r.submit_ftruncate(-1, 0), errno.EBADF),
    (lambda r, d: r.submit_close(-1), errno.EBADF),
    (lambda r, d: r.submit_fstatx(-1), errno.EBADF),
    (lambda r, d: r.submit_read(d, 0, 10), errno.EISDIR),
])
def test_failures_come_back_as_negative_errno(ring, tmp_path, submit, err):
    dfd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        uid = submit(ring, dfd)
        assert run(ring) == {uid: (-err, None)}
    finally:
        os.close(dfd)


@pytest.mark.parametrize("length", [1048575, 1048576])
def test_only_large_reads_are_forced_async(ring, fd, content, length):
    with submit_trace() as requests:
        rid = ring.submit_read(fd, 0, length)
        wid = ring.submit_write(fd, 0, content[:length])
        vid = ring.submit_writev(fd, 0, [content[:length]])
        res = run(ring)
        seen = requests()
    assert res[rid] == (length, content[:length])
    assert seen[rid][0] == "READ" and bool(seen[rid][1] & IOSQE_ASYNC) == (length >= 1 << 20)
    assert seen[wid][0] == "WRITE" and not seen[wid][1] & IOSQE_ASYNC
    assert seen[vid][0] == "WRITEV" and not seen[vid][1] & IOSQE_ASYNC
