#!/usr/bin/env bash
# Cross-builds wavorbit.exe and its zip with MinGW-w64 and CPack, then runs
# them under Wine as a black box (test/blackbox/windows_test.py): the
# version resource and manifest as Windows reads them, the zip's contents,
# texts and statuses byte for byte, console failures, the wait for the line
# end, and the looped sound reaching a private PulseAudio null sink sample
# for sample.  Headless, needs no standard input, cleans up its own
# wineserver and sound server.  Ends with "N passed, N failed".
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${WAVORBIT_WINDOWS_BUILD:-$root/build-windows}

step() { printf '== %s\n' "$*"; }
die() { printf 'test-windows.sh: %s\n' "$*" >&2; exit 1; }

step "installing the cross compiler, Wine, PulseAudio and Python"
bash "$root/scripts/install-deps.sh" --windows </dev/null || die "install failed"

step "cross-building wavorbit.exe, its zip and the resource reader"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null </dev/null \
  || die "cmake configure failed"
cmake --build "$build" -j2 </dev/null || die "build failed"
[ -f "$build/wavorbit.exe" ] || die "no $build/wavorbit.exe"
(cd "$build" && cpack -G ZIP </dev/null >/dev/null) || die "cpack -G ZIP failed"
x86_64-w64-mingw32-g++ -std=c++17 -O2 -static -o "$build/version_info.exe" \
  "$root/test/version_info.cpp" -lversion </dev/null || die "building test/version_info.cpp failed"

exec /usr/bin/python3 -B "$root/test/blackbox/windows_test.py" "$build" </dev/null
