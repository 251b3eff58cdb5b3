"""System-call failures injected with an LD_PRELOAD shim (tests/faultinject):
what each failure raises, and that it leaks nothing and leaves the pending
table and the ids as promised."""
import errno
import os

import pytest

from faultinject.harness import errno_text, run_child, shim  # noqa: F401 (fixture)

IORING_OFF_SQ_RING, IORING_OFF_SQES = 0, 0x10000000


def expected_type(err):
    return type(OSError(err, "x")).__name__


SETUP = """
before = owned()
arm(P["call"], P["nth"], P["err"])
ring, e = attempt(Ring, 64)
hits, offset = disarm(), F.fault_arg(5)
if ring is not None:
    ring = None
done(exc=exc_info(e), hits=hits, offset=offset, leaked=owned() != before,
     again=Ring(8).inflight == 0)
"""


@pytest.mark.parametrize("call, nth, err, offset", [
    ("io_uring_setup", 1, errno.EPERM, None),
    ("io_uring_setup", 1, errno.ENOMEM, None),
    ("mmap", 1, errno.ENOMEM, IORING_OFF_SQES),        # the SQE array is mapped first
    ("mmap", 2, errno.EAGAIN, IORING_OFF_SQ_RING),     # then the one shared ring mapping
    ("eventfd", 1, errno.EMFILE, None),
    ("io_uring_register:4", 1, errno.EBUSY, None),      # IORING_REGISTER_EVENTFD
])
def test_setup_failure_raises_errno_error_and_undoes_everything(shim, call, nth, err, offset):
    r = run_child(SETUP, shim, dict(call=call, nth=nth, err=err))
    assert r["exc"] == {"type": expected_type(err), "errno": err, "strerror": errno_text(err),
                        "args": [str(err), errno_text(err)], "notes": []}
    assert r["hits"] == nth, "the failing call was retried or never made"
    if offset is not None:
        assert r["offset"] == offset
    assert not r["leaked"] and r["again"]


def test_setup_makes_one_shared_ring_mapping(shim):
    # IORING_FEAT_SINGLE_MMAP on this kernel: a third mapping is never asked for.
    r = run_child(SETUP, shim, dict(call="mmap", nth=3, err=errno.ENOMEM))
    assert r["exc"] is None and r["hits"] == 2 and not r["leaked"]


def test_sparse_table_refused_gives_zero_slots_and_a_working_ring(shim, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"kovra" * 100)
    r = run_child("""
    before = owned()
    arm("io_uring_register:13", 1, errno.EMFILE)   # IORING_REGISTER_FILES2
    ring = Ring(16)
    hits = disarm()
    fd = os.open(P, os.O_RDONLY)
    rid = ring.submit_read(fd, 0, 500)
    chain = ring.submit_open_read(P, os.O_RDONLY, 0, 10, 0)
    got = {u: (res, p if not isinstance(p, bytes) else p.decode()) for u, res, p in drain(ring)}
    os.close(fd)
    slots, ring = ring.fixed_slots, None
    done(hits=hits, slots=slots, read=got[rid], chain=[got[i] for i in chain],
         leaked=owned() != before)
    """, shim, str(path))
    assert r["hits"] == 1 and r["slots"] == 0 and not r["leaked"]
    assert r["read"] == [500, "kovra" * 100]
    (open_res, _), read = r["chain"]
    assert open_res < 0 and read == [-errno.ECANCELED, None]


def test_failed_submit_keeps_everything_queued(shim, tmp_path):
    path = tmp_path / "f"
    path.write_bytes(bytes(range(256)))
    r = run_child("""
    fd = os.open(P, os.O_RDONLY)
    ring = Ring(8)
    ids = [ring.submit_read(fd, i * 10, 10) for i in range(3)]
    arm("io_uring_enter", 1, errno.EAGAIN)
    _, e = attempt(ring.submit)
    hits, to_submit = disarm(), F.fault_arg(1)
    state = [ring.inflight, fdinfo("SqHead"), fdinfo("SqTail")]
    got = sorted((u, res, list(p)) for u, res, p in drain(ring))
    done(exc=exc_info(e), hits=hits, to_submit=to_submit, state=state, ids=ids, got=got)
    """, shim, str(path))
    assert r["exc"]["type"] == "BlockingIOError" and r["exc"]["errno"] == errno.EAGAIN
    assert r["exc"]["strerror"] == errno_text(errno.EAGAIN)
    assert r["hits"] == 1 and r["to_submit"] == 3
    assert r["state"] == [3, "0", "3"]
    assert r["ids"] == [1, 2, 3]
    assert r["got"] == [[i + 1, 10, list(range(i * 10, i * 10 + 10))] for i in range(3)]


