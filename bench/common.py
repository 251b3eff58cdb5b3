"""Helpers shared by the benchmark scripts: data sets, timing, the C baseline
runner, and the results file that bench/report.py turns into RESULTS.md.

Every script measures its baselines in the same process run as the module, so
the ratios it prints compare figures taken minutes apart on the same machine.
"""

from __future__ import annotations

import json
import os
import random
import select
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Iterable, Sequence

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
DATA = BUILD / "data"
BASELINE = BUILD / "baseline"
RESULTS = Path(os.environ.get("BENCH_RESULTS", BUILD / "results.jsonl"))

# BENCH_QUICK=1 shrinks every workload so that a full pass takes seconds; the
# figures are then only good for checking that the scripts work.
QUICK = os.environ.get("BENCH_QUICK") == "1"

BLOCK = 4096
BIG_FILE_SIZE = 256 << 20
TREE_FILES = 20_000
TREE_DIRS = 20
QD = 64


def scaled(full: int, quick: int) -> int:
    return quick if QUICK else full


# --------------------------------------------------------------- data sets

def big_file() -> Path:
    """The 256 MiB file of W1, created once and pulled into the page cache."""
    path = DATA / "big.bin"
    if not path.exists() or path.stat().st_size != BIG_FILE_SIZE:
        DATA.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        chunk = os.urandom(1 << 20)
        with open(tmp, "wb") as f:
            for i in range(BIG_FILE_SIZE >> 20):
                # Vary each MiB a little so that nothing can deduplicate it.
                f.write(i.to_bytes(8, "little") + chunk[8:])
        tmp.rename(path)
    warm_file(path)
    return path


