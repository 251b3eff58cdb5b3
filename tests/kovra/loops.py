"""Running one test case on every event loop: asyncio, uvloop, trio, and
anyio on either back end (the `run_on` fixture of conftest.py)."""
import asyncio

import anyio

LIBRARIES = ["asyncio", "uvloop", "trio", "anyio-asyncio", "anyio-trio"]


def run_with(library, fn, *args, timeout=20):
    """fn(*args), an async function, under `library` (one of LIBRARIES):
    its result, or TimeoutError."""
    if library in ("asyncio", "uvloop"):
        async def bounded():
            async with asyncio.timeout(timeout):
                return await fn(*args)
        factory = None
        if library == "uvloop":
            import uvloop
            factory = uvloop.new_event_loop
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(bounded())
    if library == "trio":
        import trio

        async def bounded():
            with trio.fail_after(timeout):
                return await fn(*args)
        return trio.run(bounded)

    async def bounded():
        with anyio.fail_after(timeout):
            return await fn(*args)
    return anyio.run(bounded, backend=library.removeprefix("anyio-"))


async def gather(*aws):
    """The results of all of them, run concurrently, on whichever loop runs."""
    results = [None] * len(aws)

    async def one(i, aw):
        results[i] = await aw

    async with anyio.create_task_group() as tg:
        for i, aw in enumerate(aws):
            tg.start_soon(one, i, aw)
    return results
