#!/usr/bin/env bash
# Runs the whole test suite many times under load, in a plain and a
# ThreadSanitizer build, and names every test that ever failed.  A test that
# depends on timing fails here sooner or later; run this before every change
# that touches tests or timing.  Not part of CI, which runs the suite once.
#   bash scripts/flake-check.sh [PLAIN_RUNS] [TSAN_RUNS]    (10 and 5)
set -euo pipefail
cd "$(dirname "$0")/.."
plain_runs=${1:-10}
tsan_runs=${2:-5}
bash scripts/install-deps.sh --test

# As scripts/test.sh runs the suite.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

build() {  # build DIR CMAKE-ARGS...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DWAVORBIT_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j2 >/dev/null
}

echo "=== building"
build build-flake-plain
build build-flake-tsan -DWAVORBIT_SANITIZE=thread

# A busy process on one core for the whole run, the load a shared machine
# or a parallel build puts beside the tests.
busy_pid=
stop_busy() {
  if [ -n "$busy_pid" ]; then
    kill "$busy_pid" 2>/dev/null || true
    wait "$busy_pid" 2>/dev/null || true
    busy_pid=
  fi
}
trap stop_busy EXIT
trap 'exit 130' INT TERM
bash -c 'while :; do :; done' &
busy_pid=$!

failed_tests=()
summary=()
repeat() {  # repeat NAME DIR RUNS
  local name=$1 dir=$2 runs=$3 log=$2/flake-check.log
  echo "=== $name: up to $runs runs of every test, under load"
  local status=0
  ctest --test-dir "$dir" -j2 --repeat until-fail:"$runs" --output-on-failure \
    </dev/null 2>&1 | tee "$log" || status=$?
  # ctest ends with the tests that failed, one a line, after a heading:
  #   The following tests FAILED:
  #            12 - Suite.Name (Failed)
  local names
  names=$(awk '/^The following tests FAILED:/ { listing = 1; next }
               listing && $2 == "-" { print $3 }' "$log" | sort -u)
  if [ "$status" -ne 0 ] || [ -n "$names" ]; then
    summary+=("$name: FAILED")
    while read -r t; do
      [ -n "$t" ] && failed_tests+=("$name: $t")
    done <<<"$names"
    [ -n "$names" ] || failed_tests+=("$name: ctest status $status, no test named")
  else
    summary+=("$name: every test passed $runs runs")
  fi
}

repeat plain build-flake-plain "$plain_runs"
repeat tsan build-flake-tsan "$tsan_runs"
stop_busy

echo "=== flake check"
printf '%s\n' "${summary[@]}"
if [ ${#failed_tests[@]} -ne 0 ]; then
  echo "tests that failed:"
  printf '  %s\n' "${failed_tests[@]}"
  exit 1
fi
echo "no test failed"
