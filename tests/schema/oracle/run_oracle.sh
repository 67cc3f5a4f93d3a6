#!/usr/bin/env bash
# Cross-checks our PER codec and Erlang's on seeded random control and
# monitoring messages, byte for byte, both ways.
#   run_oracle.sh SCHEMA_ORACLE ESCRIPT ORACLE_ERL ERLANG_DIR SEED MIN WORKDIR
set -euo pipefail
ours_bin=$1 escript=$2 oracle=$3 dir=$4 seed=$5 min=$6 work=$7
mkdir -p "$work"

# Our encodings must decode and re-encode identically in Erlang.
"$ours_bin" generate "$seed" "$min" > "$work/ours.txt"
"$escript" "$oracle" "$dir" check "$work/ours.txt"

# Erlang's encodings must decode and re-encode identically in ours.
"$escript" "$oracle" "$dir" generate "$seed" "$min" "$work/theirs.txt"
"$ours_bin" check "$work/theirs.txt"
