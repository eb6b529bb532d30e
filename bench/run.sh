#!/usr/bin/env bash
# Benchmarks wavorbit against sox, mpv and ffplay, and the route's floor
# (aplay), through a private PulseAudio and a private PipeWire in turn;
# writes bench/results/benchmarks.md, bench/results/benchmarks.png and
# build-bench/benchmarks.txt.  Extra arguments go to bench/bench.py
# (--runs N, --seconds S, --routes pulse,pipewire, --quanta 512,1024).
# Takes about 15 minutes and 1 GB in $TMPDIR.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVORBIT_TESTS=OFF >/dev/null
cmake --build build-bench >/dev/null
exec /usr/bin/python3 bench/bench.py build-bench/wavorbit build-bench \
  --docs bench/results "$@"
