#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes CHANGELOG.md in the format of a Debian changelog, for the package's
# changelog.gz: one entry per release, its paragraphs and items as items.
#
#   packaging/debian-changelog.sh CHANGELOG.md "Name <address>"
set -eu
awk -v maintainer="$2" '
function close_entry() {
    if (version != "") {
        cmd = "date -u -R -d " date
        cmd | getline when
        close(cmd)
        printf "\n -- %s  %s\n", maintainer, when
    }
}
# What is not released yet has no entry.
/^## \[Unreleased\]/ { close_entry(); version = ""; next }
/^## \[/ {
    close_entry()
    version = $0; sub(/^## \[/, "", version); sub(/\].*/, "", version)
    date = $0; sub(/.*\] - /, "", date)
    if (entries++) print ""
    printf "lanchat (%s) unstable; urgency=medium\n\n", version
    next
}
version == "" || /^#/ || /^\[/ { next }
/^$/ { next }
/^- / { sub(/^- /, ""); print "  * " $0; next }
/^  / { sub(/^  /, ""); print "    " $0; next }
{ print "  * " $0 }
END { close_entry() }
' "$1"
