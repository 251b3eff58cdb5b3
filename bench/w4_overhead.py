"""W4: the module's own cost per operation.

A cheap kernel operation (submit_cancel of an id nobody uses) in batches of 64
with one submit() and a reap per batch, against C liburing doing the same
ASYNC_CANCEL batches (and NOP, for scale) and against a trivial built-in call
made in the same Python loop shape. The module's own cost is the Ring loop's
time per op minus the C time per op; the target is at most 4x the trivial call.

Also measured here:
- the same Ring loop while 4,096 and 16,384 reads are parked on an empty pipe,
  so the pending table holds that many entries (C is run with the same parked
  reads, to separate the kernel's side of the cancel);
- where the time goes: instructions per op by object under callgrind, and, with
  perf, the share of CPU samples in the kernel, the module, the interpreter and
  libc;
- the instruction budget: user-space instructions per op of the plain loop
  `64 x submit_cancel(unknown id); submit(); for t in reap(): pass` under
  callgrind, in the module and in all, against fixed targets. Counts do not
  move with the machine's load the way timings do.

`python w4_overhead.py child ring|builtin|count OPS` runs one loop only; the
profilers use it.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

import _uring

from common import (BASELINE, QD, Table, classify, median, perf_split, profile_note,
                    profiling, repeat, ring_waiter, run_baseline, scaled)

OPS = scaled(64 * 500, 64 * 50)
PAIRS = scaled(31, 3)
TABLE_REPS = scaled(9, 2)
# An id no submission gets: ids count up from 1 and no Ring here reaches 2**30.
# It is kept below 2**30 on purpose: real targets are small ids, and CPython
# 3.12 converts ints of more than one 30-bit digit to unsigned 64 bits through
# a generic byte-array routine that costs ~200 instructions on its own.
UNKNOWN = (1 << 30) - 1
PARKED = (4096, 16384)
PROFILE_OPS = scaled(64 * 400, 64 * 40)
# Instruction budget of the counted loop, per operation.
MODULE_BUDGET = 200
TOTAL_BUDGET = 2000
HERE = Path(__file__).resolve().parent


def ring_loop(ring: _uring.Ring, ops: int, plain: bool = False) -> int:
    """Batches of QD cancels, one submit() each, then reap until the batch is
    back. `plain` is the loop the instruction budget is stated for: nothing
    but the calls, `for t in reap(): pass` (a cancel that finds nothing
    completes within submit(), so each reap returns the whole batch)."""
    submit_cancel, submit, reap = ring.submit_cancel, ring.submit, ring.reap
    wait = ring_waiter(ring)
    batch = range(QD)
    x = UNKNOWN
    for _ in range(ops // QD):
        for _ in batch:
            submit_cancel(x)
        submit()
        if plain:
            for t in reap():
                pass
            continue
        left = QD
        while left:
            done = reap()
            if not done:
                wait()
                continue
            left -= len(done)
    return ops // QD * QD


def builtin_loop(ops: int) -> int:
    """The Ring loop's shape with the method replaced by a trivial built-in
    call of one argument: abs of a non-negative int returns the int itself."""
    call = abs
    batch = range(QD)
    x = UNKNOWN
    for _ in range(ops // QD):
        for _ in batch:
            call(x)
    return ops // QD * QD


class Parked:
    """`count` one-byte reads waiting on an empty pipe: entries that stay in the
    pending table (and in the kernel) while the loop runs."""

    def __init__(self, ring: _uring.Ring, count: int):
        self.ring, self.count = ring, count
        self.rfd, self.wfd = os.pipe()
        for _ in range(count):
            ring.submit_read(self.rfd, 0, 1)
        ring.submit()

    def release(self) -> None:
        os.write(self.wfd, b"\0" * self.count)
        wait = ring_waiter(self.ring)
        while self.ring.inflight:
            if not self.ring.reap():
                self.ring.submit()
                wait()
        os.close(self.rfd)
        os.close(self.wfd)


# ------------------------------------------------------------- profiles

def child(kind: str, ops: int, parked: int = -1) -> None:
    """One loop for a profiler. `parked` >= 0 runs the Ring loop on the
    Ring(16384) of the table-size series with that many reads parked."""
    ring = park = None
    if kind in ("ring", "count"):
        ring = _uring.Ring(256 if parked < 0 else 16384)
        if parked > 0:
            park = Parked(ring, parked)
    profiling(True)
    if ring is not None:
        ring_loop(ring, ops, plain=kind == "count")
    else:
        builtin_loop(ops)
    profiling(False)
    if kind == "count":  # anything the last reap missed
        wait = ring_waiter(ring)
        while ring.inflight:
            if not ring.reap():
                wait()
    if park is not None:
        park.release()


def callgrind_self(path: Path) -> dict[tuple[str, str], int]:
    """Self instruction counts per (object, function) from an uncompressed
    callgrind file."""
    totals: dict[tuple[str, str], int] = defaultdict(int)
    ob = fn = "?"
    after_calls = False
    with open(path) as f:
        for line in f:
            c = line[:1]
            if c.isdigit() or c in "+-*":
                if after_calls:  # the inclusive cost of a call, counted in the callee
                    after_calls = False
                    continue
                parts = line.split()
                if len(parts) >= 2:
                    totals[ob, fn] += int(parts[1])
            elif line.startswith("ob="):
                ob = line[3:].strip()
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("calls="):
                after_calls = True
    return totals


def build_id(path: Path) -> str | None:
    proc = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True)
    for line in proc.stdout.splitlines():
        if "Build ID" in line:
            return line.split(":", 1)[1].strip()
    return None


def unstripped_module() -> Path | None:
    """A directory holding a copy of the imported module with its symbols: the
    build tree keeps the unstripped twin (same build id) of what the wheel
    installs. Only used to name the module's functions in the profile."""
    if not shutil.which("readelf"):
        return None
    installed = Path(_uring.__file__)
    want = build_id(installed)
    for cand in (HERE.parent / "build").glob("*/_uring*.so"):
        if want and build_id(cand) == want:
            tmp = Path(tempfile.mkdtemp(prefix="uring-syms-"))
            shutil.copy(cand, tmp / installed.name)
            return tmp
    return None


