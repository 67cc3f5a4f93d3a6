#!/usr/bin/env bash
# The cap on the scripts' parallel jobs: scripts/jobs.sh given VOXBRIDGE_JOBS.
jobs_sh="$1"
fail=0
check() { # value ("-": unset), the jobs or the exit status it gives
  got="$(if [ "$1" = - ]; then unset VOXBRIDGE_JOBS; else VOXBRIDGE_JOBS="$1"; fi; . "$jobs_sh" 2>/dev/null; echo "$jobs")" ||
    got="exit $?"
  [ "$got" = "$2" ] || { echo "VOXBRIDGE_JOBS='$1': '$got', not '$2'"; fail=1; }
}
check - "$(nproc)"; check "" "$(nproc)"; check 2 2; check 16 16
for bad in 0 -1 x 2x " 2" 02; do check "$bad" "exit 2"; done
exit $fail
