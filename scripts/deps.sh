#!/usr/bin/env bash
# Installs what building and testing nosaver needs, when it is missing.
# Debian 12; installs as root (through sudo when not root).
#
# The shipped 32-bit build runs under Debian's i386 Wine (wine32:i386, the
# machine's i386 architecture added for it), each of whose i386 programs
# qemu-i386 emulates (see scripts/wine32.sh). Debian 12's own qemu is far
# too slow for Wine; the static qemu-i386 of the Debian release's
# backports is fetched once per machine into the place wine32.sh names,
# without touching the machine's apt sources or binfmt_misc. It is written
# only where nothing is yet; a qemu-i386 already there is kept, and
# anything else there is refused before anything is installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

qemu=$(bash "$here/wine32.sh" --qemu)
fetch=1
if [ -e "$qemu" ] || [ -L "$qemu" ]; then
  bash "$here/wine32.sh" --qemu-version >/dev/null || {
    echo "deps.sh: leaves $qemu as it is; remove it or set NOSAVER_QEMU to another place" >&2
    exit 1
  }
  fetch=0
fi

packages=(
  cmake ninja-build g++ libgtest-dev python3 python3-pefile strip-nondeterminism osslsigncode openssl
  wixl msitools faketime python3-yaml python3-jsonschema python3-rfc3987
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386 xvfb xdotool locales-all
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The emulator. Fetched with a private package list, written to a new
# file beside its place and renamed only when it works, so a fetch that
# was cut off is started over.
if [ "$fetch" = 1 ]; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  # The archive the machine already uses for its release, not one named here.
  archive=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' |
            awk -v r="$codename" '$2 == r { print $1; exit }')
  [ -n "$archive" ] || { echo "deps.sh: no apt source for $codename" >&2; exit 1; }
  echo "fetching qemu-i386 from $codename-backports into $qemu (once per machine)"
  work=$(mktemp -d)
  new=""
  trap 'rm -rf "$work" ${new:+"$new"}' EXIT
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $codename-backports main" \
    > "$work/sources.list"
  apt=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
       -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)")
  apt-get "${apt[@]}" update >/dev/null
  (cd "$work" && apt-get "${apt[@]}" download "qemu-user/$codename-backports" >/dev/null)
  mkdir -p "$(dirname "$qemu")"
  new=$(mktemp "$(dirname "$qemu")/.qemu-i386.XXXXXX")
  dpkg-deb --fsys-tarfile "$work"/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 > "$new"
  chmod 755 "$new"
  "$new" --version | head -n 1
  mv -T "$new" "$qemu"
  new=""
fi
