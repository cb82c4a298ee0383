#!/bin/bash
# Kills the Windows program at random moments of runs over many infected files, in a
# prefix of the NT family and, at the same time, one of the Windows 95 family; after each
# kill the program runs again, then the prefix restarts. Nothing may be lost: every file
# then holds exactly its repaired bytes (or is gone, for the forms that are the worm
# alone), no work file is left, and the second run's log names the files the kill left
# infected.
#   kill_wine_e2e.sh PROGRAM.exe SAMPLEGEN WINE_RUN E2ETOOL
# KILL_SEED=N repeats the kills' moments; KILLS=N kills per family (default 10).
set -u
program=$(realpath "$1") samplegen=$(realpath "$2") wine_run=$(realpath "$3") e2etool=$(realpath "$4")
export LC_ALL=C
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-kill-XXXXXX")
export TORVO_WINE_PREFIXES="$work/wine"
seed=${KILL_SEED:-$(($(date +%s) % 100000))} kills=${KILLS:-10} workers=()
trap 'kill "${workers[@]}" 2>/dev/null; wait
      for prefix in "$work"/wine/*/; do WINEPREFIX=$prefix stop_wine; done; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

base='c:\kill'
held_through=('page 6.html' sub/worm4.exe)      # in use during both runs
held_killed=(sub/deeper/prog2.exe nested3.exe)  # in use during the killed run only

# --- helpers ---------------------------------------------------------------------

stop_wine() {
    local server=/usr/lib/wine/wineserver64
    [ -x "$server" ] || server=wineserver
    timeout 15 "$server" -k >/dev/null 2>&1; timeout 15 "$server" -w >/dev/null 2>&1
}

winepath_of() { echo "z:${1//\//\\}"; }

# e2etool lets go by itself after two minutes, which no round takes.
holders=() held=0
hold() {  # hold NAME...: another process holds each file (under C:) open, letting others read it
    local name n first=$((held + 1))
    for name in "$@"; do
        held=$((held + 1))
        { "$wine_run" "$e2etool" hold "c:\\${name//\//\\}" read "$(winepath_of "$own/ready.$held")" \
            "$(winepath_of "$own/release.$held")"; echo "ended, status $?"; } >"$own/holder.$held" 2>&1 &
        holders+=("$!:$own/release.$held")
    done
    for _ in $(seq 600); do
        sleep 0.1
        for n in $(seq $first $held); do [ -e "$own/ready.$n" ] || continue 2; done
        return 0
    done
    for n in $(seq $first $held); do
        [ -e "$own/ready.$n" ] || echo "  ${*:n - first + 1:1} not held: $(cat "$own/holder.$n")"
    done
    return 1
}

let_go() {  # let_go HOLDER...
    local holder
    for holder in "$@"; do touch "${holder#*:}"; done
    for holder in "$@"; do wait "${holder%%:*}" 2>/dev/null; done
}
release() {  # release COUNT: the last COUNT holders let go
    let_go "${holders[@]: -$1}"
    holders=("${holders[@]:0:${#holders[@]}-$1}")
}
release_all() { let_go "${holders[@]}"; holders=(); }

# wine-run keeps the prefix's wineserver up between programs (a fresh one would carry the
# restart list out): the restart is wineboot's.
restart() { "$wine_run" "$WINEPREFIX/drive_c/windows/system32/wineboot.exe" -r >/dev/null; }

restart_list() {
    if [ "$family" = win98 ]; then
        (cd "$WINEPREFIX/drive_c/windows" && grep -H '' wininit.ini wininit.ini.* 2>/dev/null)
    else
        "$wine_run" "$e2etool" pending
    fi
}

# "HASH NAME" for each file under DIR.
sums() { (cd "$1" && find . -type f -exec sha1sum {} + | sed 's|  \./| |'); }

# The samples, made once while the prefixes are made: $work/infected, $work/repaired as
# cleaning leaves it, and $work/outer the infected hosts of the nested programs, each with
# its sums ($work/made tells they are there). Every file has content of its own, so that
# no file can take another's.
make_samples() {
    local i folder name names variant infected folders=("" sub/ sub/deeper/) variants=(a e) tree
    for i in $(seq 36); do
        folder=${folders[i % 3]} variant=${variants[i / 6 % 2]}
        names=("page $i.html" "page$i.htm" "prog$i.exe" "nested$i.exe" "worm$i.exe" "mail$i.eml")
        name=${names[i % 6]}
        infected="$work/infected/$folder$name"
        mkdir -p "$work/infected/$folder" "$work/repaired/$folder" "$work/outer/$folder"
        yes "content of file $i" | head -c $((i * 997 % 20000 + 300)) >"$work/host"
        case $((i % 6)) in
            0 | 1) "$samplegen" page --from "$work/host" "$infected" ;;
            2) "$samplegen" exe --variant "$variant" --host "$work/host" "$infected" ;;
            3) "$samplegen" exe --variant "$variant" --depth 2 --host "$work/host" "$infected"
               "$samplegen" exe --variant "$variant" --host "$work/host" "$work/outer/$folder$name" ;;
            4) "$samplegen" exe --variant "$variant" --no-host "$infected" ;;
            5) "$samplegen" mail --variant "$variant" "$infected" ;;
        esac >/dev/null
        [ $((i % 6)) -lt 4 ] && cp "$work/host" "$work/repaired/$folder$name"
    done
    for tree in infected outer repaired; do sums "$work/$tree" >"$work/$tree.sums"; done
    touch "$work/made"
}

# What each file of the tree is now, a line "KIND NAME" each: of the files made, "left"
# (still as made) and, of those cleaning leaves, "wrong" (other bytes), "work" (there
# only as its work file) or "lost"; of the others, "stray", and "copy" besides for a work
# file that is an infected copy of its file (or of the host inside).
survey() {
    sums "$dir" | awk '
        { name = substr($0, 42) }
        FILENAME == ARGV[1] { infected[name] = $1; next }
        FILENAME == ARGV[2] { outer[name] = $1; next }
        FILENAME == ARGV[3] { repaired[name] = $1; next }
        { now[name] = $1 }
        END {
            for (name in infected) if (name in now && now[name] == infected[name]) print "left", name
            for (name in repaired)
                if (name in now) { if (now[name] != repaired[name]) print "wrong", name }
                else print (name ".cln" in now ? "work" : "lost"), name
            for (name in now) {
                if (name in repaired) continue
                print "stray", name
                file = substr(name, 1, length(name) - 4)
                if (name ~ /\.cln$/ && (now[name] == infected[file] || now[name] == outer[file]))
                    print "copy", name
            }
        }' "$work/infected.sums" "$work/outer.sums" "$work/repaired.sums" - | sort >"$own/survey"
}
named() { sed -n "s/^$1 //p" "$own/survey"; }  # named KIND: the files of that kind
files_in() { named "$1" | paste -sd,; }

# The Windows process is the Wine loader that wine-run starts (still that process after
# exec); wine-run's other children are subshells and the wineserver it may start.
kill_after() {  # kill_after RUNNER DELAY: true when it killed the program before its end
    local pid state
    sleep "$2"
    while state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) && [ "$state" != Z ]; do
        for pid in $(pgrep -P "$1"); do
            case $(readlink "/proc/$pid/exe") in
                */wine | */wine64 | */wine-preloader | */wine64-preloader) kill -KILL "$pid"; return ;;
            esac
        done
        sleep 0.01
    done
    return 1
}

