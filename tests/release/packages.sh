#!/bin/bash
# What scripts/release leaves in dist/ for users: the zip holds the program that was
# tested, README.txt, LICENSE.txt and SHA256SUMS, its text files end their lines with
# CR LF, the checksums hold; the Debian package's tool cleans a demo folder, and its
# changelog is of its version.
#   packages.sh DIST SHIPPED_EXE LICENSE
set -u
export LC_ALL=C
dist=$(realpath "$1") shipped=$(realpath "$2") license=$(realpath "$3")
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-packages-XXXXXX")
trap 'rm -rf "$work"' EXIT

unzip -q "$dist"/TorvoClean-*-win32.zip -d "$work/zip"
zipped=$(echo "$work"/zip/TorvoClean-*-win32)
dpkg-deb -x "$dist"/torvoclean_*.deb "$work/deb"
bin="$work/deb/usr/bin"

crlf() {  # crlf FILE...: every line ends with CR LF
    local file
    for file; do
        ! grep -q -v $'\r$' "$file" && [ "$(tail -c 1 "$file" | od -An -tx1)" = " 0a" ] ||
            { echo "  $(basename "$file")"; return 1; }
    done
}

sums_hold() {  # sums_hold DIR
    (cd "$1" && sha256sum --quiet -c SHA256SUMS)
}

native_cleans() {
    "$bin/torvoclean-samplegen" demo "$work/native-demo" >"$work/native-demo.txt"
    TORVOCLEAN_RESTART_LIST="$work/wininit.ini" "$bin/torvoclean" /silent \
        "/log=$work/native.log" "$work/native-demo"
    [ $? -eq 1 ] &&
        grep -qx "Infected files  *$(grep -c $'\tinfected' "$work/native-demo.txt")"$'\r' "$work/native.log"
}

changelog_version() {
    zcat "$work/deb/usr/share/doc/torvoclean/changelog.gz" >"$work/changelog"
    [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = \
        "$(dpkg-deb -f "$dist"/torvoclean_*.deb Version)" ]
}

check "zip: the program, README.txt, LICENSE.txt and SHA256SUMS" \
    [ "$(ls "$zipped" | tr '\n' ' ')" = "LICENSE.txt README.txt SHA256SUMS TorvoClean.exe " ]
check "zip: the program is the one tested" cmp "$zipped/TorvoClean.exe" "$shipped"
check "zip: text files end their lines with CR LF" \
    crlf "$zipped/README.txt" "$zipped/LICENSE.txt" "$zipped/SHA256SUMS"
check "zip: LICENSE.txt is LICENSE" cmp <(tr -d '\r' <"$zipped/LICENSE.txt") "$license"
check "zip: SHA256SUMS holds" sums_hold "$zipped"
check "dist: SHA256SUMS holds" sums_hold "$dist"
check "dist: the debug file of the program tested" \
    cmp "$dist/TorvoClean.exe.debug" "$(dirname "$shipped")/TorvoClean.exe.debug"
check "deb: the tool cleans a demo folder" native_cleans
check "deb: the changelog is of the package's version" changelog_version

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
