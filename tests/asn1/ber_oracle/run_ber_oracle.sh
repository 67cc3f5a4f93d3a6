#!/usr/bin/env bash
# Cross-checks our BER codec with Erlang's on seeded random values of the
# sample types, octet for octet, both ways. Exits 77 (skipped) when Erlang's
# compiler is missing; scripts/deps.sh installs it.
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

# Our encodings must decode, within their constraints, and re-encode
# identically in Erlang.
"$ours" generate "$seed" "$rounds" > "$work/ours.txt"
escript "$src/ber_oracle.erl" "$work" check "$work/ours.txt"

# Erlang's encodings must decode and re-encode identically in ours.
escript "$src/ber_oracle.erl" "$work" generate "$seed" "$rounds" "$work/theirs.txt"
"$ours" check "$work/theirs.txt"
