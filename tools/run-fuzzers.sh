#!/bin/sh
# Runs every fuzz target found in a fuzz build for a few seconds each; any crash fails the run.
set -eu
dir=${1:-build-fuzz}
secs=${2:-20}
found=0
for f in $(find "$dir" -type f -name 'fuzz_*' -perm -u+x | sort); do
  found=1
  corpus=$(mktemp -d)
  echo "fuzzing $(basename "$f") for ${secs}s"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 "$corpus" >"$corpus.log" 2>&1 || { tail -50 "$corpus.log"; exit 1; }
  rm -rf "$corpus" "$corpus.log"
done
[ "$found" = 1 ] || echo "no fuzz targets built"