# What the kill left: the files still as they were made ($own/left), the work files that
# are infected copies ($own/left-copies); and where it landed: "before" any change,
# "during" the changes (and "inside" one file's repair, its work file there), or "after".
after_kill() {
    local left in_use=$((${#held_through[@]} + ${#held_killed[@]}))
    survey
    named left >"$own/left"
    named copy >"$own/left-copies"
    left=$(wc -l <"$own/left")
    if named stray | grep '\.cln$' |
        grep -qvxF -f <(printf '%s.cln\n' "${held_through[@]}" "${held_killed[@]}")
    then echo inside
    elif [ "$left" = "$(wc -l <"$work/infected.sums")" ]; then echo before
    elif [ "$left" -gt "$in_use" ]; then echo during
    else echo after; fi
}

log_line() { printf '%s    %s\n' "$base\\${1//\//\\}" "$2"; }  # log_line NAME OUTCOME

# The second run's log holds a line for each file the kill left infected (a deletion that
# waits for the restart is logged as a repair), and may hold one for a work file that the
# kill left as an infected copy: the walk can meet it before its file.
log_is_right() {
    local name outcome expected
    expected=$(while read -r name; do
        outcome=DISINFECTED
        [ -e "$work/repaired/$name" ] || printf '%s\n' "${held_through[@]}" | grep -qxF "$name" ||
            outcome=DELETED
        log_line "$name" "$outcome"
    done <"$own/left" | sort)
    while read -r name; do log_line "$name" DISINFECTED; done <"$own/left-copies" >"$own/allowed"
    [ "$(log_part "$log" findings | tr -d '\r' | grep -vxF -f "$own/allowed")" = "$expected" ]
}

# One kill: a run killed DELAY seconds after its start ("never": not killed), a second run,
# the restart, and the checks.
round() {  # round DELAY
    local what="$family, killed after $1 s (seed $seed)" started runner killed=no failed=$failures
    [ "$1" = never ] && what="$family, not killed"

    rm -rf "$dir" "$log" && cp -r "$work/infected" "$dir"
    check "$what: files held" hold "${held_through[@]/#/kill/}" "${held_killed[@]/#/kill/}"
    started=$(date +%s%N)
    if [ "$1" = never ]; then
        timeout 120 "$wine_run" "$program" /silent "$base" >/dev/null 2>&1
    else
        "$wine_run" "$program" /silent "$base" >/dev/null 2>&1 &
        runner=$!
        kill_after "$runner" "$1" && killed=yes
        wait "$runner"
    fi
    took=$((($(date +%s%N) - started) / 1000000))
    release ${#held_killed[@]}
    landed=$(after_kill)
    if [ "$1" = never ]; then
        check "$what: every file not in use cleaned at once" [ "$landed" = after ]
    elif [ $killed = no ]; then
        landed=ended
    fi
    { echo "after the kill:"; cat "$own/survey"; restart_list; } >"$own/state" 2>&1
    timeout 120 "$wine_run" "$program" /silent "$base" '/log=c:\second.txt' >/dev/null
    { echo "after the second run:"; survey; cat "$own/survey"; restart_list; } >>"$own/state" 2>&1
    release ${#held_through[@]}
    restart
    survey
    [ "$1" = never ] ||
        echo "$family $landed $(grep -c '^lost ' "$own/survey") $(grep -c '^work ' "$own/survey")" >>"$own/kills"
    check "$what: no file lost: $(files_in lost)" [ -z "$(files_in lost)" ]
    check "$what: none left only as its work file: $(files_in work)" [ -z "$(files_in work)" ]
    check "$what: every file holds its repaired bytes: $(files_in wrong)" [ -z "$(files_in wrong)" ]
    check "$what: nothing else left: $(files_in stray)" [ -z "$(files_in stray)" ]
    check "$what: second run's log names the files the kill left infected" log_is_right
    if [ "$failures" != "$failed" ]; then
        cat "$own/state"
        echo "second run's log:" && cat "$log" && echo
        echo "after the restart:" && cat "$own/survey" && restart_list 2>&1
    fi
}

# How the kills landed, and what they lost.
report() {  # report KILLS...
    awk '{ kills++; n[$2]++; lost += $3; work += $4 } END {
        printf "%d kills: %d before any change, %d while files were being changed (%d inside a" \
            " repair), %d after all changes, %d after the end of the run; %d files lost, %d left" \
            " only as work files\n", kills, n["before"], n["during"] + n["inside"], n["inside"],
            n["after"], n["ended"], lost, work }' "$@"
}

# Each family in a prefix of its own, both at once; the output of each (kept in $own)
# follows when both have ended.
test_family() {  # test_family nt|win98
    local began=$SECONDS started length start_up delay
    family=$1 own="$work/$1" RANDOM=$seed
    export TORVO_WINE_VERSION=$family WINEPREFIX="$TORVO_WINE_PREFIXES/$family"
    dir="$WINEPREFIX/drive_c/kill" log="$WINEPREFIX/drive_c/second.txt"
    mkdir -p "$own" && : >"$own/kills"
    "$wine_run" "$e2etool" attributes 'c:\' >/dev/null  # makes the prefix
    # The program's first run in a prefix waits seconds for Wine's desktop: not one to measure.
    mkdir -p "$WINEPREFIX/drive_c/empty" && "$wine_run" "$program" /silent 'c:\empty' >/dev/null
    # The kills spare most of a run's start-up, which an empty folder's run takes.
    started=$(date +%s%N) && "$wine_run" "$program" /silent 'c:\empty' >/dev/null
    start_up=$((($(date +%s%N) - started) * 3 / 4000000))
    while [ ! -e "$work/made" ]; do sleep 0.1; done
    round never
    length=$took
    for _ in $(seq "$kills"); do
        [ "$start_up" -lt "$length" ] || start_up=0
        delay=$((start_up + RANDOM * (length - start_up) / 32768))
        round "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
        # A run that ended before its kill was shorter than measured (the load changed).
        [ "$landed" = ended ] && length=$took
    done
    release_all
    stop_wine
    echo "$family (a run takes about $length ms; $((SECONDS - began)) s in all): $(report "$own/kills")"
    echo "$passes $failures" >"$own/counts"
}

make_samples &
workers+=($!)
for family in nt win98; do
    test_family $family >"$work/$family.out" 2>&1 &
    workers+=($!)
done
wait "${workers[@]}"
workers=()
for family in nt win98; do
    cat "$work/$family.out"
    read -r family_passes family_failures <"$work/$family/counts" ||
        { family_passes=0 family_failures=1; echo "FAIL: $family: cut short"; }
    passes=$((passes + family_passes)) failures=$((failures + family_failures))
done
echo "both families (seed $seed): $(report "$work"/*/kills)"
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