def warm_file(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        while os.read(fd, 8 << 20):
            pass
    finally:
        os.close(fd)


def tree() -> list[str]:
    """The 20,000 files of 4 KiB of W2, W3 and W5, in TREE_DIRS directories.

    Returns their absolute paths (as `str`, the type the module takes) after
    reading each one once, so that dentries, inodes and pages are all cached.
    """
    root = DATA / "tree"
    listing = DATA / "tree.txt"
    per_dir = TREE_FILES // TREE_DIRS
    if not listing.exists():
        rng = random.Random(7)
        paths = []
        for d in range(TREE_DIRS):
            sub = root / f"d{d:03d}"
            sub.mkdir(parents=True, exist_ok=True)
            for i in range(per_dir):
                p = sub / f"f{i:05d}.dat"
                p.write_bytes(rng.randbytes(BLOCK))
                paths.append(str(p))
        listing.write_text("\n".join(paths) + "\n")
    paths = listing.read_text().split()
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        os.read(fd, BLOCK)
        os.close(fd)
    return paths


def tree_listing() -> Path:
    return DATA / "tree.txt"


def random_offsets(n: int, seed: int = 1) -> list[int]:
    rng = random.Random(seed)
    pages = BIG_FILE_SIZE // BLOCK
    return [rng.randrange(pages) * BLOCK for _ in range(n)]


# ------------------------------------------------------------------ timing

def repeat(fn: Callable[[], int], reps: int, warmup: int = 1) -> list[float]:
    """Runs `fn` (which returns the number of operations it did) `warmup` + `reps`
    times and returns the nanoseconds per operation of the timed runs."""
    out = []
    for i in range(warmup + reps):
        t0 = time.perf_counter_ns()
        ops = fn()
        dt = time.perf_counter_ns() - t0
        if i >= warmup:
            out.append(dt / ops)
    return out


def median(xs: Sequence[float]) -> float:
    return statistics.median(xs)


def timed(fn: Callable[[], int]) -> Callable[[], float]:
    """One run of `fn` (which returns its number of operations) -> ns/op."""
    def run() -> float:
        t0 = time.perf_counter_ns()
        ops = fn()
        return (time.perf_counter_ns() - t0) / ops
    return run


REPS_ARG = object()  # stands for the repetition count in c_timed's arguments


def c_timed(*args: object) -> Callable[[], float | None]:
    """One run of the C baseline -> ns/op of its second repetition (the first
    warms up), or None when the baseline is unavailable."""
    def run() -> float | None:
        got = run_baseline(*(2 if a is REPS_ARG else a for a in args))
        return got[-1] if got else None
    return run


def interleave(runs: dict[str, Callable[[], float | None]],
               rounds: int, rotate: bool = False,
               warmup: bool = True) -> dict[str, list[float]]:
    """Runs every implementation once per round, round after round, after one
    warm-up run each. Other work on the machine comes and goes over seconds;
    interleaving spreads it over all implementations instead of letting it
    land on whichever happened to run then. With `rotate`, each round starts
    one implementation further on, so that none always runs first (after a
    cache drop, or straight after the warm-ups) or always last. Without
    `warmup` the caller has warmed everything up in a cheaper way."""
    out: dict[str, list[float]] = {name: [] for name in runs}
    for fn in runs.values() if warmup else ():
        fn()
    names = list(runs)
    for i in range(rounds):
        shift = i % len(names) if rotate and names else 0
        for name in names[shift:] + names[:shift]:
            v = runs[name]()
            if v is not None:
                out[name].append(v)
    return out


def ring_waiter(ring) -> Callable[[], None]:
    """Blocks until the ring's eventfd is readable, then clears it: the way an
    event loop learns that completions are waiting."""
    poller = select.poll()
    poller.register(ring.eventfd, select.POLLIN)
    drain = ring.drain_eventfd
    poll = poller.poll

    def wait() -> None:
        poll()
        drain()

    return wait


# -------------------------------------------------------------- C baseline

def have_baseline() -> bool:
    return BASELINE.exists() and os.access(BASELINE, os.X_OK)


def run_baseline(*args: object, env: dict | None = None) -> list[float] | None:
    """Runs the C baseline and returns its per-repetition ns/op, or None when the
    binary is missing (liburing unavailable) or the mode fails here."""
    if not have_baseline():
        return None
    cmd = [str(BASELINE), *map(str, args)]
    proc = subprocess.run(cmd, capture_output=True, text=True,
                          env={**os.environ, **(env or {})})
    if proc.returncode != 0:
        print(f"  C baseline {' '.join(cmd[1:])} failed: {proc.stderr.strip()}",
              file=sys.stderr)
        return None
    return [float(line.split()[2]) for line in proc.stdout.splitlines() if line.strip()]


# ----------------------------------------------------------------- results

class Table:
    """Collects the rows of one workload, prints them and appends them to the
    results file."""

    def __init__(self, workload: str, title: str):
        self.workload = workload
        self.title = title
        self.rows: list[dict] = []
        self.notes: list[str] = []
        self.counts: list[dict] = []

    def add(self, impl: str, ns_per_op: float | None, *, samples: Iterable[float] = (),
            note: str = "", derived: bool = False, extra: dict[str, str] | None = None) -> dict:
        """A row; `derived` marks a figure computed from other rows (not a rate
        of its own: no ops/s, not plotted). `extra` holds further columns of
        this workload's table (name -> formatted value), in order."""
        row = {
            "workload": self.workload,
            "title": self.title,
            "impl": impl,
            "ns_per_op": ns_per_op,
            "ops_per_s": (1e9 / ns_per_op) if ns_per_op and not derived else None,
            "samples": [round(s, 2) for s in samples],
            "checks": [],
            "note": note,
            "derived": derived,
            "extra": dict(extra or {}),
        }
        self.rows.append(row)
        return row

    def add_samples(self, samples: dict[str, list[float]]) -> None:
        """One row per implementation that produced figures, in order."""
        for impl, xs in samples.items():
            if xs:
                self.add(impl, median(xs), samples=xs)

    def ns(self, impl: str) -> float | None:
        for r in self.rows:
            if r["impl"] == impl:
                return r["ns_per_op"]
        return None

    def check(self, impl: str, vs: str, ratio: float | None, target: str,
              met: bool | None) -> None:
        """Attaches a target check to the row of `impl`. `ratio` is what the
        target is stated in (a speed ratio, or for W4 a cost ratio)."""
        for r in self.rows:
            if r["impl"] == impl:
                r["checks"].append({"vs": vs, "ratio": ratio, "target": target, "met": met})
                return
        raise KeyError(impl)

    def speed_check(self, impl: str, baseline: str, minimum: float | None) -> None:
        """Speed of `impl` relative to `baseline` (ops/s over ops/s); with no
        `minimum` the ratio is only reported."""
        a, b = self.ns(impl), self.ns(baseline)
        target = f">= {minimum:g}x" if minimum is not None else "-"
        if a is None or b is None:
            self.check(impl, baseline, None, target, None)
            return
        ratio = b / a
        self.check(impl, baseline, ratio, target,
                   None if minimum is None else ratio >= minimum)

    def note(self, text: str) -> None:
        self.notes.append(text)

    def count(self, loop: str, where: str, per_op: float | None, target: float) -> None:
        """Instructions per operation of `loop` counted in `where` (the module,
        all of user space), None when they could not be counted, against a
        ceiling of `target`. Reported in a table of their own: a count has no
        time or rate."""
        self.counts.append({"workload": self.workload, "title": self.title, "loop": loop,
                            "where": where, "per_op": per_op, "target": target,
                            "met": None if per_op is None else per_op <= target})

    def emit(self) -> None:
        # Other work on the machine moves every figure: say how busy it was.
        load = os.getloadavg()[0]
        self.note(f"load average over the last minute when this table was made: {load:.2f} "
                  f"({os.cpu_count()} CPUs)")
        print(f"\n{self.workload}: {self.title}")
        extra = list(dict.fromkeys(k for r in self.rows for k in r["extra"]))
        header = (f"{'implementation':<44} {'ops/s':>12} {'time/op':>11} {'spread':>9}"
                  + "".join(f" {k:>14}" for k in extra) + "  ratio / target")
        print(header)
        print("-" * len(header))
        for r in self.rows:
            ops = f"{r['ops_per_s']:>12,.0f}" if r["ops_per_s"] else f"{'n/a':>12}"
            t = fmt_ns(r["ns_per_op"])
            cols = "".join(f" {r['extra'].get(k, ''):>14}" for k in extra)
            checks = "; ".join(fmt_check(c) for c in r["checks"])
            print(f"{r['impl']:<44} {ops} {t:>11} {fmt_spread(r):>9}{cols}  {checks}")
        if self.counts:
            print(f"\n{self.workload}: instructions per operation")
            w = max(len(c["loop"]) for c in self.counts)
            header = f"{'loop':<{w}} {'counted in':<16} {'per op':>9} {'target':>9}  met?"
            print(header)
            print("-" * len(header))
            for c in self.counts:
                print(f"{c['loop']:<{w}} {c['where']:<16} {fmt_count(c['per_op']):>9} "
                      f"{fmt_count(c['target'], '<= '):>9}  {fmt_met(c['met'])}")
        for n in self.notes:
            print(f"  note: {n}")
        RESULTS.parent.mkdir(parents=True, exist_ok=True)
        with open(RESULTS, "a") as f:
            for r in self.rows:
                f.write(json.dumps({"kind": "row", **r}) + "\n")
            for c in self.counts:
                f.write(json.dumps({"kind": "count", **c}) + "\n")
            for n in self.notes:
                f.write(json.dumps({"kind": "note", "workload": self.workload,
                                    "title": self.title, "text": n}) + "\n")


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "n/a"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.0f} ns"


