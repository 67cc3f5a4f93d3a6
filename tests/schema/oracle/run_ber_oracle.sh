#!/usr/bin/env bash
# Cross-checks our BER output with Erlang's codec: OURS_BIN SEED ROUNDS prints
# "MODULE TYPE HEX" lines of random values, which Erlang's codec, compiled
# by the build into BEAM_DIR, must decode and encode again to the same
# octets. Exits 77 (skipped) when Erlang is missing; scripts/deps.sh
# installs it.
#   run_ber_oracle.sh WORKDIR SEED ROUNDS OURS_BIN BEAM_DIR
set -euo pipefail
work=$1 seed=$2 rounds=$3 ours=$4 beams=$5

if ! command -v escript >/dev/null || ! ls "$beams"/LGCP.beam >/dev/null 2>&1; then
  echo "skipped: Erlang's asn1 codec is missing (scripts/deps.sh installs erlang-asn1)"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
"$ours" "$seed" "$rounds" > "$work/ours.txt"
escript "$(dirname "$0")/ber_oracle.erl" "$beams" "$work/ours.txt"
