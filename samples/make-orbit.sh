#!/usr/bin/env bash
# Makes samples/orbit.wav: one second of four plucked notes, 22,050 Hz,
# 16-bit mono, fading to silence before each seam.  Needs sox.
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
for f in 220 330 277 440; do
  i=$((i + 1))
  sox -n -r 22050 -c 1 -b 16 "$tmp/n$i.wav" synth 0.25 pluck $f fade q 0.005 0.25 0.08 gain -6
done
sox "$tmp"/n1.wav "$tmp"/n2.wav "$tmp"/n3.wav "$tmp"/n4.wav "$(dirname "$0")/orbit.wav"
