#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs the main job: converting an
# example network end to end, with its progress messages.
#
#     bash scripts/example.sh
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0" && exit 0 ;; esac
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/convert_transformer.py
