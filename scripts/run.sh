#!/usr/bin/env bash
# Installs what is missing, builds, and runs nosaver under Wine in the
# foreground, printing each trace line as it arrives. Ctrl-C stops it with
# its own "close" command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh win64
exec python3 scripts/live.py build/run build/win64
