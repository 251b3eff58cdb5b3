"""One driver per running loop: made on first use, gone with the loop."""

import asyncio
import gc
import logging
import os
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import anyio
import pytest
from leaks import open_fds, threads, uring_maps
from loops import LIBRARIES, run_with

import kovra_uring
import kovra_uring._driver as driver
from kovra_uring import RingUnavailableWarning
from kovra_uring._loop import get_driver


async def use():
    drv = get_driver()
    assert get_driver() is drv
    assert await drv.read_file(__file__) == Path(__file__).read_bytes()
    return id(drv), drv.backend


def refused(entries):
    raise PermissionError(1, "Operation not permitted")


async def nothing():
    pass


@pytest.mark.parametrize("backend", ["io_uring", "threads"])
@pytest.mark.filterwarnings("ignore", category=RingUnavailableWarning)
def test_each_run_gets_its_own_driver_and_leaves_nothing(monkeypatch, backend):
    if backend == "threads":
        monkeypatch.setattr(driver, "Ring", refused)
    asyncio.run(nothing())  # what the loop itself keeps for good (uvloop: a pipe)
    before = open_fds(), uring_maps(), threads()

    async def use_threads():
        await get_driver().listdir(".")  # on a worker thread with either back end
        return await use()

    first = asyncio.run(use_threads())
    gc.collect()
    assert (open_fds(), uring_maps(), threads()) == before
    second = asyncio.run(use_threads())
    gc.collect()
    assert (open_fds(), uring_maps(), threads()) == before
    assert first[1] == second[1] == backend


def test_loop_closed_without_shutdown_still_releases_its_ring():
    asyncio.run(nothing())
    before = open_fds(), uring_maps()
    loop = asyncio.new_event_loop()
    loop.run_until_complete(use())
    loop.close()
    del loop
    asyncio.run(use())  # a new loop's first use drops what closed loops left
    gc.collect()
    assert (open_fds(), uring_maps()) == before


@pytest.mark.parametrize("ticks", [0, 3])
@pytest.mark.parametrize("early", [False, True], ids=["unused", "used"])
def test_library_used_while_the_run_shuts_down_leaves_nothing(early, ticks):
    """A generator whose finally uses the library while asyncio.run closes
    the generators (before or after the driver's own): nothing outlives it."""
    asyncio.run(nothing())
    before = open_fds(), uring_maps()
    said = []

    async def gen():
        try:
            yield
        finally:
            for _ in range(ticks):
                await asyncio.sleep(0)
            try:
                said.append((await get_driver().stat("/")).st_ino)
            except RuntimeError as e:
                said.append(str(e))

    async def main():
        if early:
            await use()
        main.kept = gen()  # closed by the shutdown, not by the collector
        await anext(main.kept)

    asyncio.run(main())
    gc.collect()
    assert (open_fds(), uring_maps()) == before
    assert said in ([os.stat("/").st_ino], ["the event loop is shutting down"])


FORK = """
import asyncio, os, sys
from kovra_uring._loop import get_driver

async def use():
    return await get_driver().read_file(sys.argv[1])

async def parent():
    await use()
    pid = os.fork()
    if pid == 0:  # the child runs a loop of its own
        try:
            asyncio.run(use())
        except BaseException:
            os._exit(1)
        os._exit(0)
    await use()  # the parent's driver is untouched
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

sys.exit(asyncio.run(parent()))
"""


def test_forked_child_gets_a_ring_of_its_own():
    # In a process of its own: this one may have threads (fork's warning).
    r = subprocess.run([sys.executable, "-c", FORK, __file__], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0 and not r.stderr, r.stderr


def test_outside_a_loop_it_raises():
    with pytest.raises(RuntimeError):
        get_driver()


def test_loops_in_many_threads_start_their_drivers_at_once(monkeypatch):
    """First uses in several threads at once: each gets its driver, and the
    process's warning filters are left as they were."""
    filters, show = list(warnings.filters), warnings._showwarnmsg_impl
    failures = []

    def runs():
        for _ in range(100):
            try:
                asyncio.run(use())
            except Exception as e:
                failures.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=runs) for _ in range(6)]
        for t in workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert (warnings.filters, warnings._showwarnmsg_impl) == (filters, show)



def left_unclosed(body):
    """A thread's loop, left unclosed when the thread ends, and dropped."""
    def run():
        asyncio.new_event_loop().run_until_complete(body())
    t = threading.Thread(target=run)
    t.start()
    t.join()


def ended_by_system_exit(body):
    """asyncio.run ended by a task's SystemExit, which its shutdown meets
    again in the task awaiting it, before the async generators are closed;
    the closed loop is dropped."""
    async def leave():
        await body()
        raise SystemExit(3)

    async def main():
        await asyncio.gather(leave(), asyncio.sleep(10))
    with pytest.raises(SystemExit):
        asyncio.run(main())


