"""Arbitrary Python objects thrown at every method, each call's outcome
predicted from the conversion rules: no crash, only the allowed exceptions,
ids and `inflight` moving only as allowed, and references to `bytes`
arguments held exactly while an entry needs them.

Nothing fuzzed reaches the kernel (nothing calls `submit`, no queue fills up,
callbacks only reap or cancel), so arbitrary descriptors and paths are
harmless: teardown drops the queue."""
import gc
import operator
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _uring import Ring

I32, U64, U32, BOOL, BYTES, BUFS, PATH = "i32 u64 u32 bool bytes bufs path".split()
RANGES = {I32: (-2**31, 2**31 - 1), U64: (0, 2**64 - 1), U32: (0, 2**32 - 1)}
METHODS = {  # name: [(parameter, kind, default...)]
    "submit_read": [("fd", I32), ("offset", U64), ("len", U32)],
    "submit_write": [("fd", I32), ("offset", U64), ("data", BYTES)],
    "submit_writev": [("fd", I32), ("offset", U64), ("bufs", BUFS)],
    "submit_cancel": [("user_data", U64)],
    "submit_ftruncate": [("fd", I32), ("len", U64)],
    "submit_fsync": [("fd", I32), ("datasync", BOOL, False)],
    "submit_open": [("path", PATH), ("flags", I32), ("mode", U32)],
    "submit_close": [("fd", I32)],
    "submit_open_read": [("path", PATH), ("flags", I32), ("mode", U32), ("len", U32), ("slot", U32)],
    "submit_open_write": [("path", PATH), ("flags", I32), ("mode", U32), ("data", BYTES),
                          ("slot", U32)],
    "submit_read_fixed": [("slot", U32), ("offset", U64), ("len", U32)],
    "submit_write_fixed": [("slot", U32), ("offset", U64), ("data", BYTES)],
    "submit_close_fixed": [("slot", U32)],
    "submit_statx": [("path", PATH), ("follow", BOOL, True)],
    "submit_fstatx": [("fd", I32)],
    "submit_mkdir": [("path", PATH), ("mode", U32, 511)],
    "submit_unlink": [("path", PATH), ("remove_dir", BOOL, False)],
    "submit_rename": [("src", PATH), ("dst", PATH)],
    "submit_symlink": [("target", PATH), ("linkpath", PATH)],
    "submit_link": [("src", PATH), ("dst", PATH)],
    "reap": [], "drain_eventfd": [],
}
CHAINS = {"submit_open_read", "submit_open_write"}
RING, NESTED = [None], []


class Boom(Exception):
    pass


class Hostile:
    """An integer and a sequence whose `__index__` / `__iter__` call back into
    the ring that is converting it, or raise; its `__len__` always fails."""
    CALLS = {"reap": (lambda r: r.reap(), "Already borrowed"),
             "peek": (lambda r: r.inflight, "Already mutably borrowed"),
             "drain": (lambda r: r.drain_eventfd(), "Already mutably borrowed"),
             "escape": (lambda r: r.submit_cancel(7), None)}  # the refusal propagates

    def __init__(self, action, value, items):
        self.action, self.value, self.items = action, value, items

    def act(self):
        if self.action == "boom":
            raise Boom
        call, message = self.CALLS.get(self.action, (None, None))
        try:
            call and call(RING[0])
            NESTED.append(call and "a nested call went through")
        except RuntimeError as e:
            if not message:
                raise
            NESTED.append(None if str(e) == message else str(e))

    def __index__(self):
        self.act()
        return self.value

    def __len__(self):
        raise Boom

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for n, item in enumerate(self.items):
            if n == 1:
                self.act()
            yield item
        if len(self.items) < 2:
            self.act()

    def __repr__(self):
        return f"Hostile{(self.action, self.value, self.items)}"


class SneakyInt(int):
    def __index__(self):  # never consulted: an int's own value is used
        raise Boom


BytesSub, StrSub = type("BytesSub", (bytes,), {}), type("StrSub", (str,), {})


def as_int(x):
    if isinstance(x, Hostile):
        x = x.value
    return int(x) if isinstance(x, int) else operator.index(x)


