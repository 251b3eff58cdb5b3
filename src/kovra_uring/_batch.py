"""Many files at once from synchronous code: `read_files`, `iread_files`,
`write_files` and `stat_files`.

A call borrows a ring from a small process-wide pool (creating one costs
about 50 µs; a ring serves one call at a time, so calls from several threads,
or a call made from inside another one's path generator, never share one)
and keeps up to DEPTH files in flight. It takes the next item from the
caller's iterable only when one finishes, so its memory follows the number
in flight, never the number of files. The calling thread sleeps on the
ring's eventfd at most WAIT_MS at a time; a signal interrupts the poll, so
Ctrl-C's KeyboardInterrupt surfaces at once.

Reads are open-and-read chains on direct-descriptor slots. A slot keeps its
last file open until the call ends: the next open into the slot replaces
that file, which closes it, so a file costs one chain and no close of its
own, and the call closes its slots at the end. Writes close each file
explicitly, because a failed close can mean lost data.

Whatever the ring cannot take (a name that is not UTF-8, a NUL in it) and
every item that fails on the ring is done again by the synchronous call, in
the calling thread: results and exceptions are then those of the
synchronous call by construction, text and filename included, and the hot
path never builds an exception of its own.

A call that ends early (a KeyboardInterrupt, a consumer closing
`iread_files`) cancels what is in flight, waits for every completion and
closes its slots before the exception propagates. If that clean-up is
interrupted in turn the ring is dropped instead of going back to the pool:
destroying a ring waits for the kernel and closes its slots. An exception
from the caller's iterable ends only the items, as it would end a loop:
what it gave before is done, and an earlier item's failure comes first
(see _Engine.stop).

Where io_uring is refused the same calls run the synchronous call of each
item on a thread pool, again at most DEPTH in flight.
"""

from __future__ import annotations

import concurrent.futures
import errno
import os
import select
import sys
import threading
import time
import warnings
from collections.abc import Callable, Generator, Iterable, Iterator
from functools import partial
from itertools import chain, islice
from typing import Any, Final, Literal, TypeAlias, overload

from _uring import Ring

from ._convert import FIRST_READ, MAX_READ, MAX_WRITE, PSEUDO_DIRS, SHM_DIR, STAT_FROM
from ._convert import data_arg as _data
from ._convert import part as _part
from ._convert import stat_result as _stat_result
from ._errors import REFUSED as _REFUSED
from ._errors import NameForOs as _NameForOs
from ._errors import RingUnavailableWarning
from ._errors import push_error as _push_error

__all__ = ["read_files", "iread_files", "write_files", "stat_files"]

StrOrBytesPath: TypeAlias = "str | bytes | os.PathLike[str] | os.PathLike[bytes]"
# Finished items: (index in the input, result or the exception raised for it).
Batch: TypeAlias = "list[tuple[int, Any]]"

DEPTH: Final = 64          # items in flight per call
ENTRIES: Final = 256       # SQ size: DEPTH chains of two, their next steps, cancels
WAIT_MS: Final = 200       # longest sleep on the eventfd
POOL_RINGS: Final = 4      # idle rings kept for later calls
POOL_THREADS: Final = 32   # workers of the fallback
THREADS_GRACE: Final = 0.5  # how long an early end waits for running workers
# stat_files: os.stat in the calling thread while a chunk of STAT_CHUNK
# takes less than SLOW_STAT_NS per path (dentries and inodes cached: a statx
# through the ring goes to a kernel worker and loses); the ring's parallel
# statx while it is slower than that (the lookups wait for the device).
STAT_CHUNK: Final = 256
SLOW_STAT_NS: Final = 15_000

_O_WRITE: Final = os.O_WRONLY | os.O_CREAT | os.O_TRUNC


# -- the synchronous calls: the fallback, and the redo of what failed --------

def _name(path: StrOrBytesPath) -> str | bytes:
    """os.fspath(path), an empty name read as Path reads it: '.'."""
    name = os.fspath(path)
    if not name:
        return b"." if isinstance(name, bytes) else "."
    return name


def _os_read(path: StrOrBytesPath) -> bytes:
    """Path(path).read_bytes(), bytes paths included."""
    with open(_name(path), "rb", buffering=0) as f:
        return f.readall()


