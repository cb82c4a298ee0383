#!/bin/bash
# The Linux tool on archives made by the tools users have (zip, 7z, bsdtar, gcab,
# xorriso): every form of infected file inside each, found and named; in the formats it
# writes (ZIP, 7z, TAR and its compressed forms), the archive left holds what a run over
# the same files as a plain folder leaves, every member with its name, time and mode as
# it was, and passes the format's own test; nested archives; the formats it does not
# write left byte for byte; --remove, --dry-run, --no-archives, --quarantine, the log;
# the limits; broken and crafted archives; a run killed before each of its
# file-changing calls.
#   archives_e2e.sh PROGRAM SAMPLEGEN
# Exits 77 (skipped) where one of those tools is missing.
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C TZ=UTC
source "$(dirname "$0")/../support/check.sh"

export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
for tool in zip unzip 7z bsdtar gcab xorriso strace timeout mkfs.fat mcopy fsck.fat; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing (wanted: zip, unzip, p7zip-full, libarchive-tools, gcab, xorriso, dosfstools, mtools)"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-archives-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"

run() {  # run NAME ARGS...: NAME.out, NAME.err, the status in $rc
    timeout 120 "$program" "${@:2}" >"$1.out" 2>"$1.err"
    rc=$?
}
# The finding lines of a run's text below PREFIX, without it and "(dry run)", sorted.
findings() {  # findings OUT PREFIX
    sed '/^-* SCAN SUMMARY/,$d' "$1" | awk -v p="$2" 'index($0, p) == 1 {
        print substr($0, length(p) + 1) }' | sed 's/ (dry run)$//' | sort
}
# Mode, time and name of every member, sorted.
listing() { bsdtar -tvf "$1" | awk '{ print $1, $6, $7, $8, $9 }' | sort; }
extract() {  # extract ARCHIVE DIR
    rm -rf "$2" && mkdir -p "$2" && bsdtar -xf "$1" -C "$2"
}

# --- the files, and the oracle: a run over them as a plain folder ---------------------
mkdir -p src/docs
"$samplegen" exe --variant a src/program.exe >/dev/null
"$samplegen" exe --variant e --depth 2 src/nested.exe >/dev/null
"$samplegen" exe --variant e --no-host src/worm.exe >/dev/null
"$samplegen" page src/docs/page.htm >/dev/null
"$samplegen" mail --variant a src/mail-a.eml >/dev/null
"$samplegen" clean-exe src/clean.exe >/dev/null
"$samplegen" near-miss page-first-half src/docs/near.htm >/dev/null
printf 'just text\n' >src/docs/readme.txt
touch -d '2001-02-03 04:05:06' src/docs/readme.txt src/program.exe
cp -a src plain
run plain plain
check "the plain folder's run finds the five infected files" [ "$(findings plain.out plain/ | wc -l)" = 5 ]
findings plain.out plain/ >expected-findings
gone=$(cd src && for f in $(find . -type f | sed 's|^\./||'); do [ -e "../plain/$f" ] || echo "$f"; done)

# --- every writable format: repaired as the plain folder, the rest as it was -----------
pack() {  # pack FORMAT ARCHIVE: the files of src/ in it
    local files
    files=$(cd src && find . -mindepth 1 | sed 's|^\./||' | sort)
    case $1 in
        zip) (cd src && zip -qX -r "../$2" $files) ;;
        7z) (cd src && 7z a -bd -bb0 "../$2" $files >/dev/null) ;;
        tar | tar.gz | tar.bz2 | tar.xz) (cd src && bsdtar -n -caf "../$2" $files) ;;
        cab) (cd src && gcab -c "../$2" program.exe worm.exe docs/page.htm docs/readme.txt) ;;
        iso) xorriso -as mkisofs -quiet -R -o "$2" src 2>/dev/null ;;
    esac
}
for format in zip 7z tar tar.gz tar.bz2 tar.xz; do
    pack $format "a.$format"
    listing "a.$format" >"before.$format"
    run "$format" "a.$format"
    check "$format: findings as in the plain folder" cmp -s <(findings $format.out "a.$format//") expected-findings
    check "$format: status 1" [ $rc = 1 ]
    extract "a.$format" "out.$format"
    check "$format: the archive holds what the plain folder holds" diff -r "out.$format" plain
    check "$format: every member kept its name, mode and time" cmp -s \
        <(listing "a.$format" | awk '{ print $1, $2, $3, $4, $5 }' | grep -v 'page.htm\|program.exe\|nested.exe') \
        <(grep -v 'page.htm\|program.exe\|nested.exe\|worm.exe\|mail-a.eml' "before.$format")
    check "$format: no work file is left" [ ! -e "a.$format.cln" ]
