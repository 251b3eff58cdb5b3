"""One driver per running loop: made on first use, gone with the loop."""

import asyncio
import gc
import os

import pytest
from leaks import open_fds, threads, uring_maps

import kovra_uring._driver as driver
from kovra_uring import RingUnavailableWarning
from kovra_uring._loop import get_driver


async def use():
    drv = get_driver()
    assert get_driver() is drv
    assert await drv.read_file(__file__) == open(__file__, "rb").read()
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


def test_forked_child_gets_a_ring_of_its_own():
    async def parent():
        await use()
        pid = os.fork()
        if pid == 0:  # the child runs a loop of its own
            try:
                asyncio.run(use())
                code = 0
            except BaseException:
                code = 1
            os._exit(code)
        await use()  # the parent's driver is untouched
        return os.waitpid(pid, 0)[1]

    assert os.waitstatus_to_exitcode(asyncio.run(parent())) == 0


def test_outside_a_loop_it_raises():
    with pytest.raises(RuntimeError):
        get_driver()
