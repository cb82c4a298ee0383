#!/bin/bash
# What making repairs durable costs: the time to clean COUNT infected pages (a fresh
# copy of them each time) with the program as it is, and under eatmydata, which turns
# every fsync into nothing; the median of ROUNDS interleaved runs of each.
#   clean_bench.sh BUILD [COUNT] [ROUNDS]     BUILD: build/native
set -eu
build=$(realpath "$1") count=${2:-1000} rounds=${3:-5}
command -v eatmydata >/dev/null || { echo "clean_bench: needs eatmydata" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/clean-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"

mkdir "$work/pages"
"$build/bin/samplegen" page "$work/page.htm" >/dev/null
for ((i = 0; i < count; i++)); do cp "$work/page.htm" "$work/pages/$i.htm"; done

clean() {  # clean [WRAPPER]: seconds to clean a fresh copy of the pages
    rm -rf "$work/run" && cp -r "$work/pages" "$work/run" && sync
    local start end
    start=$(date +%s.%N)
    "$@" "$build/bin/torvoclean" --quiet "$work/run" || [ $? = 1 ]
    end=$(date +%s.%N)
    [ "$(ls "$work/run" | wc -l)" = "$count" ] && ! ls "$work/run" | grep -q '\.cln$'
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for ((round = 0; round < rounds; round++)); do
    clean >>"$work/flushed"
    clean eatmydata >>"$work/unflushed"
done
flushed=$(median <"$work/flushed") unflushed=$(median <"$work/unflushed")
awk -v n="$count" -v f="$flushed" -v u="$unflushed" 'BEGIN {
    printf "cleaning %d pages: %.2f s with the flushes, %.2f s without (eatmydata): %.1f ms a file\n",
        n, f, u, (f - u) * 1000 / n }'
