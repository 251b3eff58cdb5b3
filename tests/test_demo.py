"""demo/demo.py as its users run it: a subprocess on small trees, with the
trees it must survive and the options it must refuse."""
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "demo" / "demo.py"
PHASES = ["read", "cold read", "stat", "copy", "verify", "total"]


def run_demo(*args, wrapper=(), **kw) -> subprocess.CompletedProcess:
    return subprocess.run([*wrapper, sys.executable, str(DEMO), *map(str, args)],
                          capture_output=True, text=True, timeout=300, **kw)


def files_column(out: str) -> dict[str, int]:
    """Phase -> the files column of its first row in the demo's table."""
    found = {}
    for line in out.splitlines():
        for phase in PHASES:
            rest = line[len(phase):].split()
            if line.startswith(phase + " ") and rest and rest[0].isdigit():
                found[phase] = int(rest[0])
    return found


def make_files(root: Path, names: list) -> None:
    for i, name in enumerate(names):
        p = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(bytes([i % 256]) * (1000 + 700 * i))


def test_generated_tree_counts_files_in_every_phase():
    r = run_demo("--small", 30, "--large", 1, "--large-mib", 1, "--concurrency", 8)
    assert r.returncode == 0, r.stderr
    assert "Traceback" not in r.stderr
    # The total counts the 31 files once, not once per phase.
    assert files_column(r.stdout) == {p: 31 for p in PHASES}
    for backend in ("io_uring", "kovra_uring.open", "sync loop", "to_thread"):
        assert backend in r.stdout


def test_own_tree_skips_links_and_unreadable_files(tmp_path):
    tree = tmp_path / "tree"
    make_files(tree, ["a.txt", "sub/b.txt", "sub/deeper/c.txt", "secret.txt"])
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"x" * 5000)
    (tree / "link.txt").symlink_to(outside)
    (tree / "sub" / "loop").symlink_to(tree, target_is_directory=True)
    (tree / "secret.txt").chmod(0)
    wrapper = ()
    if os.geteuid() == 0:
        # Root reads anything: run the demo without the capabilities that allow it.
        if not shutil.which("setpriv"):
            pytest.skip("needs setpriv to drop root's file-permission override")
        caps = "-dac_override,-dac_read_search"
        wrapper = ("setpriv", f"--inh-caps={caps}", f"--bounding-set={caps}", "--")
    r = run_demo("--tree", tree, wrapper=wrapper)
    assert r.returncode == 0, r.stderr
    assert "skipped (cannot be read): secret.txt (Permission denied)" in r.stdout
    assert files_column(r.stdout) == {p: 3 for p in PHASES}
    assert outside.read_bytes() == b"x" * 5000
    assert (tree / "link.txt").is_symlink()


def test_tree_with_latin1_names(tmp_path):
    tree = tmp_path / "tree"
    make_files(tree, [b"caf\xe9.txt", b"r\xe9sum\xe9/notes.txt", b"plain.txt"])
    r = run_demo("--tree", tree)
    assert r.returncode == 0, r.stderr
    assert files_column(r.stdout) == {p: 3 for p in PHASES}


@pytest.mark.parametrize("args, says", [
    (["--entries", "0"], "--entries: must be at least 1, got 0"),
    (["--entries", "40000"], "--entries: must be at most 32768"),
    (["--small", "-5"], "--small: must be at least 0, got -5"),
    (["--concurrency", "0"], "--concurrency: must be at least 1, got 0"),
    (["--rounds", "2"], "--rounds: must be at least 3"),
    (["--large-mib", "many"], "--large-mib: not a whole number"),
    (["--tree", "/nonexistent/demo-tree"], "--tree: no such directory"),
    (["--small", "0", "--large", "0"], "nothing to generate"),
])
def test_bad_options_are_one_line_errors(args, says):
    r = run_demo(*args)
    assert r.returncode == 2
    assert r.stdout == ""
    lines = r.stderr.splitlines()
    assert len(lines) == 1 and says in lines[0], r.stderr


def test_help_shows_the_defaults():
    r = run_demo("--help")
    assert r.returncode == 0
    text = " ".join(r.stdout.split())  # as wrapped to any terminal width
    for shown in ("--small N", "(default: 3000)", "(default: 64)", "(default: 256)",
                  "(default: 3)", "cold read"):
        assert shown in text


def test_no_cold_phase_where_pages_cannot_be_dropped():
    shm = Path("/dev/shm")
    with open("/proc/self/mounts") as mounts:
        tmpfs = any(line.split()[1:3] == [str(shm), "tmpfs"] for line in mounts)
    if not tmpfs or not os.access(shm, os.W_OK):
        pytest.skip("no writable tmpfs at /dev/shm")
    tree = Path(tempfile.mkdtemp(prefix="demo-test-", dir=shm))
    try:
        make_files(tree, ["a.bin", "b.bin"])
        r = run_demo("--tree", tree)
    finally:
        shutil.rmtree(tree)
    assert r.returncode == 0, r.stderr
    assert "no cold phase" in r.stdout
    assert files_column(r.stdout) == {p: 2 for p in PHASES if p != "cold read"}
