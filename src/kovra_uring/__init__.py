"""Asynchronous file I/O on io_uring."""

from . import tempfile
from ._buffered import AsyncBufferedRandom, AsyncBufferedReader, AsyncBufferedWriter
from ._driver import Driver, RingUnavailableWarning
from ._open import open
from ._raw import AsyncFileIO

__all__ = ["Driver", "RingUnavailableWarning", "open", "tempfile", "AsyncFileIO",
           "AsyncBufferedReader", "AsyncBufferedWriter", "AsyncBufferedRandom"]
