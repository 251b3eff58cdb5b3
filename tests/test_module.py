"""Module surface, the Ring type, docstrings and nested use of one instance."""
import importlib.util
import inspect
import weakref

import pytest

import _uring
from _uring import Ring

MODULE_DOC = "Native async backend for kovra (io_uring on Linux, IOCP on Windows)."
DOCS = {
    "submit": "submit($self)\n--\n\nFlush all queued submissions to the kernel in one `io_uring_enter`.\nCalled once per event-loop tick by the driver after a batch of pushes.",
    "drain_eventfd": "drain_eventfd($self)\n--\n\nClear the eventfd counter. Reads until EAGAIN so the level-triggered\nreader does not spin.",
    "submit_read": "submit_read($self, fd, offset, len)\n--\n\n",
    "submit_write": "submit_write($self, fd, offset, data)\n--\n\n",
    "submit_writev": "submit_writev($self, fd, offset, bufs)\n--\n\nVectored write: one submission, one iovec per buffer — no join copy.\nZero-copy like `submit_write`: the kernel reads each `bytes` object's\nown buffer, all held alive in `pending` until completion.",
    "submit_cancel": "submit_cancel($self, user_data)\n--\n\nAsk the kernel to abort the in-flight op submitted with `user_data`.\nFire-and-forget: the target's own completion still arrives (with\n-ECANCELED or its real result); this op's completion reports whether\nthe cancellation found anything, which the driver ignores.",
    "submit_ftruncate": "submit_ftruncate($self, fd, len)\n--\n\nftruncate(2) as an io_uring op (kernel 6.9+). On older kernels the\ncompletion carries -EINVAL/-EOPNOTSUPP and the backend falls back to\nthe executor.",
    "submit_fsync": "submit_fsync($self, fd, datasync=False)\n--\n\n",
    "submit_open": "submit_open($self, path, flags, mode)\n--\n\n",
    "submit_close": "submit_close($self, fd)\n--\n\n",
    "submit_open_read": "submit_open_read($self, path, flags, mode, len, slot)\n--\n\nOpen `path` into `slot` and read `len` bytes from offset 0, linked.\nReturns `(open_id, read_id)`.",
    "submit_open_write": "submit_open_write($self, path, flags, mode, data, slot)\n--\n\nOpen `path` into `slot` and write `data` at offset 0, linked (zero-copy\nfrom the caller's `bytes`). Returns `(open_id, write_id)`.",
    "submit_read_fixed": "submit_read_fixed($self, slot, offset, len)\n--\n\nRead from the direct descriptor in `slot` (continuation reads for files\nlarger than the chain's first read).",
    "submit_write_fixed": "submit_write_fixed($self, slot, offset, data)\n--\n\nWrite to the direct descriptor in `slot` (continuation writes after a\nshort chained write).",
    "submit_close_fixed": "submit_close_fixed($self, slot)\n--\n\nClose the direct descriptor in `slot`, freeing it for reuse.",
    "submit_statx": "submit_statx($self, path, follow=True)\n--\n\nstatx on a path. `follow` controls symlink resolution.",
    "submit_fstatx": "submit_fstatx($self, fd)\n--\n\nstatx on an already-open fd (AT_EMPTY_PATH). Used to size read-all in a\nsingle extra round-trip.",
    "submit_mkdir": "submit_mkdir($self, path, mode=511)\n--\n\n",
    "submit_unlink": "submit_unlink($self, path, remove_dir=False)\n--\n\nunlink (file) or rmdir (when `remove_dir` is true).",
    "submit_rename": "submit_rename($self, src, dst)\n--\n\n",
    "submit_symlink": "submit_symlink($self, target, linkpath)\n--\n\n",
    "submit_link": "submit_link($self, src, dst)\n--\n\n",
    "reap": "reap($self)\n--\n\nDrain all available completions. Returns a list of\n`(user_data, result, payload)`. `result` is the raw kernel return value\n(negative is `-errno`). `payload` is bytes for reads, a statx tuple for\nstatx, otherwise `None`.",
}
PROPS = {
    "eventfd": "The eventfd to hand to `loop.add_reader`.",
    "fixed_slots": "Number of direct-descriptor slots available for linked chains (0 when\nthe kernel lacks sparse fixed-file registration).",
    "inflight": "Number of submissions still awaiting completion.",
}


