"""The event loop as the driver sees it, and one driver per running loop.

The driver needs little from a loop: futures to park coroutines on, "call
soon" and "call later", a reader on the ring's eventfd, tasks for work
nobody awaits, and a worker-thread hand-off. `AsyncioLoop` gives these on
any asyncio loop (uvloop included); `get_driver()` creates the running
loop's driver on first use and closes it when the loop shuts down."""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
from collections.abc import AsyncGenerator, Awaitable, Callable, Coroutine, Iterable
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    from ._driver import Driver

__all__ = ["AsyncioLoop", "current_loop", "get_driver"]

T = TypeVar("T")


class AsyncioLoop:
    """The driver's view of an asyncio event loop. The hot members are the
    loop's own bound methods, so using them costs no extra call."""

    InvalidStateError = asyncio.InvalidStateError

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.create_future = loop.create_future
        self.call_soon = loop.call_soon
        self.call_later = loop.call_later
        self.add_reader = loop.add_reader
        self.remove_reader = loop.remove_reader
        self.is_closed = loop.is_closed

    def report(self, message: str, exception: BaseException) -> None:
        """A failure with nobody to raise it to."""
        self.loop.call_exception_handler({"message": message, "exception": exception})

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> asyncio.Task[Any]:
        return self.loop.create_task(coro)

    async def wait_all(self, awaitables: Iterable[Awaitable[Any]]) -> None:
        """Wait for every one of them, whatever they raise."""
        await asyncio.gather(*awaitables, return_exceptions=True)

    def from_thread(self, cf: concurrent.futures.Future[T]) -> Awaitable[T]:
        """An awaitable for a worker thread's result."""
        return asyncio.wrap_future(cf, loop=self.loop)


def current_loop() -> AsyncioLoop:
    """The running loop, as the driver sees it."""
    return AsyncioLoop(asyncio.get_running_loop())


# id(loop) -> its driver. The driver keeps its loop alive, so the key cannot
# be reused while the entry exists.
_drivers: dict[int, Driver] = {}


def get_driver() -> Driver:
    """The running loop's driver (RuntimeError outside a running loop)."""
    loop = asyncio.get_running_loop()
    drv = _drivers.get(id(loop))
    if drv is None or drv._glue.loop is not loop:
        drv = _start(loop)
    return drv


async def _lifetime(key: int, drv: Driver) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        if _drivers.get(key) is drv:
            del _drivers[key]
        await drv.aclose()


def _start(loop: asyncio.AbstractEventLoop) -> Driver:
    from ._driver import Driver

    # Loops closed without shutting down their async generators leave their
    # drivers here: drop them (each ring then closes itself).
    for key in [k for k, d in _drivers.items() if d._glue.is_closed()]:
        del _drivers[key]
    drv = Driver()
    _drivers[id(loop)] = drv
    # An async generator started on the loop is closed by the loop's
    # shutdown_asyncgens(), which asyncio.run() calls once every task is done:
    # its finally closes the driver while the loop still runs. The loop only
    # keeps a weak reference, so the driver keeps the generator.
    agen = _lifetime(id(loop), drv)
    drv._lifetime = agen
    try:
        agen.asend(None).send(None)
    except StopIteration:
        pass
    return drv


# A forked child starts without the parent's drivers: their rings answer
# only their properties there.
os.register_at_fork(after_in_child=_drivers.clear)
