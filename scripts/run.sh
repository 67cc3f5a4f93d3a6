#!/usr/bin/env bash
# Builds the server and runs it in the foreground with the simulated board,
# on the control port 20001 unless told otherwise (scripts/run.sh --port 20002).
# Ctrl-C stops it. VOXBRIDGE_JOBS=N caps the build's parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/jobs.sh"
"$root/scripts/deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOXBRIDGE_TESTS=OFF -DVOXBRIDGE_BENCH=OFF \
  -DVOXBRIDGE_BOARD=simulated >/dev/null
cmake --build "$build" -j "$jobs" --target voxbridge
exec "$build/main/voxbridge" "$@"
