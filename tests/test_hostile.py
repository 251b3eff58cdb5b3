"""Callers that misbehave: threads sharing one Ring, a Ring dropped with work
outstanding (including a read that never completes), a forked child."""
import errno
import os
import random
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from _uring import Ring
from faultinject.harness import run_child, shim  # noqa: F401 (fixture)
from kernel_view import run


class Slow:
    """An offset whose conversion lets the other threads run mid-call."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def test_threads_sharing_a_ring(tmp_path):
    content, payload = os.urandom(8192), os.urandom(1000)
    (tmp_path / "f").write_bytes(content)
    fd = os.open(tmp_path / "f", os.O_RDWR)
    base, interval = sys.getrefcount(payload), sys.getswitchinterval()
    ring, submitted, reaped = Ring(32), {}, []

    def worker(seed):
        rnd, refused = random.Random(seed), 0
        for _ in range(500):
            op = rnd.randrange(6)
            try:
                if op == 0:
                    off = rnd.randrange(8000)
                    submitted[ring.submit_read(fd, Slow(off), 64)] = (64, content[off:off + 64])
                elif op == 1:
                    submitted[ring.submit_write(fd, Slow(8192), payload)] = (1000, None)
                elif op == 2:  # slot 999 is beyond the table: the open fails, the read is cancelled
                    submitted.update(dict.fromkeys(ring.submit_open_read(str(tmp_path / "f"),
                                                                         0, 0, 10, Slow(999))))
                elif op == 3:
                    ring.submit()
                elif op == 4:
                    reaped.extend(ring.reap())
                else:
                    ring.drain_eventfd()
                    assert ring.inflight >= 0 and ring.eventfd > 0 and ring.fixed_slots in (0, 512)
            except RuntimeError as e:
                assert str(e) in ("Already borrowed", "Already mutably borrowed")
                refused += 1
        return refused

    sys.setswitchinterval(1e-6)
    try:
        with ThreadPoolExecutor(4) as pool:
            refused = sum(pool.map(worker, range(4)))
    finally:
        sys.setswitchinterval(interval)
    reaped += [(u, *rest) for u, rest in run(ring).items()]
    os.close(fd)
    assert refused, "the threads never met on the ring"
    assert sorted(u for u, _, _ in reaped) == sorted(submitted), "each reaped exactly once"
    assert all(submitted[u] in (None, (res, data)) for u, res, data in reaped)
    assert ring.inflight == 0 and sys.getrefcount(payload) == base


class Fresh(list):
    """A sequence whose iteration makes new `bytes` nobody else refers to."""
    def __iter__(self):
        return (bytes([i]) * 1000 for i in range(len(self)))


def test_ring_alone_keeps_what_the_kernel_reads(tmp_path):
    fd = os.open(tmp_path / "f", os.O_RDWR | os.O_CREAT, 0o600)
    ring = Ring(8)
    ids = [ring.submit_writev(fd, 0, Fresh([None] * 5)),
           ring.submit_write(fd, 5000, b"%d" % 12345 * 200), ring.submit_write(fd, 6000, bytes(17))]
    churn = [bytes([i % 256]) * 1000 for i in range(20000)]  # reuses anything freed too early
    assert run(ring) == {ids[0]: (5000, None), ids[1]: (1000, None), ids[2]: (17, None)}
    del churn
    data = os.pread(fd, 7000, 0)
    os.close(fd)
    assert data == b"".join(bytes([i]) * 1000 for i in range(5)) + b"12345" * 200 + bytes(17)


def test_release_that_calls_back_into_the_ring():
    ring, seen = Ring(8), []

    class Noisy(bytes):
        """Write data whose release, inside reap, calls back into the ring."""
        def __del__(self):
            for call in (lambda: ring.submit_cancel(1), lambda: ring.inflight):
                try:
                    call()
                    seen.append("went through")
                except RuntimeError as e:
                    seen.append(str(e))

    uid = ring.submit_write(-1, 0, Noisy(b"only the ring holds this"))
    assert run(ring) == {uid: (-errno.EBADF, None)}
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    assert ring.inflight == 0 and run(ring) == {} and ring.submit_cancel(0) == uid + 1


TEARDOWN = """
import select, time
rfd, wfd = os.pipe()
out = os.open(P["dir"] + "/out", os.O_WRONLY | os.O_CREAT, 0o600)
before = owned()
completed, queued = b"completed" * 9, b"queued" * 9
base = [sys.getrefcount(completed), sys.getrefcount(queued)]
ring = Ring(8)
if P["stuck"]:
    ring.submit_read(rfd, 0, 10)  # nobody ever writes to the pipe
