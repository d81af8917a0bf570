#!/usr/bin/env bash
# Builds the release package: build/package/nosaver-<version>-win32.zip
# and its .sha256 beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh win32
cpack --config build/win32/CPackConfig.cmake
