"""The classes of the text files, by the names aiofiles gives them."""

from .._std import StdTextStream as AsyncTextIndirectIOWrapper
from .._text import AsyncTextIOWrapper

__all__ = ["AsyncTextIOWrapper", "AsyncTextIndirectIOWrapper"]
