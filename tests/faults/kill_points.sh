#!/bin/bash
# A run killed at any moment loses nothing. The real program is killed before each of
# its file-changing system calls in turn (strace's fault injection), run again, and the
# restart list carried out: every infected file is then repaired (deleted, for the worm
# alone and its mail), no work file and no entry of ours is left, and the second run's
# log told the truth. Then the same for a run that carries the restart list out.
#   kill_points.sh TORVOCLEAN SAMPLEGEN
set -u
export LC_ALL=C
# strace counts "when=" per thread: with one thread a run repeats its trace call for
# call (only the walk's thread changes files anyway).
export TORVOCLEAN_JOBS=1
source "$(dirname "$0")/../support/check.sh"
shopt -s nullglob dotglob
work=$(mktemp -d "${TMPDIR:-/tmp}/torvo-kill-XXXXXX")
trap 'rm -rf "$work"' EXIT
# Copies: a rebuild of the tree while this runs changes nothing here.
cp "$1" "$work/torvoclean" && cp "$2" "$work/samplegen" || exit 1
program=$work/torvoclean samplegen=$work/samplegen

if ! strace -f -qq -o /dev/null true 2>/dev/null; then
    echo "strace cannot trace here: skipped"
    exit 77
fi

# The calls that may change files. Killing before any other call leaves the files as
# killing before the next of these does, so a read-only openat is no kill point.
changing=openat,write,pwrite64,ftruncate,fsync,fdatasync,unlinkat,unlink,renameat2,renameat,rename,mkdir,fchmod,fchown,fsetxattr

seq 1 1500 >"$work/host.bin"
"$samplegen" page "$work/infected.htm" >/dev/null
head -c -120 "$work/infected.htm" >"$work/plain.htm"

# --- helpers ---------------------------------------------------------------------

# This shell holds files in use: a shared lock, as another program reading them.
held=()
hold() { local fd; exec {fd}<"$1" && flock -s "$fd" && held+=("$fd"); }
release() { local fd; for fd in "${held[@]}"; do exec {fd}<&-; done; held=(); }

name_of() {  # name_of FORM
    case $1 in page) echo page.htm ;; worm) echo worm.exe ;; mail) echo mail.eml ;; *) echo "$1.exe" ;; esac
}

make_sample() {  # make_sample FORM PATH
    case $1 in
        page) "$samplegen" page "$2" ;;
        program) "$samplegen" exe --variant a --host "$work/host.bin" "$2" ;;
        nested) "$samplegen" exe --variant e --depth 2 --host "$work/host.bin" "$2" ;;
        worm) "$samplegen" exe --variant a --no-host "$2" ;;
        mail) "$samplegen" mail --variant e "$2" ;;
    esac >/dev/null
}

is_repaired() {  # is_repaired FORM PATH: its repaired bytes, or gone
    case $1 in
        page) cmp -s "$2" "$work/plain.htm" ;;
        program | nested) cmp -s "$2" "$work/host.bin" ;;
        *) [ ! -e "$2" ] && [ ! -L "$2" ] ;;
    esac
}

# A fresh folder to scan, restart list (in a folder of its own: the program locks that
# folder) and empty folder for carrying the list out.
p=$work/point
fresh() {
    release
    rm -rf "$p" && mkdir -p "$p/scan" "$p/list" "$p/empty"
    export TORVOCLEAN_RESTART_LIST=$p/list/restart.ini
}

run() { "$program" /silent "$@" 2>/dev/null; }
restart() { run /restart "$p/empty"; }

# The kill points of a run: "SYSCALL N" for the Nth call of SYSCALL (strace counts
# "when=" for each call on its own, also in a set) that may change a file.
kill_points_of() {  # kill_points_of ARGS...
    strace -f -qq -o "$work/trace" -e trace="$changing" "$program" /silent "$@" >/dev/null 2>&1
    awk '{ sub(/^[0-9]+ +/, ""); call = $0; sub(/\(.*/, "", call) }
         call !~ /^[a-z0-9_]+$/ { next }
         { ++count[call] }
         call != "openat" || /O_WRONLY|O_RDWR|O_CREAT|O_TRUNC/ { print call, count[call] }' "$work/trace"
}

# What is left on the restart list: any entry is ours (the list starts empty).
entries_left() {
    local line
    [ -f "$TORVOCLEAN_RESTART_LIST" ] || return
    while IFS= read -r line; do [[ $line == *=* ]] && echo "restart list keeps: $line"; done \
        <"$TORVOCLEAN_RESTART_LIST"
}