def convert(kind, x):
    """The exception type converting `x` must raise, or None."""
    if isinstance(x, Hostile):
        if x.action in ("boom", "escape") and kind in (I32, U64, U32, BUFS):
            return Boom if x.action == "boom" else RuntimeError
        if kind == BUFS:
            return None if all(isinstance(i, bytes) for i in x.items) else TypeError
        x = x.value
    if kind in RANGES:
        try:
            v = as_int(x)
        except TypeError:
            return TypeError
        return None if RANGES[kind][0] <= v <= RANGES[kind][1] else OverflowError
    if kind == BOOL:  # numpy's bool, "bool_" before NumPy 2, counts as a bool
        t = type(x)
        return None if t is bool or (t.__module__, t.__name__[:4]) == ("numpy", "bool") \
            else TypeError
    if kind == BYTES:
        return None if isinstance(x, bytes) else TypeError
    if kind == PATH:
        if not isinstance(x, str):
            return TypeError
        return UnicodeEncodeError if any(0xD800 <= ord(c) < 0xE000 for c in x) else None
    if isinstance(x, (str, dict)) or not hasattr(type(x), "__getitem__"):
        return TypeError
    try:
        return None if all(isinstance(i, bytes) for i in x) else TypeError
    except TypeError:
        return TypeError


def held(args):
    """The objects an entry of this call would keep referenced (once each)."""
    data, bufs = args.get("data"), args.get("bufs")
    if isinstance(data, bytes):
        return [data]
    if isinstance(bufs, (list, tuple, Hostile)):
        return list(bufs.items if isinstance(bufs, Hostile) else bufs)
    return []


ints = st.one_of(st.integers(0, 999), st.integers(), st.integers(-2**70, 2**70), st.sampled_from(
    [-2**63, -2**31 - 1, -2**31, -1, 0, 1, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63, 2**64 - 1,
     2**64, 4294967293, 4294967294]))
texts = st.text(st.characters(exclude_categories=()), max_size=12) | st.just("dir/a\0b")
blobs = st.binary(max_size=12)
seqs = st.lists(blobs | st.sampled_from([bytearray(b"b"), "s", 3, None]), max_size=4)
hostile = st.builds(Hostile, st.sampled_from(["boom", "plain", *Hostile.CALLS]),
                    ints | st.just(1.5), st.lists(blobs, max_size=3).map(tuple))
CATALOG = [0, -1, 7, 2**31, 2**32, 4294967294, 2**64, -2**63 - 1, True, 1.5, None, SneakyInt(5),
           np.int64(3), np.float64(1.0), np.True_, b"", b"data", BytesSub(b"x"), bytearray(b"x"),
           memoryview(b"x"), "", "p", "a\0b", "\udc80", StrSub("q"), [b"a", b"b"], (b"a",),
           [b"a", "s"], [], {b"a"}, {b"a": 1}, range(0), range(2), iter([b"x"]), object(),
           *(Hostile(a, 5, (b"a", b"b")) for a in ["boom", "plain", *Hostile.CALLS])]
objects = st.one_of(
    ints, st.floats(), ints.map(SneakyInt), blobs, blobs.map(BytesSub), blobs.map(bytearray),
    texts, texts.map(StrSub), seqs, seqs.map(tuple), hostile, st.sampled_from(CATALOG))
numbers = ints | hostile | ints.map(SneakyInt) | st.sampled_from([True, np.int64(-3)])
TYPED = {I32: numbers, U64: numbers, U32: numbers, BOOL: st.sampled_from([True, False, np.True_]),
         BYTES: blobs, BUFS: st.lists(blobs, max_size=4) | hostile, PATH: texts}


@st.composite
def calls(draw):
    """(method, positional, keywords, whether binding must fail)."""
    method = draw(st.sampled_from(sorted(METHODS)))
    names = [p[0] for p in METHODS[method]]
    typed = draw(st.sampled_from([TYPED, {k: v | objects for k, v in TYPED.items()}]))
    args = {p[0]: draw(typed[p[1]]) for p in METHODS[method] if len(p) == 2 or draw(st.booleans())}
    npos = draw(st.integers(0, len(names)))
    pos = [args.pop(n) for n in names[:npos] if n in args]
    if len(pos) < npos:  # a gap among the leading parameters: pass them by keyword
        args, pos = {**args, **dict(zip(names, pos))}, []
    bad = draw(st.sampled_from([None] * 8 + ["extra", "unknown", "twice", "missing"]))
    if bad == "extra":
        pos = [args.pop(n, 0) for n in names] + [0]
    elif bad == "unknown":
        args["bogus"] = 0
    elif bad == "twice" and pos:
        args[names[0]] = pos[0]
    elif bad == "missing" and names:  # predict() notices the hole itself
        args.pop(names[0], None)
        pos = []
    return method, pos, args, bad in ("extra", "unknown") or (bad == "twice" and bool(pos))


