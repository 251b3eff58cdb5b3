"""The event loop as the driver sees it, on trio (anyio's trio back end
included), and one driver per trio run.

trio has no futures, no "call soon" and no reader callbacks; each is built
here from what `trio.lowlevel` documents:

- `TrioFuture` parks the one task that awaits it with
  `wait_task_rescheduled` and wakes it with `reschedule`. A cancel scope
  that cancels the wait marks the future cancelled (its abort callback), so
  that a completion arriving later fails with InvalidStateError and the
  driver keeps it for the abandoned operation's cleanup, as on asyncio.
- Callbacks queued with `call_soon` run in one system task, the pump, which
  the first callback of a pass wakes with a plain `reschedule`: they run in
  the scheduler's next batch, after every task of this one, the place
  asyncio gives them. (`TrioToken.run_sync_soon` would also do, but writes
  to trio's wake-up socket on every call.)
- The eventfd's reader is a system task looping on `wait_readable`.
- Worker threads are trio's own (`trio.to_thread.run_sync`), which anyio's
  `to_thread` also uses on trio.
- Every wait for the driver parks the task, so it is a checkpoint;
  `checkpoint` is trio's, for library code whose call completes without
  waiting.

System tasks share the run's fate: the driver's run under shielded cancel
scopes, so that the run's own driver can still complete what is in flight
when the main task has returned, and this module cancels them once it has
closed that driver."""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
import math
import sys
import threading
from collections import deque
from collections.abc import Awaitable, Callable, Coroutine, Generator, Iterable
from functools import partial
from typing import TYPE_CHECKING, Any, TypeVar

import trio
from outcome import Error, Value
from trio.lowlevel import (
    Abort,
    RunVar,
    Task,
    cancel_shielded_checkpoint,
    checkpoint,
    checkpoint_if_cancelled,
    current_statistics,
    current_task,
    current_trio_token,
    in_trio_task,
    notify_closing,
    reschedule,
    spawn_system_task,
    wait_readable,
    wait_task_rescheduled,
)

if TYPE_CHECKING:
    from ._driver import Driver

__all__ = ["TrioFuture", "TrioLoop", "current_loop", "get_driver"]

T = TypeVar("T")

_log = logging.getLogger("kovra_uring")

# Completions per batch of the scheduler while a deadline is NEAR seconds
# away (pass_budget): about 12 files' worth of open, read and close.
PASS_COMPLETIONS = 36
NEAR = 0.005
NEAR_BATCHES = 100
# File calls between two schedule points (file_checkpoint).
SCHEDULE_EVERY = 64

# A future's states; a failed one keeps its exception as its result.
_PENDING, _DONE, _CANCELLED, _FAILED = 0, 1, 2, 3


