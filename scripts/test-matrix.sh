#!/usr/bin/env bash
# Builds, installs and tests the package on every CPython from 3.7 to 3.13
# that pyenv has on this machine, each with the newest torch that PyPI serves
# for it (3.11: the local torch==2.13.0 file, as the README installs it).
# Prints one line per interpreter. Not part of CI.
#
#     bash scripts/test-matrix.sh            # every interpreter found
#     bash scripts/test-matrix.sh 3.7 3.12   # only these
#     bash scripts/test-matrix.sh --wheels dist [3.X ...]
#
# --wheels DIR tests the built wheels in DIR (scripts/build-wheels.sh)
# instead of building: per interpreter a fresh virtual environment that
# holds nothing but pip and sees the cached environment's torch through a
# .pth file, `pip install --no-index --find-links DIR vantorix` there (binary
# only, so no compiler is involved), then the tests. The build column then
# names the wheel installed.
#
# Everything slow lives in a cache folder, VTX_MATRIX_CACHE (default
# $HOME/.cache/vantorix-matrix), kept across runs:
#   wheels/          torch, numpy, pytest, mypy; only what is missing is downloaded
#   venvs/<version>/ one virtual environment per interpreter, torch included
#   logs/            build and test logs of the last run
# Each run rebuilds the package from scratch with `pip install .` (a real
# install, not editable) and runs tests/ from a copy outside the checkout, so
# the checkout's own vantorix/ cannot shadow the installed package.
set -uo pipefail
cd "$(dirname "$0")/.."
CHECKOUT=$(pwd)
CACHE=${VTX_MATRIX_CACHE:-$HOME/.cache/vantorix-matrix}
PYENV_VERSIONS=${PYENV_ROOT:-$HOME/.pyenv}/versions
WHEELS=$CACHE/wheels
TEST_WHEELS=
if [ "${1:-}" = --wheels ]; then
    TEST_WHEELS=$(realpath "$2") && shift 2 || exit 2
fi
mkdir -p "$WHEELS" "$CACHE/venvs" "$CACHE/logs"

# The torch pins below are exact; a machine-wide pip constraints file must
# not veto them.
export PIP_CONSTRAINT=/dev/null

torch_for() {
    case $1 in
        3.7) echo 1.13.1 ;;
        3.8) echo 2.4.1 ;;
        3.9) echo 2.8.0 ;;
        3.10) echo 2.14.1 ;;
        3.11) echo 2.13.0 ;;
        3.12 | 3.13) echo 2.15.0 ;;
    esac
}

# pip notes every configured index folder that lacks a package; drop those
# lines and keep the rest.
quiet_pip() {
    "$@" 2> >(grep -v "is ignored: it is neither" >&2)
}

# Installs the requirements from the wheel cache, downloading into it first
# only when the cache cannot satisfy them.
install_cached() {
    local python=$1
    shift
    quiet_pip "$python" -m pip install -q --no-index --find-links "$WHEELS" "$@" 2>/dev/null && return
    quiet_pip "$python" -m pip download -q -d "$WHEELS" "$@" &&
        quiet_pip "$python" -m pip install -q --no-index --find-links "$WHEELS" "$@"
}

# The newest patch release of each minor version asked for.
interpreters() {
    local minor
    for minor in "$@"; do
        ls -d "$PYENV_VERSIONS/$minor".* 2>/dev/null | grep -E '/3\.[0-9]+\.[0-9]+$' |
            sort -V | tail -n 1
    done
}

