"""System-call failures injected with an LD_PRELOAD shim (tests/faultinject):
what each one raises, that it leaks nothing, and what it leaves of the
pending table and the ids."""
import errno
import os

import pytest

from faultinject.harness import errno_error, run_child, shim  # noqa: F401 (fixture)

SETUP = """
before = owned()
F.fault_hide_features(0 if P["single"] else 1)  # IORING_FEAT_SINGLE_MMAP
arm(P["call"], P["nth"], P["err"])
ring, e = attempt(Ring, 64)
hits, offset, maps = disarm(), F.fault_arg(5), owned()[1] - before[1]
work = ring and [ring.submit_cancel(1 << 60), run(ring)]  # completions read through the CQ view
ring = None
done(exc=exc_info(e), hits=hits, offset=offset, maps=maps, work=work,
     leaked=owned() != before, again=Ring(8).inflight)
"""
SQES, SQ_RING, CQ_RING = 0x10000000, 0, 0x8000000  # IORING_OFF_*


@pytest.mark.parametrize("call, nth, err, offset, single", [
    ("io_uring_setup", 1, errno.EPERM, None, True),
    ("io_uring_setup", 1, errno.ENOMEM, None, True),
    ("mmap", 1, errno.ENOMEM, SQES, True),  # the SQE array comes first
    ("mmap", 2, errno.EAGAIN, SQ_RING, True),  # then the one shared ring mapping
    ("mmap", 3, None, None, True),  # and no third
    ("eventfd", 1, errno.EMFILE, None, True),
    ("io_uring_register:4", 1, errno.EBUSY, None, True),  # IORING_REGISTER_EVENTFD
    ("mmap", 2, errno.ENOMEM, SQ_RING, False),  # a kernel without one shared mapping
    ("mmap", 3, errno.ENOMEM, CQ_RING, False),
    ("eventfd", 1, errno.EMFILE, None, False),
    ("io_uring_register:4", 1, errno.EBUSY, None, False),
    ("mmap", 4, None, None, False),
])
def test_setup_failure_raises_and_undoes_everything(shim, call, nth, err, offset, single):
    r = run_child(SETUP, shim, dict(call=call, nth=nth, err=err or 0, single=single))
    assert r["exc"] == (err and errno_error(err))
    assert r["hits"] == min(nth, 2 if single else 3), "the failing call was retried or not made"
    assert offset is None or r["offset"] == offset
    assert not r["leaked"] and r["again"] == 0
    if not err:
        assert r["maps"] == (2 if single else 3)
        assert r["work"] == [1, {"1": [-errno.ENOENT, None]}]


def test_refused_sparse_table_gives_zero_slots_and_a_working_ring(shim, tmp_path):
    (tmp_path / "f").write_bytes(b"kovra" * 100)
    r = run_child("""
    before = owned()
    arm("io_uring_register:13", 1, errno.EMFILE)  # IORING_REGISTER_FILES2
    ring, e = attempt(Ring, 16)
    hits, fd = disarm(), os.open(P, os.O_RDONLY)
    ids = [ring.submit_read(fd, 0, 500), *ring.submit_open_read(P, os.O_RDONLY, 0, 10, 0)]
    got = run(ring)
    os.close(fd)
    slots, ring = ring.fixed_slots, None
    done(exc=exc_info(e), hits=hits, slots=slots, leaked=owned() != before,
         got=[(got[i][0], got[i][1] and got[i][1].decode()) for i in ids])
    """, shim, str(tmp_path / "f"))
    assert r["exc"] is None and r["hits"] == 1 and r["slots"] == 0 and not r["leaked"]
    read, (opened, _), cancelled = r["got"]
    assert read == [500, "kovra" * 100] and opened < 0 and cancelled == [-errno.ECANCELED, None]


