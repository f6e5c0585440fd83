#!/usr/bin/env bash
# In-place development build: the extension lands in vantorix/, the C++ unit
# tests in build/dev. Needs the environment of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV_BIN=$(pwd)/.venv/bin
"$VENV_BIN/cmake" -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DPython3_EXECUTABLE="$VENV_BIN/python" ${VTX_CMAKE_ARGS:-} >/dev/null
"$VENV_BIN/cmake" --build build/dev