# Makes $fresh, a virtual environment of the interpreter of $py that sees
# $py's packages (torch among them) through a .pth file, and installs the
# wheel from $TEST_WHEELS there. Its own setuptools would shadow the torch
# environment's, so it keeps only pip. A vantorix that a source run left in
# $py's environment goes first: pip would take it for the one asked for.
# (The check runs isolated: the checkout's own vantorix/ must not answer.)
# Prints the wheel's file name.
install_wheel() {
    local base purelib
    base=$("$py" -c 'import sys; print("%s/bin/python%d.%d" % ((sys.base_prefix,) + sys.version_info[:2]))')
    purelib='import sysconfig; print(sysconfig.get_paths()["purelib"])'
    quiet_pip "$py" -m pip uninstall -q -y vantorix 2>/dev/null
    rm -rf "$fresh"
    "$base" -m venv "$fresh" &&
        "$py" -c "$purelib" >"$("$fresh/bin/python" -c "$purelib")/vantorix-matrix-torch.pth" &&
        quiet_pip "$fresh/bin/python" -m pip uninstall -q -y setuptools wheel 2>/dev/null
    quiet_pip "$fresh/bin/python" -m pip install --no-index --find-links "$TEST_WHEELS" \
        --only-binary :all: vantorix >&2 || return 1
    "$fresh/bin/python" -I -c 'import vantorix.blockwise_vantorix as m; print(m.__file__)' |
        grep "^$fresh/" >/dev/null || return 1
    find "$TEST_WHEELS" -name "vantorix-*-$("$fresh/bin/python" -c \
        'import sys; print("cp%d%d" % sys.version_info[:2])')-*.whl" -printf '%f\n'
}

# Counts of one pytest summary line, e.g. "3 failed, 430 passed, 1 skipped in 9s".
count_of() {
    grep -oE "[0-9]+ $1" <<<"$2" | grep -oE '^[0-9]+' || echo 0
}

status=0
tests_copy=$(mktemp -d)
trap 'rm -rf "$tests_copy"' EXIT
cp -r tests "$tests_copy/"
mkdir "$tests_copy/scripts" && cp scripts/alloc_sweep.py "$tests_copy/scripts/"
rm -rf "$tests_copy/tests/cpp"

if [ -n "$TEST_WHEELS" ]; then
    printf '%-9s %-8s %-15s %s\n' python torch wheel tests
else
    printf '%-9s %-8s %-15s %s\n' python torch build-warnings tests
fi
[ $# -gt 0 ] || set -- 3.7 3.8 3.9 3.10 3.11 3.12 3.13
for home in $(interpreters "$@"); do
    version=$(basename "$home")
    minor=${version%.*}
    torch=$(torch_for "$minor")
    venv=$CACHE/venvs/$version
    py=$venv/bin/python
    log=$CACHE/logs/$version

    if [ ! -x "$py" ]; then
        "$home/bin/python" -m venv "$venv" &&
            quiet_pip "$py" -m pip install -q --upgrade pip
    fi
    have=$("$py" -c "import torch; print(torch.__version__.split('+')[0])" 2>/dev/null)
    if [ "$have" != "$torch" ] && ! install_cached "$py" "torch==$torch" >"$log.setup" 2>&1; then
        printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "torch install failed: $log.setup"
        status=1
        continue
    fi

    "$py" -c "import numpy, pytest, mypy.stubtest" 2>/dev/null ||
        install_cached "$py" numpy pytest mypy >>"$log.setup" 2>&1

    if [ -n "$TEST_WHEELS" ]; then
        fresh=$CACHE/wheel-venvs/$(basename "$venv")
        if ! warnings=$(install_wheel 2>"$log.build"); then
            printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "wheel install failed: $log.build"
            status=1
            continue
        fi
        py=$fresh/bin/python
    else
        rm -rf "$CACHE/build/$version"
        if ! quiet_pip "$py" -m pip install -v --find-links "$WHEELS" \
                --config-settings=build-dir="$CACHE/build/$version" "$CHECKOUT" >"$log.build" 2>&1; then
            printf '%-9s %-8s %-15s %s\n' "$version" "$torch" - "build failed: $log.build"
            status=1
            continue
        fi
        warnings=$(grep -cE ': warning:|CMake Warning' "$log.build")
    fi

    (cd "$tests_copy" && "$py" -m pytest -q -p no:cacheprovider tests) >"$log.tests" 2>&1
    summary=$(tail -n 1 "$log.tests")
    passed=$(count_of passed "$summary")
    failed=$(($(count_of failed "$summary") + $(count_of error "$summary")))
    skipped=$(count_of skipped "$summary")
    result="$passed passed, $failed failed"
    [ "$skipped" = 0 ] || result="$result, $skipped skipped"
    [ "$passed" != 0 ] && [ "$failed" = 0 ] || status=1
    printf '%-9s %-8s %-15s %s\n' "$version" "$torch" "$warnings" "$result"
done
exit $status
