"""The names aiofiles programs reach under `aiofiles.threadpool`: open(),
the standard streams, and the classes of the files they give, for
annotations and isinstance checks. Nothing here runs on a thread pool
unless io_uring is refused: the name is kept for those programs."""

from .._open import open
from .._std import stderr, stderr_bytes, stdin, stdin_bytes, stdout, stdout_bytes
from . import binary, text
from .binary import (AsyncBufferedIOBase, AsyncBufferedReader, AsyncFileIO,
                     AsyncIndirectBufferedIOBase)
from .text import AsyncTextIndirectIOWrapper, AsyncTextIOWrapper

__all__ = ["open", "stdin", "stdout", "stderr", "stdin_bytes", "stdout_bytes", "stderr_bytes"]
