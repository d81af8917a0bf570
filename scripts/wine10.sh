#!/usr/bin/env bash
# Runs a command inside the Debian-unstable root that holds Wine 10, whose
# WoW64 mode runs 32-bit Windows programs on a host without 32-bit Linux
# support:
#
#   wine10.sh COMMAND [ARG...]    e.g. wine10.sh wine --version
#   wine10.sh --root              prints where the root lives
#
# "wine" and "wineserver" name Wine's own loader and server. The root is
# entered in a private mount namespace, so no mount outlives the command:
# /proc, /dev, /tmp (the X display and wineserver sockets) and the folders
# in NOSAVER_WINE10_BINDS (colon-separated, the current folder by default)
# appear inside at the same paths. The root is NOSAVER_WINE10_ROOT, or
# /var/lib/nosaver/wine10 for root and ~/.cache/nosaver/wine10 for others.
set -euo pipefail

if [ -n "${NOSAVER_WINE10_ROOT:-}" ]; then
  root=$NOSAVER_WINE10_ROOT
elif [ "$(id -u)" -eq 0 ]; then
  root=/var/lib/nosaver/wine10
else
  root=${XDG_CACHE_HOME:-$HOME/.cache}/nosaver/wine10
fi
if [ "${1:-}" = "--root" ]; then
  echo "$root"
  exit 0
fi
[ $# -gt 0 ] || { echo "usage: wine10.sh COMMAND [ARG...] | --root" >&2; exit 2; }
[ -d "$root/usr/lib/x86_64-linux-gnu/wine" ] || {
  echo "wine10.sh: no Wine 10 root at $root; scripts/deps.sh makes it" >&2; exit 2; }

case "$1" in
  wine) set -- /usr/lib/x86_64-linux-gnu/wine/wine "${@:2}" ;;
  wineserver) set -- /usr/lib/x86_64-linux-gnu/wine/wineserver "${@:2}" ;;
esac

user_ns=()
[ "$(id -u)" -eq 0 ] || user_ns=(--map-root-user)
binds=${NOSAVER_WINE10_BINDS:-$PWD}
# --kill-child: a command that is stopped takes what runs inside with it.
exec unshare "${user_ns[@]}" --mount --propagation private --fork --kill-child -- \
  /bin/sh -c '
root=$1; binds=$2; shift 2
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /tmp "$root/tmp"
IFS=:
for dir in $binds; do
  [ -d "$dir" ] || continue
  mkdir -p "$root$dir"
  mount --rbind "$dir" "$root$dir"
done
here=$PWD
cd "$root$here" 2>/dev/null || here=/
exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$here" "$@"
' wine10 "$root" "$binds" "$@"
