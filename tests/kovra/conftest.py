"""The package's tests run on the default asyncio loop and on uvloop; those
that take `run_on` also on trio and on anyio's two back ends."""

import asyncio

import pytest
from loops import LIBRARIES, run_with

LOOPS = ["asyncio", "uvloop"]
_warm: list[None] = []


def pytest_generate_tests(metafunc):
    # A module of synchronous calls sets LOOP_NEUTRAL; a test that picks its
    # own library (run_on) is parametrized by that fixture.
    if "loop_kind" in metafunc.fixturenames and "run_on" not in metafunc.fixturenames \
            and not getattr(metafunc.module, "LOOP_NEUTRAL", False):
        metafunc.parametrize("loop_kind", LOOPS, indirect=True)


@pytest.fixture(autouse=True)
def loop_kind(request):
    """asyncio.run() in the test runs on this kind of loop."""
    kind = getattr(request, "param", "asyncio")
    if kind == "uvloop":
        uvloop = pytest.importorskip("uvloop")
        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
        if not _warm:  # uvloop's first run keeps descriptors: not a test's
            _warm.append(asyncio.run(asyncio.sleep(0)))
    try:
        yield kind
    finally:
        if kind == "uvloop":
            asyncio.set_event_loop_policy(None)


@pytest.fixture(params=LIBRARIES)
def run_on(request):
    """`run_on(fn, *args)` runs the async function under asyncio, uvloop,
    trio and anyio on asyncio and on trio, one after the other (`run_on.loop`
    names the one of the moment)."""
    def run(fn, *args, timeout=20):
        return run_with(request.param, fn, *args, timeout=timeout)
    run.loop = request.param
    return run
