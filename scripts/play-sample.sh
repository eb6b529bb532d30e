#!/usr/bin/env bash
# Installs what is missing, builds wavorbit and plays the bundled sample
# until Return.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DWAVORBIT_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/wavorbit samples/orbit.wav
