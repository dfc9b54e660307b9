#!/bin/sh
# Runs every fuzz target found in a fuzz build for a few seconds each, starting from a seed corpus of
# valid inputs: those tools/fuzz_seeds.py writes and those kept in the source tree
# (<folder>/tests/corpus/<target>). Any crash fails the run.
set -eu
dir=${1:-build-fuzz}
secs=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
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
  fi
  for kept in $(find "$src" -path "*/tests/corpus/$name" -type d -not -path "$src/build*"); do
    cp "$kept"/* "$corpus"/ 2>/dev/null || true
  done
  [ -n "$(ls "$corpus")" ] || echo "no seeds for $name"
  echo "fuzzing $name for ${secs}s from $(ls "$corpus" | wc -l) seeds"
  # Each target runs in a folder of its own: what a target writes (a library's log) stays out of the tree.
  work=$(mktemp -d)
  abs=$(cd "$(dirname "$f")" && pwd)/$name
  (cd "$work" && "$abs" -max_total_time="$secs" -rss_limit_mb=2048 "$corpus") >"$corpus.log" 2>&1 || { tail -50 "$corpus.log"; exit 1; }
  rm -rf "$corpus" "$corpus.log" "$work"
done
[ "$found" = 1 ] || echo "no fuzz targets built"
