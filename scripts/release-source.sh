#!/usr/bin/env bash
# Makes the source tarball of a tagged release: wavorbit-X.Y.Z.tar.gz in the
# current directory, the tree of the tag vX.Y.Z under wavorbit-X.Y.Z/.
#   bash scripts/release-source.sh [X.Y.Z]
# X.Y.Z defaults to the version in CMakeLists.txt.  The tarball holds the
# tagged commit exactly: nothing uncommitted, nothing from a build.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
project_version() { sed -n 's/^project(wavorbit VERSION \([0-9.]*\).*/\1/p'; }
die() { echo "release-source.sh: $*" >&2; exit 1; }

version=${1:-$(project_version <"$root/CMakeLists.txt")}
[ -n "$version" ] || die "no version in CMakeLists.txt"
tag=v$version
git -C "$root" rev-parse -q --verify "refs/tags/$tag^{commit}" >/dev/null ||
  die "no tag $tag; tag the release first: git tag -a $tag -m 'wavorbit $version'"
# A tag on a commit of another version would make a tarball whose build
# calls itself something else.
tagged=$(git -C "$root" show "$tag:CMakeLists.txt" | project_version)
[ "$tagged" = "$version" ] || die "$tag's CMakeLists.txt says version ${tagged:-none}, not $version"

out=$PWD/wavorbit-$version.tar.gz
git -C "$root" archive --prefix="wavorbit-$version/" -o "$out" "$tag"
echo "$out"
