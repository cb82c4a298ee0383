#!/bin/bash
# The Debian package as Debian's lintian sees it: nothing to report, down to the notes
# ("I:") that would tell, among others, of hardening flags missing from a program.
#   lintian.sh DEB
command -v lintian >/dev/null || { echo "SKIP: lintian is not installed (scripts/setup installs it)"; exit 77; }
lintian -I --fail-on error,warning,info "$1"
