#!/usr/bin/env bash
# Installs the Debian packages that building and testing wavorbit needs.
# Run as root (or through sudo).  Extra groups: --windows, --package, --bench,
# --fuzz.
set -euo pipefail

packages=(cmake g++ pkg-config libsndfile1-dev libasound2-dev libgtest-dev
          pulseaudio libasound2-plugins)  # the last two: the killed-server test
for group in "$@"; do
  case "$group" in
    --windows) packages+=(g++-mingw-w64-x86-64 wine64 pulseaudio pulseaudio-utils python3) ;;
    --package) packages+=(dpkg-dev file mandoc man-db groff-base) ;;
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
