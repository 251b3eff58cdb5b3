"""`os`'s file-system calls as coroutines, with os's signatures, results and
exceptions.

The calls the ring has (stat, rename, unlink, rmdir, mkdir, symlink, link)
go through the driver; so does a name it cannot take (not UTF-8, or with a
NUL), which the driver hands to os on a thread. Arguments only os knows
what to do with (a `dir_fd`, a descriptor in place of a path, `None`, ...)
and the calls the ring lacks run the os call itself on a thread, so that os
decides the result and the exception.

As in aiofiles, every call also takes `loop` and `executor` keywords, and
`wrap(fn)` makes any blocking function such a coroutine function. They are
accepted for aiofiles' callers and unused: the running loop's driver does
the work, on its own threads where a thread is needed.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, AnyStr, overload

from . import ospath as path
from ._loop import get_driver
from .ospath import _NAMES, _thread, wrap

if TYPE_CHECKING:
    from _typeshed import (BytesPath, FileDescriptor, FileDescriptorOrPath, GenericPath,
                           StrOrBytesPath, StrPath)

__all__ = [
    "access", "getcwd", "link", "listdir", "makedirs", "mkdir", "path", "readlink", "remove",
    "removedirs", "rename", "renames", "replace", "rmdir", "scandir", "sendfile", "stat",
    "statvfs", "symlink", "unlink", "wrap",
]


async def stat(path: FileDescriptorOrPath, *, dir_fd: int | None = None,
               follow_symlinks: bool = True,
               loop: object = None, executor: object = None) -> os.stat_result:
    # A hot path: one await of the driver's own stat.
    if dir_fd is None and (type(path) is str or isinstance(path, _NAMES)):
        return await get_driver().stat(path, follow_symlinks)
    return await _thread(os.stat, path, dir_fd=dir_fd, follow_symlinks=follow_symlinks)


def _names(*paths: object) -> bool:
    return all(isinstance(p, _NAMES) for p in paths)


async def rename(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                 dst_dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    # renameat(2) without flags replaces the target, as os.rename does on Linux.
    if src_dir_fd is None and dst_dir_fd is None and _names(src, dst):
        return await get_driver().rename(src, dst)
    await _thread(os.rename, src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)


async def replace(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                  dst_dir_fd: int | None = None,
                  loop: object = None, executor: object = None) -> None:
    if src_dir_fd is None and dst_dir_fd is None and _names(src, dst):
        try:
            return await get_driver().rename(src, dst)
        except ValueError:  # a NUL, which os.replace reports in its own name
            pass
    await _thread(os.replace, src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)


async def remove(path: StrOrBytesPath, *, dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    if dir_fd is None and isinstance(path, _NAMES):
        try:
            return await get_driver().unlink(path)
        except ValueError:  # a NUL, which os.remove reports in its own name
            pass
    await _thread(os.remove, path, dir_fd=dir_fd)


async def unlink(path: StrOrBytesPath, *, dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    if dir_fd is None and isinstance(path, _NAMES):
        return await get_driver().unlink(path)
    await _thread(os.unlink, path, dir_fd=dir_fd)


async def rmdir(path: StrOrBytesPath, *, dir_fd: int | None = None,
                loop: object = None, executor: object = None) -> None:
    if dir_fd is None and isinstance(path, _NAMES):
        return await get_driver().rmdir(path)
    await _thread(os.rmdir, path, dir_fd=dir_fd)


async def mkdir(path: StrOrBytesPath, mode: int = 0o777, *, dir_fd: int | None = None,
                loop: object = None, executor: object = None) -> None:
    # os takes the mode as a C int: other values get os's own answer.
    if dir_fd is None and type(mode) is int and 0 <= mode < 1 << 31 and isinstance(path, _NAMES):
        return await get_driver().mkdir(path, mode)
    await _thread(os.mkdir, path, mode, dir_fd=dir_fd)


async def symlink(src: StrOrBytesPath, dst: StrOrBytesPath, target_is_directory: bool = False,
                  *, dir_fd: int | None = None,
                  loop: object = None, executor: object = None) -> None:
    # target_is_directory means something on Windows only.
    if dir_fd is None and _names(src, dst):
        return await get_driver().symlink(src, dst)
    await _thread(os.symlink, src, dst, target_is_directory, dir_fd=dir_fd)


async def link(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
               dst_dir_fd: int | None = None, follow_symlinks: bool = True,
               loop: object = None, executor: object = None) -> None:
    # The ring's linkat(2) has no flags, as os.link's plain link(2) on Linux:
    # both link a symbolic link itself, not its target.
    if (src_dir_fd is None and dst_dir_fd is None and follow_symlinks is True
            and _names(src, dst)):
        return await get_driver().link(src, dst)
    await _thread(os.link, src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd,
                  follow_symlinks=follow_symlinks)


# -- what the ring cannot do: on a thread -------------------------------------

async def renames(old: StrOrBytesPath, new: StrOrBytesPath,
                  *, loop: object = None, executor: object = None) -> None:
    await _thread(os.renames, old, new)


async def makedirs(name: StrOrBytesPath, mode: int = 0o777, exist_ok: bool = False,
                   *, loop: object = None, executor: object = None) -> None:
    await _thread(os.makedirs, name, mode, exist_ok)


async def removedirs(name: StrOrBytesPath, *, loop: object = None, executor: object = None) -> None:
    await _thread(os.removedirs, name)


async def readlink(path: GenericPath[AnyStr], *, dir_fd: int | None = None,
                   loop: object = None, executor: object = None) -> AnyStr:
    return await _thread(os.readlink, path, dir_fd=dir_fd)


@overload
async def listdir(path: StrPath | None = None,
                  *, loop: object = None, executor: object = None) -> list[str]: ...
@overload
async def listdir(path: BytesPath,
                  *, loop: object = None, executor: object = None) -> list[bytes]: ...
@overload
async def listdir(path: int, *, loop: object = None, executor: object = None) -> list[str]: ...
async def listdir(path: StrOrBytesPath | int | None = None,
                  *, loop: object = None, executor: object = None) -> list[str] | list[bytes]:
    return await _thread(os.listdir, path)


@overload
async def scandir(path: None = None,
                  *, loop: object = None, executor: object = None) -> os._ScandirIterator[str]: ...
@overload
async def scandir(path: int,
                  *, loop: object = None, executor: object = None) -> os._ScandirIterator[str]: ...
@overload
async def scandir(path: GenericPath[AnyStr], *, loop: object = None, executor: object = None
                  ) -> os._ScandirIterator[AnyStr]: ...
async def scandir(path: Any = None,
                  *, loop: object = None, executor: object = None) -> os._ScandirIterator[Any]:
    # The iterator, opened on a thread, as os returns it: its entries are read
    # as it is iterated (`with` closes it). One whose caller has left by the
    # time it is open is closed then, rather than by the collector.
    drv = get_driver()
    drv._check()
    return await drv._in_thread(os.scandir, path, cleanup=_close)


def _close(it: os._ScandirIterator[Any]) -> None:
    it.close()


async def access(path: FileDescriptorOrPath, mode: int, *, dir_fd: int | None = None,
                 effective_ids: bool = False, follow_symlinks: bool = True,
                 loop: object = None, executor: object = None) -> bool:
    return await _thread(os.access, path, mode, dir_fd=dir_fd, effective_ids=effective_ids,
                         follow_symlinks=follow_symlinks)


async def getcwd(*, loop: object = None, executor: object = None) -> str:
    return await _thread(os.getcwd)


async def sendfile(out_fd: FileDescriptor, in_fd: FileDescriptor, offset: int | None,
                   count: int, *, loop: object = None, executor: object = None) -> int:
    return await _thread(os.sendfile, out_fd, in_fd, offset, count)


async def statvfs(path: FileDescriptorOrPath,
                  *, loop: object = None, executor: object = None) -> os.statvfs_result:
    return await _thread(os.statvfs, path)
