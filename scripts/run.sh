#!/usr/bin/env bash
# Installs what is missing, builds, and runs the shipped nosaver.exe under
# Wine in the foreground, printing each trace line as it arrives, as a
# Chinese Windows (ANSI code page 936) shows it; `run.sh 1252` shows them
# as a Western European one does. Ctrl-C stops it with "nosaver close".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh win32 win64
# Debian's own python3, which has pefile.
exec /usr/bin/python3 scripts/live.py build/run "$@"
