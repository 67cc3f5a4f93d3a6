#!/usr/bin/env bash
# Every MON frame that the server sent to the stand-in agents of the
# end-to-end test must decode and re-encode identically in Erlang's PER codec.
#   run_mon_oracle.sh E2E_TESTS ESCRIPT ORACLE_ERL ERLANG_DIR WORKDIR
set -euo pipefail
tests=$1 escript=$2 oracle=$3 dir=$4 work=$5
mkdir -p "$work"
rm -f "$work/frames.txt"
VB_MON_FRAMES="$work/frames.txt" "$tests" --gtest_filter='MonitoringE2E.*'
test -s "$work/frames.txt"
echo "frames: $(wc -l < "$work/frames.txt")"
"$escript" "$oracle" "$dir" check "$work/frames.txt"
