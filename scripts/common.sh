# Shared by the scripts: where things are, and whether this machine runs 32-bit Wine.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)

# Some kernels cannot execute 32-bit Linux programs, and so not Wine's 32-bit loader;
# the 64-bit build of the same sources then stands in for the Windows-side tests.
wine32_works() {
    local prefix
    prefix=$(mktemp -d)
    WINEPREFIX="$prefix" WINEDEBUG=-all timeout 60 /usr/lib/wine/wine cmd /c exit >/dev/null 2>&1 </dev/null
    local status=$?
    WINEPREFIX="$prefix" timeout 15 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    return $status
}

build() {
    local preset=$1
    shift
    cmake --preset "$preset" -DTORVO_WERROR=ON "$@" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
}

# What scripts/setup could not do (the 32-bit Wine), at the top of the output and again
# at its end.
setup_notice() {
    local notice="$root/build/setup-notice.txt"
    [ -f "$notice" ] || return 0
    echo
    cat "$notice"
    echo
}
show_setup_notice() {
    setup_notice
    trap setup_notice EXIT
}