def _os_write(path: StrOrBytesPath, data: Any, mode: int) -> int:
    """Path(path).write_bytes(data), `mode` for a file it creates."""
    def opener(name: str | bytes, flags: int) -> int:
        return os.open(name, flags, mode)

    with memoryview(data) as view:  # like write_bytes: TypeError before the open
        # io.open words a bad name as write_bytes does (os.open, differently
        # from 3.13 on); the opener only adds the mode.
        with open(_name(path), "wb", buffering=0, opener=opener) as f:
            if not view.c_contiguous:
                return f.write(view)  # refused in write_bytes' words (BufferError)
            with view.cast("B") as flat:
                done = 0
                while done < len(flat):
                    n = f.write(flat[done:])
                    if not n:
                        raise OSError(errno.EIO, "write made no progress", os.fspath(path))
                    done += n
        return done


def _attempt(fn: Callable[..., object], *args: Any) -> tuple[bool, Any]:
    """(True, fn(*args)) or (False, the exception it raised), free of the
    call's frames. A traceback holds each frame's callers too (f_back), up
    to the engine and its results: a failure kept in the result list, or in
    the engine, would form a reference cycle, and the files read would stay
    in memory until the cycle collector runs. So the exception goes without
    its traceback (its frames are ours) and without the exception that the
    caller was handling when it made the call (a ring's refusal, which the
    synchronous call does not meet)."""
    handled = sys.exception()
    try:
        return True, fn(*args)
    except Exception as e:
        x: BaseException | None = e
        while x is not None and x is not handled:
            x.__traceback__ = None
            if x.__context__ is handled:
                x.__context__ = None
            x = x.__cause__ or x.__context__
        return False, e


# -- rings and threads -------------------------------------------------------

_idle: list[Ring] = []
_warned = False
_executor: concurrent.futures.ThreadPoolExecutor | None = None
_executor_lock = threading.Lock()


def _take_ring() -> Ring | None:
    """An idle ring or a new one; None where io_uring is refused or has no
    direct descriptors (before Linux 5.19), after warning once per process."""
    global _warned
    try:
        return _idle.pop()
    except IndexError:
        pass
    try:
        ring = Ring(ENTRIES)
    except OSError as e:
        if e.errno not in _REFUSED:
            raise
        reason = str(e)
    else:
        if ring.fixed_slots >= DEPTH:
            return ring
        reason = "no direct-descriptor slots"
    if not _warned:
        _warned = True
        warnings.warn(f"io_uring is unavailable ({reason}); read_files, write_files and "
                      "stat_files run on threads", RingUnavailableWarning, stacklevel=4)
    return None


def _after_fork() -> None:
    # A child cannot use its parent's rings, nor its threads (gone).
    global _executor, _executor_lock
    _idle.clear()
    _executor, _executor_lock = None, threading.Lock()


os.register_at_fork(after_in_child=_after_fork)


def _threads() -> concurrent.futures.ThreadPoolExecutor:
    global _executor
    with _executor_lock:
        if _executor is None:
            _executor = concurrent.futures.ThreadPoolExecutor(
                POOL_THREADS, thread_name_prefix="kovra-batch")
        return _executor


def _ring_name(path: Any) -> str:
    """`path` as the ring takes it. _NameForOs for bytes that are not UTF-8
    (a str with surrogate escapes fails in the push, UnicodeEncodeError);
    TypeError for what os does not take as a path."""
    p = os.fspath(path)
    if isinstance(p, str):
        return p
    try:
        name: str = p.decode()
    except UnicodeDecodeError:
        raise _NameForOs() from None
    return name


def _read_name(path: Any) -> str:
    """`path` as the ring reads it whole: _ring_name's, and _NameForOs where
    a read may come back short before the end (PSEUDO_DIRS)."""
    name = _ring_name(path)
    if name.startswith(PSEUDO_DIRS) and not name.startswith(SHM_DIR):
        raise _NameForOs()
    return name


# An item whose push raises an Exception takes the synchronous call at
# once: a name the ring cannot take, bad arguments (a mode os takes and the
# ring does not included), a path-like whose __fspath__ or data whose buffer
# fails in a way of its own. That call reports each its way, in the item's
# place: such an item must neither end the call nor cancel the writes in
# flight, which a loop would have finished. Only what is no Exception (a
# KeyboardInterrupt) ends the call.


# -- the engines ---------------------------------------------------------------

