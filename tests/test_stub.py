"""The typing stub: strict type-checking of a usage example, and stubtest
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


@pytest.fixture
def mypy(tmp_path):
    # A stub lying beside a single-file module in site-packages is not found by
    # mypy on its own (PEP 561 covers packages), so point MYPYPATH at a copy.
    here = Path(_uring.__file__).parent
    stub = next((p for p in (here / "_uring.pyi", here / "_uring-stubs" / "__init__.pyi")
                 if p.exists()), None)
    assert stub, f"no stub installed beside {_uring.__file__}"
    (tmp_path / "stubs").mkdir()
    shutil.copy(stub, tmp_path / "stubs" / "_uring.pyi")
    env = os.environ | {"MYPYPATH": str(tmp_path / "stubs")}

    def run(*args):
        return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=300)
    return run


def test_typed_usage_passes_strict_mypy(mypy):
    result = mypy("mypy", "--strict", str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_the_module(mypy):
    result = mypy("mypy.stubtest", "_uring")
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs():
    subprocess.run([sys.executable, str(USAGE)], check=True, timeout=60)