done
check "unzip -t passes on the new ZIP" unzip -tq a.zip
check "7z t passes on the new 7z" 7z t a.7z
check "a second run finds nothing" "$program" -q a.zip a.7z a.tar.xz

# --- formats it does not write: reported, left as they were; --remove ---------------
for format in cab iso; do
    pack $format "a.$format"
    cp "a.$format" "orig.$format"
    run "$format" --remove "a.$format"
    check "$format: infected members reported not cleaned, with the reason" \
        grep -q "a.$format//.*DISINFECTION FAILED: .* archives are not written" $format.out
    check "$format: left byte for byte" cmp -s "a.$format" "orig.$format"
done
check "the ISO's page is found" grep -q 'a.iso//docs/page.htm: JS.Torvo.A' iso.out
(cd src && gcab -c ../worms.cab worm.exe)
run worms --remove worms.cab
check "--remove deletes a CAB that holds nothing but the worm" [ ! -e worms.cab ]
(cd src && gcab -c ../worms.cab worm.exe)
run worms-kept worms.cab
check "without --remove, it stays" [ -e worms.cab ]

# --- nested: a ZIP in a 7z in a TAR, each written anew --------------------------------
pack zip inner.zip && mkdir -p nest && cp inner.zip nest/ && cp src/docs/readme.txt nest/
(cd nest && 7z a -bd -bb0 ../middle.7z inner.zip readme.txt >/dev/null)
bsdtar -cf outer.tar middle.7z
run nested outer.tar
check "nested: findings named through every level" cmp -s \
    <(findings nested.out "outer.tar//middle.7z//inner.zip//") expected-findings
extract outer.tar out.outer && extract out.outer/middle.7z out.middle && extract out.middle/inner.zip out.inner
check "nested: the innermost archive holds what the plain folder holds" diff -r out.inner plain
check "nested: the middle 7z passes 7z t" 7z t out.outer/middle.7z

