#!/bin/bash
# What the release's TorvoClean.exe promises: it imports nothing beyond the functions
# that the Windows 95 family exports (the list ALLOWED), its version resource carries
# the project's version and copyright, its manifest asks for the rights the program
# needs, and its symbols are in the debug file beside it.
#   exe_checks.sh OBJDUMP EXE ALLOWED VERSION
set -u
export LC_ALL=C
objdump=$1 exe=$2 allowed=$3 version=$4
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-exe-checks-XXXXXX")
trap 'rm -rf "$work"' EXIT

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

# The bytes of resource type 24 (manifest), id 1: the resource tree that objdump -p
# prints gives its address, the .rsrc section header where that lies in the file.
manifest() {
    local rva size vma offset base
    read -r rva size < <("$objdump" -p "$exe" | awk '
        /^[0-9a-f]+   Entry: ID: / { type = $4 }
        /^[0-9a-f]+     Entry: ID: / { name = $4 }
        type == "0x000018," && name == "0x000001," && /Leaf:/ { print $4, $6; exit }' | tr -d ,)
    [ -n "$rva" ] || return 1
    read -r vma offset < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" { print $4, $6 }')
    base=$("$objdump" -p "$exe" | awk '$1 == "ImageBase" { print $2 }')
    tail -c +$((0x$offset + rva - (0x$vma - 0x$base) + 1)) "$exe" | head -c $((size))
}

manifest_value() {  # manifest_value XPATH
    xmllint --xpath "string($1)" "$work/manifest.xml"
}

# Windows XP reads trustInfo only in the asm.v2 or asm.v3 namespace.
level='//*[local-name()="trustInfo" and namespace-uri()="urn:schemas-microsoft-com:asm.v2"]
       //*[local-name()="requestedExecutionLevel"]/@level'
vista='{e2011457-1546-43c5-a5fe-008deee3d3f0}' windows10='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'

stripped() {
    ! "$objdump" -h "$exe" | grep -q ' \.debug_' && "$objdump" -t "$exe" | grep -qx 'no symbols'
}

# objdump finds the debug file only where its checksum is the one the program names.
debug_file_found() {
    "$objdump" -Wk "$exe" | grep -q 'Found separate debug info file' &&
        "$objdump" -t "$(dirname "$exe")/TorvoClean.exe.debug" | grep -q ' _WinMain@16$'
}

check "imports: only functions the Windows 95 family exports" no_new_imports
check "version resource: FileVersion" [ "$(version_value FileVersion)" = "$version" ]
check "version resource: ProductVersion" [ "$(version_value ProductVersion)" = "$version" ]
check "version resource: LegalCopyright names the license" \
    grep -q 'MIT License' <<<"$(version_value LegalCopyright)"
manifest >"$work/manifest.xml"
check "manifest: resource 24, id 1, well-formed XML" xmllint --noout "$work/manifest.xml"
check "manifest: the program's version" \
    [ "$(manifest_value '/*/*[local-name()="assemblyIdentity"]/@version')" = "$version.0" ]
check "manifest: highestAvailable" [ "$(manifest_value "$level")" = highestAvailable ]
check "manifest: supported from Windows Vista to 10" \
    [ "$(manifest_value "count(//*[local-name()='supportedOS'][@Id='$vista' or @Id='$windows10'])")" = 2 ]
check "stripped: no symbols, no debug sections" stripped
check "debug file: beside the program, which names it, with its symbols" debug_file_found

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
