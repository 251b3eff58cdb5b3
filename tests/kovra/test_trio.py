"""The package under trio: cancel scopes, the end of a run, checkpoints,
and which glue and threads each library gets."""

import gc
import math
import os
import signal
import subprocess
import sys

import anyio
import pytest
import trio
import trio.testing
from leaks import open_fds, threads, uring_maps
from test_driver import backend  # noqa: F401 (a fixture)

import kovra_uring
from kovra_uring import Driver
from kovra_uring._convert import FIRST_READ, STAT_FROM
from kovra_uring._loop import get_driver
from kovra_uring._ring import RingCore

# Trio's own cases: not run again for each asyncio loop (those that take
# run_on are run on every library).
LOOP_NEUTRAL = True


def settled(drv):
    """Nothing of the driver's left in flight or lost."""
    return (drv.ring is None and not getattr(drv, "_ops", None)
            and not getattr(drv, "_late", None)
            and sorted(getattr(drv, "_slots", [])) == list(range(drv.slots)))


def test_importing_the_package_imports_no_async_library():
    code = ("import sys, kovra_uring, kovra_uring._loop; "
            "print(sorted({'trio', 'anyio', 'sniffio'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "[]\n"


def trio_thread():
    """Whether this is one of trio's worker threads."""
    try:
        trio.from_thread.check_cancelled()
    except RuntimeError:
        return False
    return True


def test_each_library_gets_its_glue_and_threads(run_on, backend):
    async def main():
        drv = get_driver()
        assert get_driver() is drv
        thread = await drv.run_sync(trio_thread)
        if drv.checkpoint is not None:
            with trio.testing.assert_checkpoints():
                await drv.checkpoint()
        return type(drv._glue).__name__, thread, drv.backend, drv.checkpoint is not None
    on_trio = run_on.loop.endswith("trio")
    assert run_on(main) == ("TrioLoop" if on_trio else "AsyncioLoop", on_trio, backend, on_trio)


def test_the_library_on_every_loop(tmp_path, run_on, backend):
    kos = kovra_uring.os
    (tmp_path / "f").write_bytes(b"one\ntwo\n" * 5000)

    async def main():
        await kos.makedirs(tmp_path / "a/b")
        await kos.rename(tmp_path / "f", tmp_path / "a/f")
        got = [await kos.stat(tmp_path / "a/f"), await kos.path.exists(tmp_path / "f"),
               await kos.path.isdir(tmp_path / "a/b"), sorted(await kos.listdir(tmp_path / "a"))]
        if hasattr(kovra_uring, "open"):
            async with kovra_uring.open(tmp_path / "a/g", "w") as f:
                await f.write("x\n" * 10000)
            async with kovra_uring.open(tmp_path / "a/f") as f:
                got.append([line async for line in f])
        return got

    got = run_on(main)
    # The reads that follow the stat may move the access time.
    st = os.stat(tmp_path / "a/f")
    got[0] = got[0][:7] + got[0][8:10]
    want = [st[:7] + st[8:10], False, True, ["b", "f"]]
    if hasattr(kovra_uring, "open"):
        assert (tmp_path / "a/g").read_text() == "x\n" * 10000
        want.append(open(tmp_path / "a/f").readlines())
    assert got == want


@pytest.fixture
def blockers(tmp_path):
    """A fifo (opening it blocks until a writer comes) and a pipe whose
    write end is full (writing blocks)."""
    os.mkfifo(tmp_path / "fifo")
    r, w = os.pipe()
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, b"x" * 65536)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
    yield tmp_path / "fifo", r, w
    os.close(r)
    os.close(w)


async def open_file(path):
    async with kovra_uring.open(path, "rb") as f:
        return await f.read()


@pytest.mark.parametrize("how", ["move_on_after", "fail_after", "nursery"])
@pytest.mark.parametrize("op", ["read_file", "open_read", "kovra_uring.open",
                                "read", "write"])