def fmt_count(n: float | None, prefix: str = "") -> str:
    return "n/a" if n is None else f"{prefix}{n:,.0f}"


def fmt_met(met: bool | None) -> str:
    return {True: "yes", False: "no", None: "n/a"}[met]


def fmt_spread(r: dict) -> str:
    """How far the rounds of a row lie apart: (slowest - fastest) / median,
    as a percentage; '-' with fewer than two rounds."""
    xs, mid = r.get("samples") or [], r.get("ns_per_op")
    if len(xs) < 2 or not mid or r.get("derived"):
        return "-"
    return f"±{(max(xs) - min(xs)) / 2 / mid * 100:.0f}%"


def fmt_check(c: dict) -> str:
    if c["ratio"] is None:
        return f"vs {c['vs']}: n/a (target {c['target']})"
    if c["met"] is None:
        return f"{c['ratio']:.2f}x vs {c['vs']}"
    met = "met" if c["met"] else "MISSED"
    return f"{c['ratio']:.2f}x vs {c['vs']} (target {c['target']}: {met})"


# ---------------------------------------------------------------- profiles

def classify(obj: str) -> str:
    """Groups a shared object (perf DSO or callgrind object) into where time goes."""
    name = os.path.basename(obj.strip())
    if "_uring" in name:
        return "module"
    if name.startswith(("libpython", "python")):
        return "interpreter"
    if name.startswith(("libc.", "libc-")):
        return "libc"
    if name.startswith("ld-"):
        return "loader"
    if "kernel" in name or name in ("[vdso]", "[unknown]"):
        return "kernel"
    if name.startswith("liburing"):
        return "liburing"
    if name == "baseline":
        return "C program"
    return "other"


CATEGORY_ORDER = ["kernel", "module", "interpreter", "libc", "liburing", "C program",
                  "loader", "other"]


def profiling(on: bool) -> None:
    """Starts or stops the sampling of an enclosing perf_split, so that a
    child's set-up (data sets, imports) stays out of its profile. Without
    one (or for a command that never calls this) the whole run is sampled."""
    ctl, ack = os.environ.get("BENCH_PERF_CTL"), os.environ.get("BENCH_PERF_ACK")
    if not ctl or not ack:
        return
    with open(ctl, "w") as f:
        f.write("enable\n" if on else "disable\n")
    with open(ack) as f:
        f.readline()


