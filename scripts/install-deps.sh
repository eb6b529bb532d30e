#!/usr/bin/env bash
# Installs the Debian packages that building wavorbit needs, and with a
# group, what its tests, cross build, package, benchmark or fuzzers need.
# Run as root (or through sudo).  Groups: --test, --windows, --package,
# --bench, --fuzz, --pipewire.  The test groups bring PulseAudio, whose
# package replaces PipeWire's PulseAudio service: meant for build and test
# machines, not for a desktop that only wants to build and play.
#
# --pipewire (part of --test and --bench) brings the PipeWire daemon and
# WirePlumber for a private server under a temporary folder.  PipeWire's
# ALSA plugin comes from the pipewire-alsa package, which conflicts with
# PulseAudio and makes PipeWire the machine's ALSA default; so it is not
# installed but unpacked into $PIPEWIRE_ALSA_DIR, and the tests name the
# plugin there by its full path.
set -euo pipefail

PIPEWIRE_ALSA_DIR=/usr/local/lib/wavorbit-test/pipewire-alsa

packages=(cmake g++ pkg-config libsndfile1-dev libasound2-dev)
pipewire=no
for group in "$@"; do
  case "$group" in
    --test) packages+=(libgtest-dev pulseaudio pulseaudio-utils libasound2-plugins python3)
      pipewire=yes ;;
    --windows) packages+=(g++-mingw-w64-x86-64 wine64 pulseaudio pulseaudio-utils python3) ;;
    --package) packages+=(dpkg-dev file mandoc man-db groff-base lintian python3) ;;
    --bench) packages+=(pulseaudio pulseaudio-utils libasound2-plugins alsa-utils sox libsox-fmt-alsa mpv ffmpeg gnuplot-nox python3)
      pipewire=yes ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --pipewire) pipewire=yes ;;
    *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

[ $pipewire = yes ] && packages+=(pipewire-bin wireplumber)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
has_plugin() {
  [ -n "$(find "$PIPEWIRE_ALSA_DIR" -name libasound_module_pcm_pipewire.so 2>/dev/null)" ]
}
unpack=no
[ $pipewire = yes ] && ! has_plugin && unpack=yes
[ ${#missing[@]} -eq 0 ] && [ $unpack = no ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists yet: install and download need them.
$SUDO apt-get update -qq
[ ${#missing[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ $unpack = yes ]; then
  # The plugin must match the installed libpipewire: ask for that version.
  version=$(dpkg-query -W -f='${Version}' libpipewire-0.3-0)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # apt downloads as its own user where it can write.
  [ "$(id -u)" -ne 0 ] || chown _apt "$work" 2>/dev/null || true
  (cd "$work" && apt-get download -qq "pipewire-alsa=$version")
  $SUDO mkdir -p "$PIPEWIRE_ALSA_DIR"
  $SUDO dpkg-deb -x "$work"/pipewire-alsa_*.deb "$PIPEWIRE_ALSA_DIR"
  # Only the plugins: its ALSA configuration would make PipeWire the
  # default of whatever reads this folder's files.
  $SUDO rm -rf "$PIPEWIRE_ALSA_DIR/etc" "$PIPEWIRE_ALSA_DIR/usr/share"
  has_plugin || { echo "install-deps.sh: no PipeWire ALSA plugin in $PIPEWIRE_ALSA_DIR" >&2; exit 1; }
fi
