#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS, starting from the
# committed seed corpus in fuzz/corpus/TARGET.  New inputs go to
# build-fuzz/corpus/TARGET, crashes to build-fuzz/artifacts/.
#   scripts/fuzz.sh SECONDS [TARGET...]     (targets: cmdline play)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -ne 0 ] || targets=(cmdline play)

dir=build-fuzz
CXX=clang++ cmake -S . -B "$dir" -DWAVORBIT_FUZZ=ON -DWAVORBIT_TESTS=ON \
  -DWAVORBIT_SANITIZE=address,undefined >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t" "$dir/artifacts"
  echo "=== fuzz $t for ${seconds}s"
  if ! "$dir/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" \
      "$dir/corpus/$t" "fuzz/corpus/$t" </dev/null; then
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $dir/artifacts/)"
  exit 1
fi
echo "fuzz: no findings"