# --- an archive inside a disk image is repaired inside it --------------------------------
truncate -s 20M fat.img && mkfs.fat -F 16 fat.img >/dev/null && mcopy -i fat.img inner.zip ::A.ZIP
run image --images fat.img
check "in an image: findings named through the image" cmp -s <(findings image.out fat.img//A.ZIP//) expected-findings
mcopy -i fat.img ::A.ZIP image.zip && extract image.zip out.image
check "in an image: the archive holds what the plain folder holds" diff -r out.image plain
check "in an image: the file system is sound" fsck.fat -n fat.img

# --- --dry-run, --no-archives, the log, JSON ---------------------------------------------
pack zip d.zip && cp d.zip d.orig
run dry --dry-run --log="$work/dry.log" d.zip
check "dry run: the findings, and nothing changed" cmp -s <(findings dry.out d.zip//) expected-findings
check "dry run: the archive as it was" cmp -s d.zip d.orig
check "the log names members as the output does" grep -q $'^d.zip//docs/page.htm    DISINFECTED\r$' dry.log
run off --no-archives d.zip
check "--no-archives: nothing is looked into" [ $rc = 0 ]
run json --json -n d.zip
check "JSON names a member by its path" grep -q '"path":"d.zip//docs/page.htm"' json.out

# --- --quarantine keeps the original archive, --restore puts it back --------------------
mkdir -p q && cp d.orig q.zip
run keep --quarantine="$work/kept" q.zip
check "quarantine: the archive was repaired" [ $rc = 1 ] && ! cmp -s q.zip d.orig
run restore --restore="$work/kept"
check "restore: the original archive is back" cmp -s q.zip d.orig

# --- limits ------------------------------------------------------------------------------
head -c 50000000 /dev/zero >zeros.bin && zip -q9 bomb.zip zeros.bin && rm zeros.bin
run bomb bomb.zip
check "a member that expands a thousand-fold is told, status 2" \
    grep -q 'bomb.zip//zeros.bin: not scanned whole: .*compression bomb' bomb.err
check "  status 2" [ $rc = 2 ]
cp src/worm.exe w.exe && zip -q n0.zip w.exe
for i in $(seq 1 12); do zip -q n$i.zip n$((i - 1)).zip; done
run deep n12.zip
check "nesting past the limit is told, status 2" grep -q 'not scanned whole: nested deeper' deep.err
check "  status 2" [ $rc = 2 ]
# 42-style: sixteen copies of one big member at each of three levels
head -c 4000000 /dev/zero | tr '\0' 'a' >big.txt && zip -q9 l0.zip big.txt
for i in 1 2 3; do
    for c in $(seq 10 25); do cp l$((i - 1)).zip c$c.zip; done
    zip -q l$i.zip c*.zip && rm c*.zip
done
run fortytwo l3.zip
check "a 42-style archive stops at the limit of all unpacked" grep -q 'more unpacked from one file than the limit' fortytwo.err
run members --max-members=3 d.zip
check "--max-members is told" grep -q 'more members than the limit' members.err
run size --max-member-size=10K d.zip
check "--max-member-size is told, and the smaller members still cleaned" \
    grep -q 'd.zip//program.exe: not scanned whole: larger than the limit' size.err
check "  the page inside is still repaired" grep -q 'd.zip//docs/page.htm: JS.Torvo.A DISINFECTED' size.out
run badsize --max-unpacked=12X d.zip
check "a wrong size is refused" [ $rc = 2 ]

# --- broken and crafted archives: a message, never a crash or a write outside -----------
pack zip good.zip
head -c 40000 good.zip >truncated.zip
dd if=/dev/urandom of=corrupt.7z bs=1k count=20 status=none && printf '7z\xbc\xaf\x27\x1c' |
    dd of=corrupt.7z conv=notrunc status=none
mkdir -p crafted/sub && "$samplegen" page crafted/sub/evil.htm >/dev/null
(cd crafted/sub && bsdtar -cf ../../dotdot.tar -s ',^,../../,' evil.htm &&
    bsdtar -cPf ../../absolute.tar -s ',^,/tmp/torvo-escape-,' evil.htm)
run broken truncated.zip corrupt.7z dotdot.tar absolute.tar
check "broken archives: no crash" [ $rc -le 2 ]
check "a truncated ZIP is told" grep -q '^torvoclean: truncated.zip.*not scanned whole' broken.err
check "a corrupt 7z is told" grep -q '^torvoclean: corrupt.7z.*not scanned whole' broken.err
check "a member named ../../ is repaired inside its archive" \
    grep -q 'dotdot.tar//../../evil.htm: JS.Torvo.A DISINFECTED' broken.out
check "  and nothing is written outside" [ ! -e ../evil.htm ] && [ ! -e /tmp/torvo-escape-evil.htm ]
check "  the name stays as it was" [ "$(bsdtar -tf dotdot.tar)" = ../../evil.htm ]

# --- one-thread and parallel runs log alike ---------------------------------------------
mkdir -p tree/a tree/b && pack zip tree/a/x.zip && pack 7z tree/b/y.7z && cp -a src/. tree/b/
cp -a tree tree2
TORVOCLEAN_JOBS=1 run one /silent tree "/log=$work/one.log"
TORVOCLEAN_JOBS=4 run four /silent tree2 "/log=$work/four.log"
check "parallel and one-thread logs alike" cmp -s <(sed 's/tree2/tree/' four.log) one.log

# --- a run killed before each of its file-changing calls loses nothing ----------------
pack zip k.zip && cp k.zip k.orig
extract k.orig k.orig.d
calls=openat,write,pwrite64,ftruncate,fsync,fdatasync,unlinkat,renameat2,rename,fchmod
lost=0 points=0
for n in $(seq 1 80); do
    cp k.orig k.zip && rm -f k.zip.cln restart-list.ini
    # (the shell of the substitution tells of the kill, to /dev/null)
    status=$(exec 2>/dev/null; TORVOCLEAN_JOBS=1 strace -f -qq -o /dev/null \
        --inject="$calls:signal=KILL:when=$n" "$program" -q k.zip >/dev/null; echo $?)
    [ "$status" = 137 ] || break
    points=$((points + 1))
    extract k.zip k.cut 2>/dev/null
    # a cut leaves the archive as it was, or repaired whole
    if ! cmp -s k.zip k.orig && ! diff -rq k.cut plain >/dev/null; then lost=$((lost + 1)); fi
    "$program" -q k.zip >/dev/null 2>&1
    extract k.zip k.after 2>/dev/null
    if ! diff -rq k.after plain >/dev/null || [ -e k.zip.cln ]; then lost=$((lost + 1)); fi
done
echo "the archive repair was killed at $points points"
check "killed at $points points: the archive always whole, and repaired by the next run" \
    [ $points -gt 10 ] && [ $lost = 0 ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
