#!/usr/bin/env bash
# Builds everything and prints nosaver's footprint and speed figures.
# Arguments go to bench.py (--seconds S, --runs N).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh win32 win64 host >/dev/null
exec bash scripts/python.sh bench/bench.py "$@"
