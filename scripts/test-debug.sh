#!/usr/bin/env bash
# Builds the extension against a debug interpreter (Py_DEBUG: reference
# counts and the C API contract checked at every call) and runs the whole
# suite under that interpreter: Debian's python3.11-dbg on this machine
# (installed with apt when missing), python3.14d and python3.15d in the
# Debian unstable chroot of scripts/chroot-sid.sh. Needs root. Not part of CI.
#
#     bash scripts/test-debug.sh             # 3.11, 3.14 and 3.15
#     bash scripts/test-debug.sh 3.11        # only this one
#
# Per interpreter it prints the build's warnings, the reference-count symbol
# that proves a debug build, and the tests' result. A debug build defines
# Py_DEBUG in its own pyconfig.h, and the built module then refers to the
# interpreter's reference total: _Py_RefTotal up to 3.11, from 3.12 on
# a function that adds to it (_Py_IncRefTotal, _Py_INCREF_IncRefTotal);
# without that symbol the run fails. Debian's debug interpreters load release-built
# extension modules, so the packages (torch with its pin from
# scripts/test-matrix.sh, numpy, pytest, mypy) come from a release venv of
# the same Debian build, which the debug venv reads through a .pth file.
# Builds go to build/debug-<version>, logs to the matrix cache's logs/
# (<version>d.build, .tests).
set -uo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# shellcheck source=scripts/matrix-lib.sh
source scripts/matrix-lib.sh

status=0
printf '%-10s %-8s %-15s %-23s %s\n' python torch build-warnings refcount-symbol tests
[ $# -gt 0 ] || set -- 3.11 3.14 3.15
for minor in "$@"; do
    torch=$(torch_for "$minor")
    if [ "$minor" = 3.11 ]; then
        # Debian's own, not whatever python3.11 comes first on PATH
        where=host interpreter=/usr/bin/python$minor
        [ -x /usr/bin/python3.11-dbg ] ||
            { apt-get update -qq && apt-get install -y -qq python3.11-dbg python3.11-venv; } >/dev/null
        cmake_tools=("cmake" "ninja")
    else
        where=sid interpreter=python$minor
        sid_setup >"$CACHE/logs/chroot-sid.setup" 2>&1 || {
            echo "$minor: no chroot, see $CACHE/logs/chroot-sid.setup"
            status=1
            continue
        }
        cmake_tools=()
    fi
    version=$(on "$interpreter" -c 'import platform; print(platform.python_version())')
    release=$CACHE/venvs/$where-$version
    [ "$where" = host ] && release=$CACHE/venvs/debian-$version
    debug=${release}d
    log=$CACHE/logs/${version}d
    build=$ROOT/build/debug-$version
    package=$build/package

    # The release venv holds the packages; the debug venv reads them.
    { [ -x "$release/bin/python" ] || on "$interpreter" -m venv "$release"; } &&
        install_cached "$release/bin/python" "torch==$torch" numpy pytest mypy \
            "${cmake_tools[@]}" >"$log.setup" 2>&1 &&
        layered_venv "${interpreter}d" "$debug" "$release/bin/python" || {
        echo "$version: setup failed, see $log.setup"
        status=1
        continue
    }
    link_duplicates
    [ "$where" = host ] && PATH=$release/bin:$PATH

    mkdir -p "$package/vantorix"
    cp vantorix/*.py vantorix/*.pyi vantorix/py.typed "$package/vantorix/"
    rm -f "$package"/vantorix/*.so
    { on cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVTX_PY_DEBUG=ON \
        -DPython3_EXECUTABLE="$debug/bin/python" -DVTX_BUILD_TESTS=OFF \
        -DVTX_OUTPUT_DIR="$package/vantorix" && on cmake --build "$build"; } >"$log.build" 2>&1
    module=$(ls "$package"/vantorix/*.so 2>/dev/null)
    if [ -z "$module" ]; then
        echo "$version: build failed, see $log.build"
        status=1
        continue
    fi
    warnings=$(grep -cE ': warning:|CMake Warning' "$log.build")
    symbol=$(on nm -D "$module" | grep -oE ' U _Py_(RefTotal|\w*IncRefTotal)$' | awk 'NR == 1 {print $2}')
    if [ -z "$symbol" ]; then
        printf '%-10s %-8s %-15s %-23s %s\n' "${version}d" "$torch" "$warnings" - \
            "not a debug build: $module"
        status=1
        continue
    fi

    # torch's distributed stack imports triton, and `import triton` alone,
    # with neither torch nor this module, crashes Debian's 3.14 and 3.15
    # debug interpreters; the large-model tests stay out there.
    skip=()
    [ "$where" = sid ] && skip=(--ignore "$ROOT/tests/test_large_models.py")
    # From inside the copy, `import vantorix` finds the debug build first.
    (cd "$package" && on "$debug/bin/python" -m pytest "$ROOT/tests" "${skip[@]}" -q -p no:cacheprovider) \
        >"$log.tests" 2>&1
    result=$(test_result "$log.tests") || status=1
    [ "$warnings" = 0 ] || status=1
    printf '%-10s %-8s %-15s %-23s %s\n' "${version}d" "$torch" "$warnings" "$symbol" "$result"
done
exit $status