class TrioFuture:
    """A result that one trio task waits for; set from the run's thread."""

    __slots__ = ("_state", "_result", "_task", "_callbacks")

    def __init__(self) -> None:
        self._state = _PENDING
        self._task: Task | None = None
        self._callbacks: list[Callable[[TrioFuture], object]] | None = None

    def done(self) -> bool:
        return self._state != _PENDING

    def cancelled(self) -> bool:
        return self._state == _CANCELLED

    def set_result(self, result: Any) -> None:
        if self._state:
            raise asyncio.InvalidStateError("future is done or its waiter left")
        self._state = _DONE
        self._result = result
        if (task := self._task) is not None:
            reschedule(task, Value(result))
        if self._callbacks is not None:
            self._call_back()

    def set_exception(self, exception: BaseException) -> None:
        if self._state:
            raise asyncio.InvalidStateError("future is done or its waiter left")
        self._state = _FAILED
        if (task := self._task) is not None:
            reschedule(task, Error(exception))
            # The waiter raises it from a frame that holds this future: kept
            # here as well, it would hold that frame in a reference cycle.
            self._result = None if self._callbacks is None else exception
        else:
            self._result = exception
        if self._callbacks is not None:
            self._call_back()

    def result(self) -> Any:
        state = self._state
        if state == _DONE:
            return self._result
        if state == _FAILED:
            raise self._result
        if state == _CANCELLED:
            raise asyncio.CancelledError()
        raise asyncio.InvalidStateError("result is not set")

    def exception(self) -> BaseException | None:
        state = self._state
        if state == _PENDING:
            raise asyncio.InvalidStateError("result is not set")
        if state == _CANCELLED:
            raise asyncio.CancelledError()
        return self._result if state == _FAILED else None

    def add_done_callback(self, fn: Callable[[TrioFuture], object]) -> None:
        """`fn(self)` once done (at once if it is): called where the future
        is resolved, not in a later pass as asyncio does."""
        if self._state:
            fn(self)
        elif self._callbacks is None:
            self._callbacks = [fn]
        else:
            self._callbacks.append(fn)

    def _call_back(self) -> None:
        callbacks, self._callbacks = self._callbacks or [], None
        for fn in callbacks:
            try:
                fn(self)
            except Exception as e:
                _log.exception("kovra_uring: future callback failed", exc_info=e)

    def _abort(self, raise_cancel: Any) -> Abort:
        # The waiter is cancelled (or interrupted): it leaves, and the
        # future with it, as a cancelled task cancels its future on asyncio.
        self._state = _CANCELLED
        if self._callbacks is not None:
            self._call_back()
        return Abort.SUCCEEDED

    def __await__(self) -> Generator[Any, Any, Any]:
        if self._state or self._task is not None:
            return self._settled().__await__()
        # The waker hands the result over with the task's wake-up.
        self._task = current_task()
        return wait_task_rescheduled(self._abort).__await__()

    async def _settled(self) -> Any:
        if not self._state:
            raise RuntimeError("a TrioFuture has a single waiter")
        # Already there: still a checkpoint, as every trio wait is.
        await checkpoint()
        return self.result()


class _Run:
    """What the drivers of one trio run share: the callback queue and its
    pump, the system tasks that end with the run, and the run's own driver."""

    def __init__(self) -> None:
        self.token = current_trio_token()
        self.thread = threading.get_ident()
        self.ready: deque[tuple[Callable[..., object], tuple[Any, ...]]] = deque()
        self.parked: Task | None = None  # the pump, while it waits for work
        self.scopes: set[trio.CancelScope] = set()
        self.driver: Driver | None = None
        self.ended = False
        spawn_system_task(self._until_end, name="kovra_uring: end of run")
        self.system(self._pump)

    def call_soon(self, fn: Callable[..., object], *args: Any) -> None:
        self.ready.append((fn, args))
        if (task := self.parked) is not None:
            self.parked = None
            reschedule(task)

    def _unpark(self, raise_cancel: Any) -> Abort:
        self.parked = None
        return Abort.SUCCEEDED

    async def _pump(self) -> None:
        ready = self.ready
        while True:
            if not ready:
                self.parked = current_task()
                await wait_task_rescheduled(self._unpark)
            # What these callbacks queue runs in the next pass, as on asyncio.
            for _ in range(len(ready)):
                fn, args = ready.popleft()
                try:
                    fn(*args)
                except Exception as e:
                    report("kovra_uring: callback failed", e)
            if ready:
                await cancel_shielded_checkpoint()

    def system(self, fn: Callable[..., Awaitable[object]], *args: Any,
               scope: trio.CancelScope | None = None) -> trio.CancelScope:
        """Run `fn(*args)` in a system task that only this run's end (or the
        scope returned, shielded) cancels."""
        if self.ended:
            raise RuntimeError("the trio run is ending")
        if scope is None:
            scope = trio.CancelScope(shield=True)
        self.scopes.add(scope)
        spawn_system_task(self._guard, scope, fn, args, name=f"kovra_uring: {fn.__name__}")
        return scope

    async def _guard(self, scope: trio.CancelScope, fn: Callable[..., Awaitable[object]],
                     args: tuple[Any, ...]) -> None:
        try:
            with scope:
                await fn(*args)
        except Exception as e:  # a system task that raises ends the whole run
            report(f"kovra_uring: {fn.__name__} failed", e)
        finally:
            self.scopes.discard(scope)

    async def _until_end(self) -> None:
        """Close the run's driver once the main task has returned: what is in
        flight completes (its reader and pump still run), then every system
        task of ours is cancelled."""
        try:
            await trio.sleep_forever()
        finally:
            with trio.CancelScope(shield=True):
                while (drv := self.driver) is not None:
                    self.driver = None
                    try:
                        await drv.aclose()
                    except Exception as e:
                        report("kovra_uring: closing the driver failed", e)
            self.ended = True
            for scope in list(self.scopes):
                scope.cancel()


