#!/usr/bin/env bash
# Finds the CPython 3.12 and 3.13 interpreters, builds the abi3 wheel once with
# the first of them and installs that same wheel, plus the pinned test
# requirements, into one virtual environment per interpreter under .venv/.
#
#   tools/envs.sh pythons        print "VERSION PATH" for each interpreter found
#   tools/envs.sh wheel          build dist/*.whl (skipped when up to date)
#   tools/envs.sh install        wheel + venvs + requirements; prints the venvs
#   tools/envs.sh venv_for NAME PY   .venv/NAME from interpreter PY, with requirements
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local v=$1 p
    if command -v pyenv >/dev/null 2>&1 && p=$(pyenv prefix "$v" 2>/dev/null) \
        && [ -x "$p/bin/python3" ]; then
        echo "$p/bin/python3"; return 0
    fi
    if p=$(command -v "python$v" 2>/dev/null); then echo "$p"; return 0; fi
    return 1
}

pythons() {
    local found=0 v p
    for v in 3.12 3.13; do
        if p=$(find_python "$v"); then echo "$v $p"; found=1
        else echo "warning: no CPython $v found (pyenv prefix $v, python$v on PATH)" >&2
        fi
    done
    if [ $found = 0 ]; then
        echo "error: no CPython >= 3.12 found: install 3.12 or 3.13 (pyenv install 3.12) or put python3.12/python3.13 on PATH" >&2
        exit 1
    fi
}

venv_for() {  # venv_for NAME PYTHON -> .venv/NAME with the test requirements
    local v=$1 py=$2 dir=.venv/$1
    if [ ! -x "$dir/bin/python" ]; then
        "$py" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    if ! cmp -s requirements-test.txt "$dir/.requirements" 2>/dev/null; then
        "$dir/bin/python" -m pip install -q -r requirements-test.txt
        cp requirements-test.txt "$dir/.requirements"
    fi
}

wheel() {
    # One build at a time: concurrent runs would share the build directory.
    mkdir -p build
    exec 9>build/.wheel.lock
    flock 9
    local first py
    first=$(pythons | sed -n 1p); py=${first#* }
    local stamp=dist/.stamp
    if [ -f "$stamp" ] && ls dist/*.whl >/dev/null 2>&1 && \
        [ -z "$(find src CMakeLists.txt pyproject.toml -newer "$stamp" -print -quit)" ]; then
        return 0
    fi
    venv_for "${first%% *}" "$py"
    rm -rf dist && mkdir -p dist
    ".venv/${first%% *}/bin/python" -m pip wheel -q --no-deps -w dist . >&2
    touch "$stamp"
}

install() {
    wheel
    local whl; whl=$(ls dist/*.whl)
    case "$whl" in *cp312-abi3*) ;; *) echo "error: $whl is not a cp312-abi3 wheel" >&2; exit 1;; esac
    pythons | while read -r v py; do
        venv_for "$v" "$py"
        ".venv/$v/bin/python" -m pip install -q --force-reinstall --no-deps "$whl" >&2
        echo ".venv/$v"
    done
}

"$@"
