#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan-wheel/ (separate build tree), installs it into .venv/asan next to
# the test requirements, and runs the whole pytest suite against it.
#
#   tools/sanitize.sh [pytest args...]
#
# The interpreter itself is not instrumented, so the runtime (with the C++
# runtime) is preloaded; child processes inherit that (the fault-injection
# tests append their shim after it). PYTHONMALLOC=malloc gives every Python
# object its own heap block, so an access past a bytes object's buffer is
# caught too. Leak detection is off because CPython does not free everything
# at exit. Any report aborts the process, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
export URING_WERROR=${URING_WERROR:-ON}

venvs=$(tools/envs.sh install)  # whole output: `| head` would cut it off mid-write
base=${venvs%%$'\n'*}
venv=.venv/asan
tools/envs.sh venv_for asan "$base/bin/python"

rm -rf build/asan-wheel
echo "== building the module with ASan+UBSan" >&2
URING_SANITIZE=ON "$venv/bin/python" -m pip wheel -q --no-deps -w build/asan-wheel . \
    -Cbuild-dir=build/asan >&2
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps build/asan-wheel/*.whl

libasan=$(gcc -print-file-name=libasan.so)
[ -e "$libasan" ] || { echo "error: libasan not found (gcc -print-file-name=libasan.so)" >&2; exit 1; }
# The C++ runtime too: ASan looks up the real __cxa_throw when it starts, and
# the interpreter alone has none, so the module's first throw (an internal
# failure on its way to PanicException) would abort the process.
libstdcxx=$(g++ -print-file-name=libstdc++.so)
[ -e "$libstdcxx" ] || { echo "error: libstdc++ not found (g++ -print-file-name=libstdc++.so)" >&2; exit 1; }

echo "== pytest under ASan+UBSan on $("$venv/bin/python" -VV | head -1)"
export URING_SANITIZED=1 PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
LD_PRELOAD="$libasan $libstdcxx" "$venv/bin/python" -m pytest -q "$@"
