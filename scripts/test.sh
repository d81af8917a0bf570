#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
bash scripts/build.sh win32 win64 host
ctest --preset host -j2 "$@"
echo "all tests passed in $(( $(date +%s) - start )) s"
