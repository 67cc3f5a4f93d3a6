#!/usr/bin/env bash
# Cross-checks our BER output with Erlang's codec on seeded random values of
# the sample types. Exits 77 (skipped) when Erlang's compiler is missing;
# scripts/deps.sh installs it.
#   run_ber_oracle.sh OURS_BIN SOURCE_DIR SEED ROUNDS WORKDIR
set -euo pipefail
ours=$1 src=$2 seed=$3 rounds=$4 work=$5

for tool in erlc escript; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is missing (scripts/deps.sh installs erlang-asn1)"
    exit 77
  fi
done

rm -rf "$work"
mkdir -p "$work"
erlc -bber -o "$work" "$src/Sample.asn"
"$ours" "$seed" "$rounds" > "$work/ours.txt"
escript "$src/ber_oracle.erl" "$work" "$work/ours.txt"
