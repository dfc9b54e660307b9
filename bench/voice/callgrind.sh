#!/bin/sh
# Instruction counts per 10-ms block of the engine's stages, by channel count, measured under callgrind.
# Usage: bench/voice/callgrind.sh <build dir> [blocks]
set -eu
build=${1:-build}
blocks=${2:-200}
prog="$build/bench/voice/voice_bench_blocks"
run() {
  out=$(mktemp /tmp/callgrind.voice.XXXXXX)
  valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out" "$prog" "$1" "$2" "$blocks" >/dev/null 2>&1
  total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ { v = $1; gsub(",", "", v); print v; exit }')
  rm -f "$out"
  printf "%-8s %2s channel(s): %10.0f instructions per 10-ms block\n" "$1" "$2" "$((total / blocks))"
}
run capture 1
for n in 1 4 16; do run send "$n"; done
for n in 1 4 16; do run mix "$n"; done
for n in 1 4 16; do run jitter "$n"; done
