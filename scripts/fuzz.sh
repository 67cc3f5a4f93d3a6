#!/usr/bin/env bash
# Fuzzes the configuration reader with libFuzzer (needs clang). Not part of
# the default test run. Arguments go to the fuzzer, e.g. -max_total_time=60.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/fuzz"
cxx="${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}"
mkdir -p "$out/corpus"
"$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" \
    "$root/tests/fuzz/ini_file_fuzz.cpp" "$root/runtime/ini_file.cpp" "$root/runtime/paths.cpp" \
    -o "$out/ini_file_fuzz"
if [ "$#" -eq 0 ]; then
    set -- -max_total_time=30
fi
cd "$out"
./ini_file_fuzz corpus "$@"
