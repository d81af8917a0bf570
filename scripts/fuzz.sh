#!/usr/bin/env bash
# Runs the fuzz targets of tests/fuzz, each for a while.
#
#   bash scripts/fuzz.sh [--no-build] [SECONDS] [TARGET...]
#
# SECONDS per target, a whole number from 1 to 999999999 (default 300);
# TARGETs among trace exename match close (default all). Each run starts from the seed corpus in
# tests/fuzz/corpus/TARGET, copied to build/fuzz/work/TARGET, where the new
# inputs go: the repository's corpus is never written. An input that makes
# a target fail is kept in build/fuzz/failures/. --no-build skips building
# the fuzz preset (the tests use it after building).
set -euo pipefail
cd "$(dirname "$0")/.."

all=(trace exename match close)
usage() {
  echo "usage: bash scripts/fuzz.sh [--no-build] [SECONDS] [TARGET...]"
  echo "  SECONDS per target: a whole number from 1 to 999999999 (default 300)"
  echo "  TARGET: ${all[*]} (default all)"
}
refuse() {
  echo "fuzz.sh: $1" >&2
  usage >&2
  exit 2
}
case "${1:-}" in -h|--help) usage; exit 0 ;; esac

build=1
if [ "${1:-}" = "--no-build" ]; then
  build=0
  shift
fi
seconds=300
if [[ ${1:-} =~ ^[1-9][0-9]{0,8}$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
for target in "${targets[@]}"; do
  case " ${all[*]} " in
    *" $target "*) ;;
    *) if [[ $target =~ ^[-+0-9.]+$ ]]; then
         refuse "SECONDS, given once before the targets, must be a whole number from 1 to 999999999, not '$target'"
       fi
       refuse "unknown target '$target'" ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
[ "$build" = 0 ] || bash scripts/build.sh fuzz >/dev/null

out=build/fuzz
mkdir -p "$out/failures"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
status=0
for target in "${targets[@]}"; do
  case "$target" in
    trace) max_len=4200 ;;
    *) max_len=2048 ;;
  esac
  work="$out/work/$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp tests/fuzz/corpus/"$target"/* "$work"/
  log="$out/$target.log"
  if "$out/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/failures/$target-" \
      "$work" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: passed, $runs inputs executed in $seconds s, corpus $(ls "$work" | wc -l) inputs"
  else
    tail -n 40 "$log"
    echo "fuzz $target: FAILED (log $log; the input is in $out/failures/)"
    status=1
  fi
done
exit $status
