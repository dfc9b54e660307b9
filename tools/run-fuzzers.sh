#!/bin/sh
# Runs every fuzz target found in a fuzz build for a few seconds each, starting from a seed corpus
# of valid inputs (tools/fuzz_seeds.py); any crash fails the run.
set -eu
dir=${1:-build-fuzz}
secs=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
python3 "$here/fuzz_seeds.py" "$seeds"
found=0
for f in $(find "$dir" -type f -name 'fuzz_*' -perm -u+x | sort); do
  found=1
  name=$(basename "$f")
  corpus=$(mktemp -d)
  if [ -d "$seeds/$name" ]; then
    cp "$seeds/$name"/* "$corpus"/
  else
    echo "no seeds for $name"
  fi
  echo "fuzzing $name for ${secs}s from $(ls "$corpus" | wc -l) seeds"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 "$corpus" >"$corpus.log" 2>&1 || { tail -50 "$corpus.log"; exit 1; }
  rm -rf "$corpus" "$corpus.log"
done
[ "$found" = 1 ] || echo "no fuzz targets built"
