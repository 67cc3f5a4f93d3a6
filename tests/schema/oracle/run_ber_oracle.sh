#!/usr/bin/env bash
# Cross-checks our BER output with Erlang's codec: OURS_BIN SEED ROUNDS prints
# "MODULE TYPE HEX" lines of random values, which Erlang's codec, compiled
# from the module files (in import order), must decode and encode again to
# the same octets. Exits 77 (skipped) when Erlang's compiler is missing;
# scripts/deps.sh installs it.
#   run_ber_oracle.sh WORKDIR SEED ROUNDS OURS_BIN MODULE_FILE...
set -euo pipefail
work=$1 seed=$2 rounds=$3 ours=$4
shift 4

for tool in erlc escript; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is missing (scripts/deps.sh installs erlang-asn1)"
    exit 77
  fi
done

rm -rf "$work"
mkdir -p "$work"
for module in "$@"; do
  (cd "$work" && erlc -bber -I "$work" "$module")
done
"$ours" "$seed" "$rounds" > "$work/ours.txt"
escript "$(dirname "$0")/ber_oracle.erl" "$work" "$work/ours.txt"
