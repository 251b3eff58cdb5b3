"""Engine behaviour against the real kernel: ids, the pending table and
buffer lifetimes, the submission queue, reaping and the eventfd."""
import errno
import gc
import os
import select
import sys
import tracemalloc

import pytest

import _uring
from kernel_view import UNKNOWN_ID, fdinfo, new_ring, run

ENOENT = (-errno.ENOENT, None)


def test_ids_are_sequential_and_skipped_only_after_conversion(tmp_path):
    (tmp_path / "f").write_bytes(b"x")
    ring = _uring.Ring()
    assert [ring.submit_cancel(UNKNOWN_ID) for _ in range(3)] == [1, 2, 3]
    assert ring.submit_open_read(str(tmp_path / "f"), os.O_RDONLY, 0, 1, 0) == (4, 5)
    assert ring.submit_cancel(UNKNOWN_ID) == 6
    with pytest.raises(OSError, match="nul byte"):
        ring.submit_open("a\0b", os.O_RDONLY, 0)  # takes 7
    with pytest.raises(OverflowError):
        ring.submit_read(0, -1, 1)  # refused before an id is taken
    assert ring.submit_cancel(UNKNOWN_ID) == 8
    assert ring.inflight == 7
    assert sorted(run(ring)) == [1, 2, 3, 4, 5, 6, 8]


def test_push_flushes_only_when_queue_is_full():
    ring, fd = new_ring(4)
    ids = [ring.submit_cancel(UNKNOWN_ID) for _ in range(4)]
    info = fdinfo(fd)
    assert (info["SqHead"], info["SqTail"], info["SQEs"], info["CqTail"]) == (0, 4, 4, 0)
    assert ring.inflight == 4
    ids.append(ring.submit_cancel(UNKNOWN_ID))
    info = fdinfo(fd)
    assert (info["SqHead"], info["SqTail"], info["SQEs"]) == (4, 5, 1)
    ring.submit()
    info = fdinfo(fd)
    assert (info["SqHead"], info["SQEs"], info["CQEs"]) == (5, 0, 5)
    assert ring.inflight == 5  # completed but not reaped still counts
    assert [t[0] for t in ring.reap()] == ids
    assert ring.inflight == 0 and ring.reap() == []


def test_no_completion_lost_when_cq_overflows(tmp_path):
    (tmp_path / "f").write_bytes(b"abc")
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    ring, rfd = new_ring(4)
    want = {ring.submit_cancel(UNKNOWN_ID): ENOENT for _ in range(32)}
    want.update({ring.submit_read(fd, 0, 8): (3, b"abc") for _ in range(32)})
    ring.submit()
    info = fdinfo(rfd)
    assert info["CQEs"] == info["CqMask"] + 1  # full; the rest wait in the overflow list
    assert ring.inflight == 64
    assert run(ring) == want
    os.close(fd)


def test_eventfd_signals_completions_and_drains():
    ring = _uring.Ring()
    efd = ring.eventfd
    assert ring.drain_eventfd() is None  # counter already zero
    assert select.select([efd], [], [], 0)[0] == []
    ids = [ring.submit_cancel(UNKNOWN_ID) for _ in range(3)]
    assert select.select([efd], [], [], 0.05)[0] == []  # nothing submitted yet
    ring.submit()
    assert select.select([efd], [], [], 5)[0] == [efd]
    assert ring.drain_eventfd() is None
    assert select.select([efd], [], [], 0)[0] == []
    assert ring.reap() == [(i, *ENOENT) for i in ids]


