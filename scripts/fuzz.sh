#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs the PER decoder target.
# Arguments: seconds to run (default 60), then extra libFuzzer options.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
seconds="${1:-60}"
shift || true
build="$root/build/fuzz"
CXX=clang++-14 CC=clang-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DVOXBRIDGE_FUZZ=ON -DVOXBRIDGE_BENCH=OFF >/dev/null
cmake --build "$build" -j 3 --target asn1_per_fuzz
mkdir -p "$build/corpus/asn1_per"
"$build/tests/asn1_per_fuzz" "$build/corpus/asn1_per" -max_total_time="$seconds" "$@"
