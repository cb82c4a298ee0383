#!/bin/bash
# What the release's TorvoClean.exe promises: it imports nothing beyond the functions
# that the Windows 95 family exports (the list ALLOWED), and its version resource
# carries the project's version.
#   exe_checks.sh OBJDUMP EXE ALLOWED VERSION
set -u
export LC_ALL=C
objdump=$1 exe=$2 allowed=$3 version=$4
source "$(dirname "$0")/../support/check.sh"


# "dll function" for every import, from the import tables that objdump -p prints.
imports() {
    "$objdump" -p "$exe" | awk '/DLL Name:/ { dll = tolower($3); next }
        /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3 }' | sort -u
}

no_new_imports() {
    local list new
    list=$(imports)
    [ -n "$list" ] || { echo "  no imports read from $exe"; return 1; }
    new=$(comm -23 <(echo "$list") <(grep -v '^#' "$allowed" | sort -u))
    [ -z "$new" ] || { echo "  not known to be exported by the Windows 95 family:"; echo "$new"; return 1; }
}

# Each version string is followed by its value in the UTF-16 strings of the resource.
version_value() {  # version_value NAME
    strings -el "$exe" | grep -A1 -x "$1" | tail -n 1
}

check "imports: only functions the Windows 95 family exports" no_new_imports
check "version resource: FileVersion" [ "$(version_value FileVersion)" = "$version" ]
check "version resource: ProductVersion" [ "$(version_value ProductVersion)" = "$version" ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
