#!/bin/bash
# The program as it goes into the zip (stripped, with its manifest) runs under Wine as
# Windows 98, as the NT family and as Windows 10 (which Wine reports only to a program
# whose manifest names it), and finds the same on a demo folder each time.
#   wine_versions.sh SHIPPED_EXE SAMPLEGEN WINE_RUN
set -u
export LC_ALL=C
shipped=$(realpath "$1") samplegen=$(realpath "$2") wine_run=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-wine-versions-XXXXXX")
trap 'rm -rf "$work"' EXIT

status=0
for version in win98 nt win10; do
    dir="$work/demo-$version"
    "$samplegen" demo "$dir" >"$work/demo.txt"
    TORVO_WINE_VERSION=$version timeout 300 "$wine_run" "$shipped" /silent \
        "/log=z:${work//\//\\}\\$version.log" "z:${dir//\//\\}" >/dev/null
    # The findings, without the folder.
    tr -d '\r' <"$work/$version.log" 2>/dev/null | sed 's/^.*demo-[^\\]*\\//' | sort >"$work/$version"
    if ! grep -qx "Infected files  *$(grep -c $'\tinfected' "$work/demo.txt")" "$work/$version"; then
        echo "FAIL: $version: not every infected file of the demo folder found"
        cat "$work/$version"
        status=1
    elif [ $version != win98 ] && ! cmp -s "$work/win98" "$work/$version"; then
        echo "FAIL: $version finds otherwise than win98"
        diff "$work/win98" "$work/$version"
        status=1
    fi
done
exit $status