def test_cancel_scope_cancels_the_ring_operation(blockers, op, how):
    if op == "kovra_uring.open" and not hasattr(kovra_uring, "open"):
        pytest.skip("kovra_uring.open is not there yet")
    fifo, r, w = blockers
    pr, pw = os.pipe()  # nothing is ever written here: a read blocks
    calls = {
        "read_file": lambda drv: drv.read_file(fifo),
        "open": lambda drv: drv.open(fifo),
        "open_read": lambda drv: drv.open_read(fifo),
        "kovra_uring.open": lambda drv: open_file(fifo),
        "read": lambda drv: drv.read(pr, 100),
        "write": lambda drv: drv.write(w, b"y" * 100),
    }
    fds, maps = open_fds(), uring_maps()

    async def main():
        drv = get_driver()
        if how == "move_on_after":
            with trio.move_on_after(0.05) as scope:
                await calls[op](drv)
            assert scope.cancelled_caught
        elif how == "fail_after":
            with pytest.raises(trio.TooSlowError):
                with trio.fail_after(0.05):
                    await calls[op](drv)
        else:
            async with trio.open_nursery() as nursery:
                for _ in range(3):
                    nursery.start_soon(calls[op], drv)
                await trio.sleep(0.05)
                nursery.cancel_scope.cancel()
        return drv

    try:
        drv = trio.run(main)
        assert settled(drv)  # closed as the run ended, after those answers came
        os.write(pw, b"still mine")  # no cancelled read took it
        assert os.read(pr, 100) == b"still mine"
        assert set(os.read(r, 1 << 20)) == {ord("x")}  # nor did a cancelled write land
        del drv
        gc.collect()
        assert (open_fds(), uring_maps()) == (fds, maps)
    finally:
        os.close(pr)
        os.close(pw)


@pytest.mark.parametrize("op", ["read_file", "write_file", "open", "stat", "kovra_uring.open"])
def test_cancelled_at_every_point_leaks_nothing(tmp_path, op):
    # Cancelling after 0, 1, 2, ... schedule points lands before the flush,
    # while the kernel works (on each read and the statx of a big file),
    # after a completion was reaped but before the task resumed, and after.
    if op == "kovra_uring.open" and not hasattr(kovra_uring, "open"):
        pytest.skip("kovra_uring.open is not there yet")
    path = tmp_path / "f"
    path.write_bytes(os.urandom(STAT_FROM + FIRST_READ))
    calls = {
        "read_file": lambda drv: drv.read_file(path),
        "write_file": lambda drv: drv.write_file(tmp_path / "w", b"x" * 100),
        "open": lambda drv: drv.open(path),
        "stat": lambda drv: drv.stat(path),
        "kovra_uring.open": lambda drv: open_file(path),
    }
    fds, maps = open_fds(), uring_maps()

    async def main():
        drv, points, got = Driver(slots=2), 0, []
        while not got:  # until the operation finishes before the cancel
            async with trio.open_nursery() as nursery:
                async def call():
                    got.append(await calls[op](drv))
                nursery.start_soon(call)
                for _ in range(points):
                    await trio.lowlevel.cancel_shielded_checkpoint()
                nursery.cancel_scope.cancel()
            points += 1
        if op == "open":
            os.close(got[0])
        await drv.aclose()
        return drv, points

    drv, points = trio.run(main)
    assert points > 1 and settled(drv)
    del drv
    gc.collect()
    assert (open_fds(), uring_maps()) == (fds, maps)


def test_cancel_that_misses_a_read_in_transit_is_sent_again():
    # As on asyncio: the driver asks again (call_later) while a cancelled
    # read runs on, or closing the driver would wait for it forever.
    r, w = os.pipe()

    async def main():
        with trio.fail_after(10):
            async with Driver() as io:
                for i in range(200):
                    async with trio.open_nursery() as nursery:
                        nursery.start_soon(io.read, r, 2 << 20)
                        for _ in range(i % 3):
                            await trio.lowlevel.cancel_shielded_checkpoint()
                        nursery.cancel_scope.cancel()
        return io

    try:
        assert settled(trio.run(main))
    finally:
        os.close(r)
        os.close(w)


def test_run_ends_with_nothing_left(tmp_path, backend):
    (tmp_path / "f").write_bytes(b"x" * 100)
    r, w = os.pipe()
    before = open_fds(), uring_maps(), threads()

    async def main():
        drv = get_driver()
        assert await drv.read_file(tmp_path / "f") == b"x" * 100
        assert await drv.listdir(tmp_path) == ["f"]  # a worker thread on either back end
        if backend == "io_uring":
            # Still reading when the main task returns: cancelled with the
            # system tasks, as the run's driver closes. (A thread's read
            # cannot be cancelled: the driver would wait for it forever.)
            trio.lowlevel.spawn_system_task(drv.read, r, 10)
            await trio.sleep(0.01)
        return drv

    try:
        drv = trio.run(main)
        assert settled(drv) and drv._closed and drv._executor is None
        del drv
        gc.collect()
        assert (open_fds(), uring_maps(), threads()) == before
        os.write(w, b"still mine")
        assert os.read(r, 100) == b"still mine"
    finally:
        os.close(r)
        os.close(w)


