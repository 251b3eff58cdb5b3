"""Asynchronous file I/O on io_uring, with the API of aiofiles: `open`, `os`,
`os.path`, `tempfile` and the standard streams, on one io_uring per event
loop (threads where the kernel refuses io_uring)."""

from ._batch import iread_files, read_files, stat_files, write_files
from ._buffered import AsyncBufferedRandom, AsyncBufferedReader, AsyncBufferedWriter
from ._driver import Driver
from ._errors import RingUnavailableWarning
from ._open import open
from ._raw import AsyncFileIO
from ._std import stderr, stderr_bytes, stdin, stdin_bytes, stdout, stdout_bytes

# Last: from here on `os` in this namespace is the package's own module.
from . import os, ospath, tempfile  # noqa: E402  isort: skip
from . import base, threadpool  # noqa: E402  isort: skip

__all__ = ["Driver", "RingUnavailableWarning", "open", "os", "ospath", "tempfile",
           "stdin", "stdout", "stderr", "stdin_bytes", "stdout_bytes", "stderr_bytes",
           "read_files", "iread_files", "write_files", "stat_files",
           "AsyncFileIO", "AsyncBufferedReader", "AsyncBufferedWriter", "AsyncBufferedRandom"]