@pytest.mark.parametrize("backend", ["io_uring", "threads"])
@pytest.mark.parametrize("how", [left_unclosed, ended_by_system_exit])
@pytest.mark.filterwarnings("ignore", category=RingUnavailableWarning)
@pytest.mark.filterwarnings("ignore:unclosed event loop:ResourceWarning")
def test_a_loop_dropped_without_its_shutdown_takes_its_driver_with_it(
        monkeypatch, caplog, loop_kind, backend, how):
    """What the library used goes with the loop when it is collected, as
    the loop's own descriptors go."""
    # Not kept by the log's capture: asyncio's "never retrieved" report of
    # the SystemExit, whose traceback holds the loop.
    caplog.set_level(logging.CRITICAL, logger="asyncio")
    if loop_kind == "uvloop" and how is left_unclosed:
        pytest.skip("uvloop keeps what a loop left unclosed holds")
    if backend == "threads":
        monkeypatch.setattr(driver, "Ring", refused)
    asyncio.run(nothing())
    before = open_fds(), uring_maps(), threads()
    how(use)
    gc.collect()
    assert (open_fds(), uring_maps(), threads()) == before


@pytest.mark.parametrize("backend", ["io_uring", "threads"])
@pytest.mark.parametrize("buffering", [0, -1])
@pytest.mark.filterwarnings("ignore", category=RingUnavailableWarning)
def test_a_file_shared_by_loops_in_several_threads(monkeypatch, tmp_path, backend, buffering):
    """One file written at once by tasks of every kind of loop, each in a
    thread of its own, as io's file would be: no write lost, none stuck."""
    if backend == "threads":
        monkeypatch.setattr(driver, "Ring", refused)
    path = tmp_path / "log"

    async def opened():
        return await kovra_uring.open(path, "wb", buffering=buffering)
    f = asyncio.run(opened())
    lines = {lib: [f"{lib} {i}".encode() + b"." * (i % 4 * 3000) + b"\n" for i in range(100)]
             for lib in LIBRARIES}

    async def write(lib):
        for line in lines[lib]:
            await f.write(line)

    failures = []

    def run(lib):
        try:
            run_with(lib, write, lib, timeout=10)
        except BaseException as e:
            failures.append(e)
    workers = [threading.Thread(target=run, args=(lib,)) for lib in LIBRARIES]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    asyncio.run(f.close())
    assert failures == []
    assert sorted(path.read_bytes().splitlines(keepends=True)) == sorted(
        line for group in lines.values() for line in group)


@pytest.fixture(params=["io_uring", "threads"])
def pipe_file(request, monkeypatch):
    """An unbuffered file over a pipe, on the ring or on the thread back
    end, and the pipe's write end; both closed after the test."""
    if request.param == "threads":
        monkeypatch.setattr(driver, "Ring", refused)
    r, w = os.pipe()

    async def opened():
        return await kovra_uring.open(r, "rb", buffering=0)
    f = asyncio.run(opened())
    yield f, w
    os.close(w)
    asyncio.run(f.close())


@pytest.mark.filterwarnings("ignore", category=RingUnavailableWarning)
def test_a_pipe_read_by_loops_in_several_threads_with_reads_left(pipe_file):
    """Reads of one pipe cancelled over and over in loops of every kind,
    each in a thread of its own: what a read left behind got comes out of
    the next read, whichever loop makes it, and none fails."""
    f, w = pipe_file
    count, got, failures = 200, [], []
    stop = threading.Event()

    async def read():
        while not stop.is_set():
            try:
                with anyio.move_on_after(0.002):
                    got.append(await f.read(1))
            except Exception as e:
                failures.append(e)
                return

    workers = [threading.Thread(target=run_with, args=(lib, read)) for lib in LIBRARIES]
    for t in workers:
        t.start()
    try:
        for i in range(count):
            os.write(w, bytes([i % 256]))
            time.sleep(0.0003)
        deadline = time.monotonic() + 20
        while len(got) < count and not failures and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        stop.set()
        for t in workers:
            t.join()
    assert failures == []
    assert sorted(got) == sorted(bytes([i % 256]) for i in range(count))


@pytest.mark.filterwarnings("ignore", category=RingUnavailableWarning)
def test_a_file_released_by_another_thread_while_a_task_queues_for_it(monkeypatch, pipe_file):
    """A task that finds a shared file busy, whose holder in another
    thread's loop lets go before the task is queued, still gets its turn."""
    f, w = pipe_file
    holding, held = threading.Event(), threading.Event()
    make_future = driver.Driver.create_future

    def create_future(self):  # the queuing task's loop, slow where it is unlucky
        os.write(w, b"ab")
        held.wait(10)
        return make_future(self)

    async def hold():
        read = asyncio.create_task(f.read(1))
        await asyncio.sleep(0)
        holding.set()
        return await read

    holder = threading.Thread(target=lambda: got.append(run_with("asyncio", hold)) or held.set())
    got = []
    holder.start()
    holding.wait(10)
    monkeypatch.setattr(driver.Driver, "create_future", create_future)
    try:
        got.append(run_with("asyncio", f.read, 1, timeout=5))
    finally:
        holder.join()
    assert got == [b"a", b"b"]
