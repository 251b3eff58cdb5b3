"""The programs in examples/ run as their users run them."""
import subprocess
import sys
from pathlib import Path

import pytest

LOOP_NEUTRAL = True
EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("args", [["aiofiles_compat.py"], ["checksum_tree.py"],
                                  ["checksum_tree.py", "--trio"]])
def test_example_runs(args):
    if "--trio" in args:
        pytest.importorskip("trio")
    r = subprocess.run([sys.executable, str(EXAMPLES / args[0]), *args[1:]],
                       capture_output=True, text=True, timeout=120, cwd=EXAMPLES)
    assert r.returncode == 0 and not r.stderr, r.stderr
