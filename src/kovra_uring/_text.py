"""Placeholder for the text layer (replaced by the real module at merge):
just enough for open() to build and close a text file."""

from __future__ import annotations

from typing import Any


class AsyncTextIOWrapper:
    def __init__(self, buffer: Any, encoding: str | None = None, errors: str | None = None,
                 newline: str | None = None, line_buffering: bool = False,
                 write_through: bool = False) -> None:
        self.buffer = buffer
        self.encoding = "utf-8" if encoding in (None, "locale") else encoding
        self.errors = errors or "strict"
        self.line_buffering = line_buffering
        self.mode = "r"

    @property
    def closed(self) -> bool:
        return bool(self.buffer.closed)

    @property
    def name(self) -> Any:
        return self.buffer.name

    async def read(self, size: int = -1) -> str:
        return str((await self.buffer.read(size)).decode(self.encoding, self.errors))

    async def write(self, s: str) -> int:
        await self.buffer.write(s.encode(self.encoding, self.errors))
        return len(s)

    async def close(self) -> None:
        await self.buffer.close()
