# Turns CHANGELOG.md (Keep a Changelog) into a Debian changelog, the form
# dpkg-parsechangelog and lintian read, for the package's changelog.gz.
#   awk -v version=X.Y.Z -v maintainer="Name <mail>" -f debian-changelog.awk CHANGELOG.md
# The newest release must be the project's version: a package whose
# changelog ends at an older one would say the wrong thing about itself.
# "Unreleased" is left out; each "### Heading" becomes a line "  Heading:",
# each "- item" a "  * item", and the lines continuing an item are
# indented under it.
# Debian wants each entry dated later than the one below it, to the
# second, and Keep a Changelog dates releases by the day: the releases of
# one day are stamped an hour apart from midnight UTC, oldest first.

function fail(message) {
  print "CHANGELOG.md: " message > "/dev/stderr"
  failed = 1
  exit 1
}

/^## \[/ {
  name = $2
  gsub(/[][]/, "", name)
  if (name == "Unreleased") { in_release = 0; next }
  if (!n && name != version)
    fail("the newest release is " name ", the project's version is " version)
  if ($4 !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/)
    fail("release " name " has no date YYYY-MM-DD")
  n++
  release[n] = name
  day[n] = $4
  body[n] = ""
  in_release = 1
  next
}
!in_release { next }
/^### / { sub(/^### /, ""); body[n] = body[n] "\n  " $0 ":\n"; next }
/^- / { sub(/^- /, ""); body[n] = body[n] "  * " $0 "\n"; next }
/^  / { body[n] = body[n] "  " $0 "\n"; next }

END {
  if (failed) exit 1
  if (!n) fail("no release")
  for (i = n; i >= 1; i--) {
    hour[i] = (i < n && day[i] == day[i + 1]) ? hour[i + 1] + 1 : 0
    if (hour[i] > 23) fail("more than 24 releases on " day[i])
    cmd = sprintf("date -u -R -d '%s %02d:00'", day[i], hour[i])
    if ((cmd | getline stamp[i]) <= 0) fail("release " release[i] ": no such day " day[i])
    close(cmd)
  }
  for (i = 1; i <= n; i++) {
    if (i > 1) printf "\n"
    printf "wavorbit (%s) unstable; urgency=medium\n", release[i]
    printf "%s\n -- %s  %s\n", body[i], maintainer, stamp[i]
  }
}
