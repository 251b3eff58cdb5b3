"""Destroying a Ring always ends: under a periodic signal that interrupts
every wait, and when the ring's descriptor number was closed or handed to
another file behind the module's back. Each case runs in a child process with
a time limit, since the fault it guards against is a hang."""
import pytest

from faultinject.harness import run_child, shim  # noqa: F401 (fixture)

TIMER = """
import signal, time
rfd, wfd = os.pipe()
before = owned()
ring = Ring(8)
ring.submit_read(rfd, 0, 10)  # nobody ever writes to the pipe
ring.submit()
signal.signal(signal.SIGALRM, lambda *_: None)  # a handler, so every poll gets EINTR
signal.setitimer(signal.ITIMER_REAL, P, P)
arm("io_uring_enter", 0)
start = time.monotonic()
ring = None
elapsed = time.monotonic() - start
signal.setitimer(signal.ITIMER_REAL, 0)
done(elapsed=elapsed, enters=disarm(), leaked=owned() != before)
"""


@pytest.mark.parametrize("interval", [0.05, 0.0002], ids=["20Hz", "5kHz"])
def test_teardown_ends_under_a_periodic_signal(shim, interval):
    r = run_child(TIMER, shim, interval, timeout=60)
    assert 4.5 <= r["elapsed"] < 9, "the wait is bounded at about 5 s"
    assert r["enters"] > 60, "the signal did not interrupt the polls"
    assert not r["leaked"], "descriptors or ring mappings left behind"


REUSED = """
import time
rfd, wfd = os.pipe()
before = owned()
ring, ring_fd = new_ring(8)
ring.submit_read(rfd, 0, 10)  # never completes
ring.submit()
os.close(ring_fd)
if P["by"] == "devnull":
    fd = os.open("/dev/null", os.O_RDONLY)
elif P["by"] == "file":
    fd = os.open(P["dir"] + "/f", os.O_RDWR | os.O_CREAT, 0o600)
elif P["by"] == "pipe":
    fd, other = os.pipe()
    os.close(other)  # a hung-up pipe polls ready at once
else:
    fd = None
assert fd in (None, ring_fd), (fd, ring_fd)
start = time.monotonic()
ring = None
elapsed = time.monotonic() - start
if fd is not None:
    os.close(fd)  # EBADF here: teardown closed a descriptor it no longer owned
done(elapsed=elapsed, leaked=owned() != before)
"""


@pytest.mark.parametrize("by", ["closed", "devnull", "file", "pipe"])
def test_teardown_gives_up_on_a_descriptor_that_is_not_the_ring(tmp_path, by):
    r = run_child(REUSED, None, dict(by=by, dir=str(tmp_path)), timeout=60)
    assert r["elapsed"] < 1, "waited on a descriptor that can never report the ring"
    assert not r["leaked"], "descriptors or ring mappings left behind"
