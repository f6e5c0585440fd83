#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs every test: C++ unit tests
# through ctest, then the behaviour tests through pytest.
#
#     bash scripts/test.sh               # everything
#     bash scripts/test.sh -q -x ARGS    # ARGS go to pytest
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/ctest --test-dir build/dev --output-on-failure
.venv/bin/python -m pytest tests "$@"
