#!/usr/bin/env bash
# In-place development build: the extension lands in vantorix/, the C++ unit
# tests in build/dev. Needs the environment of scripts/setup.sh.
#
#     bash scripts/build.sh                          # after each change
#     VTX_CMAKE_ARGS=-DVTX_ASAN=ON bash scripts/build.sh   # with AddressSanitizer
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
VENV_BIN=$(pwd)/.venv/bin
"$VENV_BIN/cmake" -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DPython3_EXECUTABLE="$VENV_BIN/python" ${VTX_CMAKE_ARGS:-} >/dev/null
"$VENV_BIN/cmake" --build build/dev
