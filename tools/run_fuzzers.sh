#!/usr/bin/env bash
# Runs libFuzzer targets built in a fuzz build directory, each for a bounded time, starting from the seed
# corpus under fuzz/corpus/<target>/ and growing a working corpus in the build directory. Prints one
# summary line per target; exits non-zero when a target found a crash, and says how to reproduce it.
#   tools/run_fuzzers.sh <fuzz-build-dir> <seconds-per-target> <target>...
set -uo pipefail

build=$1
seconds=$2
shift 2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
failed=0

printf '%-16s %12s %8s %s\n' target executions seconds result
for target in "$@"; do
  binary="$build/bin/${target}_fuzz"
  corpus="$build/fuzz-corpus/$target"
  crashes="$build/fuzz-crashes/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$corpus" "$source_dir/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  if [[ $status -eq 0 ]]; then
    result=ok
  else
    failed=1
    crash=$(ls -t "$crashes" 2>/dev/null | head -1)
    result="FAILED (log $log)"
    [[ -n "$crash" ]] && result="FAILED: reproduce with $binary $crashes/$crash"
  fi
  printf '%-16s %12s %8s %s\n' "$target" "${executions:-?}" "${elapsed:-?}" "$result"
done
exit $failed
