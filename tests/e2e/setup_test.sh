#!/bin/bash
# scripts/setup's decisions, with stand-ins for apt-get and dpkg on the PATH that fail
# the way a mirror in the middle of an update makes them fail: the update exits 100
# ("Mirror sync in progress?"), and the 32-bit Wine cannot be installed from the
# indexes that are left, while everything else can.
# Usage: setup_test.sh SCRIPTS_FOLDER
set -uo pipefail
scripts=$1
source "$(dirname "$0")/../support/check.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins record their calls and the packages installed; APT_BREAKS says what
# fails: "update" (every update), "wine32" (installing wine32:i386), "all" (any install).
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
case $1 in
    update)
        [[ $APT_BREAKS == *update* ]] || exit 0
        echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100 ;;
    install)
        if [[ $APT_BREAKS == *all* ]] || { [[ $APT_BREAKS == *wine32* ]] && [[ " $* " == *" wine32:i386 "* ]]; }; then
            echo "E: Unable to correct problems, you have held broken packages." >&2
            exit 100
        fi
        shift
        for package; do [[ $package == -* ]] || echo "$package" >>"$STATE/installed"; done ;;
esac
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/bash
case $1 in
    --print-foreign-architectures) echo i386 ;;
    -s) grep -qx -- "$2" "$STATE/installed" 2>/dev/null ;;
esac
EOF
chmod +x "$work/bin/apt-get" "$work/bin/dpkg"

run_setup() {  # run_setup NAME BREAKS: the set-up in a state of its own
    export STATE="$work/$1" APT_BREAKS=$2
    mkdir -p "$STATE"
    touch "$STATE/installed"
    PATH="$work/bin:$PATH" TORVO_APT_PAUSE=0 TORVO_SETUP_NOTICE="$STATE/notice" \
        "$scripts/setup" >"$STATE/out" 2>&1
}
count() { grep -c "^apt-get $2" "$work/$1/calls"; }
installed() { grep -qx -- "$2" "$work/$1/installed"; }
not() { ! "$@"; }

# The index stays broken and the 32-bit Wine cannot be had: the rest is installed, the
# set-up succeeds, and leaves the notice.
run_setup broken "update wine32"
check "a broken index: the set-up goes on and succeeds" [ $? -eq 0 ]
check "the update is tried four times" [ "$(count broken update)" -eq 4 ]
check "what can be installed is installed" installed broken cmake
check "... but the 32-bit Wine" not installed broken wine32:i386
check "the notice says what failed and what stands in" \
    grep -q "(package wine32:i386) could not be installed" "$work/broken/notice"
check "... and is printed" grep -q "64-bit build of the same sources" "$work/broken/out"

# An index that heals on the way: nothing is left out, no notice.
run_setup whole ""
check "whole indexes: the set-up succeeds" [ $? -eq 0 ]
check "one update is enough" [ "$(count whole update)" -eq 1 ]
check "the 32-bit Wine is installed" installed whole wine32:i386
check "no notice" [ ! -e "$work/whole/notice" ]

# Nothing can be installed: the set-up fails, and says so.
run_setup nothing "update all"
check "nothing installable: the set-up fails" [ $? -ne 0 ]
check "... with a clear message" grep -q "could not be installed" "$work/nothing/out"

# Everything there already: apt-get is never asked.
export STATE="$work/broken"
echo wine32:i386 >>"$STATE/installed"
run_setup broken "update all"
check "everything installed: apt-get is not run again" [ "$(count broken update)" -eq 4 ]
check "... and the old notice is gone" [ ! -e "$work/broken/notice" ]

echo "setup_test: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