if P["completed"]:
    ring.submit_write(out, 0, completed)
    ring.submit()
    assert select.select([ring.eventfd], [], [], 5)[0]
ring.submit_write(out, 100, queued)  # never handed to the kernel
arm("io_uring_enter", 0)
start = time.monotonic()
ring = None
done(elapsed=time.monotonic() - start, enters=disarm(), size=os.fstat(out).st_size,
     leaked=owned() != before,
     refs=[sys.getrefcount(completed) - base[0], sys.getrefcount(queued) - base[1]])
"""


@pytest.mark.parametrize("completed, stuck", [(False, False), (True, False), (True, True)],
                         ids=["queued", "unreaped", "never-completes"])
def test_dropping_a_ring_with_work_outstanding(shim, tmp_path, completed, stuck):
    r = run_child(TEARDOWN, shim, dict(dir=str(tmp_path), completed=completed, stuck=stuck))
    assert not r["leaked"], "descriptors or ring mappings left behind"
    assert r["size"] == (81 if completed else 0), "a queued entry reached the kernel"
    if stuck:  # gives up after 50 polls of 100 ms and abandons every entry
        assert 4.5 <= r["elapsed"] < 9 and r["enters"] > 2 and r["refs"] == [1, 1]
    else:
        assert r["elapsed"] < 1 and r["enters"] == completed and r["refs"] == [0, 0]


FORK = """
import select
from test_fuzz import METHODS, VALID
calls = {n: [VALID[kind] for _, kind, *_ in params] for n, params in METHODS.items()}
calls["submit"] = []
os.chdir(P)  # the refused calls name paths relative to the tmp dir
fd, content = os.open(P + "/src", os.O_RDONLY), open(P + "/src", "rb").read()
rfd, wfd = os.pipe()
ring = Ring(16)
want = {ring.submit_read(fd, i * 100, 100): content[i * 100:i * 100 + 100] for i in range(4)}
ring.submit()
assert select.select([ring.eventfd], [], [], 5)[0]  # posted, unreaped: the child must leave them
want[ring.submit_read(rfd, 0, 5)] = b"hello"  # in flight across the fork
ring.submit()
want[ring.submit_read(fd, 0, 10)] = content[:10]  # queued across the fork
if os.fork() == 0:
    try:
        child = {"all": sorted(calls) == sorted(n for n in dir(Ring) if n[0] != "_"
                                                and callable(getattr(Ring, n))),
                 "refusals": sorted({repr(attempt(getattr(ring, n), *a)[1])
                                     for n, a in calls.items()}),
                 "props": [ring.eventfd, ring.fixed_slots, ring.inflight]}
        arm("io_uring_enter", 0)
        ring = None
        child["enters"] = disarm()
        with open(P + "/child.json", "w") as f:
            json.dump(child, f)
    finally:
        os._exit(0)
os.wait()
os.write(wfd, b"hello")
got = run(ring)
with open(P + "/child.json") as f:
    done(child=json.load(f), props=[ring.eventfd, ring.fixed_slots, len(want)], ids=sorted(want),
         intact=sorted(u for u, (res, data) in got.items() if (res, data) == (len(want[u]), want[u])))
"""


def test_forked_child_can_neither_use_nor_disturb_the_ring(shim, tmp_path):
    (tmp_path / "src").write_bytes(os.urandom(1000))
    r = run_child(FORK, shim, str(tmp_path))
    child = r.pop("child")
    assert child.pop("all") and child.pop("enters") == 0
    assert child == {"refusals": ["RuntimeError('Ring cannot be used in a forked child process')"],
                     "props": r["props"]}
    assert r["intact"] == r["ids"], "the parent lost or got wrong completions"

