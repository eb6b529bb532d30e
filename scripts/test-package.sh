#!/usr/bin/env bash
# Builds wavorbit's Debian package and tries it on this machine: lints the
# manual page, checks the install target and the package's contents,
# dependencies, copyright file and changelog, runs lintian on it, installs
# the package with dpkg, runs the installed program, renders its manual
# page, removes the package and checks nothing is left.
#
# Run as root on a Debian machine: it installs and removes the package
# "wavorbit" (one already installed is replaced, then removed).  Reads no
# standard input.  Build directory: $WAVORBIT_PACKAGE_BUILD, or
# build-package in the source tree.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${WAVORBIT_PACKAGE_BUILD:-$root/build-package}
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

if [ "$(id -u)" -ne 0 ]; then
  echo "test-package.sh: must run as root (it installs a package)" >&2
  exit 2
fi

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1${2:+: $2}"; }
# check NAME COMMAND...: one check, passed when COMMAND succeeds.
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
skip() { skipped=$((skipped + 1)); echo "skip $1: $2"; }
finish() {
  local line="$passed passed, $failed failed"
  [ "$skipped" -eq 0 ] || line+=", $skipped skipped"
  echo "$line"
  [ "$failed" -eq 0 ]
  exit
}
# logged LOG COMMAND...: runs COMMAND with its output in LOG, shown when
# it fails.
logged() {
  local log=$1
  shift
  "$@" </dev/null >"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
}
# A step the later checks cannot do without.
must() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; finish; fi
}

