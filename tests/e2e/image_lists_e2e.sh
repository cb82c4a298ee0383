#!/bin/bash
# The restart list of the Windows inside a disk image, as `--images` finds it: the
# [rename] section of WININIT.INI (Windows 95 family) and PendingFileRenameOperations in
# the SYSTEM hive (NT family, the hive made by samplegen). A file repaired or deleted now
# loses the entries of this program's that were waiting for it, and so does a clean file
# that they would delete or replace; every other entry stays byte for byte; a hive whose
# transaction log waits is never written, and the files it holds entries for are left
# alone; a dry run changes nothing. Images are made and read back with dosfstools,
# mtools and sfdisk, hives read back with hivexget: nothing is mounted.
#   image_lists_e2e.sh TORVOCLEAN SAMPLEGEN
# Exits 77 (skipped) where one of those tools is missing.
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C.UTF-8 PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1
source "$(dirname "$0")/../support/check.sh"

for tool in mkfs.fat fsck.fat mcopy mmd mtype mshortname sfdisk hivexget; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing (scripts/setup installs dosfstools, mtools, fdisk and libhivex-bin)"
        exit 77
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-image-lists-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export TORVOCLEAN_RESTART_LIST="$work/host-restart-list.ini" TMPDIR="$work"

# --- helpers ---------------------------------------------------------------------------

fat() {  # fat IMAGE SIZE MKFS.FAT-OPTIONS...: an empty FAT volume
    local image=$1 size=$2
    shift 2
    truncate -s "$size" "$image" && mkfs.fat "$@" "$image" >/dev/null
}
put() { mcopy -i "$1" "$3" "::$2"; }                        # put IMAGE PATH FILE
same() { cmp -s <(mtype -i "$1" "::$2" 2>/dev/null) "$3"; }  # same IMAGE PATH FILE
gone() { ! mtype -i "$1" "::$2" >/dev/null 2>&1; }          # gone IMAGE PATH
short() { mshortname -i "$1" "::$2" | sed 's|^::/||; s|/|\\|g'; }  # short IMAGE PATH
# fsck.fat -n finds nothing: its first line and the summary are all it prints.
fsck_clean() {
    local out
    out=$(fsck.fat -n "$1" 2>&1) || { echo "$out"; return 1; }
    out=$(sed '1d; /: [0-9]* files, [0-9]*\/[0-9]* clusters$/d' <<<"$out")
    [ -z "$out" ] || { echo "$out"; return 1; }
}
crlf() { printf '%s\r\n' "$@"; }
findings() { grep -v '^$' "$1" | sed '/^-* SCAN SUMMARY/,$d' | sort; }  # findings OUTPUT
values() { hivexget "$1" "$2"; }  # values HIVE KEY: every value of KEY, its bytes in hex

"$samplegen" page page.htm >/dev/null
head -c -120 page.htm >plain.htm
"$samplegen" clean-exe host.exe >/dev/null
"$samplegen" exe --variant e --host host.exe prog.exe >/dev/null
"$samplegen" exe --variant a --no-host worm.exe >/dev/null
printf 'Notes, nothing more.\r\n' >notes.txt
printf '<html><body>Home</body></html>\r\n' >home.htm
printf '<html><body>Home, an older copy</body></html>\r\n' >home-old.htm
printf 'a file of another program\r\n' >other.bin

# --- the Windows 95 family: WININIT.INI on a volume without a partition table ----------

fat w95.img 16M -F 16
mmd -i w95.img ::/WINDOWS ::/WINDOWS/SYSTEM
put w95.img /WINDOWS/WIN.COM other.bin
put w95.img /WINDOWS/PAGE.HTM page.htm            # infected, its repair waiting
put w95.img /WINDOWS/PAGE.HTM.cln plain.htm
put w95.img /WINDOWS/WORM.EXE worm.exe            # a worm, its deletion waiting
put w95.img /WINDOWS/NOTES.TXT notes.txt          # clean, this program's deletion waiting
put w95.img /WINDOWS/HOME.HTM home.htm            # clean, a repair waiting to replace it
put w95.img /WINDOWS/HOME.HTM.cln home-old.htm
put w95.img /WINDOWS/SYSTEM/OTHER.DLL other.bin
{ crlf '[Settings]' 'Written=by Setup' '' '[rename]' 'NUL=C:\TEMP\SETUP1.TMP'
  crlf "C:\\WINDOWS\\PAGE.HTM=C:\\$(short w95.img /WINDOWS/PAGE.HTM.cln)"
  crlf 'C:\WINDOWS\SYSTEM\OTHER.DLL=C:\WINDOWS\SYSTEM\OTHER.NEW'
  crlf 'C:\WINDOWS\WORM.EXE.cln=C:\WINDOWS\WORM.EXE' 'NUL=C:\WINDOWS\WORM.EXE.cln'
  crlf 'C:\WINDOWS\NOTES.TXT.cln=C:\WINDOWS\NOTES.TXT' 'NUL=C:\WINDOWS\NOTES.TXT.cln'
  crlf "C:\\WINDOWS\\HOME.HTM=C:\\$(short w95.img /WINDOWS/HOME.HTM.cln)"
  crlf 'NUL=C:\WINDOWS\NOTES.TXT'; } >wininit.ini