# A push into a full queue flushes it first. Ring(4) holds four single entries;
# Ring(2) with one queued has no room for a linked pair. `err` None: the flush
# works; 0: io_uring_enter "succeeds" without the kernel consuming anything.
FLUSH = """
path = P["dir"] + "/out"
fd = os.open(P["dir"] + "/src", os.O_RDONLY)
before = owned()
ring = Ring(P["entries"])
queued = [ring.submit_read(fd, 0, 4) for _ in range(P["queued"])]
data = b"written by the pair" if P["pair"] else b"written by the fifth"
refs = sys.getrefcount(data)
arm("io_uring_enter", 0 if P["err"] is None else 1, P["err"] or 0)
if P["pair"]:
    ids, e = attempt(ring.submit_open_write, path, os.O_WRONLY | os.O_CREAT, 0o644, data, 0)
else:
    ids, e = attempt(ring.submit_write, fd, 0, data)
hits, enter = disarm(), [F.fault_arg(i) for i in (1, 2, 3)]
after = dict(inflight=ring.inflight, tail=fdinfo("SqTail"), refs=sys.getrefcount(data) - refs,
             probe=ring.submit_close(-1))
reaped = sorted(u for u, res, p in drain(ring))
ring = None
done(exc=exc_info(e), ids=ids, hits=hits, enter=enter, after=after, reaped=reaped,
     created=os.path.exists(path), refs=sys.getrefcount(data) - refs, leaked=owned() != before)
"""


@pytest.mark.parametrize("pair, entries, queued", [(False, 4, 4), (True, 2, 1)],
                         ids=["single", "pair"])
@pytest.mark.parametrize("err", [None, errno.EBUSY, errno.EINTR, 0],
                         ids=["flushed", "EBUSY", "EINTR", "still-full"])
def test_push_into_full_queue(shim, tmp_path, pair, entries, queued, err):
    (tmp_path / "src").write_bytes(b"source")
    r = run_child(FLUSH, shim, dict(dir=str(tmp_path), entries=entries, queued=queued,
                                    pair=pair, err=err))
    taken = [queued + 1, queued + 2] if pair else queued + 1
    assert r["hits"] == 1 and r["enter"] == [queued, 0, 0], "one flush of everything queued"
    assert not r["leaked"] and r["refs"] == 0
    if err is None:
        assert r["exc"] is None and r["ids"] == taken
        n = queued + (2 if pair else 1)
        assert r["after"] == dict(inflight=n, tail=str(n), refs=1, probe=n + 1)
        assert r["reaped"] == list(range(1, n + 2)) and r["created"] == pair
        return
    if err:
        assert r["exc"] == {"type": expected_type(err), "errno": err, "strerror": errno_text(err),
                            "args": [str(err), errno_text(err)], "notes": []}
    else:
        assert r["exc"] == {"type": "OSError", "errno": None, "strerror": None,
                            "args": ["submission queue full"], "notes": []}
    # Nothing of the refused submission stays: the entry is dropped with its
    # reference, nothing reached the queue, and its ids are gone for good.
    probe = queued + (3 if pair else 2)
    assert r["after"] == dict(inflight=queued, tail=str(queued), refs=0, probe=probe)
    assert r["reaped"] == list(range(1, queued + 1)) + [probe]
    assert not r["created"]


def test_pair_never_fits_a_one_entry_ring(tmp_path):
    r = run_child("""
    before = owned()
    ring = Ring(1)
    data = b"x" * 10
    refs = sys.getrefcount(data)
    outcomes = [exc_info(attempt(ring.submit_open_write, P + "/f", os.O_WRONLY | os.O_CREAT,
                                 0o644, data, 0)[1]) for _ in range(3)]
    state = [ring.inflight, fdinfo("SqTail"), ring.submit_close(-1), sys.getrefcount(data) - refs]
    drain(ring)
    ring = None
    done(outcomes=outcomes, state=state, leaked=owned() != before)
    """, params=str(tmp_path))
    assert all(o["args"] == ["submission queue full"] for o in r["outcomes"])
    assert r["state"] == [0, "0", 7, 0] and not r["leaked"]
    assert not os.path.exists(tmp_path / "f")
