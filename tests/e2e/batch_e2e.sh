#!/bin/bash
# End-to-end tests of the unattended mode: the real program on real folder trees made
# with samplegen, logs compared byte for byte (findings as a set: they come in the
# file system's order), and what became of each file.
#   batch_e2e.sh native PROGRAM SAMPLEGEN
#   batch_e2e.sh wine   PROGRAM SAMPLEGEN WINE_RUN E2ETOOL
set -u
mode=$1 program=$(realpath "$2") samplegen=$(realpath "$3")
export LC_ALL=C LC_COLLATE=C
failures=0 passes=0
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-e2e-XXXXXX")
trap 'release_all; [ "$mode" = wine ] && stop_wine; rm -rf "$work"' EXIT

if [ "$mode" = wine ]; then
    wine_run=$(realpath "$4") e2etool=$(realpath "$5")
    export TORVO_WINE_PREFIXES="$work/wine"
    # File names reach Wine in UTF-8 and the program in the ANSI code page (1252).
    export LC_ALL=C.UTF-8
    "$wine_run" "$e2etool" attributes 'c:\' >/dev/null  # makes the prefix
    drive_c="$TORVO_WINE_PREFIXES/nt/drive_c"
    base_unix="$drive_c/e2e"
    base='c:\e2e' sep='\'
    export WINEPREFIX="$TORVO_WINE_PREFIXES/nt"
else
    export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"
    base_unix="$work/e2e"
    base="$base_unix" sep=/
fi

# --- helpers ---------------------------------------------------------------------

stop_wine() {
    local server=/usr/lib/wine/wineserver64
    [ -x "$server" ] || server=wineserver
    timeout 15 "$server" -k >/dev/null 2>&1
}

check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        echo "FAIL: $1"
    fi
}

unix_path() {  # the Unix name of a path under $base
    local rest=${1#"$base"}
    [ "$mode" = wine ] && rest=${rest//\\//}
    echo "$base_unix$rest"
}

scan() {  # scan ARGS...: runs the program with ARGS from inside $base
    if [ "$mode" = wine ]; then
        (cd "$base_unix" && timeout 120 "$wine_run" "$program" "$@" >/dev/null)
    else
        (cd "$base_unix" && timeout 120 "$program" "$@" 2>/dev/null)
    fi
}

fresh_tree() {  # fresh_tree NAME: a folder of known content under $base
    local dir="$base_unix/$1"
    rm -rf "$dir"
    mkdir -p "$dir/sub"
    printf 'just text\n' >"$dir/clean.txt"
    "$samplegen" page "$dir/Page.HTM" >/dev/null
    "$samplegen" exe --variant a --no-host "$dir/worm.exe" >/dev/null
    "$samplegen" mail --variant e "$dir/mail.eml" >/dev/null
    head -c 5000 /dev/urandom >"$work/host.bin"
    "$samplegen" exe --variant e --host "$work/host.bin" "$dir/sub/Prog.exe" >/dev/null
    "$samplegen" near-miss page-extra-byte "$dir/sub/near.htm" >/dev/null
}

# The log of fresh_tree scanned from START.
tree_log() {  # tree_log START
    printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'
    printf '%s    DISINFECTED\r\n' "$1${sep}Page.HTM" "$1${sep}sub${sep}Prog.exe"
    printf '%s    DELETED\r\n' "$1${sep}worm.exe" "$1${sep}mail.eml"
    printf 'Infected files          4\r\nCouldn'"'"'t open           0\r\n'
}

tree_was_cleaned() {  # tree_was_cleaned NAME
    local dir="$base_unix/$1"
    "$samplegen" page "$work/expected.htm" >/dev/null
    head -c -120 "$work/expected.htm" >"$work/plain.htm"
    cmp -s "$dir/Page.HTM" "$work/plain.htm" && cmp -s "$dir/sub/Prog.exe" "$work/host.bin" &&
        [ ! -e "$dir/worm.exe" ] && [ ! -e "$dir/mail.eml" ] && [ -e "$dir/sub/near.htm" ] &&
        [ -z "$(find "$dir" -name '*.cln')" ]
}

log_part() {  # log_part FILE head|findings|tail
    case $2 in
        head) head -n 2 "$1" ;;
        findings) awk 'NR > 2 && /^Infected files/ { exit } NR > 2 { print }' "$1" | sort ;;
        tail) sed -n '/^Infected files/,$p' "$1" ;;
    esac
}

same_log() {  # same_log ACTUAL EXPECTED
    [ -f "$1" ] || return 1
    local part
    for part in head findings tail; do
        if ! cmp -s <(log_part "$1" $part) <(log_part "$2" $part); then
            echo "  log $part differs:"; diff <(log_part "$1" $part | od -c) <(log_part "$2" $part | od -c) | head -10
            return 1
        fi
    done
}