_calls = 0


async def file_checkpoint() -> None:
    """What a file object's call does first. trio wants every async call to
    be a checkpoint, but a full one costs a pass of the scheduler (about
    4 us), as much again as a read served from a buffer: so every call is a
    cancel point, and every SCHEDULE_EVERY-th a schedule point as well. A
    call that waits for the driver is a full checkpoint anyway."""
    global _calls
    if _calls < SCHEDULE_EVERY:
        _calls += 1
        await checkpoint_if_cancelled()
    else:
        _calls = 0
        await checkpoint()


in_task = in_trio_task


def cancel_pending() -> bool:
    """Whether the calling task's cancel scope is cancelled already: its
    next checkpoint raises Cancelled."""
    return trio.current_effective_deadline() == -math.inf


async def shielded(fn: Callable[[], Awaitable[object]]) -> None:
    """`await fn()` safe from the cancellation already pending, which is
    raised once it is done, as trio's own files close."""
    with trio.CancelScope(shield=True):
        await fn()
    await checkpoint_if_cancelled()


def report(message: str, exception: BaseException) -> None:
    _log.error(message, exc_info=exception)


class _Threads(concurrent.futures.Executor):
    """trio's worker threads (trio.to_thread.run_sync) as an executor, so
    that the driver keeps its bookkeeping of calls in flight: each call is a
    system task of its own, which sets the call's future as it ends. (trio
    waits for a thread it started, cancelled or not, so nothing outlives
    the run.)"""

    def __init__(self, run: _Run) -> None:
        self._run = run

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any
               ) -> concurrent.futures.Future[T]:
        cf: concurrent.futures.Future[T] = concurrent.futures.Future()
        cf.set_running_or_notify_cancel()
        self._run.system(_in_thread, cf, partial(fn, *args, **kwargs))
        return cf

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        pass  # the threads are trio's


def _call(failed: list[Exception], fn: Callable[[], T]) -> T | None:
    """fn() on a worker thread, a failure put in `failed` rather than
    raised: trio keeps one raised through its thread in a reference cycle
    with the frames of its traceback (which hold `failed` too, emptied once
    the failure is taken), until the next garbage collection."""
    try:
        return fn()
    except Exception as e:
        failed.append(e)
        return None


async def _in_thread(cf: concurrent.futures.Future[T], fn: Callable[[], T]) -> None:
    failed: list[Exception] = []
    try:
        result = await trio.to_thread.run_sync(_call, failed, fn)
    except Exception as e:
        cf.set_exception(e)
        return
    if failed:
        cf.set_exception(failed.pop())
    else:
        cf.set_result(result)  # type: ignore[arg-type]


