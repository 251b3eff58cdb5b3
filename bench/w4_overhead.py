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
  libc.

`python w4_overhead.py child ring|builtin OPS` runs one loop only; the
profilers use it.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

import _uring

from common import (BASELINE, QD, Table, classify, median, profile_note, repeat, ring_waiter,
                    run_baseline, scaled)

OPS = scaled(64 * 2000, 64 * 100)
ROUNDS = scaled(5, 1)
REPS = 3
UNKNOWN = 0xFFFF_FFFF_FFFF_0000  # never handed out: ids start at 1
PARKED = (4096, 16384)
PROFILE_OPS = scaled(64 * 400, 64 * 40)
HERE = Path(__file__).resolve().parent


def ring_loop(ring: _uring.Ring, ops: int) -> int:
    submit_cancel, submit, reap = ring.submit_cancel, ring.submit, ring.reap
    wait = ring_waiter(ring)
    batch = range(QD)
    x = UNKNOWN
    for _ in range(ops // QD):
        for _ in batch:
            submit_cancel(x)
        submit()
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
    method call of one argument (dict.get on an empty dict)."""
    call = {}.get
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

def child(kind: str, ops: int) -> None:
    if kind == "ring":
        ring = _uring.Ring(256)
        ring_loop(ring, ops)
    else:
        builtin_loop(ops)


def callgrind_by_object(path: Path) -> dict[str, int]:
    """Self instruction counts per object from an uncompressed callgrind file."""
    totals: dict[str, int] = defaultdict(int)
    ob = "?"
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
                    totals[ob] += int(parts[1])
            elif line.startswith("ob="):
                ob = line[3:].strip()
            elif line.startswith("calls="):
                after_calls = True
    return totals


def callgrind_per_op(kind: str, ops: int) -> dict[str, float] | None:
    """Instructions per op by category: two runs (ops and 2 x ops) and their
    difference, so start-up and import costs cancel out."""
    if not shutil.which("valgrind"):
        return None
    counts = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (ops, 2 * ops):
            out = Path(tmp) / f"cg.{kind}.{n}"
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", "--compress-strings=no",
                 "--compress-pos=no", f"--callgrind-out-file={out}",
                 sys.executable, str(HERE / "w4_overhead.py"), "child", kind, str(n)],
                capture_output=True, text=True)
            if proc.returncode != 0 or not out.exists():
                print(f"  callgrind failed: {proc.stderr[-500:]}", file=sys.stderr)
                return None
            by_cat: dict[str, int] = defaultdict(int)
            for obj, ir in callgrind_by_object(out).items():
                by_cat[classify(obj)] += ir
            counts.append(by_cat)
    cats = set(counts[0]) | set(counts[1])
    return {c: (counts[1].get(c, 0) - counts[0].get(c, 0)) / ops for c in sorted(cats)}


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


# ----------------------------------------------------------------- main

def main() -> None:
    t = Table("W4", "module's own cost: submit_cancel (unknown id), batches of 64")
    ring = _uring.Ring(256)
    ring_s: list[float] = []
    c_cancel: list[float] = []
    # Interleave the Ring and C runs so that drift of the machine hits both.
    for _ in range(ROUNDS):
        ring_s += repeat(lambda: ring_loop(ring, OPS), REPS)
        c_cancel += run_baseline("uring-cancel", OPS, REPS, QD) or []
    del ring
    builtin_s = repeat(lambda: builtin_loop(OPS), ROUNDS * REPS)
    c_nop = run_baseline("uring-nop", OPS, REPS * ROUNDS, QD)

    ring_impl = "Ring submit_cancel x64 + submit + reap"
    t.add(ring_impl, median(ring_s), samples=ring_s)
    t.add("trivial built-in call ({}.get) in the same loop", median(builtin_s),
          samples=builtin_s)
    if c_cancel:
        t.add("C liburing ASYNC_CANCEL x64", median(c_cancel), samples=c_cancel)
    if c_nop:
        t.add("C liburing NOP x64", median(c_nop), samples=c_nop)

    trivial = median(builtin_s)
    if c_cancel:
        own = median(ring_s) - median(c_cancel)
        t.add("module's own cost (Ring - C ASYNC_CANCEL)", own, derived=True)
        t.check("module's own cost (Ring - C ASYNC_CANCEL)", "trivial built-in call",
                own / trivial, "<= 4x", own / trivial <= 4.0)
    else:
        t.check(ring_impl, "trivial built-in call", None, "<= 4x", None)

    # Pending table at several sizes.
    sizes = []
    for parked in (0, *PARKED):
        ring = _uring.Ring(16384)
        park = Parked(ring, parked) if parked else None
        s = repeat(lambda: ring_loop(ring, OPS), REPS * 2)
        if park:
            park.release()
        del ring
        c = run_baseline("uring-cancel", OPS, REPS * 2, QD, parked) or []
        sizes.append((parked, median(s), median(c) if c else None))
    parts = []
    for parked, r, c in sizes:
        part = f"{parked + QD:,} outstanding: {r:.0f} ns/op"
        if c is not None:
            part += f" (C {c:.0f} ns, own {r - c:.0f} ns)"
        parts.append(part)
    t.note("Pending table size (up to 64 cancels in flight plus N reads parked on an "
           "empty pipe, Ring(16384)): " + "; ".join(parts) + ".")

    # Where the time goes.
    if perf_works():
        for kind in ("ring", "builtin"):
            d = perf_stat_per_op(kind, PROFILE_OPS)
            if d:
                t.note(f"perf stat, instructions per op ({kind} loop): "
                       + ", ".join(f"{k} {v:.0f}" for k, v in d.items()))
    for kind, label in (("ring", "Ring loop"), ("builtin", "trivial built-in loop")):
        cg = callgrind_per_op(kind, PROFILE_OPS)
        if cg:
            t.note(f"callgrind, user-space instructions per op ({label}): "
                   + fmt_counts(cg) + f"; total {sum(cg.values()):.0f}")
    profile_note(t, ring_impl, [sys.executable, __file__, "child", "ring",
                                str(scaled(64 * 20000, 64 * 500))])
    if c_cancel:
        profile_note(t, "C liburing ASYNC_CANCEL x64",
                     [str(BASELINE), "uring-cancel", str(OPS), "10", str(QD)])
    t.emit()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