class _Engine:
    """One call: the items, their results, the failure to raise.

    run() is a generator of batches of finished items, `(index, result)`, for
    iread_files; with `out` set (read_files and the others) results go
    straight into that list by index instead, and run() yields nothing."""

    def __init__(self, items: Iterable[Any], catch: bool, out: list[Any] | None):
        self.it: Iterator[Any] = iter(items)
        self.catch = catch
        self.out = out
        self.more = True    # take more items: not exhausted, nothing failed
        self.failure: tuple[int, Exception] | None = None
        # What ended the caller's iterable (stop): raised once everything
        # handed over is done, unless an item failed.
        self.stopped: Exception | None = None
        self.done: Batch = []

    def put(self, i: int, value: Any) -> None:
        out = self.out
        if out is None:
            self.done.append((i, value))
        else:
            if i >= len(out):
                out += [None] * (i + 1 - len(out))
            out[i] = value

    def settle(self, i: int, fn: Callable[..., object], *args: Any) -> None:
        """Item `i` done by the synchronous call fn(*args)."""
        ok, value = _attempt(fn, *args)
        if ok:
            self.put(i, value)
        else:
            self.fail(i, value)

    def stop(self, e: Exception) -> bool:
        """The caller's iterable raised `e`: it ends the items, not the call.
        As in a loop, every item it gave before is done (a read or write
        cancelled halfway would be lost, a file left truncated), then the
        first failing item's exception is raised, or else `e`. Returns the
        new `more`."""
        self.stopped = e
        self.more = False
        return False

    def fail(self, i: int, e: Exception) -> None:
        if self.catch:
            self.put(i, e)
        else:
            # The synchronous loop raises for the lowest index that fails;
            # every item before this one has started, and all finish first.
            if self.failure is None or i < self.failure[0]:
                self.failure = (i, e)
            self.more = False

    def run(self) -> Generator[Batch, None, None]:
        raise NotImplementedError

    def batches(self) -> Generator[Batch, None, None]:
        clean = False
        try:
            yield from self.run()
            clean = True
        finally:
            self.finish(clean)
        # Raised with no reference left here or in the engine, which the
        # traceback's frames hold: no cycle through the exception.
        failure, stopped = self.failure, self.stopped
        self.failure = self.stopped = None
        try:
            if failure is not None:
                raise failure[1]
            if stopped is not None:
                raise stopped
        finally:
            del failure, stopped

    def finish(self, clean: bool) -> None:
        pass


class _RingEngine(_Engine):
    def __init__(self, ring: Ring, items: Iterable[Any], catch: bool, out: list[Any] | None):
        super().__init__(items, catch, out)
        self.ring = ring
        # user_data -> what its completion continues. The opens of chains
        # are left out: a failed open fails its linked operation too.
        self.owner: dict[int, Any] = {}
        self.slots = 0      # slots 0..slots-1 may hold a file when the call ends
        self.poller = select.poll()
        self.poller.register(ring.eventfd, select.POLLIN)

    def wait(self) -> None:
        """Sleep until a completion may be there, WAIT_MS at most."""
        self.poller.poll(WAIT_MS)
        self.ring.drain_eventfd()

    def push(self, submit: Callable[..., Any], *args: Any) -> Any:
        """submit(*args), making room first if the queue is full."""
        try:
            return submit(*args)
        except OSError as e:
            if _push_error(e) is not None:
                raise
        self.ring.submit()
        return submit(*args)

    def finish(self, clean: bool) -> None:
        """Cancel what is in flight, wait for every completion, close the
        slots; the ring then goes back to the pool. If this is interrupted
        (a second Ctrl-C), the ring is left to its destructor, which does
        the same.

        An open blocked in a kernel worker (a FIFO without a writer, a hung
        network file system) is interrupted by its cancel."""
        ring = self.ring
        if not clean:
            for user_data in self.in_flight():
                self.push(ring.submit_cancel, user_data)
            self.owner.clear()
            self.drain()  # no open may fill a slot after its close
        for slot in range(self.slots):
            self.push(ring.submit_close_fixed, slot)
        self.drain()
        if len(_idle) < POOL_RINGS:
            _idle.append(ring)

    def in_flight(self) -> list[int]:
        """The ids to cancel, opens first (cancelling an open fails what is
        linked behind it, which no cancel of its own finds)."""
        return list(self.owner)

    def drain(self) -> None:
        ring = self.ring
        while ring.inflight:
            ring.submit()
            if not ring.reap():
                self.wait()


