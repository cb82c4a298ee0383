#!/bin/bash
# Whole-process times of the floor (scan_floor: open, read 64 bytes, close each file) and
# of scans over one tree, median (and range) of interleaved rounds. Natively: the
# one-thread scan, the default one (no TORVOCLEAN_JOBS) and one on each of $JOBS threads,
# every log compared byte for byte with the one-thread scan's, and the default scan's
# peak memory; under Wine: the program's scan.
#   scan_bench.sh native BUILD TREE [ROUNDS]   BUILD: build/native
#   scan_bench.sh wine BUILD TREE [ROUNDS]     BUILD: build/windows (floor and program)
#   COLD=1 scan_bench.sh ...                   drops the page cache before every run
#   JOBS="2 8" scan_bench.sh native ...        the thread counts timed (2 8 32 64)
#   OTHER=DIR scan_bench.sh native ...         the same scans by DIR's program (another
#                                              build, say of the version before) in the
#                                              same rounds, in a column of their own
# (make TREE with: samplegen tree TREE --files 100000). The program never edits an
# infected file in place, so a hard-linked snapshot keeps every original; after each
# scan the files it changed are linked back.
set -eu
mode=$1 build=$(realpath "$2") tree=$(realpath "$3") rounds=${4:-5}
other=${OTHER:+$(realpath "$OTHER")}
work=$(mktemp -d "${TMPDIR:-/tmp}/scan-bench-XXXXXX")
snapshot="$tree.snapshot"
trap 'rm -rf "$work"; [ "$mode" = wine ] && { wineserver -k || true; }' EXIT

[ -d "$snapshot" ] || cp -al "$tree" "$snapshot"

restore() {  # links back every file of the snapshot the last scan replaced or removed
    find "$tree" -name '*.cln' -delete
    (cd "$snapshot" && find . -type f -links 1) | while read -r file; do
        ln -f "$snapshot/$file" "$tree/$file"
    done
}

if [ "$mode" = wine ]; then
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    wineserver -p  # stays up between runs, as the system does on Windows
    wintree="z:${tree//\//\\}" winlog="z:${work//\//\\}\\log.txt"
    wine "$build/bin/scan_floor.exe" "$wintree" >"$work/wine.out" 2>&1  # makes the prefix
    floor() { wine "$build/bin/scan_floor.exe" "$wintree" >"$work/floor.out" 2>&1; }
    scan() { wine "$build/bin/TorvoClean.exe" /silent "$wintree" "/log=$winlog" >"$work/scan.out" 2>&1; }
    scans=scan other=
else
    floor() { "$build/bin/scan_floor" "$tree" >"$work/floor.out"; }
    # scan [WRAPPER...]: $program's; 1 is the exit code for "found"
    scan() { "$@" "$program/bin/torvoclean" /silent "$tree" "/log=$work/log.txt" || [ $? = 1 ]; }
    scans="sequential default ${JOBS:-2 8 32 64}"
fi
runs="floor $scans"
[ -n "$other" ] && for name in $scans; do runs+=" other:$name"; done
sequential() { TORVOCLEAN_JOBS=1 scan; cp "$work/log.txt" "$work/$side.sequential.log"; }
default() {  # with its peak memory, where GNU time is there
    local measure=() && [ -x /usr/bin/time ] && measure=(/usr/bin/time -a -o "$work/$side.kb" -f %M)
    (unset TORVOCLEAN_JOBS; scan "${measure[@]}")
}

side_of() {  # side_of NAME: sets $side, $program and $what for a run's name
    side=this program=$build what=$1
    [ "$1" = "${1#other:}" ] || side=other program=$other what=${1#other:}
}

run() {  # run NAME: a function above or a number of threads, "other:" before it for OTHER
    side_of "$1"
    case $what in
    [0-9]*) TORVOCLEAN_JOBS=$what scan ;;
    *) "$what" ;;
    esac
}

seconds() {  # seconds RUN: whole-process time of one run, what the last one wrote on disk
    sync
    [ -n "${COLD:-}" ] && echo 3 >/proc/sys/vm/drop_caches
    local start end
    start=$(date +%s.%N)
    run "$1"
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
range() { sort -n | awk 'NR == 1 { low = $1 } { high = $1 } END { printf "%.3f-%.3f", low, high }'; }

restore
for round in $(seq "$rounds"); do
    for name in $runs; do
        seconds "$name" >>"$work/$name.times"
        [ "$name" = floor ] && continue
        restore
        side_of "$name"
        if [ "$mode" = native ] && [ "$what" != sequential ] &&
            ! cmp -s "$work/$side.sequential.log" "$work/log.txt"; then
            echo "round $round: the log of the scan \"$name\" differs from the one-thread scan's"
            exit 1
        fi
    done
done

label() {
    case $1 in
    sequential) echo "1 thread" ;;
    [0-9]*) echo "$1 threads" ;;
    *) echo "$1" ;;
    esac
}

cell() {  # cell NAME: its median time, range and ratio to the floor
    local time
    time=$(median <"$work/$1.times")
    printf '%6.3f s (%s) %.2fx' "$time" "$(range <"$work/$1.times")" "$(echo "$time / $floor" | bc -l)"
}

cache=warm && [ -n "${COLD:-}" ] && cache=cold
echo "$(tr -d '\r' <"$work/floor.out") in $tree ($(stat -f -c %T "$tree")), $mode, $cache cache," \
     "median of $rounds rounds, load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
floor=$(median <"$work/floor.times")
[ -z "$other" ] || printf '%-12s %-32s %s\n' "" "$build" "$other"
printf '%-12s %6.3f s (%s)\n' floor "$floor" "$(range <"$work/floor.times")"
for name in $scans; do
    printf '%-12s %-32s %s\n' "$(label "$name")" "$(cell "$name")" \
        "$([ -z "$other" ] || cell "other:$name")"
done
for side in this other; do
    [ -f "$work/$side.kb" ] || continue
    echo "default scan's peak memory ($side): $(grep -x '[0-9]*' "$work/$side.kb" | median) KiB (median)"
done
exit 0
