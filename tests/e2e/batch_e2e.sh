#!/bin/bash
# End-to-end tests of the unattended mode: the real program on real folder trees made
# with samplegen, logs compared byte for byte (findings as a set: they come in the
# file system's order), and what became of each file.
#   batch_e2e.sh native PROGRAM SAMPLEGEN VERSION
#   batch_e2e.sh wine   PROGRAM SAMPLEGEN WINE_RUN E2ETOOL
set -u
mode=$1 program=$(realpath "$2") samplegen=$(realpath "$3")
export LC_ALL=C LC_COLLATE=C
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-e2e-XXXXXX")
trap 'release_all; [ "$mode" = wine ] && stop_all_wine; rm -rf "$work"' EXIT

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
    version=$4
    export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"
    base_unix="$work/e2e"
    base="$base_unix" sep=/
fi

# --- helpers ---------------------------------------------------------------------

stop_wine() {
    local server=/usr/lib/wine/wineserver64
    [ -x "$server" ] || server=wineserver
    timeout 15 "$server" -k >/dev/null 2>&1
    timeout 15 "$server" -w >/dev/null 2>&1
}

# Every prefix of this run's, whose servers would otherwise outlive it.
stop_all_wine() {
    local prefix
    for prefix in "$TORVO_WINE_PREFIXES"/*/; do WINEPREFIX=$prefix stop_wine; done
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

# A fresh wineserver carries the restart list out at its start, once. (wineboot -r
# could run beside the start's own, and carry the list out twice.)
restart() {
    if [ "$mode" = wine ]; then
        stop_wine
        "$wine_run" "$e2etool" attributes 'c:\' >/dev/null
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

# Long paths. On Windows a file is reached up to 259 characters, its repair needs a
# work file of at most 259, and a folder is listed up to 255: what does not fit is
# reported as not opened, or as not cleaned, never dropped. Linux has no such limit.
rm -rf "$base_unix/long" && mkdir -p "$base_unix/long"
dir_unix="$base_unix/long" dir="$base${sep}long"
while [ ${#dir} -lt 230 ]; do dir_unix+="/folder-0123456789" dir+="${sep}folder-0123456789"; done
mkdir -p "$dir_unix"
long_name() { printf "%0$(($1 - ${#dir} - 5))d.htm" 0; }  # long_name LENGTH: the path's length
: >"$work/long-findings"
for length in 255 256 259 260 270; do
    "$samplegen" page "$dir_unix/$(long_name $length)" >/dev/null
    outcome=DISINFECTED
    if [ "$mode" = wine ]; then
        [ $length -gt 255 ] && outcome="DISINFECTION FAILED"
        [ $length -gt 259 ] && outcome="FAILED TO OPEN"
    fi
    printf '%s    %s\r\n' "$dir${sep}$(long_name $length)" "$outcome" >>"$work/long-findings"
done
folder=$(long_name 257 | tr 0 f) && mkdir "$dir_unix/$folder" && "$samplegen" page "$dir_unix/$folder/p.htm" >/dev/null
if [ "$mode" = wine ]; then
    printf '%s    FAILED TO OPEN\r\n' "$dir${sep}$folder" >>"$work/long-findings"
else
    printf '%s    DISINFECTED\r\n' "$dir${sep}$folder${sep}p.htm" >>"$work/long-findings"
fi
scan /silent "$base${sep}long" "/log=$base${sep}long.txt"
{ printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'; cat "$work/long-findings"
  printf 'Infected files          %d\r\nCouldn'"'"'t open           %d\r\n' \
      "$(grep -vc 'FAILED TO OPEN' "$work/long-findings")" "$(grep -c 'FAILED TO OPEN' "$work/long-findings")"; } >"$work/expected.log"
check "long paths: every entry reported" same_log "$base_unix/long.txt" "$work/expected.log"
check "long paths: no work file left" [ -z "$(find "$base_unix/long" -name '*.cln')" ]

if [ "$mode" = native ]; then
    # Deeper than any path the kernel takes in one call, and than a process has
    # descriptors: 10,000 folders, with pages halfway (past PATH_MAX) and at the bottom.
    deep="$base_unix/deep" && rm -rf "$deep" && mkdir -p "$deep"
    levels="$(printf 'd/%.0s' $(seq 1000))"
    (cd "$deep" && for part in $(seq 10); do
        mkdir -p "$levels" && cd "$levels" && [ $part -ne 3 ] && [ $part -ne 10 ] && continue
        "$samplegen" page p.htm >/dev/null
    done)
    path_at() { printf '%s' "$deep"; printf '/d%.0s' $(seq "$1"); printf '/p.htm'; }
    findings_at() { printf '%s    DISINFECTED\r\n' "$(path_at 3000)" "$(path_at 10000)"; }
    scan /silent "$deep" "/log=$base/deep.txt"
    { printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'; findings_at
      printf 'Infected files          2\r\nCouldn'"'"'t open           0\r\n'; } >"$work/expected.log"
    check "10,000 folders deep: both pages found" same_log "$base_unix/deep.txt" "$work/expected.log"
    repaired_at() { (cd "$deep" && for _ in $(seq $(($1 / 1000))); do cd "$levels"; done && cmp -s p.htm "$work/plain.htm"); }
    check "10,000 folders deep: repaired" repaired_at 3000
    check "10,000 folders deep: repaired at the bottom" repaired_at 10000
    rm -rf "$deep"
fi

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
    # So does reading where io_uring is refused, one file at a time on each thread, with
    # threads added while reads wait (here: for every read).
    same_under_threads() {  # same_under_threads TREE: scans a copy with 1, 2 and 3 threads
        local run jobs reads result
        for run in 1 2 3 2-refused; do
            jobs=${run%-refused} reads= && [ "$run" != "$jobs" ] && reads=threads,slow
            rm -rf "$base_unix/jobs" "$TORVOCLEAN_RESTART_LIST" && cp -a "$1" "$base_unix/jobs"
            TORVOCLEAN_JOBS=$jobs TORVOCLEAN_READ_AHEAD=$reads \
                scan /silent "$base/jobs" "/log=$base/jobs$run.txt"
            result="$work/result$run" && rm -rf "$result" && mkdir -p "$result"
            mv "$base_unix/jobs" "$result/tree"
            cp "$TORVOCLEAN_RESTART_LIST" "$result/restart" 2>/dev/null || : >"$result/restart"
            [ $run = 1 ] && continue
            check "$(basename "$1") on $jobs threads${reads:+ without io_uring}: log byte for byte" \
                cmp -s "$base_unix/jobs1.txt" "$base_unix/jobs$run.txt"
            check "$(basename "$1") on $jobs threads${reads:+ without io_uring}: tree and restart list" \
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
    check "hidden and system: kept by the repaired page ($attributes)" [ $((0x$attributes & 0x7)) = 6 ]

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

# --- hostile files and repeated runs ----------------------------------------------

"$samplegen" page "$work/expected.htm" >/dev/null
head -c -120 "$work/expected.htm" >"$work/plain.htm"

findings_log() {  # findings_log INFECTED UNOPENED [LINE...]: a log with these findings
    local infected=$1 unopened=$2
    shift 2
    printf 'Detection and Removal tool for Win32.Torvo.A@mm\r\n\r\n'
    [ $# -gt 0 ] && printf '%s\r\n' "$@"
    printf 'Infected files          %d\r\nCouldn'"'"'t open           %d\r\n' "$infected" "$unopened"
}

# A host that cannot be had whole, a file that is its own host, and hosts nested deeper
# than cleaning goes: each is reported failed and left exactly as it was.
rm -rf "$base_unix/hostile" && mkdir -p "$base_unix/hostile"
"$samplegen" exe --variant a --broken-host "$base_unix/hostile/broken.exe" >/dev/null
"$samplegen" exe --variant e --self-host "$base_unix/hostile/self.exe" >/dev/null
"$samplegen" exe --variant a --depth 12 "$base_unix/hostile/deep.exe" >/dev/null
cp -r "$base_unix/hostile" "$work/hostile-before"
scan /silent "$base${sep}hostile" "/log=$base${sep}hostile.txt"
findings_log 3 0 "$base${sep}hostile${sep}"{broken,self,deep}".exe    DISINFECTION FAILED" >"$work/expected.log"
check "hostile hosts: log" same_log "$base_unix/hostile.txt" "$work/expected.log"
check "hostile hosts: untouched, no work files" diff -r "$work/hostile-before" "$base_unix/hostile"

# A name without an extension is loaded as that file, not as the ".dll" beside it.
rm -rf "$base_unix/noext" && mkdir -p "$base_unix/noext"
head -c 3000 /dev/urandom >"$work/host-a.bin"
head -c 4000 /dev/urandom >"$work/host-b.bin"
"$samplegen" exe --variant a --host "$work/host-a.bin" "$base_unix/noext/setup" >/dev/null
"$samplegen" exe --variant e --host "$work/host-b.bin" "$base_unix/noext/setup.dll" >/dev/null
scan /silent noext  # a relative name is searched for, and ".dll" added on the way
check "no extension: its own host" cmp -s "$base_unix/noext/setup" "$work/host-a.bin"
check "no extension: the .dll keeps its own" cmp -s "$base_unix/noext/setup.dll" "$work/host-b.bin"

# The log inside the scanned tree, and stale work files that cleaning consumes, are no
# findings.
rm -rf "$base_unix/own" && mkdir -p "$base_unix/own"
lines=()
for name in a b c d e; do
    "$samplegen" page "$base_unix/own/$name.htm" >/dev/null
    printf 'stale' >"$base_unix/own/$name.htm.cln"
    lines+=("$base${sep}own${sep}$name.htm    DISINFECTED")
done
scan /silent "$base${sep}own" "/log=$base${sep}own${sep}scan.txt"
findings_log 5 0 "${lines[@]}" >"$work/expected.log"
check "own log and stale work files: log" same_log "$base_unix/own/scan.txt" "$work/expected.log"

# "/remove" of a file in use: deleted at the restart, which the log asks for.
broken
hold "$base${sep}broken${sep}fake.exe" read
scan /silent /remove "$base${sep}broken" "/log=$base${sep}remove.txt"
release_all
{ findings_log 1 0 "$base${sep}broken${sep}fake.exe    DELETED"
  printf '\r\nThe computer MUST be restarted to complete the disinfection process'; } >"$work/expected.log"
check "/remove in use: log asks for the restart" same_log "$base_unix/remove.txt" "$work/expected.log"
restart
check "/remove in use: gone after the restart" [ ! -e "$base_unix/broken/fake.exe" ]

# Runs before the restart. A file in use when the first run finds it is repaired at
# the restart: whether a second run finds it still in use (each operation is scheduled
# once: a second deletion would remove the repaired page renamed there), free (it
# repairs it now, and takes the first run's entries back, which would delete the
# repaired file), or replaced by a newer clean file (whose entries it takes back, and
# whose work file it removes).
runs_before_restart() {  # runs_before_restart nt|win98
    local family=$1 dir_unix dir held name
    if [ "$mode" = wine ]; then
        export TORVO_WINE_VERSION=$family WINEPREFIX="$TORVO_WINE_PREFIXES/$family"
        "$wine_run" "$e2etool" attributes 'c:\' >/dev/null  # makes the prefix
        dir_unix="$WINEPREFIX/drive_c/twice" dir='c:\twice' held='c:\twice'
    else
        # Scanned by a relative name, so that restart-list lines begin with "[".
        dir_unix="$base_unix/[twice]" dir="[twice]" held="$base/[twice]"
    fi
    rm -rf "$dir_unix" && mkdir -p "$dir_unix"
    for name in held.htm freed.htm replaced.htm; do "$samplegen" page "$dir_unix/$name" >/dev/null; done
    "$samplegen" exe --variant a --host "$work/host.bin" "$dir_unix/freed.exe" >/dev/null
    printf 'a newer page\n' >"$work/newer.htm"
    # The holders keep the prefix's wineserver up: a new one would carry the list out.
    hold "$held${sep}held.htm" read
    hold "$held${sep}freed.htm" read
    hold "$held${sep}freed.exe" read
    hold "$held${sep}replaced.htm" read
    scan /silent "$dir"
    local holder
    for holder in "${holders[@]:1}"; do touch "${holder#*:}"; wait "${holder%%:*}" 2>/dev/null; done
    holders=("${holders[0]}")
    cp "$work/newer.htm" "$dir_unix/replaced.htm"
    scan /silent "$dir"
    check "runs before the restart ($family): freed page repaired at once" cmp -s "$dir_unix/freed.htm" "$work/plain.htm"
    release_all
    restart
    check "runs before the restart ($family): held page repaired" cmp -s "$dir_unix/held.htm" "$work/plain.htm"
    check "runs before the restart ($family): freed page kept" cmp -s "$dir_unix/freed.htm" "$work/plain.htm"
    check "runs before the restart ($family): freed program kept" cmp -s "$dir_unix/freed.exe" "$work/host.bin"
    check "runs before the restart ($family): newer page kept" cmp -s "$dir_unix/replaced.htm" "$work/newer.htm"
    check "runs before the restart ($family): no work file" [ -z "$(find "$dir_unix" -name '*.cln')" ]
}
# A restart list that cannot be read whole is never written, and a file in use whose
# repair cannot be scheduled is reported failed and left as it was.
unschedulable() {
    local dir_unix dir
    if [ "$mode" = wine ]; then
        dir_unix="$WINEPREFIX/drive_c/unsched" dir='c:\unsched'
        printf '[rename]\r\n' >"$WINEPREFIX/drive_c/windows/wininit.ini"
        hold 'c:\windows\wininit.ini' none
    else
        dir_unix="$base_unix/unsched" dir="$base/unsched"
        mkdir -p "$work/unreadable-list"
        export TORVOCLEAN_RESTART_LIST="$work/unreadable-list"
    fi
    rm -rf "$dir_unix" && mkdir -p "$dir_unix"
    "$samplegen" page "$dir_unix/inuse.htm" >/dev/null
    cp "$dir_unix/inuse.htm" "$work/unsched-before.htm"
    hold "$dir${sep}inuse.htm" read
    scan /silent "$dir" "/log=$dir${sep}..${sep}unsched.txt"
    release_all
    findings_log 1 0 "$dir${sep}inuse.htm    DISINFECTION FAILED" >"$work/expected.log"
    check "unschedulable: reported failed" same_log "$dir_unix/../unsched.txt" "$work/expected.log"
    check "unschedulable: page as it was" cmp -s "$dir_unix/inuse.htm" "$work/unsched-before.htm"
    check "unschedulable: no work file" [ ! -e "$dir_unix/inuse.htm.cln" ]
    if [ "$mode" = wine ]; then
        check "unschedulable: wininit.ini kept" [ "$(cat "$WINEPREFIX/drive_c/windows/wininit.ini")" = $'[rename]\r' ]
    else
        export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"
    fi
}

# A run cut off inside a nested repair on the Windows 95 family: the outer work file,
# recorded by its full name before it existed, waits for the inner one; the user has
# replaced the program since. The next run gives up both, whatever names they go by now.
cut_nested_repair() {
    local dir_unix="$WINEPREFIX/drive_c/cut" dir='c:\cut'
    rm -rf "$dir_unix" && mkdir -p "$dir_unix"
    "$samplegen" exe --variant e --host-size 5092 "$dir_unix/e.exe.cln" >/dev/null
    printf 'the host\n' >"$dir_unix/e.exe.cln.cln"
    printf 'a newer program\n' >"$dir_unix/e.exe"
    printf '[rename]\r\n%s=%s\r\nNUL=%s\r\n' "$dir\\e.exe.cln" "$dir\\e.exe.cln.cln" \
        "$dir\\e.exe.cln" >"$WINEPREFIX/drive_c/windows/wininit.ini"
    scan /silent "$dir" "/log=$dir\\..\\cut.txt"
    findings_log 0 0 >"$work/expected.log"
    check "cut nested repair (win98): log" same_log "$dir_unix/../cut.txt" "$work/expected.log"
    check "cut nested repair (win98): no work file" [ -z "$(find "$dir_unix" -name '*.cln')" ]
    check "cut nested repair (win98): list emptied" [ ! -e "$WINEPREFIX/drive_c/windows/wininit.ini" ]
}

if [ "$mode" = wine ]; then
    runs_before_restart win98
    cut_nested_repair
    unschedulable
    export TORVO_WINE_VERSION=nt WINEPREFIX="$TORVO_WINE_PREFIXES/nt"
else
    unschedulable
fi
runs_before_restart nt

if [ "$mode" = native ]; then
    # The repaired files keep their permissions.
    rm -rf "$base_unix/modes" && mkdir -p "$base_unix/modes"
    "$samplegen" page "$base_unix/modes/page.htm" >/dev/null && chmod 0444 "$base_unix/modes/page.htm"
    "$samplegen" exe --variant a "$base_unix/modes/prog.exe" >/dev/null && chmod 0750 "$base_unix/modes/prog.exe"
    scan /silent "$base/modes"
    check "modes: read-only page stays read-only" [ "$(stat -c %a "$base_unix/modes/page.htm")" = 444 ]
    check "modes: program keeps its mode" [ "$(stat -c %a "$base_unix/modes/prog.exe")" = 750 ]

    # Links are neither followed nor scanned, and nothing is written through one.
    rm -rf "$base_unix/links" "$work/outside" && mkdir -p "$base_unix/links" "$work/outside/dir"
    "$samplegen" page "$work/outside/target.htm" >/dev/null
    "$samplegen" page "$work/outside/dir/page.htm" >/dev/null
    printf 'keep me\n' >"$work/outside/keep.txt"
    cp -r "$work/outside" "$work/outside-before"
    "$samplegen" page "$base_unix/links/page.htm" >/dev/null
    ln -s "$work/outside/keep.txt" "$base_unix/links/page.htm.cln"
    ln -s "$work/outside/target.htm" "$base_unix/links/link.htm"
    ln -s "$work/outside/dir" "$base_unix/links/dir"
    scan /silent "$base/links" "/log=$base/links.txt"
    findings_log 1 0 "$base/links/page.htm    DISINFECTED" >"$work/expected.log"
    check "links: log" same_log "$base_unix/links.txt" "$work/expected.log"
    check "links: nothing outside changed" diff -r "$work/outside-before" "$work/outside"
    check "links: page repaired" cmp -s "$base_unix/links/page.htm" "$work/plain.htm"

    # A line break in a name cannot make a log line of its own.
    rm -rf "$base_unix/odd" && mkdir -p "$base_unix/odd"
    "$samplegen" page "$base_unix/odd/two"$'\n'"lines.htm" >/dev/null
    scan /silent "$base/odd" "/log=$base/odd.txt"
    findings_log 1 0 "$base/odd/two?lines.htm    DISINFECTED" >"$work/expected.log"
    check "line break in a name: written as ?" same_log "$base_unix/odd.txt" "$work/expected.log"
fi

# Two runs at once over one tree: one changes files at a time, and each decides again
# under the lock, so no page is cut twice or taken for the worm, and nothing is lost at
# the restart. Every infected page is reported by one run or both, nothing else is.
rm -rf "$base_unix/both" && "$samplegen" tree "$base_unix/both" --files 400 >/dev/null
pages=()
for folder in "$base_unix"/both/*/*/*/; do
    for page in "$folder"infected{0..11}.htm; do
        "$samplegen" page "$page" >/dev/null
        pages+=("$page")
    done
done
if [ "$mode" = wine ]; then
    (cd "$base_unix" && "$wine_run" "$program" /silent "$base\\both" "/log=$base\\both1.txt" >/dev/null &
     "$wine_run" "$program" /silent "$base\\both" "/log=$base\\both2.txt" >/dev/null; wait)
else
    (cd "$base_unix" && "$program" /silent "$base/both" "/log=$base/both1.txt" 2>/dev/null &
     "$program" /silent "$base/both" "/log=$base/both2.txt" 2>/dev/null; wait)
fi
restart
findings() { log_part "$base_unix/both$1.txt" findings | tr -d '\r'; }
check "two runs at once: only infected pages reported, each as repaired" \
    [ -z "$( (findings 1; findings 2) | grep -v 'infected[0-9]*.htm    DISINFECTED$')" ]
check "two runs at once: every page reported" \
    [ "$( (findings 1; findings 2) | sort -u | wc -l)" = ${#pages[@]} ]
all_repaired() {
    local page
    for page in "${pages[@]}"; do cmp -s "$page" "$work/plain.htm" || return 1; done
    [ -z "$(find "$base_unix/both" -name '*.cln')" ]
}
check "two runs at once: every page repaired once, no work file" all_repaired

if [ "$mode" = wine ]; then
    # Names the ANSI code page lacks: reached by their short names, repaired under their
    # own names (also at the restart), never taken for the plain "p.htm" beside the
    # full-width one.
    rm -rf "$base_unix/names" && mkdir -p "$base_unix/names/папка"
    printf 'a clean page\n' >"$base_unix/names/p.htm"
    names=(ｐ.htm страница.htm 页面.htm папка/страница.htm busy-ｐ.htm)
    for name in "${names[@]}"; do "$samplegen" page "$base_unix/names/$name" >/dev/null; done
    hold "$base\\names\\busy-ｐ.htm" read
    scan /silent "$base\\names" "/log=$base\\names.txt"
    release_all
    restart
    lines=$(log_part "$base_unix/names.txt" findings | tr -d '\r')
    check "foreign names: one line a page, by short names" \
        [ "$(grep -c '~.*    DISINFECTED$' <<<"$lines")" = 5 ]
    check "foreign names: none taken for another" [ -z "$(grep 'p\.htm\|?' <<<"$lines")" ]
    check "foreign names: plain page untouched" [ "$(cat "$base_unix/names/p.htm")" = 'a clean page' ]
    repaired_names() {
        local name
        for name in "${names[@]}"; do cmp -s "$base_unix/names/$name" "$work/plain.htm" || return 1; done
        [ "$(find "$base_unix/names" -type f | wc -l)" = 6 ]
    }
    check "foreign names: repaired under their own names" repaired_names
else
    # An entry of the restart list that is not exactly one valid name acts on nothing:
    # refused, reported, and the run ends with status 2.
    printf 'keep me\n' >"$work/victim"
    printf '[rename]\r\nNUL=%s%%00.gone\r\nNUL=%s%%zz\r\nNUL=victim\r\n' "$work/victim" "$work/victim" \
        >"$TORVOCLEAN_RESTART_LIST"
    mkdir -p "$work/empty"
    "$program" /silent /restart "$work/empty" 2>"$work/refused.txt"
    check "broken entries: exit status 2" [ $? = 2 ]
    check "broken entries: nothing deleted" [ -e "$work/victim" ]
    check "broken entries: each one reported" [ "$(grep -c 'refused restart list entry' "$work/refused.txt")" = 3 ]
fi

# Exit status: the Linux tool's is 0 nothing infected, 1 infected, 2 an error with nothing
# infected; the Windows program's is always 0.
status_of() { scan "$@"; echo $?; }
fresh_tree tree
if [ "$mode" = wine ]; then
    check "status: Windows program 0 with findings" [ "$(status_of /silent "$base\\tree")" = 0 ]
else
    check "--version" [ "$("$program" --version)" = "torvoclean $version" ]
    check "--help" "$program" --help >/dev/null
    check "status: unknown option 2" [ "$(status_of /silent --quiet "$base/tree")" = 2 ]
    check "status: unknown option scans nothing" [ -e "$base_unix/tree/worm.exe" ]
    check "status: no /silent 2" [ "$(status_of /remove "$base/tree")" = 2 ]
    check "status: no path 2" [ "$(status_of /silent)" = 2 ]
    check "status: infected 1" [ "$(status_of /silent "$base/tree")" = 1 ]
    rm -rf "$base_unix/plain" && mkdir -p "$base_unix/plain" && printf 'text\n' >"$base_unix/plain/a.txt"
    check "status: clean 0" [ "$(status_of /silent "$base/plain")" = 0 ]
    check "status: missing path 2" [ "$(status_of /silent "$base/missing")" = 2 ]
    check "status: path is a file 2" [ "$(status_of /silent "$base/plain/a.txt")" = 2 ]
    check "status: log not written 2" [ "$(status_of /silent "/log=$base/missing/x" "$base/plain")" = 2 ]
    # Only a file found infected is asked whether others let it be read.
    "$samplegen" page "$base_unix/plain/locked.htm" >/dev/null
    hold "$base/plain/locked.htm" none
    check "status: unopened file 2" [ "$(status_of /silent "$base/plain")" = 2 ]
    "$samplegen" page "$base_unix/plain/p.htm" >/dev/null
    check "status: infected and unopened 1" [ "$(status_of /silent "$base/plain")" = 1 ]
    release_all
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
