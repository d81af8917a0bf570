#!/usr/bin/env bash
# Builds the given presets (default: all three) after installing what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(win32 win64 host)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