details() {  # how things stood, and how to get there again
    echo "    again: TORVOCLEAN_JOBS=1 ${kill:+strace -f --inject=$kill:signal=KILL:when=$n }torvoclean /silent ${killed_args[*]}; then $then"
    echo "    folder:"; (cd "$p" && ls -lAR scan list | sed 's/^/      /')
    [ -f "$TORVOCLEAN_RESTART_LIST" ] && { echo "    restart list:"; sed 's/^/      /;$a\' "$TORVOCLEAN_RESTART_LIST"; }
    [ -f "$p/log2.txt" ] && { echo "    second run's log:"; sed 's/^/      /;$a\' "$p/log2.txt"; }
}

# Explores one case: for each kill point (and once unkilled), SETUP makes the case in
# a fresh folder, a run with ARGS is killed there, and STEP prints what is then wrong.
kill_points=0
explore() {  # explore CASE SETUP STEP ARGS...
    local points status at case_points=0
    "$2" && points=$(kill_points_of "${@:4}")
    killed_args=("${@:4}")
    while read -r kill n <&3; do
        "$2"
        at="killed at $kill call $n"
        if [ -z "$kill" ]; then
            at="not killed"
            run "${@:4}"
        else
            run_killed "$kill" "$n" "${@:4}" 2>/dev/null  # (the shell's "Killed" notice)
            status=$?
            case_points=$((case_points + 1))
            [ $status = 137 ] || echo "not killed (status $status): the run left its trace"
        fi >"$work/problems"
        "$3" >>"$work/problems"
        check "$1: $at" [ ! -s "$work/problems" ]
        [ -s "$work/problems" ] && { sed 's/^/    /' "$work/problems"; details; }
    done 3<<<"$points"$'\n'  # and last, once not killed
    echo "$1: $case_points kill points"
    kill_points=$((kill_points + case_points))
}
run_killed() { strace -f -qq -o /dev/null --inject="$1:signal=KILL:when=$2" "$program" /silent "${@:3}"; }

# --- a run killed while it cleans ------------------------------------------------

# form: one of name_of's; situation: free, inuse (in use during both runs), or earlier
# (an earlier run while it was in use left its repair waiting, then it is free).
setup_file() {
    fresh
    file=$p/scan/$(name_of "$form")
    make_sample "$form" "$file"
    case $situation in
        inuse) hold "$file" ;;
        earlier) hold "$file"; run "$p/scan"; release ;;
    esac
}

# The second run's log: only the file is reported, by what became of it, and a file
# not repaired after that run is reported and waits for the restart. (A deletion that
# waits for the restart is logged DISINFECTED.)
log_problems() {
    local line said= complete= restart=
    [ -f "$p/log2.txt" ] || { echo "second run wrote no log"; return; }
    mapfile -t lines <"$p/log2.txt"
    for line in "${lines[@]:2}"; do
        line=${line%$'\r'}
        case $line in
            "$file    DISINFECTED" | "$file    DELETED") said=${line##* } ;;
            "Couldn't open "*) complete=yes ;;
            "The computer MUST be restarted"*) restart=yes ;;
            "Infected files "* | "") ;;
            *) echo "second run logged: $line" ;;
        esac
    done
    [ -n "$complete" ] || echo "second run's log incomplete"
    case $form:$said:$restart in
        *::* | page:DISINFECTED:* | program:DISINFECTED:* | nested:DISINFECTED:*) ;;
        worm:DELETED:* | mail:DELETED:* | worm:DISINFECTED:yes | mail:DISINFECTED:yes) ;;
        *) echo "second run logged $(name_of "$form") $said" ;;
    esac
    is_repaired "$form" "$file" || { [ -n "$said" ] && [ -n "$restart" ]; } ||
        echo "not repaired after the second run, and its log does not say it waits for the restart"
}

cleaning_step() {  # after the killed run: a second run, the restart, the checks
    release
    [ $situation = inuse ] && [ -e "$file" ] && hold "$file"
    run "$p/scan" "/log=$p/log2.txt"
    log_problems
    release
    restart || echo "carrying out the restart list failed (status $?)"
    is_repaired "$form" "$file" || echo "$(name_of "$form") not repaired after the restart"
    local left=("$p/scan"/*) expected=()
    [ -e "$file" ] && expected=("$file")
    [ "${left[*]}" = "${expected[*]}" ] || echo "folder holds: ${left[*]##*/}"
    entries_left
}

then="torvoclean /silent DIR /log=LOG (file held again if in use); torvoclean /silent /restart EMPTY"
for form in page program nested worm mail; do
    for situation in free inuse earlier; do
        explore "$form $situation" setup_file cleaning_step "$p/scan" "/log=$p/log1.txt"
    done
done

# --- a run killed while it carries the restart list out ---------------------------

# A page, a program and a worm alone were in use during a run: two repairs and a
# deletion wait on the list.
setup_pending() {
    fresh
    local form
    for form in page program worm; do make_sample $form "$p/scan/$(name_of $form)" && hold "$p/scan/$(name_of $form)"; done
    run "$p/scan"
    release
}

restart_step() {
    restart || echo "carrying out the restart list again failed (status $?)"
    local form left=("$p/scan"/*)
    for form in page program worm; do is_repaired $form "$p/scan/$(name_of $form)" || echo "$(name_of $form) not repaired"; done
    [ "${left[*]##*/}" = "page.htm program.exe" ] || echo "folder holds: ${left[*]##*/}"
    entries_left
}

then="torvoclean /silent /restart EMPTY"
explore "restart list carried out" setup_pending restart_step /restart "$p/empty"

echo "$kill_points kill points; $passes passed, $failures failed"
[ "$failures" -eq 0 ]
