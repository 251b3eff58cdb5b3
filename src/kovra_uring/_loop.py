"""The event loop as the driver sees it, and one driver per running loop.

The driver needs little from a loop: futures to park coroutines on, "call
soon" and "call later", a reader on the ring's eventfd, tasks for work
nobody awaits, and worker threads. `AsyncioLoop` gives these on any asyncio
loop (uvloop, and anyio's asyncio back end, included); `_trio.TrioLoop` on
trio (and anyio's trio back end). `get_driver()` creates the running loop's
driver on first use and closes it when the loop shuts down (the trio run
ends).

The library is found by asking asyncio first, which costs nothing on the
path every asyncio call takes; trio is asked only when asyncio has no
running loop and something imported trio, and only then is `_trio`
imported: importing this package imports neither trio nor anyio. Where
something imported trio, a running asyncio loop may also be the host of a
trio guest run, whose tasks are trio's: they get the run's driver, not the
host's. So `_trio` is then imported by the first asyncio driver's start as
well, and a call from outside any asyncio task asks it whose task runs."""

from __future__ import annotations

import asyncio
import concurrent.futures
import math
import os
import sys
import threading
import warnings
import weakref
from collections.abc import AsyncGenerator, Awaitable, Callable, Coroutine, Iterable
from types import ModuleType
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

if TYPE_CHECKING:
    from ._driver import Driver

__all__ = ["AsyncioLoop", "Glue", "current_loop", "get_driver"]

T = TypeVar("T")

# Worker threads of a driver on asyncio: the default of trio's and anyio's
# thread limiters.
THREADS = 40


class Glue(Protocol):
    """What the driver uses of an event loop (see AsyncioLoop)."""

    # Bound methods of the loop where it has them: call_soon(fn, *args),
    # call_later(delay, fn, *args), add_reader(fd, fn, *args),
    # remove_reader(fd), is_closed(), create_future().
    InvalidStateError: Any
    Cancelled: Any  # what a cancelled wait raises
    loop: Any
    # None, or what to await where an operation completes without waiting
    # (trio: every async call of a library is a checkpoint).
    checkpoint: Callable[[], Awaitable[None]] | None
    # None, or how many completions a pass of the loop may hand out (trio:
    # timers are looked at between passes only).
    pass_budget: Callable[[], int] | None
    create_future: Any
    call_soon: Any
    call_later: Any
    add_reader: Any
    remove_reader: Any
    is_closed: Any

    def report(self, message: str, exception: BaseException) -> None: ...
    def call_soon_threadsafe(self, fn: Callable[..., object], *args: Any) -> None: ...
    def spawn(self, coro: Coroutine[Any, Any, Any]) -> Any: ...
    async def wait_all(self, awaitables: Iterable[Awaitable[Any]]) -> None: ...
    def from_thread(self, cf: concurrent.futures.Future[T]) -> Awaitable[T]: ...
    def executor(self) -> concurrent.futures.Executor: ...


class AsyncioLoop:
    """The driver's view of an asyncio event loop. The hot members are the
    loop's own bound methods, so using them costs no extra call."""

    InvalidStateError = asyncio.InvalidStateError
    Cancelled = asyncio.CancelledError
    # asyncio asks no yield of what completes at once.
    checkpoint: Callable[[], Awaitable[None]] | None = None
    # How many completions a pass of the loop hands out: no limit.
    pass_budget: Callable[[], int] | None = None

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.create_future = loop.create_future
        self.call_soon = loop.call_soon
        self.call_later = loop.call_later
        self.add_reader = loop.add_reader
        self.remove_reader = loop.remove_reader
        self.is_closed = loop.is_closed

    def report(self, message: str, exception: BaseException) -> None:
        """A failure with nobody to raise it to."""
        self.loop.call_exception_handler({"message": message, "exception": exception})

    def call_soon_threadsafe(self, fn: Callable[..., object], *args: Any) -> None:
        """fn(*args) soon on the loop's thread, from any thread (RuntimeError
        once the loop is closed)."""
        self.loop.call_soon_threadsafe(fn, *args)

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> asyncio.Task[Any]:
        return self.loop.create_task(coro)

    async def wait_all(self, awaitables: Iterable[Awaitable[Any]]) -> None:
        """Wait for every one of them, whatever they raise."""
        await asyncio.gather(*awaitables, return_exceptions=True)

    def from_thread(self, cf: concurrent.futures.Future[T]) -> Awaitable[T]:
        """An awaitable for a worker thread's result."""
        return asyncio.wrap_future(cf, loop=self.loop)

    def executor(self) -> concurrent.futures.Executor:
        """Where the driver's os calls run (a pool of the driver's own), as
        many threads as trio and anyio allow theirs: a call that waits on a
        stream (a read of an empty pipe, a FIFO's open) holds its thread, and
        the pool's default size (the CPUs and 4) would let a few of them
        starve the calls that end their wait."""
        return concurrent.futures.ThreadPoolExecutor(THREADS, thread_name_prefix="kovra_uring")


