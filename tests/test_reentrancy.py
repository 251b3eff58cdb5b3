"""Python code that runs in the middle of a call (finalizers, __index__,
__len__) must never see or produce a half-built state."""
import gc
import os
import time

import pytest
from _uring import Ring

from kernel_view import run


def test_finalizer_during_reap_sees_no_half_filled_list(tmp_path):
    fd = os.open(tmp_path / "f", os.O_WRONLY | os.O_CREAT, 0o644)
    seen = []

    class Tracked(bytes):
        def __del__(self):
            # Released while reap builds its list: every list the collector
            # can reach must be whole. The collector's view of a list skips
            # empty items (touching one any other way would crash).
            seen.extend(len(gc.get_referents(o)) == len(o) for o in gc.get_objects() if type(o) is list)

    ring = Ring(8)
    ring.submit_write(fd, 0, Tracked(b"x"))
    ring.submit_write(fd, 1, b"y")
    ring.submit_write(fd, 2, b"z")
    done = run(ring)
    os.close(fd)
    assert sorted(done) == [1, 2, 3]
    assert all(v == (1, None) for v in done.values())
    assert seen and all(seen), "a finalizer found a list with empty items"


# The kernel's io_uring worker threads make CPython warn about fork().
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_during_conversion_cannot_publish_into_parent(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"A" * 16)
    fd = os.open(path, os.O_RDONLY)
    ring = Ring(8)

    class ForkingIndex:
        pid = None

        def __index__(self):
            ForkingIndex.pid = os.fork()
            return 0

    try:
        uid = ring.submit_read(fd, ForkingIndex(), 16)
    except RuntimeError as e:  # the child
        os._exit(0 if "forked child" in str(e) else 1)
    except BaseException:
        os._exit(2)
    if ForkingIndex.pid == 0:
        os._exit(3)  # the child must not get here
    _, status = os.waitpid(ForkingIndex.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert run(ring) == {uid: (16, b"A" * 16)}
    os.close(fd)


# The kernel's io_uring worker threads make CPython warn about fork().
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_during_reap_leaves_the_parents_completion_queue_alone(tmp_path):
    fd = os.open(tmp_path / "f", os.O_WRONLY | os.O_CREAT, 0o644)
    ring = Ring(8)
    parent = os.getpid()

    class Forking(bytes):
        pid = None

        def __del__(self):
            Forking.pid = os.fork()
            if Forking.pid == 0:
                time.sleep(1)  # the parent reaps more meanwhile

    ring.submit_write(fd, 0, Forking(b"x"))
    ring.submit_write(fd, 1, b"y")
    try:
        run(ring)
    finally:
        if os.getpid() != parent:
            os._exit(0)
    later = [ring.submit_write(fd, 2 + i, b"z") for i in range(3)]
    assert sorted(run(ring)) == later
    os.waitpid(Forking.pid, 0)
    # The child finished its reap last: had it stored its CQ head into the
    # shared ring, the completions reaped since would come round again.
    assert ring.reap() == []
    os.close(fd)


@pytest.mark.parametrize("claimed", [1 << 62, 10**12])
def test_sequence_overstating_its_length(tmp_path, claimed):
    class Liar:
        def __len__(self):
            return claimed

        def __getitem__(self, i):
            if i:
                raise IndexError
            return b"q"

    fd = os.open(tmp_path / "f", os.O_WRONLY | os.O_CREAT, 0o644)
    ring = Ring(8)
    uid = ring.submit_writev(fd, 0, Liar())
    assert run(ring) == {uid: (1, None)}
    os.close(fd)
