#!/bin/bash
# The same sources, copied to a folder of another name and built there again through the
# release presets, give byte-identical programs: the Windows program and the Linux tool
# already built by the windows and native presets.
#   reproducible.sh SOURCE_DIR TORVOCLEAN_EXE TORVOCLEAN
set -eu
source_dir=$(realpath "$1") exe=$(realpath "$2") native=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Another path, of another length, than the first build's.
copy="$work/second-build-of-the-sources"
mkdir "$copy"
tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude=./dist --exclude=./demo \
    -cf - . | tar -C "$copy" -xf -

cd "$copy"
for build in "release-windows TorvoClean" "release-native torvoclean"; do
    set -- $build
    cmake --preset "$1" -DTORVO_WERROR=ON >/dev/null
    cmake --build --preset "$1" -j"$(nproc)" --target "$2" >/dev/null
done

status=0
for pair in "$exe:$copy/build/release-windows/bin/TorvoClean.exe" \
    "$native:$copy/build/release-native/bin/torvoclean"; do
    first=${pair%%:*} second=${pair#*:}
    sha256sum "$first" "$second"
    if ! cmp "$first" "$second"; then
        echo "FAIL: $(basename "$first") differs between the two builds"
        status=1
    fi
done
exit $status
