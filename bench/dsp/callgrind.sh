#!/bin/sh
# Instruction counts per 10-ms frame of the dsp routines, measured by running the benchmarks under callgrind.

# Each benchmark iteration calls its routine once on one 10-ms frame; instruction counts are stable
# across machines and runs, unlike wall time.
# Usage: bench/dsp/callgrind.sh <build dir> [benchmark filter regex]
set -eu
build=${1:-build}
filter=${2:-.}
out=$(mktemp /tmp/callgrind.dsp.XXXXXX)
valgrind --tool=callgrind --callgrind-out-file="$out" \
  "$build/bench/dsp/bench_dsp" --benchmark_filter="$filter" --benchmark_min_time=0.01 >/dev/null 2>&1
# Each routine called straight from a benchmark: inclusive instructions and call count.
callgrind_annotate --auto=no --inclusive=yes --tree=caller "$out" | awk '
  /^ *[0-9,]+ .*< .*dsp_bench\.cpp:.*\(([0-9,]+)x\)/ {
    v = $1; gsub(",", "", v); ir += v
    match($0, /\(([0-9,]+)x\)/); c = substr($0, RSTART + 1, RLENGTH - 3); gsub(",", "", c); calls += c
    next }
  /\* / && calls > 0 {
    name = $0; sub(/^[^:]*:/, "", name); sub(/\(.*/, "", name)
    if (name ~ /^(G711_|Cng_|Resample_|Spl_)/)
      printf "%-26s %9.0f instructions per call (%d calls)\n", name, ir / calls, calls }
  !/^ *[0-9,]+ .*< / { ir = 0; calls = 0 }'
rm -f "$out"