def perf_split(cmd: list[str], windowed: bool = False) -> dict[str, float] | None:
    """Shares (percent) of CPU-clock samples by category while `cmd` runs.

    A software clock, so it works in virtual machines without hardware
    counters; kernel time is included. With `windowed`, sampling starts
    disabled and `cmd` (a Python child) turns it on with profiling(True).
    None when perf is missing or fails."""
    import shutil
    import tempfile
    if not shutil.which("perf"):
        return None
    from collections import defaultdict
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "perf.data"
        extra: list[str] = []
        env = dict(os.environ)
        if windowed:
            ctl, ack = Path(tmp) / "ctl", Path(tmp) / "ack"
            os.mkfifo(ctl)
            os.mkfifo(ack)
            extra = [f"--control=fifo:{ctl},{ack}", "-D", "-1"]
            env.update(BENCH_PERF_CTL=str(ctl), BENCH_PERF_ACK=str(ack))
        rec = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "4999",
                              "-o", str(data), *extra, *cmd],
                             capture_output=True, text=True, env=env)
        if rec.returncode != 0:
            return None
        rep = subprocess.run(["perf", "report", "-i", str(data), "--sort", "dso,sym",
                              "--stdio", "--no-children", "--percent-limit", "0"],
                             capture_output=True, text=True)
        if rep.returncode != 0:
            return None
    import re
    split: dict = defaultdict(float)
    symbols: list[tuple[float, str]] = []
    for line in rep.stdout.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)\s+\[[^\]]*\]\s+(.*\S)", line)
        if m:
            pct, cat = float(m.group(1)), classify(m.group(2))
            split[cat] += pct
            # The module's own symbols are stripped: count it as one.
            symbols.append((pct, "module" if cat == "module" else m.group(3)))
        elif line.startswith("# Event count"):
            # The cpu-clock event counts nanoseconds of CPU time.
            split["cpu_ns"] = float(line.rsplit(":", 1)[1])
    if len(split) < 2:
        return None
    top: dict[str, float] = defaultdict(float)
    for pct, sym in symbols:
        top[sym] += pct
    split["top"] = sorted(top.items(), key=lambda kv: -kv[1])[:6]
    return dict(split)


def fmt_split(split: dict[str, float], ns_per_op: float | None = None) -> str:
    """'kernel 62% (870 ns), module 9% (130 ns), ...' in a fixed order, the
    nanoseconds being that share of `ns_per_op`."""
    out = []
    for k in CATEGORY_ORDER:
        v = split.get(k)
        if v is None or v < 0.5:
            continue
        s = f"{k} {v:.0f}%"
        if ns_per_op:
            s += f" ({ns_per_op * v / 100:.0f} ns)"
        out.append(s)
    return ", ".join(out)


def profile_note(table: "Table", impl: str, cmd: list[str],
                 ops: int | None = None) -> dict[str, float] | None:
    """Adds a note with the CPU-time split of `cmd`, a run of `impl`'s loop
    doing `ops` operations (a Python child brackets its loop with
    profiling()), and returns the split.

    With `ops`, the nanoseconds are CPU time per op, the kernel's worker
    threads included; otherwise they are shares of the row's time per op."""
    split = perf_split(cmd, windowed=cmd[0] == sys.executable)
    if not split:
        return None
    cpu = split.get("cpu_ns", 0) / ops if ops else None
    per_op = cpu or table.ns(impl)
    head = f"{cpu:.0f} ns of CPU per op: " if cpu else ""
    top = ", ".join(f"{sym} {pct:.0f}%" + (f" ({per_op * pct / 100:.0f} ns)" if per_op else "")
                    for sym, pct in split["top"] if pct >= 1)
    table.note(f"perf cpu-clock, {impl}: {head}{fmt_split(split, per_op)}; "
               f"top symbols: {top}")
    return split


def gap_note(table: "Table", impl: str, ours: dict | None, ours_ops: int,
             theirs: dict | None, theirs_ops: int, vs: str) -> None:
    """Where the CPU time per op that `impl` spends beyond `vs` goes, from the
    two profiles of profile_note."""
    if not ours or not theirs or not ours.get("cpu_ns") or not theirs.get("cpu_ns"):
        return
    a, b = ours["cpu_ns"] / ours_ops, theirs["cpu_ns"] / theirs_ops

    def part(split: dict, per_op: float, cats: Iterable[str]) -> float:
        return per_op * sum(split.get(c, 0) for c in cats) / 100

    user = [c for c in CATEGORY_ORDER if c != "kernel"]
    table.note(
        f"CPU per op, {impl} against {vs}: {a:.0f} ns against {b:.0f} ns, a gap of "
        f"{a - b:.0f} ns: kernel {part(ours, a, ['kernel']) - part(theirs, b, ['kernel']):+.0f} ns, "
        f"module {part(ours, a, ['module']):.0f} ns, interpreter "
        f"{part(ours, a, ['interpreter']):.0f} ns, libc and loader "
        f"{part(ours, a, ['libc', 'loader']):.0f} ns (user space of {vs}: "
        f"{part(theirs, b, user):.0f} ns)")
