# Sourced by the build scripts: the number of parallel jobs of a build or
# test run, VOXBRIDGE_JOBS when set (a machine shared with other builds),
# else one per processor.
jobs="${VOXBRIDGE_JOBS:-$(nproc)}"
case "$jobs" in
  '' | *[!0-9]* | 0*)
    echo "VOXBRIDGE_JOBS must be a whole number from 1 up, not '$jobs'" >&2
    exit 2
    ;;
esac
