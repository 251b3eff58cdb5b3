"""One driver per running event loop, created on first use and closed with
the loop."""

from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncGenerator

from ._driver import Driver

__all__ = ["get_driver"]

# id(loop) -> its driver. The driver keeps its loop alive, so the key cannot
# be reused while the entry exists.
_drivers: dict[int, Driver] = {}


def get_driver() -> Driver:
    """The running loop's driver (RuntimeError outside a running loop)."""
    loop = asyncio.get_running_loop()
    drv = _drivers.get(id(loop))
    if drv is None or drv._loop is not loop:
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
    # Loops closed without shutting down their async generators leave their
    # drivers here: drop them (each ring then closes itself).
    for key in [k for k, d in _drivers.items() if d._loop.is_closed()]:
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


os.register_at_fork(after_in_child=_drivers.clear)
