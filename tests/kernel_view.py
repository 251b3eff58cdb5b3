"""What the kernel sees of a Ring: its io_uring descriptor, the fdinfo
counters, the requests it took (io_uring_submit_req tracepoint), and a loop
that submits and reaps until nothing is pending."""
import contextlib
import itertools
import os
import re
import select
import subprocess
import time

import pytest

import _uring

IOSQE_FIXED_FILE, IOSQE_IO_LINK, IOSQE_ASYNC = 0x1, 0x4, 0x10
UNKNOWN_ID = 1 << 60  # never handed out, so cancelling it completes -ENOENT at once


def _uring_fds():
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/self/fd/{name}") == "anon_inode:[io_uring]":
                fds.add(int(name))
    return fds


def new_ring(entries=256):
    """A Ring and its io_uring descriptor (the one that appeared with it)."""
    before = _uring_fds()
    ring = _uring.Ring(entries)
    return ring, max(_uring_fds() - before or _uring_fds())


def fdinfo(fd):
    """/proc/self/fdinfo/<fd> as a dict of numbers and strings; the indented
    lines after a key (queued SQEs, posted CQEs, CqOverflowList entries) are
    listed under KEY + "_lines"."""
    info, key = {}, None
    with open(f"/proc/self/fdinfo/{fd}") as f:
        for line in f:
            if line[:1].isspace():
                info.setdefault(f"{key}_lines", []).append(line.strip())
                continue
            key, _, value = line.partition(":")
            try:
                info[key] = int(value, 0)
            except ValueError:
                info[key] = value.strip()
    return info


def run(ring, timeout=10.0):
    """Submit and reap until inflight is 0: {user_data: (result, payload)}.
    Every completion must come back once and take one entry off inflight."""
    out, start = {}, ring.inflight
    deadline = time.monotonic() + timeout
    while ring.inflight:
        ring.submit()
        for uid, res, payload in ring.reap():
            assert uid not in out, f"user_data {uid} completed twice"
            out[uid] = (res, payload)
        assert ring.inflight == start - len(out)
        if ring.inflight:
            assert time.monotonic() < deadline, f"{ring.inflight} never completed"
            select.select([ring.eventfd], [], [], 0.01)
            ring.drain_eventfd()
    return out


def run_one(ring, uid):
    """(result, payload) of the only submission pending."""
    out = run(ring)
    assert list(out) == [uid]
    return out[uid]


_TRACING = "/sys/kernel/tracing"
_LINE = re.compile(r"user_data 0x([0-9a-f]+), opcode (\w+), flags 0x([0-9a-f]+)")
_names = itertools.count()


def _requests(inst):
    """{user_data: (opcode name, the kernel's request flags)} traced so far."""
    with open(f"{inst}/trace") as f:
        return {int(m[1], 16): (m[2], int(m[3], 16)) for m in _LINE.finditer(f.read())}


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


@contextlib.contextmanager
def submit_trace():
    """Yields a function returning the requests this process handed to
    io_uring so far (see _requests), recorded in a private tracefs instance;
    skips the test when tracefs cannot be used."""
    if not os.path.isdir(f"{_TRACING}/instances"):
        subprocess.run(["mount", "-t", "tracefs", "nodev", _TRACING], capture_output=True)
    inst = f"{_TRACING}/instances/uring_test_{os.getpid()}_{next(_names)}"
    try:
        os.mkdir(inst)
    except OSError as e:
        pytest.skip(f"tracefs unusable: {e}")
    event = f"{inst}/events/io_uring/io_uring_submit_req"
    try:
        try:
            _write(f"{event}/filter", f"common_pid == {os.getpid()}")
            _write(f"{event}/enable", "1")
        except OSError as e:
            pytest.skip(f"io_uring_submit_req unavailable: {e}")
        yield lambda: _requests(inst)
    finally:
        with contextlib.suppress(OSError):
            _write(f"{event}/enable", "0")
        for _ in range(50):  # EBUSY while the event is still winding down
            try:
                os.rmdir(inst)
                break
            except OSError:
                time.sleep(0.02)
