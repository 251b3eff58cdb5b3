"""Turns the results file written by the w*.py scripts into bench/RESULTS.md and
bench/results.png.

    python bench/report.py RESULTS_JSONL
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

from common import fmt_count, fmt_ns, fmt_spread

HERE = Path(__file__).resolve().parent

# What the "ratio vs reference" column compares each row with, in order of
# preference (the C loops are missing when liburing could not be had); a table
# with none of these compares with its first row.
REFERENCE = {
    "W1": ["C liburing QD64", "Python os.pread loop"],
    "W2": ["C liburing open+read+close chains QD64", "Python os.open/os.read/os.close loop"],
    "W3": ["C liburing statx QD64", "Python os.stat loop"],
    "W4": ["C liburing ASYNC_CANCEL x64"],
    "W5": ["aiofiles open + read"],
    "W6": ["Python os.pread loop, cold"],
    "W7": ["aiofiles open + read"],
    # One per table: the reads (and their lag), writes, lines, the cold file;
    # the gather table has no aiofiles row and compares with 64 coroutines.
    "W8": ["aiofiles open + read", "aiofiles open + write", "aiofiles async for line",
           "aiofiles read(1 MiB) loop, cold", "kovra_uring.open + read, 64 coroutines"],
    # One of these in each of W9's tables: the synchronous loop it replaces.
    "W9": ["Path.read_bytes loop", "Path.read_bytes loop, cold", "Path.write_bytes loop",
           "os.stat loop"],
    # One for each of its tables.
    "W10": ["trio.open_file + read", "anyio.open_file + read, anyio on trio",
            "raw Ring, cold, depth 64"],
}


def load(path: Path) -> tuple[list[dict], list[dict], list[dict]]:
    """Rows, notes and instruction counts."""
    found: dict[str, list[dict]] = {"row": [], "note": [], "count": []}
    for line in path.read_text().splitlines():
        if line.strip():
            rec = json.loads(line)
            found[rec["kind"]].append(rec)
    return found["row"], found["note"], found["count"]


def machine() -> list[tuple[str, str]]:
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass

    def version(pkg: str) -> str:
        try:
            return metadata.version(pkg)
        except metadata.PackageNotFoundError:
            return "not installed"

    liburing = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "liburing-dev"],
                              capture_output=True, text=True).stdout.strip() or "n/a"
    return [
        ("CPUs (nproc)", str(os.cpu_count())),
        ("CPU model", cpu),
        ("kernel", platform.release()),
        ("date", datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")),
        ("Python", platform.python_version() + f" ({os.path.normpath(sys.executable)})"),
        ("packages", f"kovra-uring {version('kovra-uring')}, aiofiles {version('aiofiles')}, "
                     f"anyio {version('anyio')}, trio {version('trio')}, "
                     f"matplotlib {version('matplotlib')}"),
        ("C baseline", f"gcc -O2, liburing {liburing}"),
    ]


def groups(rows: list[dict]) -> list[tuple[str, str, list[dict]]]:
    """The rows as tables: one per workload and title, in the order met (two
    scripts may measure one workload from different sides)."""
    out: dict[tuple[str, str], list[dict]] = {}
    for r in rows:
        out.setdefault((r["workload"], r["title"]), []).append(r)
    return [(w, title, rs) for (w, title), rs in out.items()]


def reference(rows: list[dict]) -> dict | None:
    """The row of one table that the others are compared with."""
    if not rows:
        return None
    for name in REFERENCE.get(rows[0]["workload"], []):
        for r in rows:
            if r["impl"] == name and r["ns_per_op"]:
                return r
    return next((r for r in rows if r["ns_per_op"] and not r.get("derived")), None)


def fmt_ops(r: dict) -> str:
    if r.get("derived") or not r["ops_per_s"]:
        return "-"
    v = r["ops_per_s"]
    return f"{v / 1e6:.2f} M" if v >= 1e6 else f"{v / 1e3:.1f} k"


def fmt_checks(r: dict) -> tuple[str, str]:
    if not r["checks"]:
        return "", ""
    targets, met = [], []
    for c in r["checks"]:
        ratio = "n/a" if c["ratio"] is None else f"{c['ratio']:.2f}x"
        if c["target"] == "-":
            # A ratio reported for information: no target to meet.
            if c["ratio"] is not None:
                targets.append(f"{ratio} vs {c['vs']}")
                met.append("-")
            continue
        targets.append(f"{ratio} vs {c['vs']} (target {c['target']})")
        met.append({True: "yes", False: "**no**", None: "n/a"}[c["met"]])
    return "<br>".join(targets), "<br>".join(met)


def table(rows: list[dict]) -> list[str]:
    extra = list(dict.fromkeys(k for r in rows for k in r.get("extra", {})))
    out = ["| Implementation | ops/s | time per op | spread | "
           + "".join(f"{k} | " for k in extra)
           + "ratio vs reference | target check | met? |",
           "|---|---:|---:|---:|" + "---:|" * len(extra) + "---:|---|---|"]
    ref = reference(rows)
    for r in rows:
        if ref is None or r.get("derived") or not r["ns_per_op"]:
            ratio = "-"
        elif ref is r:
            ratio = "reference"
        else:
            ratio = f"{ref['ns_per_op'] / r['ns_per_op']:.2f}x"
        target, met = fmt_checks(r)
        cols = "".join(f"{r.get('extra', {}).get(k, '')} | " for k in extra)
        out.append(f"| {r['impl']} | {fmt_ops(r)} | {fmt_ns(r['ns_per_op'])} | "
                   f"{fmt_spread(r)} | {cols}{ratio} | {target} | {met} |")
    if ref is not None:
        out += ["", f"Reference: {ref['impl']}."]
    return out


def count_table(counts: list[dict]) -> list[str]:
    out = ["| Loop | Counted in | Instructions per op | Target | met? |",
           "|---|---|---:|---:|---|"]
    for c in counts:
        met = {True: "yes", False: "**no**", None: "n/a"}[c["met"]]
        out.append(f"| {c['loop']} | {c['where']} | {fmt_count(c['per_op'])} | "
                   f"{fmt_count(c['target'], '<= ')} | {met} |")
    return out


def markdown(rows: list[dict], notes: list[dict], counts: list[dict] = ()) -> str:
    out = ["# Benchmark results", "",
           "Generated by `make bench` (`tools/bench.sh`); see `bench/README.md` for what "
           "each workload does. Medians of interleaved rounds; every ratio compares figures "
           "measured in this same run.", "", "## Machine", "",
           "| | |", "|---|---|"]
    out += [f"| {k} | {v} |" for k, v in machine()]
    out += ["", "## Results", "",
            "Speed ratios are ops/s of the row over ops/s of the other implementation "
            "(higher is better); the W4 target is a cost ratio (lower is better). "
            "\"spread\" is half the range of the rounds around the median.", ""]
    tables = groups(rows)
    for w, title, rs in tables:
        out += [f"### {w}: {title}", ""] + table(rs) + [""]
        mine = [c for c in counts if c["workload"] == w and c["title"] == title]
        if mine:
            out += ["Instructions per operation (user space, callgrind; lower is better):", ""]
            out += count_table(mine) + [""]

    checks = [(r, c) for r in rows for c in r["checks"] if c["target"] != "-"]
    missed = [(r, c) for r, c in checks if c["met"] is False]
    unknown = [(r, c) for r, c in checks if c["met"] is None]
    total = len(checks) + len(counts)
    met = total - len(missed) - len(unknown) - sum(c["met"] is not True for c in counts)
    not_measured = len(unknown) + sum(c["met"] is None for c in counts)
    out += ["## Targets", "",
            f"{met} of {total} targets met"
            + (f", {not_measured} not measured" if not_measured else "") + ".", ""]
    for r, c in missed:
        out.append(f"- Missed: {r['workload']} {r['impl']}: {c['ratio']:.2f}x vs "
                   f"{c['vs']}, target {c['target']}.")
    for r, c in unknown:
        out.append(f"- Not measured: {r['workload']} {r['impl']} vs {c['vs']} "
                   f"(target {c['target']}).")
    for c in counts:
        if c["met"] is not True:
            verdict = "Missed" if c["met"] is False else "Not measured"
            out.append(f"- {verdict}: {c['workload']} instructions per op of {c['loop']} in "
                       f"{c['where']}: {fmt_count(c['per_op'])}, target "
                       f"{fmt_count(c['target'], '<= ')}.")
    if missed or unknown or any(c["met"] is not True for c in counts):
        out.append("")

    out += ["## Notes and profiles", "",
            "\"perf cpu-clock\" lines come from `perf record -e cpu-clock` of a separate "
            "run of that loop (set-up excluded): the CPU time per operation, kernel worker "
            "threads included, split by where the samples fell (the kernel, the `_uring` "
            "module, the interpreter, libc) and by the busiest symbols (the module's own "
            "symbols are stripped, so it counts as one). \"CPU per op ... a gap of\" lines "
            "set two such profiles side by side.", ""]
    for w, title, _ in tables:
        wn = [n["text"] for n in notes
              if n["workload"] == w and n.get("title", title) == title]
        if wn:
            out.append(f"**{w}: {title}**")
            out.append("")
            out += [f"- {t}" for t in wn]
            out.append("")
    return "\n".join(out)


COLOURS = {
    "module": "#d62728",   # the module, raw or through the driver
    "peers": "#9467bd",    # other Python io_uring / AIO bindings
    "C": "#7f7f7f",
    "python": "#1f77b4",
    "threads": "#ff7f0e",
    "async": "#2ca02c",
}


def family(impl: str) -> str:
    low = impl.lower()
    if low.startswith(("ring", "raw ring", "reference driver", "driver", "bare asyncio",
                       "kovra_uring", "read_files", "iread_files", "write_files",
                       "stat_files")):
        return "module"
    if low.startswith(("liburing package", "caio")):
        return "peers"
    if impl.startswith("C "):
        return "C"
    if "thread" in low:
        return "threads"
    if low.startswith(("aiofiles", "anyio", "trio.")):
        return "async"
    return "python"


def bar_label(r: dict) -> str:
    label = f" {r['ops_per_s']:,.0f}"
    if "lag_ms" in r:
        label += f"   lag p99 {r['lag_ms']['p99']:.1f} ms, max {r['lag_ms']['max']:.1f} ms"
    return label


def plot(rows: list[dict], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    tables = [(w, title, [r for r in rs if not r.get("derived") and r["ops_per_s"]], rs)
              for w, title, rs in groups(rows)]
    tables = [t for t in tables if t[2]]
    counts = [len(bars) for _, _, bars, _ in tables]
    fig, axes = plt.subplots(len(tables), 1,
                             figsize=(11, 0.8 + 0.32 * sum(counts) + 0.75 * len(tables)),
                             gridspec_kw={"height_ratios": [c + 1.2 for c in counts]})
    if len(tables) == 1:
        axes = [axes]
    for ax, (w, title, bars, rs) in zip(axes, tables):
        names = [r["impl"] for r in bars]
        vals = [r["ops_per_s"] for r in bars]
        ax.barh(range(len(bars)), vals, color=[COLOURS[family(n)] for n in names])
        ax.set_yticks(range(len(bars)), names, fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        # Rows without a rate (the idle loop's lag floor) go into the title.
        floor = [f"{r['impl'].split(' (')[0]}: lag p99 {r['lag_ms']['p99']:.2f} ms" for r in rs
                 if "lag_ms" in r and not r["ops_per_s"]]
        ax.set_title(f"{w}: {title}" + (f" ({'; '.join(floor)})" if floor else ""),
                     fontsize=9, loc="left")
        for i, r in enumerate(bars):
            ax.text(r["ops_per_s"], i, bar_label(r), va="center", fontsize=7)
        ax.set_xlim(min(vals) / 3, max(vals) * (30 if any("lag_ms" in r for r in bars) else 5))
        ax.grid(axis="x", which="major", alpha=0.3)
    axes[-1].set_xlabel("operations per second (log scale)")
    fig.legend(handles=[Patch(color=c, label=l) for l, c in [
        ("_uring (raw Ring / driver)", COLOURS["module"]),
        ("other bindings (liburing, caio)", COLOURS["peers"]),
        ("C liburing / syscalls", COLOURS["C"]),
        ("plain Python (os loop, built-in)", COLOURS["python"]),
        ("thread pool / to_thread", COLOURS["threads"]),
        ("aiofiles / anyio / trio", COLOURS["async"])]],
        loc="upper center", ncol=6, fontsize=7, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)


def main() -> None:
    results = Path(sys.argv[1])
    rows, notes, counts = load(results)
    if not rows:
        sys.exit(f"no results in {results}")
    (HERE / "RESULTS.md").write_text(markdown(rows, notes, counts))
    print(f"wrote {HERE / 'RESULTS.md'}")
    try:
        plot(rows, HERE / "results.png")
        print(f"wrote {HERE / 'results.png'}")
    except ImportError as e:
        print(f"no plot: {e}", file=sys.stderr)


if __name__ == "__main__":
    main()
