#!/usr/bin/env bash
# Installs what building and testing nosaver needs, when it is missing.
# Debian 12; installs as root (through sudo when not root).
#
# It also makes, once per machine, the Debian-unstable root in which Wine 10
# runs the shipped 32-bit build (see scripts/wine10.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  cmake ninja-build g++ libgtest-dev python3 python3-pefile strip-nondeterminism
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 xvfb xdotool locales-all mmdebstrap
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $sudo apt-get update -q
  # No recommends: wine32 in particular, whose 32-bit loader cannot run here.
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The Wine 10 root. Made in ROOT.partial and renamed when complete, so a
# making that was cut off leaves no ROOT and is started over next time.
root=$(bash "$here/wine10.sh" --root)
if [ ! -x "$root/usr/lib/x86_64-linux-gnu/wine/wine" ]; then
  echo "making the Wine 10 root in $root (once per machine, about a minute, 2 GB)"
  mode=root
  [ "$(id -u)" -eq 0 ] || mode=unshare
  rm -rf "$root.partial"
  mkdir -p "$(dirname "$root")"
  # The unstable index these machines reach is older than its validity window.
  mmdebstrap --mode="$mode" --variant=apt --quiet \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include=wine64,libwine,locales-all \
    sid "$root.partial"
  rm -rf "$root"
  mv "$root.partial" "$root"
fi
