#!/usr/bin/env bash
# Runs Debian's i386 Wine on a host that runs no 32-bit x86 code itself:
# every i386 program of it is run by qemu-i386, a CPU emulator in user
# mode.
#
#   wine32.sh wine [ARG...]       the i386 loader, e.g. wine32.sh wine --version
#   wine32.sh wineserver [ARG...] the server (the host's own x86-64 one)
#   wine32.sh --qemu              prints where the emulator lives
#   wine32.sh --qemu-version      prints its version, or why it is none
#
# i386 executables reach the emulator through a binfmt_misc instance of
# the command's own: a private user and mount namespace mounts one and
# registers qemu-i386 there, and it ends with the last process of the
# command (Linux 6.7 or later). The machine's binfmt_misc is never touched.
#
# The server is the native x86-64 one of the same Wine, outside any
# namespace: an emulated server cannot trace its clients, so that reading
# another process's memory (GetModuleFileNameExW) would fail. It makes a
# 32-bit prefix because WINEARCH says so.
#
# The emulator is NOSAVER_QEMU, or /var/lib/nosaver/qemu-i386 for root and
# ~/.cache/nosaver/qemu-i386 for others; scripts/deps.sh puts it there.
# Whatever it names must be an absolute path to a qemu-i386, as its
# --version says.
set -euo pipefail

if [ -n "${NOSAVER_QEMU:-}" ]; then
  qemu=$NOSAVER_QEMU
elif [ "$(id -u)" -eq 0 ]; then
  qemu=/var/lib/nosaver/qemu-i386
else
  qemu=${XDG_CACHE_HOME:-$HOME/.cache}/nosaver/qemu-i386
fi

case $qemu in
  /*) ;;
  *) echo "wine32.sh: NOSAVER_QEMU must be an absolute path, not $qemu" >&2; exit 2 ;;
esac

# The emulator's version line; fails saying why there is none.
qemu_version() {
  if [ ! -e "$qemu" ]; then
    echo "wine32.sh: no emulator at $qemu; scripts/deps.sh puts it there" >&2
    return 2
  fi
  local out=""
  if [ -f "$qemu" ] && [ -x "$qemu" ]; then
    out=$(timeout 10 "$qemu" --version 2>/dev/null) || true
  fi
  case ${out%%$'\n'*} in
    "qemu-i386 version "*) echo "${out%%$'\n'*}" ;;
    *) echo "wine32.sh: $qemu is not a qemu-i386 (its --version does not say so)" >&2; return 2 ;;
  esac
}

export WINEARCH=win32 WINESERVER=/usr/lib/wine/wineserver64
case "${1:-}" in
  --qemu) echo "$qemu"; exit 0 ;;
  --qemu-version) if qemu_version; then exit 0; else exit 2; fi ;;
  wineserver) exec "$WINESERVER" "${@:2}" ;;
  wine) ;;
  *) echo "usage: wine32.sh wine|wineserver [ARG...] | --qemu | --qemu-version" >&2; exit 2 ;;
esac
qemu_version >/dev/null || exit 2
[ -x /usr/lib/wine/wine ] || { echo "wine32.sh: no i386 Wine (wine32:i386); scripts/deps.sh installs it" >&2; exit 2; }

# The usual i386 ELF magic and mask: class 32-bit, little-endian, an
# executable or a shared object, machine 3. F: the emulator is opened now,
# so that it is found whatever the emulated program's view of the files.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Registering takes the namespace's root, to whom its binfmt_misc belongs;
# the loader then runs in a namespace nested in it with the user's own ids
# back, so that it finds the server of its user, and the nested namespace
# uses the binfmt_misc of the one around it. --kill-child: a command that
# is stopped takes its loader with it.
exec unshare --user --map-root-user --mount --propagation private --fork --kill-child -- \
  /bin/sh -c '
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
  echo "wine32.sh: this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 or later does)" >&2
  exit 2; }
printf "%s" "$1" > /proc/sys/fs/binfmt_misc/register || exit 2
uid=$2 gid=$3
shift 3
exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"' wine32 \
  ":qemu-i386:M::$magic:$mask:$qemu:F" "$(id -u)" "$(id -g)" /usr/lib/wine/wine "${@:2}"
