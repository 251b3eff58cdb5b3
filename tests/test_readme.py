"""The README runs as written: every Python block, every signature of the API
overview, every make target it names."""
import ast
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

from _uring import Ring

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"^```(\w*)\n(.*?)^```$", README, re.M | re.S)
PYTHON = [code for lang, code in BLOCKS if lang == "python"]
OVERVIEW = next(code for lang, code in BLOCKS if lang == "text" and "ring.submit(" in code)
CALL = re.compile(r"^(Ring|ring\.(\w+))\((.*?)\)", re.M)


@pytest.mark.parametrize("code", PYTHON, ids=[f"block{i}" for i in range(len(PYTHON))])
def test_python_block_runs(tmp_path, code):
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


def parameters(text):
    """(name, default) pairs of a README parameter list, parsed as Python."""
    args = ast.parse(f"def f({text}): pass").body[0].args
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    return [(a.arg, d if d is None else ast.literal_eval(d)) for a, d in zip(args.args, defaults)]


def test_overview_signatures():
    documented = {}
    for target, method, params in CALL.findall(OVERVIEW):
        documented[method or "Ring"] = parameters(params)
    public = {name for name in dir(Ring) if not name.startswith("_")}
    properties = {name for name in public if not callable(getattr(Ring, name))}
    assert set(documented) == public - properties | {"Ring"}
    assert properties == set(re.findall(r"^ring\.(\w+)\s", OVERVIEW, re.M))
    for name, params in documented.items():
        actual = inspect.signature(Ring if name == "Ring" else getattr(Ring, name))
        expected = [(p.name, None if p.default is p.empty else p.default)
                    for p in actual.parameters.values() if p.name != "self"]
        assert params == expected, name


def test_make_targets_exist():
    targets = set(re.findall(r"^([\w-]+):", (ROOT / "Makefile").read_text(), re.M))
    named = set(re.findall(r"`make ([\w-]+)", README)) | set(re.findall(r"^make ([\w-]+)", README, re.M))
    assert named and named <= targets, named - targets
