"""The typing stub: a strict type-check of a usage example, and stubtest
against the built module."""
import functools
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _uring

pytest.importorskip("mypy")
USAGE = Path(__file__).with_name("typed_usage.py")


@functools.cache
def strict_bytes() -> list[str]:
    """The flag that stops mypy promoting bytearray and memoryview to bytes
    (the module refuses both at run time), when this mypy has it."""
    help_text = subprocess.run([sys.executable, "-m", "mypy", "--help"],
                               capture_output=True, text=True).stdout
    return ["--strict-bytes"] if "--strict-bytes" in help_text else []


@pytest.mark.parametrize("check", ["usage", "stubtest"])
def test_stub(tmp_path, check):
    if check == "usage":
        if not strict_bytes():
            pytest.skip("this mypy always treats bytearray and memoryview as bytes")
        args = ["mypy", "--strict", *strict_bytes(), str(USAGE)]
    else:
        args = ["mypy.stubtest", "_uring"]
    # mypy does not look for a stub beside a single-file module in
    # site-packages (PEP 561 covers packages), so point MYPYPATH at a copy.
    here = Path(_uring.__file__).parent
    stubs = [p for p in (here / "_uring.pyi", here / "_uring-stubs" / "__init__.pyi") if p.exists()]
    assert stubs, f"no stub installed beside {_uring.__file__}"
    (tmp_path / "stubs").mkdir()
    shutil.copy(stubs[0], tmp_path / "stubs" / "_uring.pyi")
    result = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True,
                            text=True, env=os.environ | {"MYPYPATH": str(tmp_path / "stubs")})
    assert result.returncode == 0, result.stdout + result.stderr
