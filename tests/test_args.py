"""Argument binding, the conversion kinds and the exceptions they raise."""
import errno
import os
import pathlib

import numpy
import pytest

from _uring import Ring
from kernel_view import run

NARROW = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class IntWithBrokenIndex(int):
    def __index__(self):
        raise AssertionError("an int's own value must be used")


class FailingSequence(list):
    def __iter__(self):
        raise ValueError("iteration failed")


def numpy_like(name, value=None, module="numpy"):
    """An instance of a bool-like type that pretends to come from NumPy."""
    ns = {"__module__": module} | ({} if value is None else {"__bool__": lambda self: value})
    return type(name, (), ns)()


@pytest.mark.parametrize("call, message", [
    (lambda r: Ring(1, 2, size=3), "Ring.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda r: Ring(size=1, entries=8), "Ring.__new__() got an unexpected keyword argument 'size'"),
    (lambda r: Ring(256, entries=256), "Ring.__new__() got multiple values for argument 'entries'"),
    (lambda r: r.submit_close(1, 2), "Ring.submit_close() takes 1 positional arguments but 2 were given"),
    (lambda r: r.submit_fsync(1, True, 3), "Ring.submit_fsync() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda r: r.submit_close(other=3, bogus=2), "Ring.submit_close() got an unexpected keyword argument 'other'"),
    (lambda r: r.submit_read(bogus=1), "Ring.submit_read() got an unexpected keyword argument 'bogus'"),
    (lambda r: r.submit_fsync(1, datasync=True, fd=2, bogus=0), "Ring.submit_fsync() got multiple values for argument 'fd'"),
    (lambda r: r.submit_read(0, 0), "Ring.submit_read() missing 1 required positional argument: 'len'"),
    (lambda r: r.submit_mkdir(mode=0), "Ring.submit_mkdir() missing 1 required positional argument: 'path'"),
    (lambda r: r.submit_rename(), "Ring.submit_rename() missing 2 required positional arguments: 'src' and 'dst'"),
    (lambda r: r.submit_read(len=1), "Ring.submit_read() missing 2 required positional arguments: 'fd' and 'offset'"),
    (lambda r: r.submit_read(), "Ring.submit_read() missing 3 required positional arguments: 'fd', 'offset' and 'len'"),
    (lambda r: r.submit_open_read(), "Ring.submit_open_read() missing 5 required positional arguments: 'path', 'flags', 'mode', 'len' and 'slot'"),
])
def test_binding_errors(ring, call, message):
    with pytest.raises(TypeError) as info:
        call(ring)
    assert str(info.value) == message and not hasattr(info.value, "__notes__")
    assert ring.inflight == 0


@pytest.mark.parametrize("call, exc, message, param", [
    (lambda r: r.submit_fsync(2**31), OverflowError, None, "fd"),
    (lambda r: r.submit_fsync(-2**31 - 1), OverflowError, None, "fd"),
    (lambda r: r.submit_fsync(3.0), TypeError, None, "fd"),
    (lambda r: r.submit_read(0, -1, 1), OverflowError, None, "offset"),
    (lambda r: r.submit_cancel(2**64), OverflowError, None, "user_data"),
    (lambda r: r.submit_cancel(1.0), TypeError, None, "user_data"),
    (lambda r: r.submit_read(0, 0, 2**32), OverflowError, NARROW, "len"),
    (lambda r: r.submit_open("p", 0, 2**32), OverflowError, NARROW, "mode"),
    (lambda r: Ring(2**32), OverflowError, NARROW, "entries"),
    (lambda r: Ring(-1), OverflowError, None, "entries"),
    (lambda r: Ring(None), TypeError, None, "entries"),
    (lambda r: r.submit_fsync(0, 1), TypeError, "'int' object is not an instance of 'bool'", "datasync"),
    (lambda r: r.submit_fsync(0, None), TypeError, "'None' is not an instance of 'bool'", "datasync"),
    (lambda r: r.submit_statx("p", numpy.int8(1)), TypeError, "'int8' object is not an instance of 'bool'", "follow"),
    (lambda r: r.submit_statx("p", numpy_like("bool_", True, "mylib")), TypeError, "'bool_' object is not an instance of 'bool'", "follow"),
    (lambda r: r.submit_unlink("p", numpy_like("bool_")), TypeError, "object of type 'bool_' does not define a '__bool__' conversion", "remove_dir"),
    (lambda r: r.submit_write(0, 0, bytearray(b"x")), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
    (lambda r: r.submit_write(0, 0, None), TypeError, "'None' is not an instance of 'bytes'", "data"),
    (lambda r: r.submit_open_write("p", 0, 0, "x", 0), TypeError, "'str' object is not an instance of 'bytes'", "data"),
    (lambda r: r.submit_writev(0, 0, "ab"), TypeError, "Can't extract `str` to `Vec`", "bufs"),
    (lambda r: r.submit_writev(0, 0, {b"a"}), TypeError, "'set' object is not an instance of 'Sequence'", "bufs"),
    (lambda r: r.submit_writev(0, 0, b"ab"), TypeError, "'int' object is not an instance of 'bytes'", "bufs"),
    (lambda r: r.submit_writev(0, 0, [b"a", bytearray()]), TypeError, "'bytearray' object is not an instance of 'bytes'", "bufs"),
    (lambda r: r.submit_writev(0, 0, FailingSequence([b"a"])), ValueError, "iteration failed", "bufs"),
    (lambda r: r.submit_open(b"p", 0, 0), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    (lambda r: r.submit_statx(pathlib.Path("p")), TypeError, "'PosixPath' object is not an instance of 'str'", "path"),
    (lambda r: r.submit_symlink(None, "p"), TypeError, "'None' is not an instance of 'str'", "target"),
    (lambda r: r.submit_rename("p", "\udcff"), UnicodeEncodeError, None, "dst"),
    # the first failing parameter, in parameter order, is the one reported
    (lambda r: r.submit_read(1.0, -1, 2**32), TypeError, None, "fd"),
    (lambda r: r.submit_open_read("p\0", 0, 0, 2**32, -1), OverflowError, NARROW, "len"),
])
def test_conversion_errors(ring, call, exc, message, param):
    with pytest.raises(exc) as info:
        call(ring)
    assert type(info.value) is exc
    assert message is None or str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert ring.inflight == 0 and ring.submit_cancel(0) == 1  # no id was taken


@pytest.mark.parametrize("call", [
    lambda r, data: r.submit_write(0, 0, data),
    lambda r, data: r.submit_write_fixed(0, 0, data),
    lambda r, data: r.submit_open_write("p", 0, 0, data, 0),
], ids=["write", "write_fixed", "open_write"])
def test_data_longer_than_a_length_field(ring, call):
    data = bytes(1 << 32)  # zero pages: costs no memory until touched
    first = ring.submit_cancel(0)
    with pytest.raises(OverflowError) as info:
        call(ring, data)
    assert type(info.value) is OverflowError
    assert ring.inflight == 1 and ring.submit_cancel(0) == first + 1  # no id was taken


@pytest.mark.parametrize("call", [
    lambda r: r.submit_fsync(-1),
    lambda r: r.submit_fsync(2**31 - 1, datasync=True),
    lambda r: r.submit_open("p", -1, 2**32 - 1),
    lambda r: r.submit_cancel(2**64 - 1),
    lambda r: r.submit_close_fixed(IntWithBrokenIndex(3)),
    lambda r: r.submit_ftruncate(Index(-1), Index(2**64 - 1)),
    lambda r: r.submit_writev(-1, 0, (b"a", type("Blob", (bytes,), {})(b"b"))),
    lambda r: r.submit_mkdir(type("Name", (str,), {})("\u00e9"), Index(0o700)),
    lambda r: r.submit_open_read(path="p", flags=0, mode=0, len=0, slot=4294967293),
])
def test_accepted_values(ring, call):
    result = call(ring)
    assert result == ((1, 2) if type(result) is tuple else 1)


def test_converted_values_reach_the_kernel(ring, tmp_path):
    (tmp_path / "f").write_bytes(b"abcdef")
    fd = os.open(tmp_path / "f", os.O_RDONLY)
    dirs = [tmp_path / str(i) for i in range(4)]
    for d in dirs:
        d.mkdir()
    try:
        expect = {
            ring.submit_read(len=Index(3), offset=IntWithBrokenIndex(2), fd=fd): (3, b"cde"),
            ring.submit_fstatx(-1): (-errno.EBADF, None),
            ring.submit_unlink(str(dirs[0]), remove_dir=numpy.True_): (0, None),
            ring.submit_unlink(str(dirs[1]), remove_dir=numpy.False_): (-errno.EISDIR, None),
            ring.submit_unlink(str(dirs[2]), numpy_like("bool_", True)): (0, None),
            ring.submit_unlink(str(dirs[3]), numpy_like("bool", False)): (-errno.EISDIR, None),
        }
        stat_id = ring.submit_fstatx(True)  # True is descriptor 1
        done = run(ring)
    finally:
        os.close(fd)
    assert {uid: done[uid] for uid in expect} == expect
    assert done[stat_id][0] == 0 and done[stat_id][1][1] == os.fstat(1).st_ino


def test_note_joins_earlier_notes_and_a_failing_add_note_is_dropped(ring):
    class NoNotes(ValueError):
        def add_note(self, note):
            raise RuntimeError("add_note failed")

    noted = ValueError("noted")
    noted.add_note("earlier")
    with pytest.raises(ValueError) as info:
        ring.submit_cancel(Index(noted))
    assert info.value.__notes__ == ["earlier", "while processing 'user_data'"]
    with pytest.raises(NoNotes) as info:
        ring.submit_cancel(Index(NoNotes()))
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("call, position", [
    (lambda r: r.submit_open("a\0b", 0, 0), 1),
    (lambda r: r.submit_rename("ok", "\u00e9\0"), 2),  # a UTF-8 byte offset
    (lambda r: r.submit_open_read("\0", 0, 0, 1, 0), 0),
])
def test_nul_inside_a_path(ring, call, position):
    with pytest.raises(OSError) as info:
        call(ring)
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == (f"nul byte found in provided data at position: {position}",)
    assert not hasattr(info.value, "__notes__") and ring.inflight == 0


def test_errno_error():
    with pytest.raises(OSError) as info:
        Ring(0)  # the kernel refuses an empty ring
    text = f"{os.strerror(errno.EINVAL)} (os error 22)"
    assert type(info.value) is OSError and info.value.args == (errno.EINVAL, text)
    assert (info.value.errno, info.value.strerror) == (errno.EINVAL, text)
