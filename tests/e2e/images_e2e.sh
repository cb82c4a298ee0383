#!/bin/bash
# The Linux tool on disk images as users have them, made with the tools users have
# (mkfs.fat, mtools, sfdisk, mkfs.ext4, mkntfs, qemu-img; no root, no mount): one FAT
# disk in every container format gives the same findings, and leaves in the image what a
# run over the same files as a plain folder leaves (read back with mtools, checked with
# fsck.fat and The Sleuth Kit); the names it prints, logs and matches; NTFS; --dry-run;
# images met in a folder; an image in use; broken images.
#   images_e2e.sh PROGRAM SAMPLEGEN
# Exits 77 (skipped) where one of those tools is missing.
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
source "$(dirname "$0")/../support/check.sh"

for tool in mkfs.fat fsck.fat mcopy mmd mattrib sfdisk mkfs.ext4 mkntfs ntfscp ntfscat \
    ntfsfix qemu-img qemu-nbd fls jq flock timeout; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing (wanted: dosfstools, mtools, fdisk, e2fsprogs, ntfs-3g," \
            "qemu-utils, sleuthkit, jq)"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-images-XXXXXX")
cleanup() {
    local pid
    for pid in "$work"/*.pid; do [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null; done
    touch "$work/release"
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
cd "$work"
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"

# run NAME ARGS...: the tool, with a time limit; NAME.out, NAME.err, and the status in $rc.
run() {
    timeout 60 "$program" "${@:2}" >"$1.out" 2>"$1.err"
    rc=$?
}
# The finding lines of a run's text below PREFIX, without PREFIX and "(dry run)", sorted.
findings() {  # findings OUT PREFIX
    sed '/^-* SCAN SUMMARY/,$d' "$1" | awk -v p="$2" 'index($0, p) == 1 {
        print substr($0, length(p) + 1) }' | sed 's/ (dry run)$//' | sort
}
bytes() { echo $(($1 * 512)); }  # bytes SECTORS
place() {  # place FILE IMAGE SECTOR: FILE written into IMAGE there
    dd if="$1" of="$2" bs=1M seek=$(bytes $3) oflag=seek_bytes conv=notrunc status=none
}
cut_out() {  # cut_out IMAGE SECTOR SECTORS OUT
    dd if="$1" of="$4" bs=1M skip=$(bytes $2) count=$(bytes $3) iflag=skip_bytes,count_bytes \
        status=none
}
# What The Sleuth Kit sees of the volume at SECTOR: "d NAME" and "r NAME", sorted.
sleuth_tree() {  # sleuth_tree IMAGE SECTOR
    fls -r -p -o "$2" "$1" | awk -F'\t' '$1 !~ /\*/ && $2 !~ /^\$/ { print substr($1, 1, 1), $2 }' |
        sort
}

# --- the files, and the oracle: a run over them as a plain folder -----------------------

mkdir -p files/WINDOWS/SYSTEM "files/My Documents"
"$samplegen" exe --variant a files/WINDOWS/NOTEPAD.EXE >/dev/null
"$samplegen" exe --variant e --depth 3 "files/WINDOWS/SYSTEM/Deep Program.exe" >/dev/null
"$samplegen" page "files/My Documents/Holiday page.htm" >/dev/null
"$samplegen" mail --variant a files/MAIL.EML >/dev/null
"$samplegen" exe --variant a --no-host files/WORM.EXE >/dev/null
"$samplegen" near-miss page-extra-byte files/NEAR.HTM >/dev/null
"$samplegen" near-miss zm files/ZM.EXE >/dev/null
printf 'just text\r\n' >files/README.TXT
# The DOS attributes the files get in an image, as mattrib's flags.
attributes=("+r +h" WINDOWS/NOTEPAD.EXE "+s -a" "WINDOWS/SYSTEM/Deep Program.exe"
    "+h -a" "My Documents/Holiday page.htm" +r WORM.EXE "+r -a" NEAR.HTM)

cp -r files plain
run plain plain
findings plain.out plain/ >expected
check "plain folder: five found, two of them deleted" \
    [ $rc = 1 -a "$(wc -l <expected)" = 5 -a "$(grep -c ' DELETED$' expected)" = 2 ]
