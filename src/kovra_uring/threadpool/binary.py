"""The classes of the binary files, by the names aiofiles gives them: a
file opened with buffering=0 is an AsyncFileIO, every buffered one an
AsyncBufferedIOBase, and one that can read an AsyncBufferedReader."""

from .._buffered import AsyncBufferedReader
from .._buffered import _Buffered as AsyncBufferedIOBase
from .._raw import AsyncFileIO
from .._std import StdBinaryStream as AsyncIndirectBufferedIOBase

__all__ = ["AsyncBufferedIOBase", "AsyncBufferedReader", "AsyncFileIO",
           "AsyncIndirectBufferedIOBase"]
