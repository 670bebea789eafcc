#!/usr/bin/env bash
# `make test`: the plain, the ASan + UBSan and the TSan suites. The trees are built one after another, and
# each tree's suite runs while the next tree compiles (a suite mostly waits on its servers and children, a
# build keeps both cores busy), so only the last suite runs alone. A suite's output goes to
# <tree>/suite.log and is printed whole when the suite ends; a summary line per suite closes the run, and
# the exit status is non-zero when any build or suite failed.
#   tools/test_suites.sh <jobs> <tree>:<make target that builds it>:<environment of its ctest>...
set -uo pipefail

jobs=$1
shift
failed=0
summary=()

run_suite() {
  local tree=$1 environment=$2
  # shellcheck disable=SC2086 # the environment is a list of NAME=value words
  env $environment ctest --test-dir "$tree" --output-on-failure -j "$jobs" >"$tree/suite.log" 2>&1
}

# Waits for the suite of tree running as pid, prints its output and notes its result.
finish_suite() {
  local tree=$1 pid=$2 status=0
  wait "$pid" || status=$?
  echo "==== the suite of $tree/ ===="
  cat "$tree/suite.log"
  local result
  result=$(grep -E '^[0-9]+% tests passed' "$tree/suite.log" || echo "no result")
  summary+=("$tree/: $result")
  if [[ $status -ne 0 ]]; then
    failed=1
    summary[-1]+=" (FAILED, status $status)"
  fi
}

previous_tree=""
previous_pid=""
for tree_entry in "$@"; do
  IFS=: read -r tree target environment <<<"$tree_entry"
  built=1
  make --no-print-directory "$target" || built=0
  if [[ -n "$previous_pid" ]]; then
    finish_suite "$previous_tree" "$previous_pid"
    previous_pid=""
  fi
  if [[ $built -eq 0 ]]; then
    failed=1
    summary+=("$tree/: the build FAILED")
    continue
  fi
  run_suite "$tree" "$environment" &
  previous_tree=$tree
  previous_pid=$!
done
if [[ -n "$previous_pid" ]]; then
  finish_suite "$previous_tree" "$previous_pid"
fi

echo "==== make test ===="
printf '%s\n' "${summary[@]}"
exit $failed