def test_failed_submit_keeps_everything_queued(shim, tmp_path):
    (tmp_path / "f").write_bytes(bytes(range(256)))
    r = run_child("""
    fd = os.open(P, os.O_RDONLY)
    ring, rfd = new_ring(8)
    ids = [ring.submit_read(fd, i * 10, 10) for i in range(3)]
    arm("io_uring_enter", 1, errno.EAGAIN)
    _, e = attempt(ring.submit)
    hits, to_submit = disarm(), F.fault_arg(1)
    state = [ring.inflight, fdinfo(rfd)["SqHead"], fdinfo(rfd)["SqTail"]]
    done(exc=exc_info(e), hits=hits, to_submit=to_submit, state=state, ids=ids,
         got={u: (res, list(data)) for u, (res, data) in run(ring).items()})
    """, shim, str(tmp_path / "f"))
    assert r["exc"] == errno_error(errno.EAGAIN) and r["hits"] == 1 and r["to_submit"] == 3
    assert r["state"] == [3, 0, 3] and r["ids"] == [1, 2, 3]
    assert r["got"] == {str(i + 1): [10, list(range(i * 10, i * 10 + 10))] for i in range(3)}


# A push into a full queue flushes it first: Ring(4) with four queued has no
# room for a vectored write, Ring(2) with one queued none for a linked pair.
FLUSH = """
out, fd = P["dir"] + "/out", os.open(P["dir"] + "/src", os.O_RDONLY)
before = owned()
ring, rfd = new_ring(P["entries"])
queued = [ring.submit_read(fd, 0, 4) for _ in range(P["queued"])]
data = b"written by the refused submission"
refs = sys.getrefcount(data)
arm("io_uring_enter", 0 if P["err"] is None else 1, P["err"] or 0)
if P["pair"]:
    ids, e = attempt(ring.submit_open_write, out, os.O_WRONLY | os.O_CREAT, 0o644, data, 0)
else:
    ids, e = attempt(ring.submit_writev, fd, 0, [data, data])
hits, enter = disarm(), [F.fault_arg(i) for i in (1, 2, 3)]
after = [ring.inflight, fdinfo(rfd)["SqTail"], sys.getrefcount(data) - refs, ring.submit_close(-1)]
reaped = sorted(run(ring))
ring = None
done(exc=exc_info(e), ids=ids, hits=hits, enter=enter, after=after, reaped=reaped,
     created=os.path.exists(out), refs=sys.getrefcount(data) - refs, leaked=owned() != before)
"""


@pytest.mark.parametrize("pair, entries, queued", [(False, 4, 4), (True, 2, 1)],
                         ids=["single", "pair"])
@pytest.mark.parametrize("err", [None, errno.EBUSY, errno.EINTR, 0],
                         ids=["flushed", "EBUSY", "EINTR", "still-full"])
def test_push_into_a_full_queue(shim, tmp_path, pair, entries, queued, err):
    """err None: the flush works; 0: io_uring_enter "succeeds" without the
    kernel consuming anything, so the queue is still full."""
    (tmp_path / "src").write_bytes(b"source")
    r = run_child(FLUSH, shim, dict(dir=str(tmp_path), entries=entries, queued=queued,
                                    pair=pair, err=err))
    assert r["hits"] == 1 and r["enter"] == [queued, 0, 0], "one flush of everything queued"
    assert not r["leaked"] and r["refs"] == 0
    n = queued + 1 + pair
    if err is None:
        assert r["exc"] is None and r["ids"] == ([n - 1, n] if pair else n)
        assert r["after"] == [n, n, 1 if pair else 2, n + 1] and r["created"] == pair
        assert r["reaped"] == list(range(1, n + 2))
        return
    assert r["exc"] == (errno_error(err) if err else {
        "type": "OSError", "errno": None, "strerror": None, "args": ["submission queue full"],
        "notes": []})
    # Nothing of the refused submission stays: its entries are dropped with
    # their references, nothing reached the queue, and its ids are gone.
    assert r["after"] == [queued, queued, 0, n + 1] and not r["created"]
    assert r["reaped"] == list(range(1, queued + 1)) + [n + 1]


@pytest.mark.skipif(bool(os.environ.get("URING_SANITIZED")), reason="needs RLIMIT_AS")
def test_read_buffer_that_cannot_be_created(tmp_path):
    r = run_child("""
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
    ring, big = Ring(8), 4294967295
    calls = [(ring.submit_read, 0, 0, big), (ring.submit_read_fixed, 0, 0, big),
             (ring.submit_open_read, P, os.O_RDONLY, 0, big, 0)]
    done(exc=[exc_info(attempt(*c)[1])["type"] for c in calls], inflight=ring.inflight,
         next=ring.submit_close(-1))
    """, params=str(tmp_path / "f"))
    assert r == {"exc": ["MemoryError"] * 3, "inflight": 0, "next": 5}


