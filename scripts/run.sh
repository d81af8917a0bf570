#!/usr/bin/env bash
# Installs what is missing, builds, and runs the shipped nosaver.exe under
# Debian's i386 Wine, emulated by qemu-i386 (scripts/wine32.sh), in the
# foreground, printing each trace line as it arrives (scripts/live.py).
set -euo pipefail
cd "$(dirname "$0")/.."

# The ANSI code pages the trace can be shown in, and the locale from which
# Wine takes each.
declare -A locales=([936]=zh_CN.UTF-8 [950]=zh_TW.UTF-8 [932]=ja_JP.UTF-8 [949]=ko_KR.UTF-8
                    [1250]=pl_PL.UTF-8 [1251]=ru_RU.UTF-8 [1252]=en_US.UTF-8)
usage() {
  cat <<END
usage: bash scripts/run.sh [CODEPAGE]

Installs what is missing, builds, and runs the shipped nosaver.exe under the
emulated 32-bit Wine in build/run, printing its trace as it arrives, as a
Windows with the ANSI code page CODEPAGE shows it. Ctrl-C, SIGTERM or the
end of the terminal stops it with "nosaver close". One run at a time per
checkout.

CODEPAGE: $(printf '%s\n' "${!locales[@]}" | sort -n | paste -sd' ') (936, Chinese, by default)
END
}
refuse() {
  echo "run.sh: $1" >&2
  usage >&2
  exit 2
}
codepage=936
case $# in
  0) ;;
  1) case $1 in -h|--help) usage; exit 0 ;; esac
     codepage=$1 ;;
  *) refuse "one code page at most, not $#: $*" ;;
esac
[[ $codepage =~ ^[0-9]+$ ]] && [ -n "${locales[$codepage]:-}" ] || refuse "unknown code page '$codepage'"

bash scripts/build.sh win32
exec bash scripts/python.sh scripts/live.py build/run "$codepage" "${locales[$codepage]}"