holders=()
hold() {  # hold FILE read|none: another process holds FILE open (read sharing or none)
    local ready="$work/ready.$RANDOM" release="$work/release.$RANDOM"
    if [ "$mode" = wine ]; then
        "$wine_run" "$e2etool" hold "$1" "$2" "$(winepath_of "$ready")" "$(winepath_of "$release")" &
    else
        local lock=-s
        [ "$2" = none ] && lock=-x
        flock $lock "$(unix_path "$1")" -c "touch '$ready'; while [ ! -e '$release' ]; do sleep 0.1; done" &
    fi
    holders+=("$!:$release")
    for _ in $(seq 300); do [ -e "$ready" ] && return; sleep 0.1; done
    echo "holder did not start"
}

release_all() {
    local holder
    for holder in "${holders[@]}"; do touch "${holder#*:}"; wait "${holder%%:*}" 2>/dev/null; done
    holders=()
}

winepath_of() { echo "z:${1//\//\\}"; }

restart() {
    if [ "$mode" = wine ]; then
        timeout 60 /usr/lib/wine/wine64 wineboot -r >/dev/null 2>&1 </dev/null
    else
        mkdir -p "$work/empty"
        "$program" /silent /restart "$work/empty"
    fi
}

mkdir -p "$base_unix"

# --- cases -----------------------------------------------------------------------

# Options in capitals; the whole line is lowercased on Windows and left as typed here.
fresh_tree Tree
if [ "$mode" = wine ]; then
    scan /SILENT 'C:\E2E\Tree' '/LOG=C:\E2E\Scan.TXT'
    tree_log 'c:\e2e\tree' >"$work/expected.log"
    check "capitals: log name lowercased" [ -f "$base_unix/scan.txt" ]
    check "capitals: log" same_log "$base_unix/scan.txt" "$work/expected.log"
else
    scan /SILENT "$base/Tree" "/LOG=$base/Scan.TXT"
    tree_log "$base/Tree" >"$work/expected.log"
    check "capitals: log" same_log "$base_unix/Scan.TXT" "$work/expected.log"
fi
check "capitals: tree cleaned" tree_was_cleaned Tree

# One trailing separator is removed, a second one stays.
for ending in "$sep" "$sep$sep"; do
    fresh_tree tree
    scan /silent "$base${sep}tree$ending" "/log=$base${sep}trail.txt"
    tree_log "$base${sep}tree${ending%"$sep"}" >"$work/expected.log"
    check "trailing '$ending': log" same_log "$base_unix/trail.txt" "$work/expected.log"
    check "trailing '$ending': tree cleaned" tree_was_cleaned tree
done

# "/silent" without a path does nothing at all, whatever else is given.
fresh_tree tree
scan /silent "/log=$base${sep}none.txt" /restart /remove
check "no path: no log" [ ! -e "$base_unix/none.txt" ]
check "no path: nothing cleaned" [ -e "$base_unix/tree/worm.exe" ]

# Without "/silent" the path is ignored (nothing is scanned in any mode).
if [ "$mode" = native ]; then
    scan "$base/tree" "/log=$base/nosilent.txt"
    check "no /silent: nothing scanned" [ -e "$base_unix/tree/worm.exe" ]
    check "no /silent: no log" [ ! -e "$base_unix/nosilent.txt" ]
fi

# Of two paths and two logs the last ones count; an empty "/log=" writes no log.
fresh_tree tree
fresh_tree other
scan /silent "$base${sep}other" "$base${sep}tree" "/log=$base${sep}first.txt" "/log=$base${sep}second.txt"
tree_log "$base${sep}tree" >"$work/expected.log"
check "last path and log win: log" same_log "$base_unix/second.txt" "$work/expected.log"
check "last path and log win: no first log" [ ! -e "$base_unix/first.txt" ]
check "last path and log win: other untouched" [ -e "$base_unix/other/worm.exe" ]
fresh_tree tree
scan /silent "$base${sep}tree" /log=
check "empty /log=: still scans" tree_was_cleaned tree

# A file whose cleaning fails: reported, and with "/remove" deleted.
broken() {
    rm -rf "$base_unix/broken" && mkdir -p "$base_unix/broken"
    "$samplegen" exe --variant a --no-host "$work/worm.exe" >/dev/null
    { printf 'MZ'; head -c 62 /dev/zero; tail -c +65 "$work/worm.exe"; } >"$base_unix/broken/fake.exe"
}
broken
scan /silent "$base${sep}broken" "/log=$base${sep}broken.txt"
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n%s    DISINFECTION FAILED\r\n' "$base${sep}broken${sep}fake.exe"
  printf 'Infected files          1\r\nCouldn'"'"'t open           0\r\n'; } >"$work/expected.log"
