#!/bin/sh
# Runs what the system can do so far against the local test services.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
echo "Tessaly: no program window yet; running the built subsystems' self-checks."
ctest --test-dir "$build" -L demo --output-on-failure || true
