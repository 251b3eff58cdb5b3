"""Builds the fault shim and runs Python snippets in a child process that has
it preloaded (after whatever LD_PRELOAD the run already has, e.g. libasan)."""
import json
import os
import pathlib
import select
import subprocess
import sys
import textwrap
import time

import pytest

SOURCE = pathlib.Path(__file__).with_name("fault.c")

# Helpers every child script gets: the shim's controls and a snapshot of
# what the process owns (descriptors, io_uring mappings).
PRELUDE = """
import ctypes, errno, json, os, sys
sys.path.insert(0, TESTS)
from _uring import Ring
from faultinject.harness import drain
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
    fds = sorted(os.listdir("/proc/self/fd"))
    with open("/proc/self/maps") as f:
        maps = sum("io_uring" in line for line in f)
    return fds, maps

def fdinfo(key):
    # the kernel's view of the (single live) ring
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:[io_uring]":
                with open(f"/proc/self/fdinfo/{fd}") as f:
                    return dict(line.split(":", 1) for line in f if ":" in line).get(key, "").strip()
        except OSError:
            pass

def exc_info(e):
    return None if e is None else {"type": type(e).__name__, "errno": getattr(e, "errno", None),
        "strerror": getattr(e, "strerror", None), "args": [str(a) for a in e.args],
        "notes": getattr(e, "__notes__", [])}

def attempt(fn, *a, **kw):
    try:
        return fn(*a, **kw), None
    except BaseException as e:
        return None, e

def done(**kw):
    print(json.dumps(kw))

Ring(8)  # one-time costs (type creation, first arena) before any snapshot
"""


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    out = tmp_path_factory.mktemp("fault") / "libfault.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
                    "-o", str(out), str(SOURCE), "-ldl"], check=True, env=env)
    return str(out)


def run_child(body, shim=None, params=None, timeout=120):
    """Runs PRELUDE + body in a fresh interpreter (with `P` = params); returns
    what the body passed to done()."""
    env = dict(os.environ)
    if shim:
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), shim]))
    code = f"SHIM = {shim!r}\nP = {params!r}\nTESTS = {str(SOURCE.parent.parent)!r}\n{PRELUDE}\n{textwrap.dedent(body)}"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def errno_text(err):
    return f"{os.strerror(err)} (os error {err})"


def drain(ring, timeout=10.0):
    """Submits and reaps until nothing is pending; returns every triple."""
    out, poller = [], select.poll()
    poller.register(ring.eventfd, select.POLLIN)
    deadline = time.monotonic() + timeout
    while ring.inflight:
        assert time.monotonic() < deadline, f"{ring.inflight} completions never arrived"
        ring.submit()
        poller.poll(50)
        ring.drain_eventfd()
        out += ring.reap()
    return out