def callgrind_per_op(kind: str, ops: int, parked: int = -1,
                     symbols: Path | None = None) -> tuple[dict, dict] | None:
    """Instructions per op by category and by function: two runs (ops and
    2 x ops) and their difference, so start-up and import costs cancel out."""
    if not shutil.which("valgrind"):
        return None
    env = {**os.environ, "PYTHONHASHSEED": "0"}  # the same start-up in both runs
    if symbols:
        env["PYTHONPATH"] = str(symbols)
    runs = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (ops, 2 * ops):
            out = Path(tmp) / f"cg.{kind}.{n}"
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", "--compress-strings=no",
                 "--compress-pos=no", f"--callgrind-out-file={out}",
                 sys.executable, str(HERE / "w4_overhead.py"), "child", kind, str(n),
                 str(parked)],
                capture_output=True, text=True, env=env)
            if proc.returncode != 0 or not out.exists():
                print(f"  callgrind failed: {proc.stderr[-500:]}", file=sys.stderr)
                return None
            runs.append(callgrind_self(out))
    by_fn = {k: (runs[1].get(k, 0) - runs[0].get(k, 0)) / ops for k in set(runs[0]) | set(runs[1])}
    by_cat: dict[str, float] = defaultdict(float)
    for (ob, _fn), v in by_fn.items():
        by_cat[classify(ob)] += v
    return dict(by_cat), by_fn


def top_functions(by_fn: dict, n: int = 12) -> str:
    rows = sorted(((v, ob, fn) for (ob, fn), v in by_fn.items() if v >= 3), reverse=True)[:n]
    out = []
    for v, ob, fn in rows:
        out.append(f"{short_name(fn)} [{classify(ob)}] {v:.0f}")
    return ", ".join(out)


def short_name(fn: str) -> str:
    """'_object* uring::py::fast_entry<5u, &uring::ops::cancel>(...)' ->
    'py::fast_entry[cancel]'."""
    name = fn.replace("uring::", "")
    name = re.sub(r"<\d+u, &(?:\w+::)*(\w+)>", r"[\1]", name)
    name = re.sub(r"^(?:_object\*|void|bool|unsigned long|long) ", "", name)
    while True:  # drop the remaining template arguments, innermost first
        shorter = re.sub(r"<[^<>]*>", "", name)
        if shorter == name:
            break
        name = shorter
    return name.split("(")[0]