@pytest.mark.parametrize("length", [100, 1 << 24])  # polled read, and one forced to a worker
def test_cancel_inflight_pipe_read(length):
    r, w = os.pipe()
    ring = _uring.Ring()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        rid = ring.submit_read(r, 0, length)
        assert tracemalloc.get_traced_memory()[0] - base >= length
        ring.submit()
        assert ring.reap() == [] and ring.inflight == 1
        # A cancel that races with the kernel handing the read to a worker can
        # miss it (-ENOENT, or -EALREADY with the read still blocked), so the
        # test asks again until the read is gone.
        res, cancels = {}, []
        while rid not in res:
            assert len(cancels) < 50, f"read survived {len(cancels)} cancels"
            cancels.append(ring.submit_cancel(rid))
            assert ring.inflight == 2
            while cancels[-1] not in res:
                ring.submit()
                res.update((u, (r, p)) for u, r, p in ring.reap())
        assert ring.inflight == 0
        assert {res[c][0] for c in cancels} <= {0, -errno.EALREADY, -errno.ENOENT}
        assert all(res[c][1] is None for c in cancels)
        assert res[rid] in [(-errno.ECANCELED, None), (-errno.EINTR, None)]
        assert tracemalloc.get_traced_memory()[0] - base < length // 2 + 65536
    finally:
        tracemalloc.stop()
        os.close(w)
        os.close(r)


def test_reap_hands_back_the_submitted_id_and_lets_it_go():
    ring = _uring.Ring()
    for _ in range(300):  # past the interpreter's shared small ints
        ring.submit_cancel(UNKNOWN_ID)
    run(ring)
    uids = [ring.submit_cancel(UNKNOWN_ID) for _ in range(3)]
    held = [sys.getrefcount(u) for u in uids]
    ring.submit()
    triples = ring.reap()
    assert [t[0] for t in triples] == uids and all(t[0] is u for t, u in zip(triples, uids))
    assert [t[1:] for t in triples] == [ENOENT] * 3
    del triples
    assert [sys.getrefcount(u) for u in uids] == [h - 1 for h in held]  # the entries' references


def test_read_results_and_payloads_follow_each_completion(tmp_path):
    (tmp_path / "f").write_bytes(bytes(range(256)) * 16)
    ring = _uring.Ring()
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    try:
        # Full, full, short (end of file), then full again: the result of
        # each completion is its own, whatever the one before it was.
        asks = [(0, 100), (100, 100), (4000, 200), (0, 100), (10, 7000)]
        uids = [ring.submit_read(fd, off, n) for off, n in asks]
        out = run(ring)
    finally:
        os.close(fd)
    data = bytes(range(256)) * 16
    for uid, (off, n) in zip(uids, asks):
        assert out[uid] == (len(data[off:off + n]), data[off:off + n])


def _submit_writes(ring, fd, bufs, vectored):
    if vectored:
        return ring.submit_writev(fd, 0, bufs)
    offsets = [sum(map(len, bufs[:i])) for i in range(len(bufs))]
    return [ring.submit_write(fd, off, b) for off, b in zip(offsets, bufs)]


@pytest.mark.parametrize("vectored", [False, True])
def test_write_data_held_until_reaped(tmp_path, vectored):
    ring = _uring.Ring()
    fd = os.open(tmp_path / "f", os.O_RDWR | os.O_CREAT, 0o600)
    bufs = [os.urandom(65536) for _ in range(4)]
    expected, counts = b"".join(bufs), [sys.getrefcount(b) for b in bufs]
    _submit_writes(ring, fd, bufs, vectored)
    ring.submit()
    assert [sys.getrefcount(b) for b in bufs] == [c + 1 for c in counts]
    run(ring)
    assert [sys.getrefcount(b) for b in bufs] == counts
    os.ftruncate(fd, 0)
    _submit_writes(ring, fd, bufs, vectored)  # now with every caller reference dropped
    bufs.clear()
    gc.collect()
    junk = [b"\xa5" * 65536 for _ in range(64)]  # reuse any memory freed too early
    assert all(res == 65536 * (4 if vectored else 1) for res, _ in run(ring).values())
    assert os.pread(fd, len(expected) + 1, 0) == expected and junk
    os.close(fd)
