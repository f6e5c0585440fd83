#!/usr/bin/env bash
# Sets up a development environment from a fresh clone: a virtual environment
# in .venv with torch (pinned: any other request pulls a multi-GB CUDA build),
# numpy, pytest, mypy (for the stub check), safetensors (for the checkpoint
# tests; not a runtime requirement) and the build tools, GoogleTest
# from Debian, and an in-place build of the extension into vantorix/.
# Run again, it installs only what is missing and rebuilds what changed.
#
#     bash scripts/setup.sh
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3.11}
if [ ! -x .venv/bin/python ]; then
    "$PYTHON" -m venv .venv
fi
VENV_PY=.venv/bin/python

# pip notes every configured index folder that lacks a package; keep quiet
# about those and show everything else.
pip_install() {
    "$VENV_PY" -m pip install -q "$@" 2> >(grep -v "is ignored: it is neither" >&2)
}

# torch first, pinned, before anything that could ask for it.
pip_install torch==2.13.0
pip_install numpy pytest scikit-build-core cmake ninja mypy safetensors

if ! [ -e /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
    else
        sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev >/dev/null
    fi
fi

bash scripts/build.sh