@pytest.mark.skipif(bool(os.environ.get("URING_SANITIZED")), reason="needs RLIMIT_AS")
def test_payload_that_cannot_be_created_in_reap(tmp_path):
    r = run_child("""
    import resource, select, time
    with open(P, "wb") as f:
        f.truncate(48 << 20)
    fd, ring = os.open(P, os.O_RDONLY), Ring(8)
    ring.submit_read(fd, 0, 64 << 20)  # a short read: reap must copy 48 MiB out
    ring.submit()
    assert select.select([ring.eventfd], [], [], 10)[0]
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), resource.RLIM_INFINITY))
    _, e = attempt(ring.reap)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
    after = [ring.inflight, [[u, res, len(data)] for u, res, data in ring.reap()],
             ring.submit_read(fd, 0, 3)]
    ring.submit()
    assert select.select([ring.eventfd], [], [], 10)[0]
    after.append([[u, res, data.decode()] for u, res, data in ring.reap()])
    start = time.monotonic()
    ring = None  # nothing is owed: no wait
    done(exc=[type(e).__name__, isinstance(e, Exception), list(e.args)], after=after,
         teardown=time.monotonic() - start)
    """, params=str(tmp_path / "f"))
    assert r["exc"] == ["PanicException", False, ["PyObject pointer is null"]]
    # The failed completion stays, with its entry, for the next reap.
    assert r["after"] == [1, [[1, 48 << 20, 48 << 20]], 2, [[2, 3, "\x00\x00\x00"]]]
    assert r["teardown"] < 1


# One batch of 16 completions of every payload kind, all posted before a reap
# in which allocation number `k` fails (k = -1: none does).
REAP_BATCH = """
import _testcapi, time, zlib
d = P
for name in ("r", "s"):
    with open(f"{d}/{name}", "wb") as f:
        f.write(bytes(range(256)) * 20)
rfd, wfd = os.open(d + "/r", os.O_RDONLY), os.open(d + "/w", os.O_WRONLY | os.O_CREAT, 0o644)
ring, ring_fd = new_ring(64)

def batch(k):
    ids = []
    for i in range(4):
        ids += [ring.submit_read(rfd, 300 * i, 1000 + i),  # filled: the buffer itself
                ring.submit_read(rfd, 4800 + i, 1000),  # short: a copy
                ring.submit_statx(d + "/s"),
                ring.submit_write(wfd, 700 * i, b"w" * (600 + i))]
    ring.submit()
    while fdinfo(ring_fd)["CqTail"] - fdinfo(ring_fd)["CqHead"] < 16:  # statx runs on workers
        time.sleep(0.001)
    reap, first, failed = ring.reap, [], None
    # Live 3-tuples past the free list's size, so that reap's own triples
    # are new allocations too.
    spare = [(i, k, None) for i in range(3000)]
    _testcapi.set_nomemory(k, k + 1) if k >= 0 else None
    try:
        first = reap()
    except BaseException as e:
        failed = type(e).__name__
    finally:
        _testcapi.remove_mem_hooks()
    rest, after = ring.reap(), ring.reap()
    got = first + rest
    return dict(failed=failed, first=len(first), inflight=ring.inflight, after=len(after),
                uids=sorted(u for u, _, _ in got) == sorted(ids),
                got=sorted([ids.index(u), res, zlib.crc32(repr(p).encode())] for u, res, p in got))

ref = batch(-1)
assert ref["failed"] is None and ref["first"] == 16, ref
done(ref=ref["got"], runs=[batch(k) for k in range(80)])
"""


def test_reap_failing_part_way_loses_no_completion(tmp_path):
    """Whichever allocation fails, the failing reap raises and the next one
    returns every completion it did not, exactly once and intact."""
    pytest.importorskip("_testcapi")
    r = run_child(REAP_BATCH, params=str(tmp_path))
    ref = r["ref"]
    assert [g[0] for g in ref] == list(range(16))
    failed = [run for run in r["runs"] if run["failed"]]
    assert len(failed) >= 20, "too few allocations failed inside reap"
    for k, run in enumerate(r["runs"]):
        assert run["uids"] and run["got"] == ref, f"allocation {k}: {run}"
        assert run["inflight"] == 0 and run["after"] == 0, f"allocation {k}: {run}"
        assert (run["failed"] is None) == (run["first"] == 16), f"allocation {k}: {run}"
