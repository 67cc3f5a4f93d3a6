#!/usr/bin/env bash
# Builds the benchmark programs optimised and runs them all.
# VOXBRIDGE_JOBS=N caps the build's parallel jobs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/jobs.sh"
"$root/scripts/deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOXBRIDGE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" "$@"
done
