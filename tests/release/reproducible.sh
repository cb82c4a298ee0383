#!/bin/bash
# scripts/release, run on the same sources copied to two folders of other names and
# lengths, makes the same dist/ byte for byte, and its zip holds the program that the
# windows preset built and tested. The first dist/ is left in PACKAGES.
#   reproducible.sh SOURCE_DIR SHIPPED_EXE PACKAGES
set -eu
source_dir=$(realpath "$1") shipped=$(realpath "$2") packages=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Unsigned, dated by the last commit; the test installs nothing.
unset TORVO_SIGN_KEY TORVO_SIGN_CERT
SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH TORVO_NO_SETUP=1

for copy in first second-build-of-the-sources; do
    mkdir "$work/$copy"
    tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude=./dist --exclude=./demo \
        -cf - . | tar -C "$work/$copy" -xf -
    "$work/$copy/scripts/release" >"$work/$copy.log" 2>&1 || { cat "$work/$copy.log"; exit 1; }
done

status=0
cat "$work/first/dist/SHA256SUMS"
(cd "$work/second-build-of-the-sources/dist" && sha256sum --quiet -c "$work/first/dist/SHA256SUMS") ||
    { echo "FAIL: the two releases differ"; status=1; }
cmp "$shipped" "$work/first/build/release-windows/release/TorvoClean.exe" ||
    { echo "FAIL: the zip's program is not the one the windows preset built"; status=1; }
rm -rf "$packages"
mkdir -p "$(dirname "$packages")"
mv "$work/first/dist" "$packages"
exit $status
