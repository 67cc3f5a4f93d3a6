#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test. With --release first, builds optimised without sanitizers
# instead (timing that only an optimised build shows). Extra arguments go to
# ctest (for example -L runtime). VOXBRIDGE_JOBS=N caps the parallel jobs of
# the build and of the test run (default: one per processor).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/jobs.sh"
"$root/scripts/deps.sh"

if [ "${1:-}" = "--release" ]; then
  shift
  build="$root/build/release-tests"
  config=(-DCMAKE_BUILD_TYPE=Release -DVOXBRIDGE_SANITIZE=OFF)
else
  build="$root/build/asan"
  config=(-DCMAKE_BUILD_TYPE=Debug -DVOXBRIDGE_SANITIZE=ON)
fi
cmake -S "$root" -B "$build" "${config[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure -j "$jobs" "$@"