def test_driver_closed_before_its_reader_ran(caplog):
    async def main():
        for _ in range(3):
            async with Driver():
                pass

    trio.run(main)
    assert not caplog.records


def test_keyboard_interrupt_passes_through():
    r, w = os.pipe()
    fds, maps = open_fds(), uring_maps()
    seen = []

    async def main():
        drv = get_driver()
        seen.append(drv)
        async def interrupt():
            await trio.sleep(0.05)
            signal.raise_signal(signal.SIGINT)  # trio hands it to the main task
        trio.lowlevel.spawn_system_task(interrupt)
        await drv.read(r, 10)

    try:
        with pytest.raises(KeyboardInterrupt):
            trio.run(main)
        assert settled(seen[0])
        del seen[:]
        gc.collect()
        assert (open_fds(), uring_maps()) == (fds, maps)
    finally:
        os.close(r)
        os.close(w)


def test_every_operation_is_a_checkpoint(tmp_path, backend):
    path = tmp_path / "f"
    path.write_bytes(b"abc")

    async def main():
        async with Driver() as drv:
            fd = await drv.open(path, os.O_RDWR)
            for call in [lambda: drv.read(fd, 3, 0), lambda: drv.write(fd, b"d", 3),
                         lambda: drv.fstat(fd), lambda: drv.stat(path),
                         lambda: drv.exists(tmp_path / "missing"),
                         lambda: drv.read_file(path), lambda: drv.write_file(path, b"e"),
                         lambda: drv.listdir(tmp_path), lambda: drv.run_sync(len, ""),
                         lambda: kovra_uring.open(fd, "rb", closefd=False)]:
                with trio.testing.assert_checkpoints():
                    await call()
            with trio.testing.assert_checkpoints():
                await drv.close(fd)
            with trio.CancelScope() as scope:  # an operation in a cancelled scope
                scope.cancel()
                await drv.stat(path)
            assert scope.cancelled_caught
        with trio.testing.assert_checkpoints():  # with nothing to wait for
            await Driver().aclose()

    trio.run(main)


@pytest.mark.parametrize("mode, name, args", [
    ("rb", "read", (1,)), ("rb", "readline", ()), ("rb", "peek", (1,)), ("rb", "tell", ()),
    ("r", "read", (1,)), ("r", "readline", ()), ("r", "__anext__", ()), ("wb", "write", (b"x",)),
    ("w", "write", ("x",)), ("rb", "close", ()), ("r", "close", ())])
def test_file_calls_served_from_a_buffer_are_cancel_points(tmp_path, backend, mode, name, args):
    path = tmp_path / "f"
    path.write_bytes(b"ab\ncd\n")

    async def main():
        f = await kovra_uring.open(path, mode)
        try:
            if "r" in mode:
                await f.read(1)  # the rest is buffered
            with trio.CancelScope() as scope:
                scope.cancel()
                await getattr(f, name)(*args)
            assert scope.cancelled_caught
            assert f.closed == (name == "close")  # a cancelled close has closed
        finally:
            await f.close()

    fds = open_fds()
    trio.run(main)
    assert open_fds() == fds


