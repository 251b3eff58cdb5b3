"""The typing stub: a strict type-check of a usage example, and stubtest
against the built module."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _uring

pytest.importorskip("mypy")
USAGE = Path(__file__).with_name("typed_usage.py")


@pytest.mark.parametrize("args", [("mypy", "--strict", str(USAGE)), ("mypy.stubtest", "_uring")])
def test_stub(tmp_path, args):
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