(cd plain && find . -mindepth 1 -printf '%y %P\n' | sed 's/^f/r/' | sort) >expected.tree
deleted=$(awk -F': ' '/ DELETED$/ { printf "-e ::/%s ", $1 }' expected)

put_files() {  # put_files IMAGE OFFSET: the files, with their attributes, into the FAT there
    mcopy -s -i "$1@@$2" files/* ::/ &&
        for ((i = 0; i < ${#attributes[@]}; i += 2)); do
            mattrib -i "$1@@$2" ${attributes[i]} "::/${attributes[i + 1]}" || return 1
        done
}
attribute_list() { mattrib -/ -i "$1@@$2" ::; }  # attribute_list IMAGE OFFSET

# check_fat LABEL IMAGE SECTOR SECTORS: the FAT volume there in the raw IMAGE holds what
# the plain folder holds after its run, each file with the attributes it had, and
# fsck.fat and The Sleuth Kit find it sound and the same.
check_fat() {
    local label=$1 image=$2 at=$3 size=$4
    rm -rf out && mkdir out
    mcopy -s -i "$image@@$(bytes $at)" '::*' out/
    check "$label: files as in the plain folder" diff -r out plain
    check "$label: attributes kept" \
        diff <(attribute_list "$image" $(bytes $at)) <(grep -v $deleted attributes.fat)
    cut_out "$image" $at $size volume
    fsck.fat -n volume >fsck.out 2>&1
    check "$label: fsck.fat finds nothing" \
        [ $? = 0 -a "$(grep -cv -e '^fsck.fat ' -e ' files, .* clusters$' fsck.out)" = 0 ]
    check "$label: The Sleuth Kit sees the same tree" diff expected.tree <(sleuth_tree "$image" $at)
}

# --- the disks ---------------------------------------------------------------------------

mkdir ext && cp "files/My Documents/Holiday page.htm" ext/page.htm
mkfs.ext4 -q -d ext ext.img 4M >/dev/null

# disk.raw: MBR; p1 FAT16, p2 extended holding p5 FAT32 and p6 ext4 (with an infected
# page of its own, which is never looked at).
p1=2048 p1_size=32768 p5=36864 p5_size=83968 p6=122880 p6_size=8192
truncate -s 64M disk.raw
sfdisk -q disk.raw <<EOF
label: dos
start=$p1, size=$p1_size, type=6
start=34816, type=5
start=$p5, size=$p5_size, type=c
start=$p6, size=$p6_size, type=83
EOF
mkfs.fat -F 16 --offset=$p1 disk.raw $((p1_size / 2)) >/dev/null 2>&1
mkfs.fat -F 32 -s 1 --offset=$p5 disk.raw $((p5_size / 2)) >/dev/null 2>&1
place ext.img disk.raw $p6
put_files disk.raw $(bytes $p1) && put_files disk.raw $(bytes $p5)
attribute_list disk.raw $(bytes $p1) >attributes.fat

# floppy.raw: FAT12, no partition table.
mkfs.fat -C floppy.raw 1440 >/dev/null && put_files floppy.raw 0

# gpt.raw: GPT; entry 1 NTFS, entry 2 ext4, entry 4 FAT16 (entry 3 unused).
g1=2048 g1_size=20480 g2=22528 g4=30720 g4_size=32768
truncate -s 32M gpt.raw
sfdisk -q gpt.raw <<EOF
label: gpt
gpt.raw1 : start=$g1, size=$g1_size, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
gpt.raw2 : start=$g2, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4
gpt.raw4 : start=$g4, size=$g4_size, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
EOF
place ext.img gpt.raw $g2
mkfs.fat -F 16 --offset=$g4 gpt.raw $((g4_size / 2)) >/dev/null 2>&1 && put_files gpt.raw $(bytes $g4)
truncate -s $(bytes $g1_size) ntfs.img
mkntfs -q -F -Q -p $g1 ntfs.img >/dev/null 2>&1
ntfs_files="WINDOWS/NOTEPAD.EXE MAIL.EML NEAR.HTM README.TXT"
for file in $ntfs_files; do ntfscp -q -f ntfs.img "files/$file" "${file##*/}" >/dev/null; done
place ntfs.img gpt.raw $g1
# What the run is to find on the NTFS volume, whose files are all in its root.
grep -e '^MAIL.EML:' -e '^WINDOWS/NOTEPAD.EXE:' expected | sed 's|^WINDOWS/||' >expected.ntfs
check "the disks are made" eval 'cmp -s attributes.fat <(attribute_list disk.raw $(bytes $p5)) &&
    cmp -s attributes.fat <(attribute_list floppy.raw 0) &&
    cmp -s attributes.fat <(attribute_list gpt.raw $(bytes $g4)) &&
    cmp -s <(ntfscat ntfs.img MAIL.EML) files/MAIL.EML'