def test_module_surface():
    assert _uring.__name__ == "_uring"
    assert type(_uring.__all__) is list and _uring.__all__ == ["Ring", "__doc__"]
    assert _uring.__doc__ == MODULE_DOC
    assert {name for name in vars(_uring) if not name.startswith("__")} == {"Ring"}


def test_exec_step_on_new_module_objects():
    spec = importlib.util.find_spec("_uring")
    module, refused = (importlib.util.module_from_spec(spec) for _ in range(2))
    module.__all__, refused.__all__ = ["x"], ("x",)
    spec.loader.exec_module(module)
    assert module is not _uring and module.Ring is Ring  # one type per process
    assert module.__all__ == ["x", "Ring", "__doc__"] and module.__doc__ == MODULE_DOC
    with pytest.raises(TypeError, match="^'tuple' object is not an instance of 'list'$"):
        spec.loader.exec_module(refused)


def test_ring_type():
    assert (Ring.__name__, Ring.__qualname__, Ring.__module__) == ("Ring", "Ring", "builtins")
    assert Ring.__text_signature__ == "(entries=256)" and not Ring.__doc__
    assert str(inspect.signature(Ring)) == "(entries=256)" and Ring.__bases__ == (object,)
    assert not Ring.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC: never tracked
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Ring,), {})
    ring = Ring(8)
    with pytest.raises(AttributeError):
        ring.extra = 1  # no __dict__
    with pytest.raises(TypeError):
        weakref.ref(ring)
    assert sorted(n for n in dir(Ring) if not n.startswith("_")) == sorted([*DOCS, *PROPS])


@pytest.mark.parametrize("name, ml_doc", DOCS.items())
def test_method_signature_and_doc(name, ml_doc):
    signature, _, doc = ml_doc.partition("\n--\n\n")
    method = getattr(Ring, name)
    assert (method.__name__, method.__qualname__) == (name, f"Ring.{name}")
    assert method.__text_signature__ == signature.removeprefix(name)
    assert method.__doc__ == (doc or None)


@pytest.mark.parametrize("name, doc", PROPS.items())
def test_read_only_property(ring, name, doc):
    assert vars(Ring)[name].__doc__ == doc
    assert type(getattr(ring, name)) is int
    with pytest.raises(AttributeError):
        setattr(ring, name, 3)
    with pytest.raises(AttributeError):
        delattr(ring, name)


class Reenter:
    """An integer argument whose conversion calls back into the ring."""

    def __init__(self, call):
        self.call, self.error = call, None

    def __index__(self):
        try:
            self.call()
        except Exception as exc:
            self.error = f"{type(exc).__name__}: {exc}"
        return 99


@pytest.mark.parametrize("inner, error", [
    (lambda r: r.submit(), "RuntimeError: Already borrowed"),
    (lambda r: r.reap(), "RuntimeError: Already borrowed"),
    (lambda r: r.submit_close(5), "RuntimeError: Already borrowed"),
    (lambda r: r.drain_eventfd(), "RuntimeError: Already mutably borrowed"),
    (lambda r: r.inflight, "RuntimeError: Already mutably borrowed"),
    (lambda r: r.fixed_slots, "RuntimeError: Already mutably borrowed"),
    # binding comes before taking the instance
    (lambda r: r.submit_close(), "TypeError: Ring.submit_close() missing 1 required positional argument: 'fd'"),
    (lambda r: Ring(8).submit(), None),  # another instance is independent
])
def test_nested_call_on_the_same_ring(ring, inner, error):
    arg = Reenter(lambda: inner(ring))
    assert ring.submit_cancel(arg) == 1 and arg.error == error
    assert ring.inflight == 1  # both kinds of access are free again
    ring.drain_eventfd()
    assert ring.submit_cancel(7) == 2


@pytest.mark.parametrize("call", [
    lambda r: r.submit_read(Reenter(lambda: None), 0, "x"),
    lambda r: r.submit_open_read("p", 0, 0, 1, 2**32),
    lambda r: r.submit_writev(0, 0, [b"a", 1]),
])
def test_failed_later_conversion_frees_the_ring(ring, call):
    with pytest.raises((TypeError, OverflowError)):
        call(ring)
    ring.submit()
    assert ring.inflight == 0 and ring.submit_cancel(0) == 1
