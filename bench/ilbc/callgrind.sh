#!/bin/sh
# Instructions per iLBC frame (encode, decode, concealment) measured under callgrind.

# Instruction counts are stable across machines and runs, unlike wall time. The quality program's
# --count mode calls one entry point a fixed number of times on speech-like frames; callgrind collects
# only inside that entry point.
# Usage: bench/ilbc/callgrind.sh <build dir>
set -eu
build=${1:-build}
prog="$build/bench/ilbc/bench_ilbc_quality"
n=200
for mode in 20 30; do
  for op in encode decode conceal; do
    case $op in
      encode) fn='Ilbc_Encode(*' ;;
      decode) fn='Ilbc_Decode(*' ;;
      conceal) fn='Ilbc_DecodePlc(*' ;;
    esac
    out=$(mktemp /tmp/callgrind.ilbc.XXXXXX)
    valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect="$fn" \
      "$prog" --count "$op" "$mode" "$n" >/dev/null 2>&1
    total=$(awk '/^totals:/ { print $2 }' "$out")
    awk -v t="$total" -v n="$n" -v op="$op" -v m="$mode" 'BEGIN { printf "%-8s %2d ms: %9.0f instructions per frame\n", op, m, t / n }'
    rm -f "$out"
  done
done
