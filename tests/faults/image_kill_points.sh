#!/bin/bash
# A repair inside a disk image killed at any moment leaves the file system whole and
# loses nothing. The real program, cleaning a raw FAT12 and an NTFS image, is killed
# before each of its system calls that may change the image or its journal in turn
# (strace's fault injection), then run again: the file system must be consistent
# (fsck.fat -n, ntfsfix -n), the file repaired (or gone, for the worm alone), no work
# file and no journal left.
#   image_kill_points.sh TORVOCLEAN SAMPLEGEN
set -u
export LC_ALL=C MTOOLS_SKIP_CHECK=1
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-image-kill-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/torvoclean" && cp "$2" "$work/samplegen" || exit 1
program=$work/torvoclean samplegen=$work/samplegen

for tool in strace mkfs.fat mtype mdir fsck.fat mkntfs ntfscp ntfscat ntfsfix ntfsls; do
    command -v $tool >/dev/null || { echo "$tool is missing: skipped"; exit 77; }
done
strace -f -qq -o /dev/null true 2>/dev/null || { echo "strace cannot trace here: skipped"; exit 77; }

changing=openat,write,pwrite64,pwritev,ftruncate,fallocate,fsync,fdatasync,unlinkat,unlink,renameat2,renameat,rename

seq 1 1500 >"$work/host.bin"
"$samplegen" page "$work/infected.htm" >/dev/null
head -c -120 "$work/infected.htm" >"$work/plain.htm"

make_sample() {  # make_sample FORM PATH
    case $1 in
        page) "$samplegen" page "$2" ;;
        program) "$samplegen" exe --variant a --host "$work/host.bin" "$2" ;;
        nested) "$samplegen" exe --variant e --depth 2 --host "$work/host.bin" "$2" ;;
        worm) "$samplegen" exe --variant a --no-host "$2" ;;
    esac >/dev/null
}
expected_of() {  # the bytes a repaired FORM holds; none for the worm alone
    case $1 in page) echo "$work/plain.htm" ;; program | nested) echo "$work/host.bin" ;; esac
}

# One image of each kind, made once; each kill point starts from a copy.
for form in page program nested worm; do make_sample $form "$work/$form.in"; done
mkfs.fat -C "$work/fat.img" 1440 >/dev/null
mmd -i "$work/fat.img" ::/SUB
truncate -s 8M "$work/ntfs.img"
mkntfs -F -q -Q "$work/ntfs.img" >/dev/null 2>&1
for form in page program nested worm; do
    mcopy -i "$work/fat.img" "$work/$form.in" "::/SUB/$form.exe"
    ntfscp -q "$work/ntfs.img" "$work/$form.in" "$form file.exe"
done

image=$work/scan.img
run() { "$program" -q --images "$image" >/dev/null 2>&1; }

# Every file read back, the file system checked, and what is left over.
problems() {  # problems fat|ntfs
    local form expected got=$work/got
    for form in page program nested worm; do
        expected=$(expected_of $form)
        if [ "$1" = fat ]; then
            mtype -i "$image" "::/SUB/$form.exe" >"$got" 2>/dev/null || rm -f "$got"
        else
            ntfscat "$image" "$form file.exe" >"$got" 2>/dev/null || rm -f "$got"
        fi
        if [ -n "$expected" ]; then
            cmp -s "$got" "$expected" || echo "$form: not its repaired bytes"
        elif [ -e "$got" ]; then
            echo "$form: still there"
        fi
    done
    if [ "$1" = fat ]; then
        local fsck
        fsck=$(fsck.fat -n "$image" 2>&1) || echo "fsck.fat: $fsck"
        [ "$(echo "$fsck" | wc -l)" = 2 ] || echo "fsck.fat says: $fsck"
        mdir -i "$image" -/ -b :: 2>/dev/null | grep -i '\.cln$' | sed 's/^/work file left: /'
    else
        ntfsfix -n "$image" 2>&1 | grep -q 'was processed successfully' || echo "ntfsfix: $(ntfsfix -n "$image" 2>&1)"
        ntfsls -a "$image" 2>/dev/null | grep -i '\.cln$' | sed 's/^/work file left: /'
    fi
    [ -e "$image.torvoclean-journal" ] && echo "journal left"
}

run_killed() {
    strace -f -qq -o /dev/null --inject="$1:signal=KILL:when=$2" "$program" -q --images "$image" >/dev/null 2>&1
}

kill_points=0
explore() {  # explore fat|ntfs
    local kind=$1 points kill n status at
    cp "$work/$kind.img" "$image"
    strace -f -qq -o "$work/trace" -e trace="$changing" "$program" -q --images "$image" >/dev/null 2>&1
    points=$(awk '{ sub(/^[0-9]+ +/, ""); call = $0; sub(/\(.*/, "", call) }
                  call !~ /^[a-z0-9_]+$/ { next }
                  { ++count[call] }
                  call != "openat" || /O_WRONLY|O_RDWR|O_CREAT|O_TRUNC/ { print call, count[call] }' "$work/trace")
    while read -r kill n <&3; do
        cp "$work/$kind.img" "$image"
        rm -f "$image.torvoclean-journal"
        if [ -n "$kill" ]; then
            run_killed "$kill" "$n" 2>/dev/null  # (the shell's "Killed" notice)
            status=$?
            kill_points=$((kill_points + 1))
        fi
        run
        problems "$kind" >"$work/problems"
        [ -n "$kill" ] && [ "$status" != 137 ] && echo "not killed (status $status)" >>"$work/problems"
        at="not killed"
        [ -n "$kill" ] && at="killed at $kill call $n"
        check "$kind image: $at" [ ! -s "$work/problems" ]
        sed 's/^/    /' "$work/problems"
    done 3<<<"$points"$'\n'
    echo "$kind image: $(grep -c . <<<"$points") kill points"
}

explore fat
explore ntfs
echo "$kill_points kill points; $passes passed, $failures failed"
[ "$failures" -eq 0 ]
