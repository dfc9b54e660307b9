#!/bin/sh
# Runs every fuzz target found in a fuzz build for a few seconds each; any crash fails the run. A target
# starts from its seed corpus when the source tree has one (<folder>/tests/corpus/<target>).
set -eu
dir=${1:-build-fuzz}
secs=${2:-20}
src=$(cd "$(dirname "$0")/.." && pwd)
found=0
for f in $(find "$dir" -type f -name 'fuzz_*' -perm -u+x | sort); do
  found=1
  name=$(basename "$f")
  corpus=$(mktemp -d)
  for seeds in $(find "$src" -path "*/tests/corpus/$name" -type d -not -path "$src/build*"); do
    cp "$seeds"/* "$corpus"/ 2>/dev/null || true
  done
  echo "fuzzing $name for ${secs}s"
  "$f" -max_total_time="$secs" -rss_limit_mb=2048 "$corpus" >"$corpus.log" 2>&1 || { tail -50 "$corpus.log"; exit 1; }
  rm -rf "$corpus" "$corpus.log"
done
[ "$found" = 1 ] || echo "no fuzz targets built"