check "cleaning fails: log" same_log "$base_unix/broken.txt" "$work/expected.log"
check "cleaning fails: file kept" [ -e "$base_unix/broken/fake.exe" ]
broken
scan /silent /remove "$base${sep}broken" "/log=$base${sep}broken.txt"
sed -i 's/DISINFECTION FAILED/DELETED/' "$work/expected.log"
check "/remove: log" same_log "$base_unix/broken.txt" "$work/expected.log"
check "/remove: file deleted" [ ! -e "$base_unix/broken/fake.exe" ]

# A file nobody may read, and a file in use that is repaired at the next restart.
rm -rf "$base_unix/busy" && mkdir -p "$base_unix/busy"
"$samplegen" page "$base_unix/busy/locked.htm" >/dev/null
"$samplegen" page "$base_unix/busy/inuse.htm" >/dev/null
hold "$base${sep}busy${sep}locked.htm" none
hold "$base${sep}busy${sep}inuse.htm" read
scan /silent "$base${sep}busy" "/log=$base${sep}busy.txt"
release_all
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'
  printf '%s    FAILED TO OPEN\r\n' "$base${sep}busy${sep}locked.htm"
  printf '%s    DISINFECTED\r\n' "$base${sep}busy${sep}inuse.htm"
  printf 'Infected files          1\r\nCouldn'"'"'t open           1\r\n'
  printf '\r\nThe computer MUST be restarted to complete the disinfection process'; } >"$work/expected.log"
check "in use: log ends with the restart sentence" same_log "$base_unix/busy.txt" "$work/expected.log"
check "in use: work file waits" [ -e "$base_unix/busy/inuse.htm.cln" ]
restart
check "in use: repaired after restart" cmp -s "$base_unix/busy/inuse.htm" "$work/plain.htm"
check "in use: no work file after restart" [ ! -e "$base_unix/busy/inuse.htm.cln" ]
check "unreadable: untouched" [ "$(stat -c %s "$base_unix/busy/locked.htm")" = "$(stat -c %s "$work/expected.htm")" ]

# Names with bytes above 0x7F (written in the ANSI code page on Windows).
rm -rf "$base_unix/intl" && mkdir -p "$base_unix/intl"
"$samplegen" page "$base_unix/intl/café.htm" >/dev/null
scan /silent "$base${sep}intl" "/log=$base${sep}intl.txt"
if [ "$mode" = wine ]; then name=$'caf\xe9.htm'; else name='café.htm'; fi
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n%s    DISINFECTED\r\n' "$base${sep}intl${sep}$name"
  printf 'Infected files          1\r\nCouldn'"'"'t open           0\r\n'; } >"$work/expected.log"
check "names above 0x7F: log" same_log "$base_unix/intl.txt" "$work/expected.log"

