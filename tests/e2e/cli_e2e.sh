#!/bin/bash
# The Linux tool's own command line, as a user types it: what it prints, --dry-run
# against a real run, --json read by a JSON parser, quarantine and restore, several
# paths and a file, unknown options.
#   cli_e2e.sh TORVOCLEAN SAMPLEGEN
set -u
program=$(realpath "$1") samplegen=$(realpath "$2")
export LC_ALL=C
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-cli-XXXXXX")
trap 'touch "$work/release"; wait; rm -rf "$work"' EXIT
cd "$work"
export TORVOCLEAN_RESTART_LIST="$work/restart-list.ini"
mkdir empty

demo() {  # demo DIR: samplegen's demo folder, and a pristine copy of it in DIR.orig
    rm -rf "$1" "$1.orig"
    "$samplegen" demo "$1" >"$work/listing"
    cp -a "$1" "$1.orig"
}
# The finding lines a run over `demo DIR` prints, from samplegen's listing.
expected_lines() {  # expected_lines DIR [SUFFIX]
    awk -F'\t' -v dir="$1" -v suffix="${2:-}" '$2 ~ /^infected / {
        split($2, words, "[ :]"); outcome = $1 ~ /(worm-|mail-)/ ? "DELETED" : "DISINFECTED"
        print dir "/" $1 ": " words[2] " " outcome suffix }' "$work/listing" | sort
}
findings() { grep -v '^$' "$1" | sed '/^-* SCAN SUMMARY/,$d' | sort; }

# A first run: a line for every infected file, a summary, status 1.
demo d
"$program" d >out.txt 2>err.txt
check "plain run: status 1" [ $? = 1 ]
check "plain run: a line a finding" cmp -s <(findings out.txt) <(expected_lines d)
check "plain run: summary" grep -qx 'Infected files: 7' out.txt
check "plain run: repaired and deleted" \
    [ "$(grep -c -e '^Repaired: 4$' -e '^Deleted: 3$' -e '^Scanned files: 19$' out.txt)" = 3 ]
check "plain run: no progress line on a file" [ ! -s err.txt ]

# A dry run changes nothing at all and tells what the real run then does, also for a
# file in use and one whose cleaning fails (deleted with --remove).
demo d
{ printf 'MZ'; head -c 62 /dev/zero; tail -c +65 d/worm-a.exe; } >d/broken.exe
cp d/broken.exe d.orig/
flock -s d/infected.htm -c "touch ready; while [ ! -e release ]; do sleep 0.1; done" &
while [ ! -e ready ]; do sleep 0.1; done
"$program" --dry-run --remove d >dry.txt
check "dry run: tree unchanged" diff -r d d.orig
check "dry run: no restart list" [ ! -e "$TORVOCLEAN_RESTART_LIST" ]
check "dry run: in use, and failed then removed" \
    grep -qx -e 'd/infected.htm: JS.Torvo.A DISINFECTED AT RESTART (dry run)' dry.txt
"$program" --remove d >real.txt
touch release && wait && rm release ready
check "dry run: the real run agrees" cmp -s <(findings dry.txt | sed 's/ (dry run)$//') <(findings real.txt)
check "dry run: broken program removed" grep -qx 'd/broken.exe: Win32.Torvo.A@mm DELETED' real.txt
"$program" /silent /restart empty

# JSON Lines: one object a finding, then the summary; a name that is no UTF-8 survives.
demo j
name=$'caf\xe9.htm'
"$samplegen" page "j/$name" >/dev/null
"$program" --json j >out.json
check "json: every line parses" jq -e . out.json >/dev/null
check "json: findings and summary" [ "$(jq -s 'map(select(.outcome)) | length' out.json)" = 8 ]
check "json: summary last" [ "$(tail -n 1 out.json | jq -r '.summary.infected')" = 8 ]
check "json: raw name in base64" \
    [ "$(jq -r 'select(.path_base64) | .path_base64' out.json | base64 -d)" = "j/$name" ]

# Quarantine, then restore: the tree as it was, byte for byte, and the copies are not
# themselves found infected. A file changed since is left alone.
demo q
"$program" -q --quarantine="$work/kept" q
check "quarantine: private" [ "$(stat -c %a kept)" = 700 ]
check "quarantine: copies never found" "$program" -q kept
"$program" --restore="$work/kept" >restored.txt
check "restore: tree as it was" diff -r q q.orig
check "restore: each file said" [ "$(grep -c ': RESTORED$' restored.txt)" = 7 ]
"$program" -q --quarantine="$work/kept2" q
printf 'changed\n' >q/infected.htm
"$program" --restore="$work/kept2" >/dev/null 2>err.txt
check "restore: refuses a changed file (status 2)" [ $? = 2 ]
check "restore: changed file left" [ "$(cat q/infected.htm)" = changed ]
check "restore: the others back" cmp -s q/program.exe q.orig/program.exe

# Several paths in order, a file as a path; a missing one is an error of its own.
demo p
"$program" p/docs missing p/worm-a.exe >out.txt 2>err.txt
check "paths: status 1" [ $? = 1 ]
check "paths: in order" [ "$(sed -n '1s/:.*//p;2s/:.*//p' out.txt | tr '\n' ' ')" = "p/docs/page.htm p/worm-a.exe " ]
check "paths: the missing one said" grep -q '^torvoclean: missing: ' err.txt

# Options: a mistyped one is an error, never a path; --exclude leaves a part out; --quiet
# prints nothing; the Windows form keeps its silence.
demo o
for wrong in --dry-rn --remvoe --log -j0 --jobs=x /dry-run "/silent /remvoe"; do
    "$program" $wrong o >/dev/null 2>&1
    check "options: $wrong is an error" [ $? = 2 ]
done
check "options: nothing scanned" diff -r o o.orig
"$program" --exclude='docs/*' --exclude='*.exe' o >out.txt
check "exclude: left out" [ "$(findings out.txt | wc -l)" = 3 ]
check "exclude: folder untouched" diff -r o/docs o.orig/docs
demo o
check "quiet: nothing printed" [ -z "$("$program" -q o)" ]
demo o
check "windows form: silent" [ -z "$("$program" /silent o 2>&1)" ]

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
