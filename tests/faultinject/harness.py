"""Builds the fault shim (fault.c) and runs Python snippets in a child process
that has it preloaded after whatever LD_PRELOAD the run already has (libasan
under tools/sanitize.sh)."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

HERE = pathlib.Path(__file__).parent

# What every child script gets: the shim's controls, a snapshot of what the
# process owns, and the kernel's counters of its one live ring.
PRELUDE = """
import ctypes, errno, json, os, sys
sys.path.insert(0, TESTS)
from _uring import Ring
from kernel_view import fdinfo, new_ring, run
F = ctypes.CDLL(SHIM) if SHIM else None
if F:
    F.fault_arm.argtypes = [ctypes.c_char_p, ctypes.c_long, ctypes.c_int]
    F.fault_hits.restype = F.fault_arg.restype = ctypes.c_long

def arm(name, nth, err=0):
    assert F.fault_arm(name.encode(), nth, err) == 0, name

def disarm():
    F.fault_disarm()
    return F.fault_hits()

def owned():
    with open("/proc/self/maps") as f:
        return sorted(os.listdir("/proc/self/fd")), sum("io_uring" in line for line in f)

def exc_info(e):
    return e and {"type": type(e).__name__, "errno": getattr(e, "errno", None),
                  "strerror": getattr(e, "strerror", None), "args": [str(a) for a in e.args],
                  "notes": getattr(e, "__notes__", [])}

def attempt(fn, *a):
    try:
        return fn(*a), None
    except BaseException as e:
        return None, e.with_traceback(None)  # its frames would keep the arguments alive

def done(**kw):
    print(json.dumps(kw))

Ring(8)  # one-time costs (type creation, first arenas) before any snapshot
"""


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    out = tmp_path_factory.mktemp("fault") / "libfault.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
                    "-o", str(out), str(HERE / "fault.c"), "-ldl"], check=True, env=env)
    return str(out)


def run_child(body, shim=None, params=None, timeout=120):
    """Runs PRELUDE + body in a fresh interpreter, with `P` = params; returns
    what the body passed to done()."""
    env = dict(os.environ)
    if shim:
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), shim]))
    code = f"SHIM, P, TESTS = {shim!r}, {params!r}, {str(HERE.parent)!r}\n{PRELUDE}\n" \
        + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def errno_error(err):
    """exc_info() of the OSError the module must raise for a failed call."""
    text = f"{os.strerror(err)} (os error {err})"
    return {"type": type(OSError(err, "")).__name__, "errno": err, "strerror": text,
            "args": [str(err), text], "notes": []}