tmp=$(mktemp -d)
installed_by_us=0
cleanup() {
  if [ "$installed_by_us" -eq 1 ] && dpkg-query -W wavorbit >/dev/null 2>&1; then
    dpkg -r wavorbit >/dev/null 2>&1
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

"$root/scripts/install-deps.sh" --package </dev/null ||
  { echo "test-package.sh: installing the packages it needs failed" >&2; exit 2; }

# --- build ---------------------------------------------------------------
must "configure" logged "$tmp/configure.log" \
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DWAVORBIT_TESTS=OFF
must "build" logged "$tmp/build.log" cmake --build "$build" -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
must "project version known ($version)" test -n "$version"
built=$build/wavorbit

# --- manual page -----------------------------------------------------------
page=$build/wavorbit.1
# mandoc may add a note about its own database, which names no file.
lint_mandoc() {
  mandoc -T lint -W all "$1" >"$tmp/mandoc.txt" 2>&1
  local status=$?
  ! grep -F "$1" "$tmp/mandoc.txt" && [ "$status" -eq 0 ]
}
lint_groff() {
  groff -ww -z -man "$1" >"$tmp/groff.txt" 2>&1 && [ ! -s "$tmp/groff.txt" ] ||
    { cat "$tmp/groff.txt"; return 1; }
}
check "manual page lints clean with mandoc -T lint" lint_mandoc "$page"
check "manual page lints clean with groff -ww -z -man" lint_groff "$page"
check "manual page names version $version" grep -q "\"wavorbit $version\"" "$page"

# --- install target ----------------------------------------------------------
must "cmake --install into a scratch prefix" logged "$tmp/install.log" \
  cmake --install "$build" --prefix "$tmp/prefix"
check "install puts bin/wavorbit" test -x "$tmp/prefix/bin/wavorbit"
check "install puts share/man/man1/wavorbit.1" \
  cmp -s "$page" "$tmp/prefix/share/man/man1/wavorbit.1"

# --- package -----------------------------------------------------------------
deb=$build/wavorbit_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
must "cpack builds $(basename "$deb")" logged "$tmp/cpack.log" \
  sh -c 'cd "$1" && cpack -G DEB' _ "$build"
must "package file exists" test -f "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
# Names of the packages in a Depends field, without their versions.
depends_names() { field Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g'; }
for want in \
    "Package=wavorbit" \
    "Version=$version" \
    "Section=sound" \
    "Priority=optional"; do
  got=$(field "${want%%=*}")
  if [ "$got" = "${want#*=}" ]; then pass "control $want"; else fail "control $want" "got '$got'"; fi
done
check "control names a Maintainer" test -n "$(field Maintainer)"
check "control has a Description" test -n "$(field Description)"
for lib in libsndfile1 libasound2 libc6; do
  check "Depends names $lib" grep -qx "$lib" <(depends_names)
done
dpkg-deb -c "$deb" | awk '{print $NF}' >"$tmp/contents.txt"
doc=./usr/share/doc/wavorbit
for path in ./usr/bin/wavorbit ./usr/share/man/man1/wavorbit.1.gz $doc/copyright $doc/changelog.gz; do
  check "package holds $path" grep -qx "$path" "$tmp/contents.txt"
done
dpkg-deb -x "$deb" "$tmp/unpacked"
changelog=$tmp/unpacked/$doc/changelog.gz
check "changelog.gz's newest entry is $version" \
  test "$(dpkg-parsechangelog -l "$changelog" -S Version 2>&1)" = "$version"
check "changelog.gz names the package's Maintainer" \
  test "$(dpkg-parsechangelog -l "$changelog" -S Maintainer 2>&1)" = "$(field Maintainer)"
# The copyright file's license paragraph, unindented, is LICENSE's text.
copyright_license() {
  sed -n '/^License: Expat$/,/^$/{/^ /p}' "$1" | sed 's/^ //; s/^\.$//'
}
check "copyright carries LICENSE's text" \
  cmp -s <(copyright_license "$tmp/unpacked/$doc/copyright") <(sed -n '/^Permission/,$p' "$root/LICENSE")
# Debian's own checker: no error (E:) and no warning (W:).  Its output is
# shown either way.
lintian_clean() {
  lintian --fail-on error,warning "$deb" >"$tmp/lintian.txt" 2>"$tmp/lintian.err"
  local status=$?
  sed 's/^/  lintian: /' "$tmp/lintian.txt"
  [ "$status" -eq 0 ] && ! grep -q '^[EW]: ' "$tmp/lintian.txt" || { cat "$tmp/lintian.err"; return 1; }
}
check "lintian reports no error and no warning" lintian_clean

# --- installed ---------------------------------------------------------------
if dpkg-query -W -f='${Status}' wavorbit 2>/dev/null | grep -q 'ok installed'; then
  echo "note: replacing the wavorbit package already installed"
fi
installed_by_us=1
must "dpkg -i installs the package" logged "$tmp/dpkg-i.log" dpkg -i "$deb"
check "dpkg reports it installed" \
  test "$(dpkg-query -W -f='${Status} ${Version}' wavorbit)" = "install ok installed $version"
check "wavorbit on the PATH is /usr/bin/wavorbit" \
  test "$(command -v wavorbit)" = /usr/bin/wavorbit

# The installed program answers as the built one does, byte for byte.
run() {  # run OUT PROGRAM ARGS...: stdout to OUT, prints the status.
  local out=$1
  shift
  "$@" </dev/null >"$out" 2>"$out.err"
  echo $?
}
cases=("-h:0" "/?:0" ":1" "$tmp/missing.wav:1")
for c in "${cases[@]}"; do
  arg=${c%:*} want=${c##*:}
  args=()
  [ -n "$arg" ] && args=("$arg")
  s1=$(run "$tmp/built.out" "$built" "${args[@]}")
  s2=$(run "$tmp/inst.out" /usr/bin/wavorbit "${args[@]}")
  label="installed wavorbit ${arg:-(no argument)}"
  if [ "$s2" != "$want" ]; then
    fail "$label" "status $s2, want $want"
  elif [ "$s1" != "$s2" ] || ! cmp -s "$tmp/built.out" "$tmp/inst.out"; then
    fail "$label" "differs from the build's binary"
  elif [ -s "$tmp/inst.out.err" ]; then
    fail "$label" "wrote on standard error"
  else
    pass "$label: status $want, same bytes as the build's binary"
  fi
done
run "$tmp/help.out" /usr/bin/wavorbit -h >/dev/null
check "banner of the installed wavorbit -h is 'wavorbit $version'" \
  test "$(head -n 1 "$tmp/help.out")" = "wavorbit $version"$'\r'

# The installed program plays through a device picked the way the manual
# page says: ALSA_CONFIG_PATH naming alsa.conf and a file of one's own.
# The device is ALSA's file plugin on its null device; the file is a pipe
# to head, which keeps the first bytes played.
le16() { printf "\\\\x%02x\\\\x%02x" $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf "%s%s" "$(le16 $(($1 & 65535)))" "$(le16 $(($1 >> 16)))"; }
frames=100
data=""
for ((i = 0; i < frames; i++)); do data+=$(le16 $(((i * 613 + 1) & 65535))); done
printf '%b' "$data" >"$tmp/data.raw"
{
  printf '%b' "RIFF$(le32 $((36 + 2 * frames)))WAVEfmt $(le32 16)$(le16 1)$(le16 1)"
  printf '%b' "$(le32 8000)$(le32 16000)$(le16 2)$(le16 16)data$(le32 $((2 * frames)))"
  cat "$tmp/data.raw"
} >"$tmp/tone.wav"
loops=320  # 64,000 bytes: several writes, many seams
for ((i = 0; i < loops; i++)); do cat "$tmp/data.raw"; done >"$tmp/expected.raw"
cat >"$tmp/file-device.conf" <<EOF
pcm.!default {
  type file
  slave.pcm null
  file "|head -c $((loops * 2 * frames)) >$tmp/played.raw"
  format "raw"
}
EOF
wait_played() {
  for ((i = 0; i < 500; i++)); do
    [ "$(stat -c %s "$tmp/played.raw" 2>/dev/null)" = "$((loops * 2 * frames))" ] && break
    sleep 0.01
  done
  printf '\n'
}
(cd "$tmp" && wait_played | ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$tmp/file-device.conf \
  /usr/bin/wavorbit tone >"$tmp/play.out" 2>"$tmp/play.err")
status=$?
if [ "$status" -ne 0 ]; then
  fail "installed wavorbit plays tone(.wav) through a device from ALSA_CONFIG_PATH" "status $status"
elif [ "$(cat "$tmp/play.out")" != "hit return key to stop..." ]; then
  fail "installed wavorbit plays tone(.wav) through a device from ALSA_CONFIG_PATH" "printed '$(cat "$tmp/play.out")'"
elif ! cmp -s "$tmp/expected.raw" "$tmp/played.raw"; then
  fail "installed wavorbit plays tone(.wav) through a device from ALSA_CONFIG_PATH" \
    "played $(stat -c %s "$tmp/played.raw" 2>/dev/null || echo no) bytes, not $loops exact loops"
else
  pass "installed wavorbit plays tone(.wav) through a device from ALSA_CONFIG_PATH: $loops exact loops"
fi

# The installed manual page: found by name, rendered without a warning.
# Slimmed Debian images tell dpkg not to unpack manual pages at all.
installed_page=/usr/share/man/man1/wavorbit.1.gz
if grep -qs '^path-exclude[[:space:]]*/usr/share/man' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
  skip "installed manual page" "dpkg is told not to install manual pages here (path-exclude)"
else
  check "man -w wavorbit finds $installed_page" test "$(man -w wavorbit 2>/dev/null)" = "$installed_page"
  render_man() {
    MANWIDTH=80 MANROFFOPT=-ww man -l "$installed_page" </dev/null >"$tmp/man.txt" 2>"$tmp/man.err" &&
      [ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err"; return 1; }
  }
  check "man -l renders the installed page without a warning" render_man
  for text in "EXIT STATUS" "SOUND DEVICE" "SUPPORTED FORMATS" "WINDOWS" "wavorbit $version"; do
    check "rendered page shows '$text'" grep -qF "$text" "$tmp/man.txt"
  done
  check "mandoc lints the installed page clean" lint_mandoc "$installed_page"
fi

# --- removed -----------------------------------------------------------------
check "dpkg -r removes the package" logged "$tmp/dpkg-r.log" dpkg -r wavorbit
installed_by_us=0
check "dpkg no longer lists it installed" \
  sh -c '! dpkg-query -W -f="\${Status}" wavorbit 2>/dev/null | grep -q "ok installed"'
for path in /usr/bin/wavorbit "$installed_page" /usr/share/doc/wavorbit; do
  check "$path is gone" test ! -e "$path"
done
check "man -w wavorbit finds nothing" sh -c '! man -w wavorbit >/dev/null 2>&1'

finish