def perf_works() -> bool:
    if not shutil.which("perf"):
        return False
    proc = subprocess.run(["perf", "stat", "-e", "instructions", "true"],
                          capture_output=True, text=True)
    return proc.returncode == 0 and "not supported" not in proc.stderr


def perf_stat_per_op(kind: str, ops: int) -> dict[str, float] | None:
    """Instructions per op, user and kernel, when the hardware counters exist."""
    res = {}
    for n in (ops, 2 * ops):
        proc = subprocess.run(
            ["perf", "stat", "-x,", "-e", "instructions:u,instructions:k",
             sys.executable, str(HERE / "w4_overhead.py"), "child", kind, str(n)],
            capture_output=True, text=True)
        if proc.returncode != 0:
            return None
        vals = {}
        for line in proc.stderr.splitlines():
            parts = line.split(",")
            if len(parts) > 2 and parts[0].isdigit():
                vals[parts[2]] = int(parts[0])
        res[n] = vals
    return {k: (res[2 * ops].get(k, 0) - res[ops].get(k, 0)) / ops for k in res[ops]}


def fmt_counts(d: dict[str, float]) -> str:
    order = ["module", "interpreter", "libc", "loader", "other"]
    return ", ".join(f"{k} {d[k]:.0f}" for k in order if k in d and abs(d[k]) >= 0.5)


# ----------------------------------------------------------------- main

def paired(ring: _uring.Ring, pairs: int) -> tuple[list[float], list[float]]:
    """Alternates one timed Ring run and one C run (after a warm-up run of
    its own), `pairs` times: the cost of a cancel in this kernel drifts by a
    factor of two over seconds here, so only runs taken side by side are
    compared."""
    ring_s: list[float] = []
    c_s: list[float] = []
    ring_loop(ring, OPS)
    for _ in range(pairs):
        ring_s += repeat(lambda: ring_loop(ring, OPS), 1, warmup=0)
        c = run_baseline("uring-cancel", OPS, 2, QD)
        if c:
            c_s.append(c[-1])
    return ring_s, c_s


def own_cost(ring_s: list[float], c_s: list[float]) -> float | None:
    """Median of the pairwise differences."""
    if len(c_s) != len(ring_s) or not c_s:
        return None
    return median([r - c for r, c in zip(ring_s, c_s)])


def instruction_budget(t: Table) -> None:
    """The counted loop's instructions per op (two callgrind runs, of n and
    2n ops, subtracted), in the module and in all, each against its target."""
    loop = f"submit_cancel x64 + submit + reap, CPython {sys.version_info[0]}.{sys.version_info[1]}"
    cg = callgrind_per_op("count", PROFILE_OPS)
    if not cg:
        t.count(loop, "module", None, MODULE_BUDGET)
        t.count(loop, "all user space", None, TOTAL_BUDGET)
        t.note("instruction budget: callgrind (valgrind) is not installed, so it was not counted")
        return
    module = cg[0].get("module", 0.0)
    total = sum(cg[0].values())
    t.count(loop, "module", module, MODULE_BUDGET)
    t.count(loop, "all user space", total, TOTAL_BUDGET)
    t.note("instruction budget: user-space instructions per op of the loop `64 x "
           "submit_cancel(unknown id); submit(); for t in reap(): pass`, counted by callgrind "
           f"over {PROFILE_OPS:,} and {2 * PROFILE_OPS:,} ops and subtracted so start-up cancels: "
           + fmt_counts(cg[0]) + f"; total {total:,.0f}")


