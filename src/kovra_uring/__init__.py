"""Asynchronous file I/O on io_uring."""

from ._driver import Driver
from ._errors import RingUnavailableWarning

__all__ = ["Driver", "RingUnavailableWarning"]
