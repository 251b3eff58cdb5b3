"""Ring set-up and teardown: sizes, the eventfd, slots, refusals, and leaks."""
import errno
import fcntl
import json
import os
import select
import subprocess
import sys

import pytest

from _uring import Ring
from leaks import open_fds, uring_maps
from kernel_view import fdinfo


@pytest.mark.parametrize("args, kwargs, entries", [
    ((), {}, 256), ((256,), {}, 256), ((), {"entries": 256}, 256),
    ((1,), {}, 1), ((100,), {}, 128), ((32768,), {}, 32768),
])
def test_ring_size(args, kwargs, entries):
    before = open_fds()
    ring = Ring(*args, **kwargs)
    (fd,) = (fd for fd, link in open_fds().items() if fd not in before and "io_uring" in link)
    info = fdinfo(fd)
    assert (info["SqMask"], info["CqMask"]) == (entries - 1, 2 * entries - 1)
    assert ring.fixed_slots == 512 and ring.inflight == 0
    assert info.get("UserFiles", 512) == 512
    assert ring.submit_cancel(0) == 1 and ring.submit_cancel(0) == 2


@pytest.mark.parametrize("entries", [0, 32769, 40000])
def test_refused_ring_leaves_nothing(entries):
    fds, maps = open_fds(), uring_maps()
    with pytest.raises(OSError) as info:
        Ring(entries)
    assert info.value.errno == errno.EINVAL
    assert info.value.strerror.endswith(" (os error 22)")
    assert open_fds() == fds and uring_maps() == maps


def test_eventfd(ring):
    efd = ring.eventfd
    assert open_fds()[efd] == "anon_inode:[eventfd]"
    assert not os.get_blocking(efd) and not os.get_inheritable(efd)
    assert fcntl.fcntl(efd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC


def test_no_leak_over_many_rings():
    fds, maps = open_fds(), uring_maps()
    ring = Ring(8)
    assert len(uring_maps()) > len(maps) and len(open_fds()) == len(fds) + 2
    del ring
    for i in range(200):
        ring = Ring(8)
        if i % 2:
            ring.submit_cancel(i)  # queued, never submitted
        del ring
    assert open_fds() == fds and uring_maps() == maps


@pytest.mark.parametrize("submitted", [False, True])
def test_teardown_releases_held_objects(submitted):
    data = os.urandom(1000)
    before = sys.getrefcount(data)
    ring = Ring(8)
    ring.submit_write(-1, 0, data)
    ring.submit_writev(-1, 0, [data, data])
    assert sys.getrefcount(data) == before + 3
    if submitted:  # completed but never reaped
        ring.submit()
        select.select([ring.eventfd], [], [], 5)
    del ring
    assert sys.getrefcount(data) == before


CHILD = r"""
import json, os, resource, sys
from _uring import Ring
def state():
    return sorted(os.listdir("/proc/self/fd")), [l for l in open("/proc/self/maps") if "io_uring" in l]
before = state()
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
lowest = os.open("/dev/null", os.O_RDONLY)
os.close(lowest)
# "ring": the ring descriptor fits under the limit, the eventfd does not.
limit = lowest + 1 if sys.argv[1] == "ring" else int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
try:
    ring = Ring(8)
    out = {"slots": ring.fixed_slots, "id": ring.submit_cancel(0)}
except OSError as exc:
    out = {"error": [type(exc).__name__, exc.errno, exc.strerror]}
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
out["leaked"] = "error" in out and state() != before
print(json.dumps(out))
"""


@pytest.mark.parametrize("limit, expected", [
    ("ring", {"error": ["OSError", errno.EMFILE, os.strerror(errno.EMFILE) + " (os error 24)"]}),
    ("511", {"slots": 0, "id": 1}),  # 512 sparse slots exceed the soft limit
    ("512", {"slots": 512, "id": 1}),
])
def test_setup_under_a_descriptor_limit(limit, expected):
    run = subprocess.run([sys.executable, "-c", CHILD, limit], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == expected | {"leaked": False}
