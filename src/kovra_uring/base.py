"""The names aiofiles programs reach under `aiofiles.base`: every file
object of this package is an AsyncBase (the standard streams an
AsyncIndirectBase), open()'s result is an AiofilesContextManager, and wrap()
makes a blocking function a coroutine function."""

from abc import ABC

from ._open import FileContext as AiofilesContextManager
from ._raw import _AsyncIOBase
from ._std import _StdStream
from ._text import AsyncTextIOWrapper
from .os import wrap
from .tempfile import AsyncSpooledTemporaryFile

__all__ = ["AiofilesContextManager", "AsyncBase", "AsyncIndirectBase", "wrap"]


class AsyncBase(ABC):
    """What the raw, buffered, text and spooled files are instances of."""

    __slots__ = ()


class AsyncIndirectBase(AsyncBase):
    """What the standard streams (sys.stdin and the like, looked up at each
    call) are instances of."""

    __slots__ = ()


for _cls in (_AsyncIOBase, AsyncTextIOWrapper, AsyncSpooledTemporaryFile):
    AsyncBase.register(_cls)
AsyncIndirectBase.register(_StdStream)
