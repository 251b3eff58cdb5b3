"""The names aiofiles programs reach under `aiofiles.threadpool`: open(),
the standard streams, the classes of the files they give (for annotations
and isinstance checks), and wrap() for a file object of io's. Only the
standard streams and wrapped files run their calls on threads; the rest does
so only where io_uring is refused."""

from .._open import open
from .._std import stderr, stderr_bytes, stdin, stdin_bytes, stdout, stdout_bytes, wrap
from . import binary, text
from .binary import (AsyncBufferedIOBase, AsyncBufferedReader, AsyncFileIO,
                     AsyncIndirectBufferedIOBase)
from .text import AsyncTextIndirectIOWrapper, AsyncTextIOWrapper

__all__ = ["open", "stdin", "stdout", "stderr", "stdin_bytes", "stdout_bytes", "stderr_bytes", "wrap"]
