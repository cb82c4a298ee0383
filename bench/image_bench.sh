#!/bin/bash
# How fast a disk image is scanned: the same tree of FILES files (samplegen tree) on the
# host's disk, in a FAT32 and an NTFS image (raw and qcow2), and on the NTFS image
# mounted with ntfs-3g (as root, where FUSE is there); one thread, warm cache, the median
# of ROUNDS runs of each, flushes left out. Every run starts from a fresh copy, since the
# tree's infected files are cleaned.
#   image_bench.sh BUILD [FILES] [ROUNDS]     BUILD: build/native
set -eu
build=$(realpath "$1") files=${2:-20000} rounds=${3:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/image-bench-XXXXXX")
trap 'mountpoint -q "$work/mnt" && umount "$work/mnt"; rm -rf "$work"' EXIT
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini" TORVOCLEAN_JOBS=1 MTOOLS_SKIP_CHECK=1
program="$build/bin/torvoclean"

"$build/bin/samplegen" tree "$work/tree" --files "$files" >/dev/null
# FAT32 wants 65,525 clusters at least: 4 KiB ones, so 300 MiB and more.
megabytes=$(($(du -sm "$work/tree" | cut -f1) * 3 + 300))

truncate -s "${megabytes}M" "$work/fat.img"
mkfs.fat -F 32 -s 8 "$work/fat.img" >/dev/null
mcopy -s -i "$work/fat.img" "$work/tree" ::/
qemu-img convert -O qcow2 "$work/fat.img" "$work/fat.qcow2"
runs="host fat_raw fat_qcow2"

# The NTFS image is filled through an ntfs-3g mount.
mkdir "$work/mnt"
truncate -s "${megabytes}M" "$work/ntfs.img"
if mkntfs -F -Q "$work/ntfs.img" >/dev/null 2>&1 && ntfs-3g "$work/ntfs.img" "$work/mnt" 2>/dev/null; then
    cp -r "$work/tree" "$work/mnt/" && umount "$work/mnt"
    qemu-img convert -O qcow2 "$work/ntfs.img" "$work/ntfs.qcow2"
    runs="$runs ntfs_raw ntfs_qcow2 ntfs_mounted"
else
    echo "(no NTFS: mkntfs or an ntfs-3g mount is not available here)"
fi

# The scan is measured, not the disk's flushes (bench/clean_bench.sh measures those):
# under eatmydata, where it is installed, a repair's fsync returns at once.
nosync=$(command -v eatmydata || true)
seconds() {  # seconds COMMAND...: how long it ran
    local start end
    start=$(date +%s.%N)
    $nosync "$@" >/dev/null 2>&1 || [ $? = 1 ]
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
# The copy is written out first: a repair's flush would otherwise wait on all of it.
fresh() { rm -rf "$work/run"; mkdir "$work/run"; cp -r "$1" "$work/run/"; sync; }
host() { fresh "$work/tree"; seconds "$program" -q "$work/run/tree"; }
image() { fresh "$work/$1"; seconds "$program" -q --images "$work/run/$1"; }
fat_raw() { image fat.img; }
fat_qcow2() { image fat.qcow2; }
ntfs_raw() { image ntfs.img; }
ntfs_qcow2() { image ntfs.qcow2; }
ntfs_mounted() {
    fresh "$work/ntfs.img"
    ntfs-3g "$work/run/ntfs.img" "$work/mnt"
    cat "$work/mnt/tree"/*/*/* >/dev/null 2>&1 || true  # warm, as the others are
    seconds "$program" -q "$work/mnt/tree"
    umount "$work/mnt"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for ((round = 0; round < rounds; round++)); do
    for run in $runs; do "$run" >>"$work/$run.times"; done
done
time_of() { median <"$work/$1.times"; }
ratio() { awk -v a="$(time_of "$1")" -v b="$(time_of "$2")" 'BEGIN { printf "%.2fx %s", a / b, "'"$3"'" }'; }

printf '%d files, one thread, warm cache, median of %d rounds\n' "$files" "$rounds"
for run in $runs; do
    case $run in
        host) note="" ;;
        fat_raw | ntfs_raw) note=$(ratio "$run" host "the host disk (ext4)") ;;
        fat_qcow2) note=$(ratio "$run" fat_raw "the raw image") ;;
        ntfs_qcow2) note=$(ratio "$run" ntfs_raw "the raw image") ;;
        ntfs_mounted) note="(ntfs_raw is $(ratio ntfs_raw ntfs_mounted "of it"))" ;;
    esac
    printf '%-14s %7.3f s  %s\n' "$run" "$(time_of "$run")" "$note"
done