class _Reads(_RingEngine):
    def __init__(self, ring: Ring, items: Iterable[Any], catch: bool, out: list[Any] | None):
        super().__init__(ring, items, catch, out)
        # In `owner`, a first read is known by its slot, a later step of a
        # longer file by -1 - slot.
        self.index = [0] * DEPTH                      # slot -> its item's index
        self.opens = [0] * DEPTH                      # slot -> the id of its open
        self.source: list[Any] = [None] * DEPTH      # slot -> its path as given
        self.longer: list[_More | None] = [None] * DEPTH  # slot -> a longer file

    def run(self) -> Generator[Batch, None, None]:
        # The hot loop of the module: every name bound locally, every step
        # of a small file written out.
        ring = self.ring
        submit_open_read, submit, reap = ring.submit_open_read, ring.submit, ring.reap
        owner, index, source, opens = self.owner, self.index, self.source, self.opens
        rdonly, first, pseudo = os.O_RDONLY, FIRST_READ, PSEUDO_DIRS
        out, done = self.out, self.done
        keep = out is not None
        if out is None:
            out = []
        free = list(range(DEPTH - 1, -1, -1))  # popped from the end: 0, 1, 2...
        it, more, i = self.it, True, 0
        try:
            while True:
                while free and more:
                    try:
                        for p in it:
                            break
                        else:
                            more = self.more = False
                            break
                    except Exception as e:
                        more = self.stop(e)
                        break
                    slot = free.pop()
                    try:
                        open_id, read_id = submit_open_read(
                            p if type(p) is str and not p.startswith(pseudo) else _read_name(p),
                            rdonly, 0, first, slot)
                    except BaseException as e:
                        free.append(slot)
                        if isinstance(e, OSError) and _push_error(e) is None:
                            it = chain((p,), it)  # no room: once submitted
                            break
                        if not isinstance(e, Exception):
                            raise
                        # A name the ring cannot take, or a NUL in it.
                        if keep:
                            out.append(None)
                        self.settle(i, _os_read, p)
                        i += 1
                        more = self.more
                        continue
                    owner[read_id] = slot
                    opens[slot] = open_id
                    index[slot] = i
                    source[slot] = p
                    if keep:
                        out.append(None)
                    i += 1
                if owner:
                    submit()
                    completions = reap()
                    if not completions:
                        self.wait()
                        continue
                    for user_data, res, data in completions:
                        k = owner.pop(user_data, None)
                        if k is None:
                            continue
                        if 0 <= res < first and k >= 0:
                            if keep:
                                out[index[k]] = data
                            else:
                                done.append((index[k], data))
                            free.append(k)
                        elif (slot := self.read_on(k, res, data)) >= 0:
                            free.append(slot)
                            more = self.more
                    if done:
                        yield done
                        done = self.done = []
                elif not more:
                    if done:
                        yield done
                    return
                elif done:
                    yield done
                    done = self.done = []
        finally:
            self.slots = min(i, DEPTH)

    def in_flight(self) -> list[int]:
        return [*(self.opens[k] for k in self.owner.values() if k >= 0), *self.owner]

    def read_on(self, k: int, res: int, data: Any) -> int:
        """A completion off the hot path: a first read that filled its buffer,
        a later step of such a file, or a failure. Returns the slot once its
        item is done, else -1 (the next step is queued)."""
        if k >= 0:
            slot, i, m = k, self.index[k], None
        else:
            slot = -1 - k
            m = self.longer[slot]
            assert m is not None
            i = m.i
        if res < 0:  # the open or a read failed: the synchronous call says how
            self.longer[slot] = None
            self.settle(i, _os_read, self.source[slot])
            return slot
        if m is None:
            m = self.longer[slot] = _More(i, _ring_name(self.source[slot]))
        if (whole := m.step(res, data)) is not None:
            self.longer[slot] = None
            self.put(i, whole)
            return slot
        ring = self.ring
        if m.offset >= STAT_FROM and not m.sized:
            m.sized = m.stat = True
            self.owner[self.push(ring.submit_statx, m.name, True)] = -1 - slot
        else:
            self.owner[self.push(ring.submit_read_fixed, slot, m.offset, m.size)] = -1 - slot
        return -1


