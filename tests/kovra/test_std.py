"""The std streams: whatever sys.stdin, sys.stdout and sys.stderr are at
the moment of the call."""

import asyncio
import io
import sys

import pytest

import kovra_uring._std as std
from kovra_uring.threadpool import wrap


async def use_streams(n):
    await std.stdout.write(f"{n}\n")
    await std.stdout_bytes.write(b"b")
    await std.stderr.writelines(["e", "f"])
    buf = bytearray(1)
    return (await std.stdin_bytes.readinto(buf), bytes(buf), await std.stdin.readline(),
            [line async for line in std.stdin], std.stdin_bytes.readable(),
            await std.stdin.readable(), await std.stdout.writable())


def test_the_sys_streams_of_the_moment(monkeypatch):
    for n in range(2):  # new sys streams each time
        streams = [io.TextIOWrapper(io.BytesIO(data), write_through=True)
                   for data in (b"xy\nz\nw", b"", b"")]
        for name, stream in zip(["stdin", "stdout", "stderr"], streams):
            monkeypatch.setattr(sys, name, stream)
        assert asyncio.run(use_streams(n)) == (1, b"x", "y\n", ["z\n", "w"], True, True, True)
        assert [s.buffer.getvalue() for s in streams[1:]] == [f"{n}\nb".encode(), b"ef"]


async def use_wrapped(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"ab\ncd")
    with open(p, "rb") as raw, open(p, "rb", buffering=0) as unbuf, open(p) as text:
        got = [await wrap(raw).read1(2), await wrap(unbuf).read(), await wrap(text).readline(),
               [line async for line in wrap(io.BytesIO(b"x\ny"))]]
    with open(p, "w") as w:
        await wrap(w).write("new")
    return got + [p.read_text()]


def test_wrap_puts_an_io_file_on_a_thread(run_on, tmp_path):
    assert run_on(use_wrapped, tmp_path) == [b"ab", b"ab\ncd", "ab\n", [b"x\n", b"y"], "new"]
    with open(tmp_path / "f", "rb") as f, pytest.raises(TypeError):
        wrap(f.fileno())
