#!/usr/bin/env bash
# Installs what is missing, builds, and runs the shipped nosaver.exe under
# Debian's i386 Wine, emulated by qemu-i386 (scripts/wine32.sh), in the
# foreground, printing each trace line as it arrives, as a
# Chinese Windows (ANSI code page 936) shows it; `run.sh 1252` shows them
# as a Western European one does. Ctrl-C stops it with "nosaver close".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh win32
# Debian's own python3, which has pefile.
exec /usr/bin/python3 scripts/live.py build/run "$@"
