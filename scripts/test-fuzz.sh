#!/usr/bin/env bash
# CI's fuzzing step: every fuzz target for 30 seconds on the committed
# seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test --fuzz
bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
