#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs every test: C++ unit tests
# through ctest, then the behaviour tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/ctest --test-dir build/dev --output-on-failure
.venv/bin/python -m pytest tests "$@"
