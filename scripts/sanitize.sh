#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (build dir build/sanitize, extension in a copy of the package there, so the
# development build in vantorix/ stays as it is) and runs the whole test
# suite against it, with the sanitizer runtimes preloaded into the
# uninstrumented interpreter and PYTHONMALLOC=malloc so that ASan sees every
# Python allocation. Leak detection is off for the suite: torch and numpy
# keep allocations alive at exit. Arguments go to pytest.
#
#   bash scripts/sanitize.sh                 # the whole suite
#   SWEEP=1 bash scripts/sanitize.sh         # then the full allocation sweep
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VENV_BIN=$ROOT/.venv/bin
BUILD=$ROOT/build/sanitize
PACKAGE=$BUILD/package

mkdir -p "$PACKAGE/vantorix"
cp vantorix/*.py vantorix/*.pyi vantorix/py.typed "$PACKAGE/vantorix/"
"$VENV_BIN/cmake" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DPython3_EXECUTABLE="$VENV_BIN/python" -DVTX_BUILD_TESTS=OFF \
    -DVTX_ASAN=ON -DVTX_UBSAN=ON -DVTX_OUTPUT_DIR="$PACKAGE/vantorix" >/dev/null
"$VENV_BIN/cmake" --build "$BUILD"

CXX=${CXX:-g++}
export LD_PRELOAD="$($CXX -print-file-name=libasan.so) $($CXX -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1
# From inside the copy, `import vantorix` finds the sanitized build first.
cd "$PACKAGE"
"$VENV_BIN/python" -m pytest "$ROOT/tests" -p no:cacheprovider -q "$@"
if [ "${SWEEP:-0}" = 1 ]; then
    PYTHONPATH=$PACKAGE "$VENV_BIN/python" "$ROOT/scripts/alloc_sweep.py"
fi
