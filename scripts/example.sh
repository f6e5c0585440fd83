#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs the main job: converting an
# example network end to end, with its progress messages.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/convert_transformer.py
