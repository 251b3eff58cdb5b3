"""`os.path`'s queries of the file system as coroutines (also reached as
`kovra_uring.os.path`), with os.path's results and exceptions.

The tests of a path stat it on the ring; like os.path they answer False for
a path that cannot be stat'ed, whatever the reason (missing, a broken link,
no permission, a NUL in the name). As in aiofiles, each call also takes
`loop` and `executor` keywords, unused.
"""

from __future__ import annotations

import functools
import os
import stat as _st
from collections.abc import Awaitable, Callable
from functools import partial
from os import PathLike
from typing import TYPE_CHECKING, Any, AnyStr, ParamSpec, TypeVar, overload

from ._loop import get_driver

if TYPE_CHECKING:
    from _typeshed import FileDescriptorOrPath, StrOrBytesPath

__all__ = [
    "abspath", "exists", "getatime", "getctime", "getmtime", "getsize", "isdir", "isfile",
    "islink", "ismount", "samefile", "sameopenfile",
]

_P = ParamSpec("_P")
_T = TypeVar("_T")

# What the driver takes as a name: anything else (a descriptor, None, a
# bytearray) goes to os, whose TypeError or descriptor call is the answer.
_NAMES = (str, bytes, PathLike)


def _thread(fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Awaitable[_T]:
    """fn(*args, **kwargs) on one of the driver's threads, to be awaited."""
    run: Callable[[Callable[[], _T]], Awaitable[_T]] = get_driver().run_sync
    return run(partial(fn, *args, **kwargs))


def wrap(func: Callable[_P, _T]) -> Callable[_P, Awaitable[_T]]:
    """`func` as a coroutine function that runs it on one of the driver's
    threads (aiofiles' wrap, which its os and os.path also offer; `loop` and
    `executor` are taken and unused)."""
    @functools.wraps(func)
    async def run(*args: Any, loop: object = None, executor: object = None,
                  **kwargs: Any) -> _T:
        return await _thread(func, *args, **kwargs)
    return run


def _stat(path: FileDescriptorOrPath) -> Awaitable[os.stat_result]:
    """The driver's stat of `path`, to be awaited; os's own call on a thread
    for what is not a name (a descriptor, or a wrong type os rejects in its
    own words)."""
    if type(path) is str or isinstance(path, _NAMES):
        return get_driver().stat(path)
    return _thread(os.stat, path)


async def exists(path: FileDescriptorOrPath,
                 *, loop: object = None, executor: object = None) -> bool:
    # A hot path: one await of the driver's stat.
    try:
        await (get_driver().stat(path) if type(path) is str else _stat(path))
    except (OSError, ValueError):
        return False
    return True


async def isfile(path: FileDescriptorOrPath,
                 *, loop: object = None, executor: object = None) -> bool:
    try:
        st = await _stat(path)
    except (OSError, ValueError):
        return False
    return _st.S_ISREG(st.st_mode)


async def isdir(s: FileDescriptorOrPath, *, loop: object = None, executor: object = None) -> bool:
    try:
        st = await _stat(s)
    except (OSError, ValueError):
        return False
    return _st.S_ISDIR(st.st_mode)


async def islink(path: StrOrBytesPath, *, loop: object = None, executor: object = None) -> bool:
    try:
        if isinstance(path, _NAMES):
            st = await get_driver().stat(path, False)
        else:  # os's TypeError
            st = await _thread(os.lstat, path)
    except (OSError, ValueError):
        return False
    return _st.S_ISLNK(st.st_mode)


async def getsize(filename: FileDescriptorOrPath,
                  *, loop: object = None, executor: object = None) -> int:
    return (await _stat(filename)).st_size


async def getmtime(filename: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    return (await _stat(filename)).st_mtime


async def getatime(filename: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    return (await _stat(filename)).st_atime


async def getctime(filename: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    return (await _stat(filename)).st_ctime


async def samefile(f1: FileDescriptorOrPath, f2: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> bool:
    return os.path.samestat(await _stat(f1), await _stat(f2))


async def sameopenfile(fp1: int, fp2: int, *, loop: object = None, executor: object = None) -> bool:
    drv = get_driver()
    # The ring takes a descriptor as a C int; os judges anything else.
    if type(fp1) is int and type(fp2) is int and 0 <= fp1 < 1 << 31 and 0 <= fp2 < 1 << 31:
        return os.path.samestat(await drv.fstat(fp1), await drv.fstat(fp2))
    return await _thread(os.path.sameopenfile, fp1, fp2)


# -- on a thread: getcwd, and ismount's walk through the parent ---------------

async def ismount(path: StrOrBytesPath, *, loop: object = None, executor: object = None) -> bool:
    return await _thread(os.path.ismount, path)


@overload
async def abspath(path: PathLike[AnyStr],
                  *, loop: object = None, executor: object = None) -> AnyStr: ...
@overload
async def abspath(path: AnyStr, *, loop: object = None, executor: object = None) -> AnyStr: ...
async def abspath(path: PathLike[AnyStr] | AnyStr,
                  *, loop: object = None, executor: object = None) -> AnyStr:
    return await _thread(os.path.abspath, path)