class TrioLoop:
    """The driver's view of a trio run: the same members as AsyncioLoop."""

    InvalidStateError = asyncio.InvalidStateError
    Cancelled = trio.Cancelled
    checkpoint = staticmethod(checkpoint)

    def __init__(self, run: _Run) -> None:
        self.loop = run
        self.create_future = TrioFuture
        self.call_soon = run.call_soon
        self._readers: dict[int, trio.CancelScope] = {}
        self._near = 0  # batches left to cap since a deadline was last near

    def pass_budget(self) -> int:
        """How many completions the scheduler's next batch may get. Each
        wakes a task, and trio looks at its timers only between batches: 64
        woken tasks doing a file's worth of work each would hold a sleeper
        back a whole millisecond. The shorter batches cost throughput, so
        they are kept for runs with a deadline near (or lately near: a
        sleeper that has just woken has none until it sleeps again)."""
        if current_statistics().seconds_to_next_deadline < NEAR:
            self._near = NEAR_BATCHES
        elif self._near:
            self._near -= 1
        else:
            return sys.maxsize
        return PASS_COMPLETIONS

    def call_later(self, delay: float, fn: Callable[..., object], *args: Any) -> trio.CancelScope:
        async def later() -> None:
            await trio.sleep(delay)
            self.call_soon(fn, *args)
        return self.loop.system(later)

    def add_reader(self, fd: int, callback: Callable[..., object], *args: Any) -> None:
        if fd in self._readers:
            self.remove_reader(fd)
        # The reader knows its registration from the start: the driver may
        # remove it (and close the fd) before the task first runs.
        scope = self._readers[fd] = trio.CancelScope(shield=True)
        self.loop.system(self._read, fd, scope, callback, args, scope=scope)

    async def _read(self, fd: int, scope: trio.CancelScope, callback: Callable[..., object],
                    args: tuple[Any, ...]) -> None:
        readers = self._readers
        while readers.get(fd) is scope:
            try:
                await wait_readable(fd)
            except trio.ClosedResourceError:  # remove_reader
                return
            if readers.get(fd) is not scope:
                return
            try:
                callback(*args)
            except Exception as e:
                report("kovra_uring: reader failed", e)

    def remove_reader(self, fd: int) -> bool:
        scope = self._readers.pop(fd, None)
        if scope is None:
            return False
        # Wakes the reader (ClosedResourceError) and forgets the fd, which
        # its owner closes next.
        notify_closing(fd)
        return True

    def is_closed(self) -> bool:
        return self.loop.ended

    def report(self, message: str, exception: BaseException) -> None:
        """A failure with nobody to raise it to."""
        report(f"kovra_uring: {message}", exception)

    def call_soon_threadsafe(self, fn: Callable[..., object], *args: Any) -> None:
        """fn(*args) soon in the run's thread, from any thread
        (trio.RunFinishedError, a RuntimeError, once the run has ended)."""
        self.loop.token.run_sync_soon(fn, *args)

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> TrioFuture:
        fut = TrioFuture()

        async def run() -> None:
            try:
                fut.set_result(await coro)
            except Exception as e:
                fut.set_exception(e)
            except BaseException:
                fut._abort(None)
                raise

        self.loop.system(run)
        return fut

    async def wait_all(self, awaitables: Iterable[Awaitable[Any]]) -> None:
        """Wait for every one of them, whatever they raise."""
        for a in list(awaitables):
            try:
                await a
            except Exception:
                pass

    def from_thread(self, cf: concurrent.futures.Future[T]) -> TrioFuture:
        """An awaitable for a worker thread's result."""
        fut = TrioFuture()
        run = self.loop

        def done(cf: concurrent.futures.Future[T]) -> None:
            if threading.get_ident() == run.thread:
                _settle(fut, cf)
            else:  # a thread of someone else's pool
                try:
                    run.token.run_sync_soon(_settle, fut, cf)
                except trio.RunFinishedError:  # nobody waits any more
                    pass

        cf.add_done_callback(done)
        return fut

    def executor(self) -> concurrent.futures.Executor:
        return _Threads(self.loop)


def _settle(fut: TrioFuture, cf: concurrent.futures.Future[Any]) -> None:
    if fut.done():  # its waiter left
        return
    if cf.cancelled():
        fut._abort(None)
    elif (e := cf.exception()) is not None:
        fut.set_exception(e)
    else:
        fut.set_result(cf.result())


_RUN: RunVar[_Run | None] = RunVar("kovra_uring", default=None)


def _current_run() -> _Run:
    try:
        run = _RUN.get()
    except RuntimeError:  # outside a run
        raise RuntimeError("no running event loop") from None
    if run is None:
        run = _Run()
        _RUN.set(run)
    elif run.ended:
        raise RuntimeError("the trio run is ending")
    return run


def current_loop() -> TrioLoop:
    """The running trio run, as the driver sees it."""
    return TrioLoop(_current_run())


def get_driver() -> Driver:
    """The run's driver, created on first use and closed when the run ends."""
    try:
        run = _RUN.get()
    except RuntimeError:
        run = None
    if run is not None and (drv := run.driver) is not None:
        return drv
    from ._driver import Driver

    run = _current_run()
    drv = run.driver = Driver()
    return drv
