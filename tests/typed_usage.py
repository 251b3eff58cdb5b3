"""A typed use of Ring: `mypy --strict` checks it against the installed stub
(every line of `misuse` must be an error there), and it runs as a script."""
import os
import select
from typing import assert_type

from _uring import Ring


def read_small_file(path: str) -> bytes:
    ring = Ring(entries=32)
    open_id, read_id = assert_type(
        ring.submit_open_read(path, os.O_RDONLY, 0, 1 << 16, slot=0), tuple[int, int])
    stat_id = ring.submit_statx(path, follow=True)
    ring.submit()
    done: dict[int, tuple[int, bytes | tuple[int, ...] | None]] = {}
    while ring.inflight:
        select.select([ring.eventfd], [], [], 5.0)
        ring.drain_eventfd()
        done.update((uid, (res, payload)) for uid, res, payload in ring.reap())
    stat, data = done[stat_id][1], done[read_id][1]
    assert done[open_id][0] == 0 and isinstance(stat, tuple) and isinstance(data, bytes)
    assert len(data) == stat[6]
    return data


def misuse(ring: Ring) -> None:
    ring.submit_write(0, 0, bytearray(b"x"))  # type: ignore[arg-type]
    ring.submit_fsync(0, datasync=1)  # type: ignore[arg-type]
    ring.submit_open(b"p", 0, 0)  # type: ignore[arg-type]
    ring.submit_read(0, 0, size=1)  # type: ignore[call-arg]
    ring.inflight = 0  # type: ignore[misc]
    slots: str = ring.fixed_slots  # type: ignore[assignment]

    class Sub(Ring):  # type: ignore[misc]
        pass


if __name__ == "__main__":
    with open(__file__, "rb") as f:
        assert read_small_file(__file__) == f.read()
