"""The package's tests on every event loop: `run_on` runs an async function
under asyncio, uvloop, trio, and anyio on either back end; `gather` is
asyncio.gather for all of them."""
import asyncio
import importlib.util
from pathlib import Path

import anyio
import pytest

# Test modules import helpers with `from conftest import ...`, and pytest
# imports every conftest.py under that one module name, the last one
# imported winning: so this one also offers those of tests/conftest.py.
_spec = importlib.util.spec_from_file_location("_tests_conftest",
                                               Path(__file__).parents[1] / "conftest.py")
_root = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_root)
open_fds, uring_maps = _root.open_fds, _root.uring_maps

LOOPS = ["asyncio", "uvloop", "trio", "anyio-asyncio", "anyio-trio"]


def run_with(loop, fn, *args, timeout=20):
    """fn(*args) under `loop` (a name of LOOPS); its result, or TimeoutError."""
    if loop in ("asyncio", "uvloop"):
        async def bounded():
            async with asyncio.timeout(timeout):
                return await fn(*args)
        factory = None
        if loop == "uvloop":
            import uvloop
            factory = uvloop.new_event_loop
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(bounded())
    if loop == "trio":
        import trio

        async def bounded():
            with trio.fail_after(timeout):
                return await fn(*args)
        return trio.run(bounded)

    async def bounded():
        with anyio.fail_after(timeout):
            return await fn(*args)
    return anyio.run(bounded, backend=loop.removeprefix("anyio-"))


@pytest.fixture(params=LOOPS)
def run_on(request):
    """`run_on(fn, *args)` runs the async function under each loop in turn
    (`run_on.loop` names it)."""
    def run(fn, *args, timeout=20):
        return run_with(request.param, fn, *args, timeout=timeout)
    run.loop = request.param
    return run


async def gather(*aws):
    """The results of all of them, concurrently, on whichever loop runs."""
    results = [None] * len(aws)

    async def one(i, aw):
        results[i] = await aw

    async with anyio.create_task_group() as tg:
        for i, aw in enumerate(aws):
            tg.start_soon(one, i, aw)
    return results
