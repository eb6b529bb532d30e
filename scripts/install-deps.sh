#!/usr/bin/env bash
# Installs the Debian packages that building wavorbit needs, and with a
# group, what its tests, cross build, package, benchmark or fuzzers need.
# Run as root (or through sudo).  Groups: --test, --windows, --package,
# --bench, --fuzz.  The test groups bring PulseAudio, whose package replaces
# PipeWire's PulseAudio service: meant for build and test machines, not for
# a desktop that only wants to build and play.
set -euo pipefail

packages=(cmake g++ pkg-config libsndfile1-dev libasound2-dev)
for group in "$@"; do
  case "$group" in
    --test) packages+=(libgtest-dev pulseaudio libasound2-plugins) ;;
    --windows) packages+=(g++-mingw-w64-x86-64 wine64 pulseaudio pulseaudio-utils python3 unzip) ;;
    --package) packages+=(dpkg-dev file mandoc man-db groff-base lintian) ;;
    --bench) packages+=(pulseaudio pulseaudio-utils libasound2-plugins alsa-utils sox libsox-fmt-alsa mpv ffmpeg gnuplot-nox python3) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
