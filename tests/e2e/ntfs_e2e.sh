#!/bin/bash
# The Linux tool on a real NTFS volume (an image of its own, mounted with ntfs-3g):
# repaired files keep their DOS attributes, hidden and system files are scanned like
# any other, names are taken exactly as they are (case, longer than 255 bytes), a file
# another process holds is repaired at the restart, and nothing else changes.
#   ntfs_e2e.sh PROGRAM SAMPLEGEN
# Exits 77 (skipped) where ntfs-3g, FUSE or the rights to mount are missing.
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C.UTF-8 PATH="$PATH:/usr/sbin:/sbin"
source "$(dirname "$0")/../support/check.sh"

for tool in mkntfs ntfs-3g getfattr setfattr flock; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing (scripts/setup installs ntfs-3g and attr)"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-ntfs-XXXXXX")
mnt="$work/mnt" holder=
cleanup() {
    [ -n "$holder" ] && { touch "$work/release"; wait "$holder"; }
    if mountpoint -q "$mnt"; then fusermount -u "$mnt" 2>/dev/null || umount "$mnt"; fi
    if mountpoint -q "$mnt"; then echo "still mounted: $mnt"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

truncate -s 64M "$work/ntfs.img"
mkntfs -F -Q "$work/ntfs.img" >"$work/mkntfs.out" 2>&1 || { cat "$work/mkntfs.out"; exit 1; }
mkdir "$mnt"
if ! ntfs-3g "$work/ntfs.img" "$mnt" 2>"$work/mount.err"; then
    echo "SKIP: ntfs-3g cannot mount here (FUSE or the rights to mount are missing):"
    sed 's/^/  /' "$work/mount.err"
    exit 77
fi

# The DOS attributes of a file, as 0x00000021 (read-only 0x1, hidden 0x2, system 0x4,
# archive 0x20).
attributes() {
    getfattr --absolute-names -n system.ntfs_attrib_be -e hex "$1" |
        sed -n 's/^system.ntfs_attrib_be=//p'
}
set_attributes() { setfattr -n system.ntfs_attrib_be -v "$2" "$1"; }

# Every file under DIR: name, content and DOS attributes, one line each.
manifest() {
    (cd "$1" && find . -type f -print0 | while IFS= read -r -d '' file; do
        printf '%s %s %s\n' "$file" "$(md5sum <"$file" | cut -c1-32)" "$(attributes "$file")"
    done)
}
line() { printf './%s %s %s\n' "$1" "$(md5sum <"$2" | cut -c1-32)" "$3"; }  # line NAME CONTENT ATTRIBUTES

# --- the tree ---------------------------------------------------------------------

tree="$mnt/Disk"
mkdir "$tree" "$tree/sub"
"$samplegen" page "$work/page.htm" >/dev/null
head -c -120 "$work/page.htm" >"$work/plain.htm"
head -c 5000 /dev/urandom >"$work/host.bin"
"$samplegen" exe --variant e --host "$work/host.bin" "$work/prog.exe" >/dev/null
"$samplegen" exe --variant a --no-host "$work/worm.exe" >/dev/null
"$samplegen" mail --variant e "$work/mail.eml" >/dev/null
"$samplegen" near-miss page-extra-byte "$work/near.htm" >/dev/null
printf 'a clean page of another case\n' >"$work/other.htm"
printf 'just text\n' >"$work/text.txt"
put() {  # put NAME ATTRIBUTES FILE: a copy of FILE with these DOS attributes
    cp "$3" "$tree/$1" && set_attributes "$tree/$1" "$(printf '0x%08x' "$2")"
}
long=$(printf 'ж%.0s' $(seq 200)).htm  # 400 bytes: too long for ext4, not for NTFS
put Page.HTM 0x21 "$work/page.htm"
put page.htm 0x20 "$work/other.htm"
put hidden.htm 0x02 "$work/page.htm"
put sub/Sys.exe 0x06 "$work/prog.exe"
put worm.exe 0x07 "$work/worm.exe"
put sub/mail.eml 0x20 "$work/mail.eml"
put near.htm 0x01 "$work/near.htm"
put sub/boot.ini 0x06 "$work/text.txt"
put "sub/$long" 0x20 "$work/page.htm"
put busy.htm 0x03 "$work/page.htm"

flock -s "$tree/busy.htm" -c "touch '$work/ready'; while [ ! -e '$work/release' ]; do sleep 0.1; done" &
holder=$!
for _ in $(seq 300); do [ -e "$work/ready" ] && break; sleep 0.1; done

# --- the scan, and the restart --------------------------------------------------------

export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"
timeout 120 "$program" /silent "/log=$mnt/scan.txt" "$tree"
check "exit status 1: infected files found" [ $? = 1 ]
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'
  printf '%s    DISINFECTED\r\n' "$tree/"{Page.HTM,hidden.htm,sub/Sys.exe,"sub/$long",busy.htm}
  printf '%s    DELETED\r\n' "$tree/"{worm.exe,sub/mail.eml}
  printf 'Infected files          7\r\nCouldn'"'"'t open           0\r\n'
  printf '\r\nThe computer MUST be restarted to complete the disinfection process'; } >"$work/expected.log"
check "log" same_log "$mnt/scan.txt" "$work/expected.log"

touch "$work/release" && wait "$holder" && holder=
mkdir "$work/empty"
timeout 120 "$program" /silent /restart "$work/empty"
check "restart list carried out" [ $? = 0 ]

# Read-only, hidden and system stay; the rename that puts the repaired file in place
# sets archive (ntfs-3g does on every rename). Nothing else is left or changed: no work
# file, and no ".fuse_hidden" file (what ntfs-3g keeps of a file deleted while open).
{ line Page.HTM "$work/plain.htm" 0x00000021
  line page.htm "$work/other.htm" 0x00000020
  line hidden.htm "$work/plain.htm" 0x00000022
  line sub/Sys.exe "$work/host.bin" 0x00000026
  line near.htm "$work/near.htm" 0x00000001
  line sub/boot.ini "$work/text.txt" 0x00000006
  line "sub/$long" "$work/plain.htm" 0x00000020
  line busy.htm "$work/plain.htm" 0x00000023; } | sort >"$work/expected"
check "repaired files keep their attributes, nothing else changed" \
    diff "$work/expected" <(manifest "$tree" | sort)

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
