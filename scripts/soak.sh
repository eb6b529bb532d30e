#!/usr/bin/env bash
# A day of looping: plays a 10 ms WAV through ALSA's file plugin over a
# null device, unpaced, until HOURS of audio (default 24) have gone
# through, while soak_check verifies every byte of the stream as it comes
# (every seam, sample for sample) without keeping it.  Every SAMPLE
# seconds (default 10) it records the player's resident memory, open
# descriptors and threads; at the end it requires an exact stream, flat
# memory and no descriptor or thread gained.
#   scripts/soak.sh [HOURS]        SOAK_MAX_SECONDS=N stops it early;
#                                  WAVORBIT_SANITIZE=address,undefined (or
#                                  thread) builds both programs with them
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:-24}
sample=${SOAK_SAMPLE_SECONDS:-10}
max_seconds=${SOAK_MAX_SECONDS:-0}

bash scripts/install-deps.sh
build=build-soak${WAVORBIT_SANITIZE:+-${WAVORBIT_SANITIZE//,/-}}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DWAVORBIT_TESTS=OFF -DWAVORBIT_SOAK=ON \
  ${WAVORBIT_SANITIZE:+-DWAVORBIT_SANITIZE=$WAVORBIT_SANITIZE} >/dev/null
cmake --build "$build" -j"$(nproc)" --target wavorbit soak_check >/dev/null

work=$(mktemp -d /tmp/wavorbit-soak-XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$build/soak_check" make "$work/tune.wav"
period=1764  # bytes in one turn: 441 frames of 16-bit stereo
target=$(awk -v h="$hours" 'BEGIN { printf "%.0f", h * 3600 * 44100 * 4 }')
mkfifo "$work/stdin"

ALSA_CONFIG_PATH="$PWD/test/alsa-file-route.conf" \
  WAVORBIT_TEST_SINK="|$PWD/$build/soak_check check $work/tune.wav $work/status" \
  "$build/wavorbit" "$work/tune.wav" \
  <"$work/stdin" >"$work/stdout" 2>"$work/stderr" &
pid=$!
exec 3>"$work/stdin"
start=$(date +%s.%N)
samples=$build/soak-samples.tsv
printf 'seconds\taudio_hours\trss_kb\thwm_kb\tfds\tthreads\tcpu_s\n' >"$samples"
tick=$(getconf CLK_TCK)
stopped_early=no

bytes_done() { [ -f "$work/status" ] && cut -d' ' -f1 "$work/status" || echo 0; }
while :; do
  sleep "$sample"
  kill -0 "$pid" 2>/dev/null || { echo "soak: wavorbit ended on its own"; break; }
  now=$(date +%s.%N)
  bytes=$(bytes_done)
  rss=$(awk '/^VmRSS:/ { print $2 }' /proc/$pid/status)
  hwm=$(awk '/^VmHWM:/ { print $2 }' /proc/$pid/status)
  fds=$(ls /proc/$pid/fd | wc -l)
  threads=$(ls /proc/$pid/task | wc -l)
  cpu=$(awk -v t="$tick" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / t }' /proc/$pid/stat)
  elapsed=$(awk -v a="$start" -v b="$now" 'BEGIN { printf "%.0f", b - a }')
  audio=$(awk -v b="$bytes" 'BEGIN { printf "%.3f", b / (3600 * 44100 * 4) }')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$elapsed" "$audio" "$rss" "$hwm" "$fds" "$threads" "$cpu" >>"$samples"
  echo "soak: ${elapsed}s: ${audio} h of audio, rss ${rss} kB, fds $fds, threads $threads, cpu ${cpu}s"
  [ "$bytes" -ge "$target" ] && break
  if [ "$max_seconds" -gt 0 ] && [ "$elapsed" -ge "$max_seconds" ]; then
    stopped_early=yes
    break
  fi
done

echo >&3
exec 3>&-
status=0
wait "$pid" || status=$?
pid=
for _ in $(seq 100); do  # the checker reports once its input ends
  pgrep -f "soak_check check $work/" >/dev/null || break
  sleep 0.1
done
read -r bytes mismatch <"$work/status"
end=$(date +%s.%N)

failed=()
[ "$status" -eq 0 ] || failed+=("exit status $status")
[ ! -s "$work/stderr" ] || failed+=("standard error: $(head -c 200 "$work/stderr")")
[ "$mismatch" = -1 ] || failed+=("stream differs at byte $mismatch (turn $((mismatch / period)))")
[ "$stopped_early" = yes ] || [ "$bytes" -ge "$target" ] || failed+=("only $bytes of $target bytes")
# After the first sample the player's figures must not move: resident
# memory within 64 kB, the same descriptors and threads.
read -r rss_growth fd_change thread_change < <(awk -F'\t' 'NR == 2 { r = $3; f = $5; t = $6 }
  NR > 2 { if ($3 - r > g) g = $3 - r; if ($5 != f) fc = 1; if ($6 != t) tc = 1 }
  END { print g + 0, fc + 0, tc + 0 }' "$samples")
[ "$rss_growth" -le 64 ] || failed+=("resident memory grew by $rss_growth kB")
[ "$fd_change" -eq 0 ] || failed+=("open descriptors changed")
[ "$thread_change" -eq 0 ] || failed+=("threads changed")

awk -v b="$bytes" -v p="$period" -v s="$start" -v e="$end" 'BEGIN {
  h = b / (3600 * 44100 * 4)
  printf "soak: %.3f h of audio (%.0f bytes, %.0f seams) in %.0f s, %.0fx real time\n", h, b, b / p, e - s, h * 3600 / (e - s) }'
echo "soak: samples in $samples; resident memory growth after the first sample ${rss_growth} kB"
[ "$stopped_early" = no ] || echo "soak: stopped early after ${max_seconds}s (SOAK_MAX_SECONDS): not a full ${hours} h"
if [ ${#failed[@]} -ne 0 ]; then
  printf 'soak: FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "soak: passed: every seam exact, memory flat, no descriptor or thread leaked"
