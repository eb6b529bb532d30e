#!/usr/bin/env bash
# Installs what is missing, builds wavorbit and runs every test: the suite
# in a plain build, under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer; then the Windows build under Wine, the Debian
# package, and each fuzz target for 30 seconds on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test

jobs=$(nproc)
failed=()

suite() {  # suite NAME CMAKE-ARGS...
  local name=$1 dir=build-test-$1
  shift
  echo "=== $name"
  cmake -S . -B "$dir" -DWAVORBIT_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  if ! ctest --test-dir "$dir" --output-on-failure -j"$jobs" </dev/null; then
    failed+=("$name")
  fi
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

suite plain
suite asan-ubsan -DWAVORBIT_SANITIZE=address,undefined
suite tsan -DWAVORBIT_SANITIZE=thread

for extra in scripts/test-windows.sh scripts/test-package.sh scripts/test-fuzz.sh; do
  [ -f "$extra" ] || continue
  echo "=== $extra"
  bash "$extra" </dev/null || failed+=("$extra")
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test suites passed"