class _More:
    """A file longer than the first read: reads double in size; from
    STAT_FROM on a statx sizes it, to read it whole from offset 0 (one
    buffer, no join), and a small read then checks that the end was reached."""

    __slots__ = ("i", "name", "chunks", "offset", "size", "sized", "probe", "stat")

    def __init__(self, i: int, name: str):
        self.i, self.name = i, name
        self.chunks: list[bytes] = []
        self.offset = 0
        self.size = FIRST_READ
        self.sized = self.probe = False
        self.stat = False  # the pending operation is the statx

    def step(self, res: int, payload: Any) -> bytes | None:
        """The completion of the pending operation: the whole file once a
        read comes back short, else None (offset and size say what next)."""
        if self.stat:
            self.stat = False
            if payload[6] > self.offset:
                self.chunks, self.offset = [], 0
                self.size, self.probe = min(payload[6], MAX_READ), True
            return None
        if res:
            self.chunks.append(payload)
        self.offset += res
        if res < self.size:
            c = self.chunks
            return c[0] if len(c) == 1 else b"".join(c)
        self.size, self.probe = (FIRST_READ if self.probe else min(self.offset, MAX_READ)), False
        return None


class _Writes(_RingEngine):
    """Open-and-write chains, more writes while one comes back short, then
    the close, whose result counts: an item is done when its slot is closed.

    In `owner`: the first write of slot s is s, a later write DEPTH + s, the
    close of a file written whole -1 - s, the close after a failure
    -1 - DEPTH - s."""

    def __init__(self, ring: Ring, items: Iterable[Any], catch: bool, out: list[Any] | None,
                 mode: int):
        super().__init__(ring, items, catch, out)
        self.mode = mode
        self.index = [0] * DEPTH
        self.opens = [0] * DEPTH
        self.item: list[Any] = [None] * DEPTH      # slot -> (path, data) as given
        self.buf: list[Any] = [None] * DEPTH       # slot -> the data as the ring takes it
        self.written = [0] * DEPTH
        # slot -> the length of a write that finishes the file at once; None
        # (from DEPTH on: a later write) sends the completion off the hot path.
        self.whole: list[int | None] = [None] * (2 * DEPTH)

    def run(self) -> Generator[Batch, None, None]:
        ring = self.ring
        submit_open_write, submit_close_fixed = ring.submit_open_write, ring.submit_close_fixed
        submit, reap = ring.submit, ring.reap
        owner, mode, done, out = self.owner, self.mode, self.done, self.out
        index, opens, item_of, buf_of, whole = (self.index, self.opens, self.item, self.buf,
                                               self.whole)
        free = list(range(DEPTH - 1, -1, -1))
        it, more, i = self.it, True, 0
        buf: bytes | memoryview
        # The slot of data too long to copy, written from the caller's own
        # buffer a part at a time: no item is taken until it is done, since
        # a loop would not hand over the next one (which may refill that
        # buffer) before the write returned.
        held = -1
        # Slots are closed as their files finish; an early end closes them all.
        self.slots = DEPTH
        while True:
            while free and more and held < 0:
                for item in it:
                    break
                else:
                    more = self.more = False
                    break
                path, data = item
                if out is not None:
                    out.append(None)
                slot = free.pop()
                try:
                    if type(data) is bytes and len(data) <= MAX_WRITE:
                        buf = first = data
                    else:
                        buf = _data(data)
                        first = _part(buf, 0)
                    open_id, write_id = submit_open_write(
                        path if type(path) is str else _ring_name(path), _O_WRITE, mode,
                        first, slot)
                except BaseException as e:
                    free.append(slot)
                    if isinstance(e, OSError) and _push_error(e) is None:
                        it = chain((item,), it)
                        break
                    if not isinstance(e, Exception):
                        raise
                    self.settle(i, _os_write, path, data, mode)
                    i += 1
                    more = self.more
                    continue
                owner[write_id] = slot
                opens[slot] = open_id
                index[slot] = i
                item_of[slot] = item
                buf_of[slot] = buf
                whole[slot] = len(buf) if first is buf else None
                if type(buf) is memoryview:
                    held = slot
                i += 1
            if owner:
                submit()
                completions = reap()
                if not completions:
                    self.wait()
                    continue
                for user_data, res, _ in completions:
                    k = owner.pop(user_data, None)
                    if k is None:
                        continue
                    if k >= 0:
                        if res == whole[k]:
                            owner[submit_close_fixed(k)] = -1 - k
                        else:
                            self.write_on(k, res)
                    elif res >= 0 and k >= -DEPTH:
                        slot = -1 - k
                        if out is None:
                            done.append((index[slot], len(buf_of[slot])))
                        else:
                            out[index[slot]] = len(buf_of[slot])
                        item_of[slot] = buf_of[slot] = None
                        free.append(slot)
                        if slot == held:
                            held = -1
                    else:  # the close failed, or followed a failure
                        slot = -1 - k if k >= -DEPTH else -1 - DEPTH - k
                        self.settle(index[slot], _os_write, *item_of[slot], mode)
                        item_of[slot] = buf_of[slot] = None
                        free.append(slot)
                        if slot == held:
                            held = -1
                        more = self.more
            elif not more:
                break
            if done:
                yield done
                done = self.done = []
        self.slots = 0
        if done:
            yield done

    def write_on(self, k: int, res: int) -> None:
        """A write off the hot path: short, failed, or a later one."""
        slot = k if k < DEPTH else k - DEPTH
        buf, ring = self.buf[slot], self.ring
        if res > 0:
            written = self.written[slot] = res if k < DEPTH else self.written[slot] + res
            if written < len(buf):
                self.owner[self.push(ring.submit_write_fixed, slot, written,
                                     _part(buf, written))] = DEPTH + slot
            else:
                self.owner[self.push(ring.submit_close_fixed, slot)] = -1 - slot
            return
        # Failed, or no progress: the synchronous call says how, once the
        # slot is closed (a failed open left it empty, which the close
        # reports, and nobody minds).
        self.owner[self.push(ring.submit_close_fixed, slot)] = -1 - DEPTH - slot

    def in_flight(self) -> list[int]:
        opens = [self.opens[k] for k in self.owner.values() if 0 <= k < DEPTH]
        return [*opens, *self.owner]