def main() -> None:
    t = Table("W4", "module's own cost: submit_cancel (unknown id), batches of 64")
    ring = _uring.Ring(256)
    ring_s, c_cancel = paired(ring, PAIRS)
    del ring
    builtin_s = repeat(lambda: builtin_loop(OPS), PAIRS)
    c_nop = run_baseline("uring-nop", OPS, PAIRS, QD)

    ring_impl = "Ring submit_cancel x64 + submit + reap"
    t.add(ring_impl, median(ring_s), samples=ring_s)
    t.add("trivial built-in call (abs) in the same loop", median(builtin_s),
          samples=builtin_s)
    if c_cancel:
        t.add("C liburing ASYNC_CANCEL x64", median(c_cancel), samples=c_cancel)
    if c_nop:
        t.add("C liburing NOP x64", median(c_nop), samples=c_nop)

    trivial = median(builtin_s)
    own = own_cost(ring_s, c_cancel)
    if own is not None:
        impl = "module's own cost (Ring - C ASYNC_CANCEL)"
        t.add(impl, own, derived=True)
        t.check(impl, "trivial built-in call", own / trivial, "<= 4x", own / trivial <= 4.0)
        t.note(f"own cost = median over {len(ring_s)} side-by-side pairs of (Ring run - C "
               f"run); trivial built-in call {trivial:.0f} ns; so the module's share of "
               f"one operation is {own / trivial:.1f}x a trivial call")
    else:
        t.check(ring_impl, "trivial built-in call", None, "<= 4x", None)
    instruction_budget(t)

    # Pending table at several sizes: the time per op, the module's own CPU time
    # per op (perf samples in the module) and its instructions per op
    # (callgrind), which unlike the kernel's side do not drift with the machine.
    parts = []
    for parked in (0, *PARKED):
        ring = _uring.Ring(16384)
        park = Parked(ring, parked) if parked else None
        s = repeat(lambda: ring_loop(ring, OPS), TABLE_REPS)
        if park:
            park.release()
        del ring
        part = f"{parked + QD:,} outstanding: {median(s):.0f} ns/op"
        n = scaled(64 * 5000, 64 * 200)
        split = perf_split([sys.executable, __file__, "child", "ring", str(n), str(parked)],
                           windowed=True)
        if split and split.get("cpu_ns"):
            cpu = split["cpu_ns"] / n
            part += (f", of which module {cpu * split.get('module', 0) / 100:.0f} ns and "
                     f"kernel {cpu * split.get('kernel', 0) / 100:.0f} ns of CPU")
        cg = callgrind_per_op("ring", PROFILE_OPS, parked)
        if cg:
            part += (f", {cg[0].get('module', 0):.0f} instructions in the module and "
                     f"{cg[0].get('libc', 0):.0f} in libc (where malloc and free live)")
        parts.append(part)
    t.note("pending table at several sizes (Ring(16384), up to 64 cancels in flight plus "
           "N one-byte reads parked on an empty pipe): " + "; ".join(parts))

    # Where the time goes.
    if perf_works():
        for kind in ("ring", "builtin"):
            d = perf_stat_per_op(kind, PROFILE_OPS)
            if d:
                t.note(f"perf stat, instructions per op ({kind} loop): "
                       + ", ".join(f"{k} {v:.0f}" for k, v in d.items()))
    symbols = unstripped_module()
    for kind, label in (("ring", "Ring loop"), ("builtin", "trivial built-in loop")):
        cg = callgrind_per_op(kind, PROFILE_OPS, symbols=symbols if kind == "ring" else None)
        if cg:
            t.note(f"callgrind, user-space instructions per op ({label}): "
                   + fmt_counts(cg[0]) + f"; total {sum(cg[0].values()):.0f}")
            if kind == "ring":
                t.note("callgrind, busiest functions of the Ring loop, instructions per op: "
                       + top_functions(cg[1]))
    if symbols:
        shutil.rmtree(symbols, ignore_errors=True)
    n = scaled(64 * 20000, 64 * 500)
    split = profile_note(t, ring_impl, [sys.executable, __file__, "child", "ring", str(n)], n)
    if split:
        user = median(ring_s) * (100 - split.get("kernel", 0)) / 100
        t.note(f"cross-check without the C run: the Ring loop spends {user:.0f} ns per op "
               f"outside the kernel ({user / trivial:.1f}x the trivial call), the "
               "Python loop around the calls included")
    if c_cancel:
        profile_note(t, "C liburing ASYNC_CANCEL x64",
                     [str(BASELINE), "uring-cancel", str(OPS * 4), "10", str(QD)], OPS * 40)
    t.emit()


if __name__ == "__main__":
    if len(sys.argv) in (4, 5) and sys.argv[1] == "child":
        child(sys.argv[2], *map(int, sys.argv[3:]))
    else:
        main()