_running_loop = asyncio._get_running_loop  # None, not an exception, outside a loop
_current_task = asyncio.current_task
# The trio glue, once trio has run in this process (or an asyncio loop
# started its driver where trio was imported). A file object's call
# starts with `if _loop._trio is not None and _running_loop() is None:
# await _loop._trio.file_checkpoint()`: trio's checkpoint rule, for the calls
# a buffer serves without waiting, at next to no cost on asyncio.
_trio: ModuleType | None = None


def _elsewhere() -> ModuleType:
    """The glue of the library running instead of asyncio (RuntimeError when
    none runs)."""
    global _trio
    if _trio is None:
        if "trio" not in sys.modules:
            raise RuntimeError("no running event loop")
        from . import _trio as glue
        _trio = glue
    return _trio


def _guest() -> bool:
    """Whether a trio task runs here on top of the running asyncio loop (a
    guest run, whose tasks the host loop steps). Its tasks await trio's
    waits, not the host's futures."""
    if _trio is None:
        if "trio" not in sys.modules:
            return False
        _elsewhere()
    assert _trio is not None
    return _trio.in_task()  # type: ignore[no-any-return]


def _guest_task(loop: asyncio.AbstractEventLoop) -> bool:
    """_guest() on the hot path (get_driver has it inline). The host steps a
    guest run from its callbacks, never from one of its tasks: asking
    asyncio first (tens of nanoseconds) spares its own tasks trio's look-up
    (hundreds, on every call, for any asyncio program that imported trio).
    trio may have been imported after this loop's driver started, so
    _guest() also looks for it."""
    return _current_task(loop) is None and _guest()


def _on_trio() -> bool:
    loop = _running_loop()
    return loop is None or _guest_task(loop)


def current_loop() -> Glue:
    """The running loop, as the driver sees it."""
    loop = _running_loop()
    if loop is not None and not _guest():
        return AsyncioLoop(loop)
    return _elsewhere().current_loop()  # type: ignore[no-any-return]


def cancel_pending() -> bool:
    """Whether the calling task's cancel scope is cancelled already. trio's
    and anyio's scopes cancel every wait until they are left; asyncio's own
    cancellation, once delivered, lets the next wait run."""
    if _on_trio():
        return _trio is not None and _trio.cancel_pending()
    anyio = sys.modules.get("anyio")  # its scopes on asyncio, if it is there
    if anyio is None:
        return False
    # Task.cancelling() cannot rule a scope out: one that its own task
    # cancels (scope.cancel() in its body) cancels that task only at its
    # next wait. Only a close with writes to flush asks, so the call costs
    # little next to those.
    if asyncio.current_task() is None:
        return False
    return bool(anyio.current_effective_deadline() == -math.inf)


async def shielded(fn: Callable[[], Awaitable[object]]) -> None:
    """`await fn()` safe from the cancellation already pending (see
    cancel_pending), which is raised once it is done."""
    if _on_trio():
        assert _trio is not None
        await _trio.shielded(fn)
        return
    import anyio
    import anyio.lowlevel

    with anyio.CancelScope(shield=True):
        await fn()
    await anyio.lowlevel.checkpoint_if_cancelled()


# id(loop) -> a weak reference to its driver. The loop itself keeps its
# driver (an attribute of its own, or _kept for a loop that takes none): a
# loop dropped unclosed (its thread ended) is then collected with its
# driver and ring, as it would be without them, not held here for good. A
# dead reference, or a driver of another loop that got the same id, is
# replaced. Loops in several threads start their drivers one at a time
# (_start's warning filters are process-wide).
_drivers: dict[int, weakref.ref[Driver]] = {}
_kept: dict[int, Driver] = {}
_ATTR = "_kovra_uring_driver"
_starting = threading.Lock()