class _Stats(_RingEngine):
    """statx through the ring, DEPTH in flight."""

    def __init__(self, ring: Ring, items: Iterable[Any], catch: bool, out: list[Any] | None,
                 follow: bool):
        super().__init__(ring, items, catch, out)
        self.follow = follow

    def run(self) -> Generator[Batch, None, None]:
        ring = self.ring
        submit_statx, submit, reap = ring.submit_statx, ring.submit, ring.reap
        owner, follow, os_stat, done = self.owner, self.follow, _os_stat(self.follow), self.done
        it, more, i = self.it, True, 0
        while True:
            while len(owner) < DEPTH and more:
                try:
                    for p in it:
                        break
                    else:
                        more = self.more = False
                        break
                except Exception as e:
                    more = self.stop(e)
                    break
                try:
                    user_data = submit_statx(p if type(p) is str else _ring_name(p), follow)
                except BaseException as e:
                    if isinstance(e, OSError) and _push_error(e) is None:
                        it = chain((p,), it)
                        break
                    if not isinstance(e, Exception):
                        raise
                    self.settle(i, os_stat, p)  # an int is a descriptor to os.stat
                    i += 1
                    more = self.more
                    continue
                owner[user_data] = (i, p)
                i += 1
            if owner:
                submit()
                completions = reap()
                if not completions:
                    self.wait()
                    continue
                for user_data, res, st in completions:
                    j, p = owner.pop(user_data)
                    # times_wrapped(), inlined: os answers for a time that may have wrapped
                    if res >= 0 and st[7] >= 0 and st[8] >= 0 and st[9] >= 0:  # type: ignore[index]
                        self.put(j, _stat_result(st))  # type: ignore[arg-type]
                    else:
                        self.settle(j, os_stat, p)
                        more = self.more
            elif not more:
                break
            if done:
                yield done
                done = self.done = []
        if done:
            yield done


def _os_stat(follow: bool) -> Callable[[Any], os.stat_result]:
    # Not os.lstat, which refuses a descriptor in words of its own.
    return os.stat if follow else partial(os.stat, follow_symlinks=False)


