#!/bin/bash
# Whole-process times of the floor (scan_floor: open, read 64 bytes, close each file),
# the one-thread scan and the parallel scan over one tree, warm cache, median of
# interleaved rounds; logs of the two scans compared byte for byte.
#   scan_bench.sh native BUILD TREE [ROUNDS]   BUILD: build/native
#   scan_bench.sh wine BUILD TREE [ROUNDS]     BUILD: build/windows (floor and program)
#   COLD=1 scan_bench.sh ...                   drops the page cache before every run
# (make TREE with: samplegen tree TREE --files 100000). The program never edits an
# infected file in place, so a hard-linked snapshot keeps every original; after each
# scan the files it changed are linked back.
set -eu
mode=$1 build=$(realpath "$2") tree=$(realpath "$3") rounds=${4:-5}
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
    runs="floor scan"
else
    floor() { "$build/bin/scan_floor" "$tree" >"$work/floor.out"; }
    scan() { "$build/bin/torvoclean" /silent "$tree" "/log=$work/log.txt" || [ $? = 1 ]; }  # 1: found
    runs="floor sequential parallel"
fi
sequential() { TORVOCLEAN_JOBS=1 scan; cp "$work/log.txt" "$work/sequential.log"; }
parallel() { (unset TORVOCLEAN_JOBS; scan); }

seconds() {  # seconds RUN: whole-process time of one run
    [ -n "${COLD:-}" ] && { sync; echo 3 >/proc/sys/vm/drop_caches; }
    local start end
    start=$(date +%s.%N)
    "$1"
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

restore
for round in $(seq "$rounds"); do
    for run in $runs; do
        seconds $run >>"$work/$run.times"
        [ "$run" = floor ] || restore
    done
    if [ "$mode" = native ] && ! cmp -s "$work/sequential.log" "$work/log.txt"; then
        echo "round $round: the parallel scan's log differs from the one-thread scan's"
        exit 1
    fi
done

cache=warm && [ -n "${COLD:-}" ] && cache=cold
echo "$(tr -d '\r' <"$work/floor.out") in $tree, $mode, $cache cache," \
     "median of $rounds rounds, load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
floor=$(median <"$work/floor.times")
printf '%-12s %6.3f s\n' floor "$floor"
for run in $runs; do
    [ "$run" = floor ] && continue
    time=$(median <"$work/$run.times")
    printf '%-12s %6.3f s  %.2fx the floor\n' "$run" "$time" "$(echo "$time / $floor" | bc -l)"
done
