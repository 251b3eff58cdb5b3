"""Operations whose caller left before their completion arrived.

The ring owns an operation's buffers until its completion is reaped, and
that completion may still need handling: the descriptor a cancelled open
got must be closed, a slot freed. A caller that leaves early (cancelled,
or failed on an earlier step) asks the kernel to cancel the operation and
hands its completion to a cleanup function; aclose() keeps the ring alive
until every one has arrived."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._ring import Completion, RingCore

__all__ = ["Action", "abandon", "cancel", "close_if_opened"]


class Action:
    """Receives a completion nobody awaits, in place of a future."""

    __slots__ = ("set_result",)

    def __init__(self, fn: Callable[[Completion], object]) -> None:
        self.set_result = fn


def close_if_opened(t: Completion) -> None:
    """Cleanup of an open: close the descriptor it got, if any."""
    if t[1] >= 0:
        try:
            os.close(t[1])
        except OSError:
            pass


def abandon(drv: RingCore, user_data: int, fut: Any,
            cleanup: Callable[[Completion], object] | None = None,
            ask_kernel: bool = True) -> None:
    """The coroutine awaiting `fut` (for `user_data`) leaves early. Ask the
    kernel to cancel the operation (unless `ask_kernel` is false), and pass
    its completion to `cleanup` when it arrives, or now if it has."""
    ops = drv._ops
    if user_data in ops:
        ops[user_data] = None if cleanup is None else Action(cleanup)
        if ask_kernel:
            cancel(drv, user_data)
        return
    t = drv._late.pop(user_data, None)
    if t is None and fut.done() and not fut.cancelled():
        t = fut.result()  # it came, but the task was cancelled before resuming
    if t is not None and cleanup is not None:
        cleanup(t)


def cancel(drv: RingCore, user_data: int, delay: float = 0.001) -> None:
    """Ask the kernel to cancel `user_data`, and ask again, less and less
    often, while it still runs: a cancel can miss an operation that is in
    transit to a kernel worker (and an uninterruptible one runs on)."""
    def check(t: Completion) -> None:
        if user_data in drv._ops and not drv._glue.is_closed():
            drv._glue.call_later(delay, cancel, drv, user_data, min(2 * delay, 0.1))
    if user_data in drv._ops:
        assert drv.ring is not None
        drv._queue(check, drv.ring.submit_cancel, user_data)
