#!/bin/sh
# Runs each fuzz target for SECONDS, starting from the seeds in
# tests/fuzz/corpus and keeping what it finds in BUILD_DIR/fuzz-work.
#
#     tests/fuzz/run.sh BUILD_DIR [SECONDS [TARGET...]]
#
# BUILD_DIR is a build configured with -DANNAPPLY_FUZZ=ON (and usually
# -DANNAPPLY_SANITIZE=ON). A crash, a failed check, a leak or a hang stops the
# run with status 1 and leaves the input that did it in BUILD_DIR/fuzz-work;
# rerun that input alone with BUILD_DIR/tests/fuzz/fuzz_TARGET FILE. The
# corpus grows across runs, so a long run can be resumed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-60}
shift
[ $# -eq 0 ] || shift
targets=${*:-header entries annfile}

work=$build/fuzz-work
status=0
for t in $targets; do
  mkdir -p "$work/$t" "$work/artifacts"
  log=$work/$t.log
  dict=
  [ -f "$here/$t.dict" ] && dict=-dict=$here/$t.dict
  # Absolute paths throughout: a target may change its working directory.
  if "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/$t-" $dict \
      "$work/$t" "$here/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: $runs executions in $seconds s, corpus $(ls "$work/$t" | wc -l) inputs, no failure"
  else
    echo "fuzz $t: FAILED; the tail of $log:"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