put w95.img /WINDOWS/WININIT.INI wininit.ini
{ crlf '[Settings]' 'Written=by Setup' '' '[rename]' 'NUL=C:\TEMP\SETUP1.TMP'
  crlf 'C:\WINDOWS\SYSTEM\OTHER.DLL=C:\WINDOWS\SYSTEM\OTHER.NEW' 'NUL=C:\WINDOWS\NOTES.TXT'
} >wininit.expected
cp w95.img w95.orig

"$program" --images --dry-run w95.img >dry.txt 2>&1
check "95: dry run changes nothing" cmp -s w95.img w95.orig
"$program" --images w95.img >out.txt 2>&1
check "95: status 1, infected files found" [ $? = 1 ]
{ echo 'w95.img//WINDOWS/PAGE.HTM: JS.Torvo.A DISINFECTED'
  echo 'w95.img//WINDOWS/WORM.EXE: Win32.Torvo.A@mm DELETED'; } >expected.txt
check "95: a line a finding" cmp -s <(findings out.txt) expected.txt
check "95: infected page repaired, its work file gone" \
    eval 'same w95.img /WINDOWS/PAGE.HTM plain.htm && gone w95.img /WINDOWS/PAGE.HTM.cln'
check "95: worm deleted" gone w95.img /WINDOWS/WORM.EXE
check "95: clean files stay, the waiting work file goes" \
    eval 'same w95.img /WINDOWS/NOTES.TXT notes.txt && same w95.img /WINDOWS/HOME.HTM home.htm &&
          gone w95.img /WINDOWS/HOME.HTM.cln'
check "95: own entries taken back, the others' kept as they were" \
    same w95.img /WINDOWS/WININIT.INI wininit.expected
check "95: fsck.fat finds nothing" fsck_clean w95.img
check "95: the dry run told what the run did" \
    cmp -s <(findings dry.txt | sed 's/ (dry run)$//') <(findings out.txt)

# --- the NT family: the SYSTEM hive on C: of an MBR disk, and D: ------------------------

