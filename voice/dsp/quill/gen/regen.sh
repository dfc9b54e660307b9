#!/bin/sh
# Regenerates quill_tables_gen.cpp: synthesise training speech, then train the pitch and LPC
# tables, rebuild, and train the envelope tables with the new LPC tables in place.
# Usage: regen.sh <build folder>   (a configured build of the whole tree)
set -e
build=${1:?build folder}
here=$(cd "$(dirname "$0")" && pwd)
speech=$(mktemp -d)
trap 'rm -rf "$speech"' EXIT
"$here/make_speech.sh" "$speech"
cmake --build "$build" --target quill_gen
gen=$(find "$build" -name quill_gen -type f | head -n 1)
"$gen" lpc "$here/../quill_tables_gen.cpp" "$speech"/train*.wav
cmake --build "$build" --target quill_gen
"$gen" env "$here/../quill_tables_gen.cpp" "$speech"/train*.wav
cmake --build "$build" --target tessaly_quill