def _forget(key: int, drv: Driver) -> None:
    """Drop what keeps `drv`, the driver of the loop whose id is `key`."""
    ref = _drivers.get(key)
    if ref is not None and ref() is drv:
        _drivers.pop(key, None)
    if _kept.get(key) is drv:
        _kept.pop(key, None)
    loop = drv._glue.loop
    if getattr(loop, _ATTR, None) is drv:
        delattr(loop, _ATTR)


def get_driver() -> Driver:
    """The running loop's driver (RuntimeError outside a running loop)."""
    loop = _running_loop()
    # A trio task of a guest run, which the host loop steps (_guest_task,
    # written out).
    if loop is None or (_current_task(loop) is None and _guest()):
        return _elsewhere().get_driver()  # type: ignore[no-any-return]
    # The loop's own attribute first: one look-up on the path of every call.
    drv: Driver | None = getattr(loop, _ATTR, None)
    if drv is not None:
        return drv
    ref = _drivers.get(id(loop))
    drv = None if ref is None else ref()
    if drv is None or drv._glue.loop is not loop:
        drv = _start(loop)
    return drv


async def _lifetime(key: int, box: list[Driver]) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        for drv in box:  # none if the loop refused the generator
            _forget(key, drv)
            await drv.aclose()


def _step(coro: Coroutine[Any, Any, Any]) -> None:
    """One step of an async generator's method, which does not wait."""
    try:
        coro.send(None)
    except StopIteration:
        pass


def _start(loop: asyncio.AbstractEventLoop) -> Driver:
    with _starting:
        return _start_locked(loop)


def _start_locked(loop: asyncio.AbstractEventLoop) -> Driver:
    from ._driver import Driver

    # Loops closed without shutting down their async generators leave their
    # drivers here: drop them (each ring then closes itself). The copy, made
    # without running Python code, is safe from other threads' loops.
    for key, ref in list(_drivers.items()):
        if (old := ref()) is None:
            _drivers.pop(key, None)
        elif old._glue.is_closed():
            _forget(key, old)
    # An async generator started on the loop is closed by the loop's
    # shutdown_asyncgens(), which asyncio.run() calls once every task is done:
    # its finally closes the driver while the loop still runs. The loop only
    # keeps a weak reference, so the driver keeps the generator. Once that
    # shutdown has begun the loop refuses new generators (with a warning
    # from the loop), and nothing would close a driver made then: none is made.
    _guest()  # trio there: its glue loaded, for get_driver to tell a guest run's tasks
    box: list[Driver] = []
    shut = getattr(loop, "_asyncgens_shutdown_called", None)  # asyncio's own loops
    if shut:
        raise RuntimeError("the event loop is shutting down")
    agen = _lifetime(id(loop), box)
    if shut is not None:
        _step(agen.asend(None))
    elif _refused(loop, agen):  # a loop that says it only with its warning (uvloop)
        _step(agen.aclose())
        raise RuntimeError("the event loop is shutting down")
    try:
        drv = Driver()
    except BaseException:
        _step(agen.aclose())
        raise
    box.append(drv)
    try:
        setattr(loop, _ATTR, drv)
    except (AttributeError, TypeError):  # a loop without attributes of its own
        _kept[id(loop)] = drv
    _drivers[id(loop)] = weakref.ref(drv)
    drv._lifetime = agen
    return drv


def _refused(loop: object, agen: AsyncGenerator[None, None]) -> bool:
    """Start `agen` on the loop: did the loop refuse it, with its warning?
    Catching warnings swaps process-wide state, hence _starting."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        _step(agen.asend(None))
    refused = False
    for w in caught:
        if issubclass(w.category, ResourceWarning) and w.source is loop:
            refused = True
        else:  # raised meanwhile elsewhere (another thread, a collection): passed on
            try:
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno,
                                       source=w.source)
            except Exception:  # an "error" filter: nobody here to raise it to
                pass
    return refused


# A forked child starts without the parent's drivers: their rings answer
# only their properties there.
def _after_fork() -> None:
    global _starting
    # A loop that runs on in the child forgets its driver too (get_driver
    # looks at its attribute first).
    for ref in list(_drivers.values()):
        drv = ref()
        if drv is not None:
            try:
                loop = drv._glue.loop
                if getattr(loop, _ATTR, None) is drv:
                    delattr(loop, _ATTR)
            except Exception:
                pass
    _drivers.clear()
    _kept.clear()
    _starting = threading.Lock()  # a thread of the parent may have held it


os.register_at_fork(after_in_child=_after_fork)