# A tree deeper than the path limit: entries whose path would not fit are skipped.
rm -rf "$base_unix/deep" && mkdir -p "$base_unix/deep"
dir_unix="$base_unix/deep" dir="$base${sep}deep"
: >"$work/deep-findings"
while [ ${#dir} -lt 300 ]; do
    "$samplegen" page "$dir_unix/p.htm" >/dev/null
    [ $((${#dir} + 6)) -le 259 ] && printf '%s    DISINFECTED\r\n' "$dir${sep}p.htm" >>"$work/deep-findings"
    dir_unix="$dir_unix/folder-with-a-long-name-0123456789"
    dir="$dir${sep}folder-with-a-long-name-0123456789"
    mkdir -p "$dir_unix"
done
scan /silent "$base${sep}deep" "/log=$base${sep}deep.txt"
count=$(wc -l <"$work/deep-findings")
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'; cat "$work/deep-findings"
  printf 'Infected files          %d\r\nCouldn'"'"'t open           0\r\n' "$count"; } >"$work/expected.log"
check "deep tree: only paths that fit" same_log "$base_unix/deep.txt" "$work/expected.log"

if [ "$mode" = native ]; then
    # A pipe is never read (that would wait for a writer): it counts as not opened.
    rm -rf "$base_unix/pipe" && mkdir -p "$base_unix/pipe"
    mkfifo "$base_unix/pipe/fifo"
    "$samplegen" page "$base_unix/pipe/page.htm" >/dev/null
    TORVOCLEAN_JOBS=1 scan /silent "$base/pipe" "/log=$base/pipe.txt"
    { printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'
      printf '%s    FAILED TO OPEN\r\n' "$base/pipe/fifo"
      printf '%s    DISINFECTED\r\n' "$base/pipe/page.htm"
      printf 'Infected files          1\r\nCouldn'"'"'t open           1\r\n'; } >"$work/expected.log"
    check "pipe: not opened" same_log "$base_unix/pipe.txt" "$work/expected.log"

    # Detection ahead on several threads changes nothing: the same log byte for byte
    # (findings in the walk's order, also past the queue's length), the same tree and
    # restart list. Each folder holds every form and work files left from an earlier
    # run ("x.cln"), which cleaning "x" replaces after they were detected ahead.
    many="$work/many"
    "$samplegen" tree "$many" --files 3000 >/dev/null
    forms="$work/forms" && mkdir -p "$forms"
    "$samplegen" exe --variant e --host "$work/host.bin" "$forms/prog.exe" >/dev/null
    "$samplegen" exe --variant a --no-host "$forms/worm.exe" >/dev/null
    "$samplegen" mail --variant a "$forms/mail.eml" >/dev/null
    for name in a b c d e f; do  # listed before or after their work files
        "$samplegen" page "$forms/$name.htm" >/dev/null
        printf 'clean text\n' >"$forms/$name.htm.cln"
        "$samplegen" exe --variant a --depth 2 "$forms/$name.exe" >/dev/null
        "$samplegen" exe --variant e --depth 3 "$forms/$name.exe.cln" >/dev/null
    done
    for folder in "$many"/*/*/*/ "$many"/a0/; do cp "$forms"/* "$folder"; done
    "$samplegen" demo "$work/demo" >/dev/null
    same_under_threads() {  # same_under_threads TREE: scans a copy with 1, 2 and 3 threads
        local jobs result
        for jobs in 1 2 3; do
            rm -rf "$base_unix/jobs" "$TORVOCLEAN_RESTART_LIST" && cp -a "$1" "$base_unix/jobs"
            TORVOCLEAN_JOBS=$jobs scan /silent "$base/jobs" "/log=$base/jobs$jobs.txt"
            result="$work/result$jobs" && rm -rf "$result" && mkdir -p "$result"
            mv "$base_unix/jobs" "$result/tree"
            cp "$TORVOCLEAN_RESTART_LIST" "$result/restart" 2>/dev/null || : >"$result/restart"
            [ $jobs = 1 ] && continue
            check "$(basename "$1") on $jobs threads: log byte for byte" \
                cmp -s "$base_unix/jobs1.txt" "$base_unix/jobs$jobs.txt"
            check "$(basename "$1") on $jobs threads: tree and restart list" \
                diff -r "$work/result1" "$result"
        done
    }
    same_under_threads "$many"
    check "many folders: findings in every folder" \
        [ "$(grep -c 'DISINFECTED' "$base_unix/jobs1.txt")" -ge 60 ]
    same_under_threads "$work/demo"
fi

if [ "$mode" = wine ]; then
    # Hidden and system files are walked and cleaned like any other.
    fresh_tree hidden
    "$wine_run" "$e2etool" hide "$base\\hidden\\Page.HTM" >/dev/null
    "$wine_run" "$e2etool" hide "$base\\hidden\\worm.exe" >/dev/null
    scan /silent "$base\\hidden" "/log=$base\\hidden.txt"
    tree_log "$base\\hidden" >"$work/expected.log"
    check "hidden and system: log" same_log "$base_unix/hidden.txt" "$work/expected.log"
    check "hidden and system: cleaned" tree_was_cleaned hidden
    attributes=$("$wine_run" "$e2etool" attributes "$base\\hidden\\Page.HTM")
    check "hidden and system: normal afterwards ($attributes)" [ $((0x$attributes & 0x7)) = 0 ]

    # The empty quoted path is the root of the current drive.
    mkdir -p "$work/droot"
    ln -sfn "$work/droot" "$WINEPREFIX/dosdevices/d:"
    "$samplegen" page "$work/droot/root.htm" >/dev/null
    # Wine quotes an empty argument as "" on the command line it builds.
    (cd "$work/droot" && timeout 120 "$wine_run" "$program" /silent '' "/log=$base\\root.txt" >/dev/null)
    { printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n%s    DISINFECTED\r\n' '\root.htm'
      printf 'Infected files          1\r\nCouldn'"'"'t open           0\r\n'; } >"$work/expected.log"
    check "empty quoted path: root of the current drive" same_log "$base_unix/root.txt" "$work/expected.log"

    # "/restart": the log is complete before Windows is asked, and Wine's answer ends
    # the run without the failure box (the run would hang on it otherwise).
    fresh_tree tree
    scan /silent "$base\\tree" "/log=$base\\restart.txt" /restart
    check "/restart: run ended" [ $? -eq 0 ]
    tree_log "$base\\tree" >"$work/expected.log"
    check "/restart: log closed first" same_log "$base_unix/restart.txt" "$work/expected.log"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
