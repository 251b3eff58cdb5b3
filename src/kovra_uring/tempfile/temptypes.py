"""The classes of the spooled file and the temporary directory, where
aiofiles programs reach them for annotations and isinstance checks."""

from . import AsyncSpooledTemporaryFile, AsyncTemporaryDirectory

__all__ = ["AsyncSpooledTemporaryFile", "AsyncTemporaryDirectory"]
