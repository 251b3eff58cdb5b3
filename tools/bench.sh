#!/usr/bin/env bash
# Runs the benchmarks of bench/ and writes bench/RESULTS.md and bench/results.png.
#
#   tools/bench.sh            every workload (W1..W10), then the report
#   tools/bench.sh w1 w4      only those workloads, then the report
#   BENCH_QUICK=1 tools/bench.sh   tiny sizes: checks the scripts, figures meaningless
#
# Steps: best-effort install of the tools the benches use (liburing-dev for the
# C baseline, perf and valgrind for the profiles; each one is skipped when it
# cannot be had), build the C baseline into build/bench/, build the project
# wheel, set up .venv/bench (CPython 3.12, the wheel, bench/requirements.txt,
# and whichever of the optional peers of bench/requirements-peers.txt install),
# run the scripts, write the report.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/bench
VENV=.venv/bench
mkdir -p "$BUILD"

apt_install() {  # apt_install PACKAGE: true when it ends up installed
    command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ] || return 1
    if [ -z "${APT_UPDATED:-}" ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >/dev/null 2>&1
}

# -- tools -------------------------------------------------------------------
if [ ! -f /usr/include/liburing.h ]; then
    echo "== liburing.h missing: apt-get install liburing-dev"
    apt_install liburing-dev || echo "warning: liburing-dev not available: C baseline skipped" >&2
fi
if ! command -v perf >/dev/null 2>&1 || ! perf --version >/dev/null 2>&1; then
    echo "== perf missing: apt-get install linux-perf"
    apt_install linux-perf || echo "warning: perf not available: CPU-time splits skipped" >&2
fi
if ! command -v valgrind >/dev/null 2>&1; then
    echo "== valgrind missing: apt-get install valgrind"
    apt_install valgrind || echo "warning: valgrind not available: instruction counts skipped" >&2
fi

# -- C baseline --------------------------------------------------------------
rm -f "$BUILD/baseline"
if [ -f /usr/include/liburing.h ]; then
    gcc -O2 -Wall -o "$BUILD/baseline" bench/baseline.c -luring \
        || echo "warning: C baseline did not build: skipped" >&2
fi

# -- wheel and bench venv ----------------------------------------------------
tools/envs.sh wheel
py=$(tools/envs.sh pythons 2>/dev/null | awk '$1 == "3.12" { print $2 }')
if [ -z "$py" ]; then
    echo "error: the benches need CPython 3.12 (tools/envs.sh pythons)" >&2
    exit 1
fi
if [ ! -x "$VENV/bin/python" ]; then
    "$py" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
if ! cmp -s bench/requirements.txt "$VENV/.requirements" 2>/dev/null; then
    "$VENV/bin/python" -m pip install -q -r bench/requirements.txt
    cp bench/requirements.txt "$VENV/.requirements"
fi
# The peers one by one: any of them may lack a wheel for this machine. Until
# all are in, every run tries the missing ones again and says why they fail.
if ! cmp -s bench/requirements-peers.txt "$VENV/.peers" 2>/dev/null; then
    peers_ok=1
    while read -r req; do
        req=${req%%#*}; req=${req//[[:space:]]/}
        [ -n "$req" ] || continue
        if ! out=$("$VENV/bin/python" -m pip install -q "$req" 2>&1); then
            echo "warning: optional peer $req not installed, its W6 rows are skipped:" \
                "$( (grep -m1 -iE 'error|no matching' <<<"$out" || tail -n1 <<<"$out") | sed 's/ (from versions.*//')" >&2
            peers_ok=0
        fi
    done < bench/requirements-peers.txt
    if [ $peers_ok = 1 ]; then cp bench/requirements-peers.txt "$VENV/.peers"; fi
fi
"$VENV/bin/python" -m pip install -q --force-reinstall --no-deps dist/*.whl

# -- run ---------------------------------------------------------------------
scripts=()
if [ $# -eq 0 ]; then
    scripts=(bench/w1_*.py bench/w2_*.py bench/w3_*.py bench/w4_*.py bench/w5_*.py
             bench/w6_*.py bench/w7_*.py bench/w8_*.py bench/w9_*.py
             bench/w10_*.py)
else
    for w in "$@"; do scripts+=(bench/"${w,,}"_*.py); done
fi
export BENCH_RESULTS="$BUILD/results.jsonl"
rm -f "$BENCH_RESULTS"
failed=()
start=$SECONDS
for s in "${scripts[@]}"; do
    echo "== $s"
    # A stuck benchmark must not hold up the rest: 5 minutes each at most
    # (W8, six tables that take about 3 minutes on a busy machine: 8).
    limit=300
    case $s in *w8_*) limit=480 ;; esac
    if ! timeout $limit "$VENV/bin/python" "$s"; then
        echo "warning: $s failed" >&2
        failed+=("$s")
    fi
done
echo "== benchmarks took $((SECONDS - start)) s"
if [ -s "$BENCH_RESULTS" ]; then
    "$VENV/bin/python" bench/report.py "$BENCH_RESULTS"
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "error: failed: ${failed[*]}" >&2
    exit 1
fi