def predict(method, pos, kw, bad):
    """(None, an exception type, "nul" or "slot"; ids taken; the bound arguments)."""
    params = METHODS[method]
    given = {**dict(zip([p[0] for p in params], pos)), **kw}
    if bad or any(len(p) == 2 and p[0] not in given for p in params):
        return TypeError, 0, given
    for name, kind, *_ in params:
        if name in given and (exc := convert(kind, given[name])):
            return exc, 0, given
    taken = 2 if method in CHAINS else int(method.startswith("submit_"))
    if any(kind == PATH and "\0" in given[name] for name, kind, *_ in params):
        return "nul", taken, given
    if method in (*CHAINS, "submit_close_fixed") and as_int(given["slot"]) >= 4294967294:
        return "slot", taken, given
    return None, taken, given


def refs(objs):
    return {id(o): sys.getrefcount(o) for o in objs if sys.getrefcount(o) < 10**9}


class Checker:
    """A fresh Ring and what its next id and `inflight` must be."""
    def __init__(self):
        self.ring = RING[0] = Ring(128)
        self.next, self.inflight = 1, 0
        NESTED.clear()

    def call(self, method, pos, kw, bad=False):
        expected, taken, given = predict(method, pos, kw, bad)
        objs = held(given)
        gc.disable()  # a collection mid-call could drop other holders of these objects
        before = refs(objs)
        try:
            result, raised = getattr(self.ring, method)(*pos, **kw), None
        except (TypeError, OverflowError, UnicodeEncodeError, OSError, RuntimeError, MemoryError,
                Boom) as e:
            result, raised, text = None, type(e), str(e)
        after = refs(objs)
        gc.enable()
        if expected == "nul":
            path = next(given[n] for n, k, *_ in METHODS[method] if k == PATH and "\0" in given[n])
            assert (raised, text) == (OSError, "nul byte found in provided data at position: "
                                      + str(path.encode().index(b"\0")))
        elif expected == "slot":
            assert (raised, text) == (OSError, "invalid fixed-file slot")
        elif raised is MemoryError:  # a read's buffer may be too large to create
            assert expected is None and "read" in method
        else:
            assert raised is expected, (method, pos, kw)
        if raised is None:
            assert result == (None if method == "drain_eventfd" else [] if method == "reap"
                              else (self.next, self.next + 1) if taken == 2 else self.next)
            self.inflight += taken  # an entry holds each of its objects once per occurrence
            assert all(after[k] - v == sum(id(o) == k for o in objs) for k, v in before.items())
        else:
            assert after == before, "a failed call kept or dropped a reference"
        self.next += taken
        assert self.ring.inflight == self.inflight

    def finish(self):
        assert self.ring.submit_cancel(0) == self.next and self.ring.inflight == self.inflight + 1
        assert all(n is None for n in NESTED), NESTED
        RING[0] = None


@settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(calls(), min_size=1, max_size=12))
def test_arbitrary_call_sequences(sequence):
    checker = Checker()
    for call in sequence:
        checker.call(*call)
    checker.finish()


VALID = {I32: -1, U64: 0, U32: 1, BOOL: True, BYTES: b"x", BUFS: [b"x"], PATH: "p"}


@pytest.mark.parametrize("method", sorted(m for m in METHODS if METHODS[m]))
def test_every_parameter_meets_every_kind_of_object(method):
    for wild, *_ in METHODS[method]:
        checker = Checker()
        for obj in CATALOG:
            args = {name: obj if name == wild else VALID[kind] for name, kind, *_ in METHODS[method]}
            checker.call(method, [], args)
        checker.finish()


@pytest.mark.parametrize("entries", [
    o for o in CATALOG if not isinstance(o, Hostile) or o.action in ("boom", "plain")], ids=repr)
def test_constructor_meets_every_kind_of_object(entries):
    expected = convert(U32, entries) or (None if 1 <= as_int(entries) <= 32768 else OSError)
    try:
        raised = Ring(entries) and None
    except (TypeError, OverflowError, OSError, Boom) as e:
        raised = type(e)
    assert raised is expected  # sizes the kernel refuses raise its EINVAL
