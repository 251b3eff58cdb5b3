"""Asynchronous file I/O on io_uring."""

from ._driver import Driver, RingUnavailableWarning

__all__ = ["Driver", "RingUnavailableWarning"]
