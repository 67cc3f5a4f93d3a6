#!/usr/bin/env bash
# Builds the server and runs it in the foreground with the simulated board.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOXBRIDGE_TESTS=OFF -DVOXBRIDGE_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
if [ ! -x "$build/server/voxbridge" ]; then
  echo "The voxbridge server program is not built yet: only the runtime library exists so far." >&2
  exit 1
fi
exec "$build/server/voxbridge" "$@"
