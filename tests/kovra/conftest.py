"""The package's tests run on the default asyncio loop and on uvloop."""

import asyncio

import pytest

LOOPS = ["asyncio", "uvloop"]


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
    try:
        yield kind
    finally:
        if kind == "uvloop":
            asyncio.set_event_loop_policy(None)
