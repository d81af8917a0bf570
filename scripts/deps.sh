#!/usr/bin/env bash
# Installs what building and testing nosaver needs, when it is missing.
# Debian 12; installs as root (through sudo when not root).
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 python3-pefile strip-nondeterminism
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 xvfb xdotool locales-all
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# No recommends: wine32 in particular, whose 32-bit loader cannot run here.
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
