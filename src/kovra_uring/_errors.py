"""What failures mean: the OSError that os would raise for a kernel result,
and what a refused push asks of the caller."""

from __future__ import annotations

import errno
import os

__all__ = ["RingUnavailableWarning", "NameForOs", "OS_NAMES", "TRANSIENT", "REFUSED",
           "push_error", "os_error", "io_error"]


class RingUnavailableWarning(RuntimeWarning):
    """io_uring was refused: the driver runs its operations on threads."""


class NameForOs(Exception):
    """A path the ring refuses that os may take, or refuses in its own words:
    the caller makes the os call instead, on a thread."""


# What a path operation hands to os: names that are not UTF-8, and names
# with a NUL (os raises its ValueError, whose text differs between versions).
OS_NAMES = (UnicodeEncodeError, NameForOs)

# The flush inside a push and submit() can fail for reasons that go away once
# the loop has made progress (completions reaped, memory freed).
TRANSIENT = frozenset({errno.EAGAIN, errno.EBUSY, errno.EINTR})
# How Ring() fails where io_uring cannot be used at all.
REFUSED = frozenset({errno.EPERM, errno.ENOSYS, errno.ENOMEM})


def push_error(e: OSError) -> BaseException | None:
    """What a refused push means: None when the ring has no room for now
    (the queue stayed full, or its flush failed for a transient reason),
    NameForOs for a name with a NUL, else the exception to raise."""
    if e.errno is None:
        message = e.args[0] if e.args else ""
        if message == "submission queue full":
            return None
        if isinstance(message, str) and message.startswith("nul byte found"):
            return NameForOs()
        return e
    return None if e.errno in TRANSIENT else e


def os_error(res: int, *paths: object) -> OSError:
    """The OSError (subclass picked by errno) that os itself would raise for
    the kernel result `res` (-errno)."""
    code = -res
    if len(paths) == 2:
        return OSError(code, os.strerror(code), paths[0], None, paths[1])
    return OSError(code, os.strerror(code), *paths)


def io_error(res: int, path: object) -> OSError:
    """The OSError of a read, write or close of the open file `path`, as
    io's file objects raise it: without a file name, but for a directory,
    which io refuses by name when it opens it."""
    return os_error(res, path) if res == -errno.EISDIR else os_error(res)