signature=0x1234abcd
c_start=2048 c_size=69632 d_start=71680 d_size=16384  # in sectors of 512 bytes
drives=(--drive "C:$signature:$((c_start * 512))" --drive "D:$signature:$((d_start * 512))")
# Other programs' entries, and this program's, in the hive's order.
app=('\??\C:\Program Files\Other\app.new' '!\??\C:\Program Files\Other\app.dll')
temp=('\??\C:\Dokumente\Übersicht €𝄞.tmp' '')
other=('\??\D:\DATA\other.txt' '')
page=('\??\C:\WINDOWS\PAGE.HTM.cln' '!\??\C:\WINDOWS\PAGE.HTM')
notes=('\??\C:\WINDOWS\NOTES.TXT' '!\??\C:\WINDOWS\NOTES.TXT.cln' '\??\C:\WINDOWS\NOTES.TXT.cln' '')
held=('\??\D:\DATA\HELD.HTM.cln' '!\??\D:\DATA\HELD.HTM')
listed=("${app[@]}" "${page[@]}" "${temp[@]}" "${notes[@]}" "${held[@]}" "${other[@]}")
kept=("${app[@]}" "${temp[@]}" "${held[@]}" "${other[@]}")
hive() {  # hive OUT [--pending-log] PAIRS...: control set 2 current, 1 the last known good
    local out=$1 log=
    shift
    [ "$1" = --pending-log ] && { log=$1; shift; }
    local args=() i
    for ((i = 1; i < $#; i += 2)); do args+=(--pending "${!i}" "${@:i+1:1}"); done
    "$samplegen" system-hive --current 2 --last-known-good 1 "${drives[@]}" $log "${args[@]}" "$out"
}

# nt_disk IMAGE [--pending-log]: C: (FAT32) with the Windows, D: (FAT16) with data.
nt_disk() {
    hive SYSTEM.new ${2:-} "${listed[@]}" || return 1
    fat c.fs $((c_size * 512)) -F 32 -s 1 -h $c_start
    mmd -i c.fs ::/WINDOWS ::/WINDOWS/system32 ::/WINDOWS/system32/config
    put c.fs /WINDOWS/system32/config/SYSTEM SYSTEM.new
    put c.fs /WINDOWS/PAGE.HTM page.htm       # infected, its repair waiting
    put c.fs /WINDOWS/PAGE.HTM.cln plain.htm
    put c.fs /WINDOWS/NOTES.TXT notes.txt     # clean, this program's deletion waiting
    put c.fs /WINDOWS/PROG.EXE prog.exe       # infected, nothing waiting
    fat d.fs $((d_size * 512)) -F 16 -s 1 -h $d_start
    mmd -i d.fs ::/DATA
    put d.fs /DATA/FREE.HTM page.htm          # infected, nothing waiting
    put d.fs /DATA/HELD.HTM page.htm          # infected, its repair waiting on D:
    put d.fs /DATA/HELD.HTM.cln plain.htm
    rm -f "$1"
    truncate -s $(((d_start + d_size) * 512)) "$1"
    printf 'label: dos\nlabel-id: %s\nunit: sectors\nstart=%s, size=%s, type=c\nstart=%s, size=%s, type=6\n' \
        $signature $c_start $c_size $d_start $d_size | sfdisk -q "$1" >/dev/null
    dd if=c.fs of="$1" bs=512 seek=$c_start conv=notrunc,sparse status=none
    dd if=d.fs of="$1" bs=512 seek=$d_start conv=notrunc,sparse status=none
}
volumes() {  # volumes IMAGE: its two volumes back as c.fs and d.fs
    dd if="$1" of=c.fs bs=512 skip=$c_start count=$c_size status=none
    dd if="$1" of=d.fs bs=512 skip=$d_start count=$d_size status=none
}
hive_back() { rm -f SYSTEM.back && mcopy -i c.fs ::/WINDOWS/system32/config/SYSTEM SYSTEM.back; }

nt_disk nt.img
cp SYSTEM.new SYSTEM.orig
hive SYSTEM.expected "${kept[@]}"
cp nt.img nt.orig
"$program" --images --dry-run nt.img >dry.txt 2>&1
check "NT: dry run changes nothing" cmp -s nt.img nt.orig
"$program" --images nt.img >out.txt 2>&1
check "NT: status 1, infected files found" [ $? = 1 ]
{ echo 'nt.img//p1/WINDOWS/PAGE.HTM: JS.Torvo.A DISINFECTED'
  echo 'nt.img//p1/WINDOWS/PROG.EXE: Win32.Torvo.E@mm DISINFECTED'
  echo 'nt.img//p2/DATA/FREE.HTM: JS.Torvo.A DISINFECTED'
  echo 'nt.img//p2/DATA/HELD.HTM: JS.Torvo.A DISINFECTION FAILED'; } >expected.txt
check "NT: a line a finding" cmp -s <(findings out.txt) expected.txt
volumes nt.img && hive_back
check "NT: infected files repaired, the waiting work file gone" \
    eval 'same c.fs /WINDOWS/PAGE.HTM plain.htm && gone c.fs /WINDOWS/PAGE.HTM.cln &&
          same c.fs /WINDOWS/PROG.EXE host.exe && same d.fs /DATA/FREE.HTM plain.htm'
check "NT: a clean file with its deletion waiting stays" same c.fs /WINDOWS/NOTES.TXT notes.txt
check "NT: the current control set loses own entries, other programs' kept byte for byte" \
    cmp -s <(values SYSTEM.back 'ControlSet002\Control\Session Manager') \
    <(values SYSTEM.expected 'ControlSet002\Control\Session Manager')
for key in 'ControlSet001\Control\Session Manager' Select MountedDevices; do
    check "NT: $key as it was" cmp -s <(values SYSTEM.back "$key") <(values SYSTEM.orig "$key")
done
check "NT: a file of D: with entries waiting is left alone (only C: writes the hive)" \
    eval 'same d.fs /DATA/HELD.HTM page.htm && same d.fs /DATA/HELD.HTM.cln plain.htm'
check "NT: fsck.fat finds nothing on C: and D:" eval 'fsck_clean c.fs && fsck_clean d.fs'
check "NT: the dry run told what the run did" \
    cmp -s <(findings dry.txt | sed 's/ (dry run)$//') <(findings out.txt)

# The hive's transaction log waits: the hive is never written, the files it names are
# left alone, the others repaired.
nt_disk log.img --pending-log
"$program" --images log.img >out.txt 2>&1
check "log: status 1, infected files found" [ $? = 1 ]
volumes log.img && hive_back
check "log: hive as it was" cmp -s SYSTEM.back SYSTEM.new
check "log: files with entries left alone" \
    eval 'same c.fs /WINDOWS/PAGE.HTM page.htm && same c.fs /WINDOWS/PAGE.HTM.cln plain.htm &&
          same c.fs /WINDOWS/NOTES.TXT notes.txt &&
          same d.fs /DATA/HELD.HTM page.htm && same d.fs /DATA/HELD.HTM.cln plain.htm'
check "log: files without entries repaired" \
    eval 'same c.fs /WINDOWS/PROG.EXE host.exe && same d.fs /DATA/FREE.HTM plain.htm'
check "log: fsck.fat finds nothing on C: and D:" eval 'fsck_clean c.fs && fsck_clean d.fs'

check "no copy of a hive left behind" [ -z "$(find . -name 'torvoclean-hive-*')" ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
