"""Destroying a Ring waits for what the kernel still owes, about 5 s from the
last completion on the monotonic clock, and always ends: under a periodic
signal that interrupts every wait, when the wall clock steps back, and when
the ring's descriptor number was closed or handed to another file behind the
module's back (a number it then leaves alone). Each case runs in a child
process with a time limit, since the fault it guards against is a hang."""
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


LATE = """
import subprocess, time
(r1, w1), (r2, w2) = os.pipe(), os.pipe()
ring = Ring(8)
ring.submit_read(r1, 0, 1)
ring.submit_read(r2, 0, 1)
ring.submit()
start = time.monotonic()
# Another process, since teardown holds the interpreter lock.
writer = subprocess.Popen([sys.executable, "-c", P, str(start), str(w1), str(w2)], pass_fds=(w1, w2))
ring = None
elapsed = time.monotonic() - start
done(elapsed=elapsed, writer=writer.wait())
"""
# One byte into each pipe, 3 s and 6 s after the start it is given.
WRITER = """
import os, sys, time
start, fds = float(sys.argv[1]), sys.argv[2:]
for at, fd in zip((3, 6), fds):
    time.sleep(max(0, start + at - time.monotonic()))
    os.write(int(fd), b"x")
"""


def test_teardown_bound_restarts_with_each_completion():
    r = run_child(LATE, params=WRITER, timeout=60)
    assert r["writer"] == 0
    assert 5.5 <= r["elapsed"] < 9, "the first completion, at 3 s, must restart the 5 s bound"


STEPPED = """
import time
rfd, wfd = os.pipe()
ring = Ring(8)
ring.submit_read(rfd, 0, 10)  # nobody ever writes to the pipe
ring.submit()
F.fault_step_realtime.argtypes = [ctypes.c_long, ctypes.c_long]
start = time.monotonic()
F.fault_step_realtime(1000, 10000)  # 1 s in, the wall clock goes back 10 s
ring = None
reads, elapsed = F.fault_clock_reads(), time.monotonic() - start
done(elapsed=elapsed, reads=reads)
"""


def test_teardown_bound_ignores_a_wall_clock_step(shim):
    r = run_child(STEPPED, shim, timeout=60)
    assert r["reads"] > 0, "teardown read no clock through the shim: this test sees nothing"
    assert 4.5 <= r["elapsed"] < 9, "the bound moved with the wall clock"


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
arm(f"close:{ring_fd}", 0)  # only counts
ring = None
elapsed, closes = time.monotonic() - start, disarm()
if fd is not None:
    os.close(fd)  # EBADF here: teardown closed a descriptor it no longer owned
done(elapsed=elapsed, closes=closes, leaked=owned() != before)
"""


@pytest.mark.parametrize("by", ["closed", "devnull", "file", "pipe"])
def test_teardown_gives_up_on_a_descriptor_that_is_not_the_ring(shim, tmp_path, by):
    r = run_child(REUSED, shim, dict(by=by, dir=str(tmp_path)), timeout=60)
    assert r["elapsed"] < 1, "waited on a descriptor that can never report the ring"
    # In a threaded program a closed number may already name another
    # thread's new file.
    assert r["closes"] == 0, "teardown closed a number that was no longer the ring"
    assert not r["leaked"], "descriptors or ring mappings left behind"
