#!/usr/bin/env bash
# Builds wavorbit's Debian package and tries it on this machine
# (test/blackbox/package_test.py): lints the manual page, checks the
# install target and the package's contents, dependencies, copyright file
# and changelog, runs lintian on it, installs the package with dpkg, runs
# the installed program, renders its manual page, removes the package and
# checks nothing is left.  Ends with "N passed, N failed".
#
# Run as root on a Debian machine: it installs and removes the package
# "wavorbit" (one already installed is replaced, then removed).  Reads no
# standard input.  Build directory: $WAVORBIT_PACKAGE_BUILD, or
# build-package in the source tree.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${WAVORBIT_PACKAGE_BUILD:-$root/build-package}
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

step() { printf '== %s\n' "$*"; }
die() { printf 'test-package.sh: %s\n' "$*" >&2; exit 2; }
# logged LOG COMMAND...: runs COMMAND with its output in LOG, shown when
# it fails.
logged() {
  local log=$1
  shift
  "$@" </dev/null >"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
}

[ "$(id -u)" -eq 0 ] || die "must run as root (it installs a package)"

step "installing the packaging tools and Python"
"$root/scripts/install-deps.sh" --package </dev/null || die "installing the packages it needs failed"

step "building wavorbit and its package"
mkdir -p "$build"
logged "$build/configure.log" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DWAVORBIT_TESTS=OFF ||
  die "cmake configure failed"
logged "$build/build.log" cmake --build "$build" -j2 || die "build failed"
rm -f "$build"/wavorbit_*.deb
logged "$build/cpack.log" sh -c 'cd "$1" && cpack -G DEB' _ "$build" || die "cpack -G DEB failed"

exec /usr/bin/python3 -B "$root/test/blackbox/package_test.py" "$build" </dev/null
