"""A typed use of Ring, checked by `mypy --strict` against the installed stub;
every line of `misuse` must be an error there."""
import os
from typing import assert_type

from _uring import Ring

Statx = tuple[int, int, int, int, int, int, int, int, int, int, int, int, int]


def first_read(ring: Ring, path: str) -> bytes | None:
    chain = ring.submit_open_read(path, os.O_RDONLY, 0, len=4096, slot=0)
    open_id, read_id = assert_type(chain, tuple[int, int])
    assert_type(ring.submit_statx(path, follow=False), int)
    ring.submit()
    assert_type(ring.inflight + ring.fixed_slots + ring.eventfd, int)
    for user_data, result, payload in ring.reap():
        assert_type(payload, bytes | Statx | None)
        if user_data == read_id and result >= 0 and isinstance(payload, bytes):
            return payload
    return None


def misuse(ring: Ring) -> None:
    # The module takes only bytes for data: a mutable buffer could change, or
    # be resized, while the kernel reads it.
    ring.submit_write(0, 0, bytearray(b"x"))  # type: ignore[arg-type]
    ring.submit_write(0, 0, memoryview(b"x"))  # type: ignore[arg-type]
    ring.submit_write_fixed(0, 0, data=bytearray(b"x"))  # type: ignore[arg-type]
    ring.submit_open_write("p", 0, 0, memoryview(b"x"), 0)  # type: ignore[arg-type]
    ring.submit_writev(0, 0, [bytearray(b"x")])  # type: ignore[list-item]
    ring.submit_fsync(0, datasync=1)  # type: ignore[arg-type]
    ring.submit_open(b"p", 0, 0)  # type: ignore[arg-type]
    ring.submit_read(0, 0, size=1)  # type: ignore[call-arg]
    ring.inflight = 0  # type: ignore[misc]
    ring.drain_eventfd(0)  # type: ignore[call-arg]

    class Sub(Ring):  # type: ignore[misc]
        pass