class _Threads(_Engine):
    """Each item's synchronous call on the thread pool, DEPTH in flight."""

    def __init__(self, items: Iterable[Any], catch: bool, out: list[Any] | None,
                 call: Callable[[Any], tuple[Callable[..., object], tuple[Any, ...]]],
                 hold: Callable[[tuple[Any, ...]], bool] | None = None):
        super().__init__(items, catch, out)
        self.call = call  # item -> (fn, args)
        self.hold = hold  # args -> whether no item may be taken until its call is done
        self.pending: dict[concurrent.futures.Future[tuple[bool, Any]], int] = {}

    def run(self) -> Generator[Batch, None, None]:
        pool, pending, call, hold = _threads(), self.pending, self.call, self.hold
        held = None
        i = 0
        while True:
            while len(pending) < DEPTH and self.more and held not in pending:
                try:
                    for item in self.it:
                        break
                    else:
                        self.more = False
                        break
                except Exception as e:
                    self.stop(e)
                    break
                fn, args = call(item)
                f = pool.submit(_attempt, fn, *args)
                pending[f] = i
                if hold is not None and hold(args):
                    held = f
                i += 1
            if not pending:
                break
            finished, _ = concurrent.futures.wait(
                pending, WAIT_MS / 1000, concurrent.futures.FIRST_COMPLETED)
            for f in finished:
                j = pending.pop(f)
                ok, value = f.result()
                if ok:
                    self.put(j, value)
                else:
                    self.fail(j, value)
            if self.done:
                yield self.done
                self.done = []

    def finish(self, clean: bool) -> None:
        # Calls not started never will. The running ones are waited for, but
        # not forever: nothing can interrupt one blocked in the kernel (an
        # open of a FIFO without a writer), and each closes what it opened
        # whenever it ends.
        for f in self.pending:
            f.cancel()
        concurrent.futures.wait(self.pending, THREADS_GRACE)
        self.pending.clear()


# -- the public calls ------------------------------------------------------------

def _run(engine: _Engine) -> list[Any]:
    """Runs an engine made with an `out` list to the end; returns the list."""
    assert engine.out is not None
    for _ in engine.batches():
        pass
    return engine.out


def _many(paths: Iterable[Any]) -> Iterable[Any]:
    # A str or bytes is an iterable too, of one-character names (or of ints,
    # which os.stat takes for descriptors): surely not what was meant.
    if isinstance(paths, (str, bytes)):
        raise TypeError(f"expected an iterable of paths, not a single {type(paths).__name__}")
    return paths


def _read_engine(paths: Iterable[StrOrBytesPath], catch: bool,
                 out: list[Any] | None) -> _Engine:
    paths = _many(paths)
    ring = _take_ring()
    if ring is None:
        return _Threads(paths, catch, out, lambda p: (_os_read, (p,)))
    return _Reads(ring, paths, catch, out)


@overload
def read_files(paths: Iterable[StrOrBytesPath], *,
               return_exceptions: Literal[False] = False) -> list[bytes]: ...
@overload
def read_files(paths: Iterable[StrOrBytesPath], *,
               return_exceptions: bool) -> list[bytes | Exception]: ...


def read_files(paths: Iterable[StrOrBytesPath], *,
               return_exceptions: bool = False) -> list[Any]:
    """The contents of every file, in the order given, as `Path.read_bytes`
    reads each one.

    `paths` is any iterable of `str`, `bytes` or path-like objects, of any
    length: it is consumed as files finish, DEPTH in flight. With
    `return_exceptions` an item that fails gives its exception in its place;
    otherwise the exception of the first failing item is raised, once every
    operation in flight has completed.
    """
    return _run(_read_engine(paths, return_exceptions, []))


@overload
def iread_files(paths: Iterable[StrOrBytesPath], *, return_exceptions: Literal[False] = False
                ) -> Generator[tuple[int, bytes], None, None]: ...
@overload
def iread_files(paths: Iterable[StrOrBytesPath], *, return_exceptions: bool
                ) -> Generator[tuple[int, bytes | Exception], None, None]: ...


def iread_files(paths: Iterable[StrOrBytesPath], *, return_exceptions: bool = False
                ) -> Generator[tuple[int, Any], None, None]:
    """`(index, contents)` for each file as it finishes (in no fixed order),
    like read_files; a progress bar can wrap it. Closing the generator early
    cancels what is in flight."""
    batches = _read_engine(paths, return_exceptions, None).batches()
    try:
        for batch in batches:
            yield from batch
    finally:
        batches.close()


@overload
def write_files(items: Iterable[tuple[StrOrBytesPath, Any]], *, mode: int = 0o666,
                return_exceptions: Literal[False] = False) -> list[int]: ...
@overload
def write_files(items: Iterable[tuple[StrOrBytesPath, Any]], *, mode: int = 0o666,
                return_exceptions: bool) -> list[int | Exception]: ...


def write_files(items: Iterable[tuple[StrOrBytesPath, Any]], *, mode: int = 0o666,
                return_exceptions: bool = False) -> list[Any]:
    """Write each `(path, data)` as `Path.write_bytes` does (the file created
    with `mode`, minus the umask, or truncated); returns the byte counts, in
    order, and reports failures as read_files does.

    The writes run at once, in no fixed order: a file named twice ends with
    either data, or a mix of both."""
    return _run(_write_engine(items, return_exceptions, mode))


