#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it (not part of the test run).
# Usage: scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]
#   TARGET: asn1_per (the PER and BER decoders), ini_file (the configuration reader)
#           or q931_trace (the D-channel frame decoder of the traces)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:-asn1_per}"
seconds="${2:-60}"
shift $(( $# < 2 ? $# : 2 ))
"$root/scripts/deps.sh"
build="$root/build/fuzz"
CXX=clang++-14 CC=clang-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DVOXBRIDGE_FUZZ=ON -DVOXBRIDGE_BENCH=OFF >/dev/null
cmake --build "$build" -j 3 --target "${target}_fuzz"
mkdir -p "$build/corpus/$target"
"$build/tests/${target}_fuzz" "$build/corpus/$target" -max_total_time="$seconds" "$@"
