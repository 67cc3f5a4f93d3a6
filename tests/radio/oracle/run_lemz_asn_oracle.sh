#!/usr/bin/env bash
# Our PER encodings of the LEMZ radio reports must decode and encode again
# identically in Erlang's codec.
#   run_lemz_asn_oracle.sh LEMZ_ASN_ORACLE ESCRIPT ORACLE_ERL ERLANG_DIR WORKDIR
set -euo pipefail
ours=$1 escript=$2 oracle=$3 dir=$4 work=$5
mkdir -p "$work"
"$ours" > "$work/lemz_reports.txt"
"$escript" "$oracle" "$dir" check "$work/lemz_reports.txt"