# --- every container format: the same findings, and what the plain folder holds ---------

for format in raw:img qcow2:qcow2 vmdk:vmdk vdi:vdi vpc:vhd vhdx:vhdx; do
    image=disk.${format#*:} format=${format%:*}
    qemu-img convert -O $format disk.raw $image
    run $format --images $image
    check "$format: status 1, nothing on standard error" [ $rc = 1 -a ! -s $format.err ]
    check "$format: p1 findings" cmp -s <(findings $format.out $image//p1/) expected
    check "$format: p5 (logical) findings" cmp -s <(findings $format.out $image//p5/) expected
    check "$format: the ext partition said skipped" \
        grep -qx "$image//p6: ext file system, skipped" $format.out
    check "$format: no journal left" [ ! -e $image.torvoclean-journal ]
    qemu-img convert -O raw $image back.raw
    check_fat "$format p1" back.raw $p1 $p1_size
    check_fat "$format p5" back.raw $p5 $p5_size
    check "$format: the ext partition untouched" \
        cmp -s -i $(bytes $p6) -n $(bytes $p6_size) back.raw disk.raw
    rm -f $image back.raw
done

# --- names: text, JSON, the log, --exclude; a floppy; GPT with NTFS --------------------

cp floppy.raw floppy.img
run floppy --images floppy.img
check "floppy: findings named floppy.img//PATH" \
    eval '[ $rc = 1 ] && cmp -s <(findings floppy.out floppy.img//) expected'
check_fat floppy floppy.img 0 2880

cp gpt.raw gpt.img
run gpt --images --json --log=gpt.log gpt.img
check "gpt: status 1, every line JSON" eval '[ $rc = 1 ] && jq -e . gpt.out >/dev/null'
check "gpt: JSON image, partition (GPT entry numbers) and path" cmp -s \
    <(jq -r 'select(.outcome) | "\(.image) \(.partition) \(.path): \(.label) \(.outcome)"' gpt.out |
        sort) <({ sed 's|^|gpt.img p4 /|' expected; sed 's|^|gpt.img p1 /|' expected.ntfs; } | sort)
check "gpt: JSON skipped line" [ "$(jq -c 'select(.skipped)' gpt.out)" = \
    '{"image":"gpt.img","partition":"p2","skipped":"ext file system"}' ]
check "gpt: the log names as the text does" cmp -s <(log_part gpt.log findings) \
    <({ sed 's|^|gpt.img//p4/|' expected; sed 's|^|gpt.img//p1/|' expected.ntfs; } |
        sed 's/: [^ ]* \([A-Z]*\)$/    \1\r/' | sort)
check_fat "gpt p4" gpt.img $g4 $g4_size
cut_out gpt.img $g1 $g1_size volume
check "gpt p1 (NTFS): ntfsfix finds it sound" ntfsfix -n volume >/dev/null
check "gpt p1 (NTFS): repaired as in the plain folder" \
    cmp -s <(ntfscat volume NOTEPAD.EXE) plain/WINDOWS/NOTEPAD.EXE
check "gpt p1 (NTFS): worm deleted, the rest untouched" eval \
    'cmp -s <(sleuth_tree gpt.img $g1) <(printf "r %s\n" NEAR.HTM NOTEPAD.EXE README.TXT) &&
     cmp -s <(ntfscat volume NEAR.HTM) files/NEAR.HTM'

cp disk.raw exclude.img && cp -r files exclude
run exclude-plain --exclude='WINDOWS/*' --exclude='*.EML' exclude
run exclude --images --exclude='WINDOWS/*' --exclude='*.EML' exclude.img
check "exclude: matches the path inside the image" eval \
    'findings exclude-plain.out exclude/ >expected.exclude && [ -s expected.exclude ] &&
     cmp -s <(findings exclude.out exclude.img//p1/) expected.exclude &&
     cmp -s <(findings exclude.out exclude.img//p5/) expected.exclude'
rm -rf out untouched && mkdir out untouched && cp -r files/WINDOWS files/MAIL.EML untouched/
mcopy -s -i exclude.img@@$(bytes $p1) ::/WINDOWS ::/MAIL.EML out/
check "exclude: what it matched is untouched" diff -r out untouched

# --- --dry-run: not a byte changed, the same findings ----------------------------------

qemu-img convert -O qcow2 disk.raw dry.qcow2 && cp dry.qcow2 dry.qcow2.orig
cp gpt.raw dry.img
run dry -n --images dry.img dry.qcow2
check "dry run: status 1" [ $rc = 1 ]
check "dry run: images unchanged, no journal" eval 'cmp -s dry.img gpt.raw &&
    cmp -s dry.qcow2 dry.qcow2.orig && [ ! -e dry.img.torvoclean-journal ]'
check "dry run: the findings of the real run" cmp -s \
    <({ findings dry.out dry.img//p4/; findings dry.out dry.qcow2//p5/; } | sort) \
    <(sort expected expected)
check "dry run: every finding says so" \
    eval '! sed "/^-* SCAN SUMMARY/,\$d" dry.out | grep -v -e "(dry run)$" -e "skipped$" -e "^$"'
check "dry run: NTFS findings" cmp -s <(findings dry.out dry.img//p1/) expected.ntfs
# With its first GPT header damaged, the disk is read by its backup.
dd if=/dev/zero of=dry.img bs=512 seek=1 count=1 conv=notrunc status=none
run backup -n --images dry.img
check "damaged GPT: read by its backup header, said so" eval '[ $rc = 1 ] &&
    cmp -s <(findings backup.out dry.img//p4/) expected && grep -q backup backup.err'

# --- --quarantine and --restore inside an image: the disk as it was, byte for byte --------

cp gpt.raw kept.img
run kept --images --quarantine=kept kept.img
run restore --restore=kept
check "quarantine: every change restored, status 0" eval \
    '[ $rc = 0 ] && [ "$(grep -c ": RESTORED$" restore.out)" = "$(grep -c "DISINFECTED\|DELETED" kept.out)" ]'
cut_out kept.img $g4 $g4_size fatvolume
check "quarantine: FAT attributes as they were, volume sound" eval \
    'cmp -s <(attribute_list kept.img $(bytes $g4) | sort) <(attribute_list gpt.raw $(bytes $g4) | sort) &&
     fsck.fat -n fatvolume >/dev/null'
rm -rf out before && mkdir out before
mcopy -s -i kept.img@@$(bytes $g4) ::/ out/ && mcopy -s -i gpt.raw@@$(bytes $g4) ::/ before/
check "quarantine: FAT bytes as they were" diff -r out before
cut_out kept.img $g1 $g1_size volume
check "quarantine: NTFS files as they were, volume sound" eval \
    'ntfsfix -n volume >/dev/null && cmp -s <(sleuth_tree kept.img $g1) <(sleuth_tree gpt.raw $g1) &&
     cmp -s <(ntfscat volume NOTEPAD.EXE) files/WINDOWS/NOTEPAD.EXE'

# --- a folder of images -----------------------------------------------------------------

mkdir -p shelf/disks
cp disk.raw shelf/disks/disk.img
qemu-img convert -O vdi floppy.raw shelf/floppy.vdi
cp "files/My Documents/Holiday page.htm" shelf/page.htm
cp -r shelf shelf.orig
run shelf-files shelf
check "folder without --images: images are files" eval '[ $rc = 1 ] &&
    [ "$(findings shelf-files.out shelf/)" = "page.htm: JS.Torvo.A DISINFECTED" ] &&
    cmp -s shelf/disks/disk.img disk.raw && cmp -s shelf/floppy.vdi shelf.orig/floppy.vdi'
cp shelf.orig/page.htm shelf/
run shelf --images shelf
check "folder with --images: its images scanned as disks" eval '[ $rc = 1 ] &&
    cmp -s <(findings shelf.out shelf/disks/disk.img//p5/) expected &&
    cmp -s <(findings shelf.out shelf/floppy.vdi//) expected &&
    grep -qx "shelf/page.htm: JS.Torvo.A DISINFECTED" shelf.out'

# --- an image in use -------------------------------------------------------------------

# Held by qemu-nbd, as by a running QEMU: refused, in a real run and in a dry one.
qemu-img convert -O qcow2 disk.raw held.qcow2 && cp held.qcow2 held.qcow2.orig
cp disk.raw held.img
qemu-nbd --fork --pid-file="$work/qcow2.pid" --persistent --socket="$work/qcow2.sock" \
    --format=qcow2 held.qcow2
qemu-nbd --fork --pid-file="$work/raw.pid" --persistent --socket="$work/raw.sock" \
    --format=raw held.img
for image in held.qcow2 held.img; do
    for dry in "" -n; do
        run held $dry --images $image
        check "in use: $image $dry refused (status 2)" eval '[ $rc = 2 ] &&
            grep -q "^torvoclean: $image is in use by another program" held.err'
    done
done
for pid in $(cat qcow2.pid raw.pid); do
    kill $pid && while kill -0 $pid 2>/dev/null; do sleep 0.05; done
done
rm qcow2.pid raw.pid
check "in use: images unchanged" eval 'cmp -s held.qcow2 held.qcow2.orig && cmp -s held.img disk.raw'
# Another run of the tool (its lock, held here by flock): a real run is refused.
flock -s held.img -c "touch ready; while [ ! -e release ]; do sleep 0.1; done" &
for _ in $(seq 300); do [ -e ready ] && break; sleep 0.1; done
run held --images held.img
check "another run: refused (status 2)" eval '[ $rc = 2 ] &&
    grep -q "in use by another run of this tool" held.err && cmp -s held.img disk.raw'
run held -n --images held.img
check "another run: a dry run beside it goes on" [ $rc = 1 ]
touch release && wait && rm release ready

# --- broken images: a clear error, status 2, no crash or hang, nothing changed -------------

broken() {  # broken NAME WORDS: a run over NAME gives status 2 and an error saying WORDS
    cp "$1" "$1.orig"
    run broken --images "$1"
    check "broken $1: status 2 (was $rc)" [ $rc = 2 ]
    check "broken $1: says \"$2\"" grep -q "$2" broken.err
    check "broken $1: unchanged" cmp -s "$1" "$1.orig"
}
head -c 737280 floppy.raw >truncated.img
broken truncated.img truncated
cp disk.raw past-end.img  # p1 and the extended partition made 512 MiB long
printf '\0\0\x10\0' | dd of=past-end.img bs=1 seek=458 conv=notrunc status=none
printf '\0\0\x10\0' | dd of=past-end.img bs=1 seek=474 conv=notrunc status=none
broken past-end.img "past the end"
# FAT16, no partition table: 4 reserved sectors, 2048 bytes a cluster. WINDOWS (cluster 2)
# is made to loop onto itself, MAIL.EML (clusters 3 to 23) back to its start.
mkfs.fat -F 16 -s 4 -R 4 -C loop.img 16384 >/dev/null
mmd -i loop.img ::/WINDOWS && mcopy -i loop.img files/MAIL.EML ::/ &&
    mcopy -i loop.img files/WINDOWS/NOTEPAD.EXE ::/WINDOWS/
check "loop: the layout is as this test takes it" \
    [ "$(od -An -tx2 -j 2052 -N 2 loop.img)$(od -An -tx2 -j 2094 -N 2 loop.img)" = " ffff ffff" ]
printf '\2\0' | dd of=loop.img bs=1 seek=2052 conv=notrunc status=none
printf '\3\0' | dd of=loop.img bs=1 seek=2094 conv=notrunc status=none
broken loop.img WINDOWS
check "broken loop.img: says MAIL.EML" grep -q MAIL.EML broken.err
{ printf 'QFI\373'; head -c 100000 /dev/urandom; } >garbage.qcow2
broken garbage.qcow2 "cannot serve"
{ head -c 510 /dev/urandom; printf '\125\252'; head -c 100000 /dev/urandom; } >garbage.img
broken garbage.img "partition table"
# A file that is no image is scanned as the file it is.
printf 'just text\n' >notes.img
run notes --images notes.img
check "no image: scanned as a file" \
    eval '[ $rc = 0 -a ! -s notes.err ] && grep -qx "Scanned files: 1" notes.out'

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