def _pairs(engine: _Engine, items: Iterable[tuple[Any, Any]]) -> Iterator[tuple[Any, Any]]:
    """The `(path, data)` items of a write. Like a loop of write_bytes calls,
    which has written every file before the one whose item fails, an
    exception from the caller's iterable, or an item that is not a pair,
    ends the items but not the call: the writes handed over finish (a
    cancelled one would leave its file truncated), then it is raised."""
    try:
        for path, data in items:
            yield path, data
    except Exception as e:
        engine.stop(e)


def _write_engine(items: Iterable[tuple[Any, Any]], catch: bool, mode: int) -> _Engine:
    # os.open refuses a mode beyond a C int (OverflowError), which the ring
    # takes as unsigned and would create the file with: os's calls say how.
    ring = None if isinstance(mode, int) and mode >= 1 << 31 else _take_ring()
    engine: _Engine
    if ring is None:
        def call(item: tuple[Any, Any]) -> tuple[Callable[..., object], tuple[Any, ...]]:
            path, data = item
            if type(data) is not bytes:
                # The bytes as they are now, as the ring takes them: the
                # caller may refill its buffer for the next item while a
                # worker writes this one. What _data refuses, os reports.
                try:
                    data = _data(data)
                except Exception:
                    pass
            return _os_write, (path, data, mode)
        # What _data leaves uncopied (too long) is the caller's own buffer.
        engine = _Threads(items, catch, [], call, lambda args: type(args[1]) is memoryview)
    else:
        engine = _Writes(ring, items, catch, [], mode)
    engine.it = _pairs(engine, engine.it)
    return engine


@overload
def stat_files(paths: Iterable[StrOrBytesPath | int], *, follow_symlinks: bool = True,
               return_exceptions: Literal[False] = False) -> list[os.stat_result]: ...
@overload
def stat_files(paths: Iterable[StrOrBytesPath | int], *, follow_symlinks: bool = True,
               return_exceptions: bool) -> list[os.stat_result | Exception]: ...


def stat_files(paths: Iterable[StrOrBytesPath | int], *, follow_symlinks: bool = True,
               return_exceptions: bool = False) -> list[Any]:
    """`os.stat(path, follow_symlinks=...)` of every path, in order; failures
    as read_files reports them.

    While lookups find their dentries and inodes cached, os.stat in this
    thread beats a statx through the ring, which the kernel always hands to
    a worker thread: paths go to os.stat in chunks, and a chunk slower than
    SLOW_STAT_NS a path (lookups waiting for the device) sends the next one
    to the ring's parallel statx, until a chunk there is fast again."""
    follow = bool(follow_symlinks)
    stat = _os_stat(follow)
    it = iter(_many(paths))
    out: list[Any] = []
    parallel = False
    stopped: Exception | None = None
    while stopped is None:
        chunk: list[Any] = []
        try:
            chunk += islice(it, STAT_CHUNK)  # keeps the paths given before a failure
        except Exception as e:
            stopped = e  # as in a loop: stat what came before, which may fail first
        if not chunk:
            break
        t0 = time.perf_counter_ns()
        try:
            if parallel:
                out += _run(_stat_engine(chunk, return_exceptions, follow))
            else:
                _stat_here(stat, chunk, out, return_exceptions)
        except BaseException:
            stopped = None  # its traceback holds this frame: no cycle
            raise
        parallel = time.perf_counter_ns() - t0 > SLOW_STAT_NS * len(chunk)
    if stopped is not None:
        try:
            raise stopped
        finally:
            del stopped
    return out


def _stat_here(stat: Callable[[Any], os.stat_result], chunk: list[Any], out: list[Any],
               catch: bool) -> None:
    """stat of every path of `chunk` appended to `out`, in this thread."""
    while chunk:
        done = len(out)
        try:
            out += map(stat, chunk)  # appends up to the one that raises
            return
        except Exception:
            if not catch:
                raise
        k = len(out) - done
        out.append(_attempt(stat, chunk[k])[1])  # an exception free of this frame
        chunk = chunk[k + 1:]


def _stat_engine(paths: Iterable[Any], catch: bool, follow: bool) -> _Engine:
    ring = _take_ring()
    if ring is None:
        stat = _os_stat(follow)
        return _Threads(paths, catch, [], lambda p: (stat, (p,)))
    return _Stats(ring, paths, catch, [], follow)