def test_a_loop_of_buffered_reads_lets_other_tasks_run(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(bytes(4096))

    async def main():
        ran = 0

        async def other():
            nonlocal ran
            while True:
                ran += 1
                await trio.lowlevel.checkpoint()

        async with trio.open_nursery() as nursery:
            nursery.start_soon(other)
            async with kovra_uring.open(path, "rb") as f:
                await trio.sleep(0)
                before = ran
                for _ in range(1000):
                    await f.read(1)
                during = ran - before
            nursery.cancel_scope.cancel()
        return during

    assert trio.run(main) >= 1000 // 64 - 1


def test_completions_held_for_a_near_timer_all_arrive(tmp_path, monkeypatch):
    paths = []
    for i in range(300):
        paths.append(tmp_path / str(i))
        paths[-1].write_bytes(str(i).encode())

    async def main():
        async with trio.open_nursery() as nursery:
            # A deadline always there, and taken as near: every pass is
            # capped (a ticker's deadline is gone while it runs).
            nursery.start_soon(trio.sleep, 3600)
            drv = get_driver()
            got = {}

            async def read(p):
                got[p] = await drv.read_file(p)
            async with trio.open_nursery() as readers:
                for p in paths:
                    readers.start_soon(read, p)
            nursery.cancel_scope.cancel()
        return got, drv

    # A batch of more than two completions is one file's chain: some are
    # held however the kernel spreads them over the reaps.
    monkeypatch.setattr("kovra_uring._trio.PASS_COMPLETIONS", 2)
    monkeypatch.setattr("kovra_uring._trio.NEAR", math.inf)
    held = []
    dispatch_held = RingCore._dispatch_held
    monkeypatch.setattr(RingCore, "_dispatch_held",
                        lambda drv, done: (held.append(len(done)), dispatch_held(drv, done)))
    got, drv = trio.run(main)
    assert got == {p: p.read_bytes() for p in paths}
    assert held and settled(drv) and drv._held == 0


@pytest.mark.parametrize("how", ["deadline", "cancel()"])
@pytest.mark.parametrize("mode, data", [("w", "text\n" * 3), ("wb", b"bytes" * 3)])
def test_a_scope_that_leaves_async_with_still_writes_what_is_buffered(
        tmp_path, run_on, backend, mode, data, how):
    # The scope cancels the close in __aexit__ as well (on every library:
    # anyio's scopes on asyncio too, including one that its own task
    # cancels, which anyio delivers only at the task's next wait); io,
    # trio's files and a cancelled asyncio task write what was buffered.
    path = tmp_path / "f"

    async def main():
        with anyio.CancelScope() as scope:
            if how == "deadline":
                scope.deadline = anyio.current_time() + 0.05
            async with kovra_uring.open(path, mode) as f:
                await f.write(data)
                await f.write(data)
                if how == "deadline":
                    await anyio.sleep(5)
                else:
                    scope.cancel()
        # A scope cancelled by its own task is left without a wait on some
        # routes (nothing to catch then).
        return scope.cancelled_caught or how != "deadline", f.closed

    assert run_on(main) == (True, True)
    with open(tmp_path / "io", mode) as f:
        f.write(data * 2)
    assert path.read_bytes() == (tmp_path / "io").read_bytes()


@pytest.mark.parametrize("host_first", [False, True, "before trio was imported"])
def test_a_guest_run_on_asyncio_gets_a_driver_of_its_own(tmp_path, backend, host_first,
                                                         monkeypatch):
    # The guest's tasks run inside the host loop's callbacks, where asyncio
    # reports its loop as running: they still wait on trio, not on the
    # host's futures, whether or not the host made its driver first, and
    # whether or not trio was there when it did.
    import asyncio
    path = tmp_path / "f"
    path.write_bytes(b"one\ntwo\n" * 5000)
    r, w = os.pipe()
    before = open_fds(), uring_maps(), threads()
    drivers = []

    async def guest():
        drivers.append(get_driver())
        if backend == "io_uring":  # (a thread's read of a pipe runs on for good)
            with trio.move_on_after(0.05):  # cancelled in the kernel, as on trio
                await get_driver().read(r, 10)
        async with kovra_uring.open(path) as f:
            return [line async for line in f], await kovra_uring.os.stat(path)

    async def host():
        loop = asyncio.get_running_loop()
        if host_first:
            assert await kovra_uring.os.path.exists(path)
        if host_first == "before trio was imported":
            monkeypatch.setattr(kovra_uring._loop, "_trio", None)  # as if never loaded
        done = loop.create_future()
        trio.lowlevel.start_guest_run(guest, run_sync_soon_threadsafe=loop.call_soon_threadsafe,
                                      done_callback=done.set_result)
        return (await asyncio.wait_for(done, 10)).unwrap()

    try:
        lines, st = asyncio.run(host())
        assert (lines, st) == (path.open().readlines(), os.stat(path))
        drv, = drivers
        assert type(drv._glue).__name__ == "TrioLoop" and settled(drv) and drv._closed
        del drv, drivers[:]
        assert (open_fds(), uring_maps(), threads()) == before
    finally:
        os.close(r)
        os.close(w)
