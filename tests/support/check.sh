# The checks of the test scripts: `check DESCRIPTION COMMAND...` counts a pass, or a
# failure with its description. The script reports the two counts at its end.
failures=0 passes=0

check() {
    if "${@:2}"; then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        echo "FAIL: $1"
    fi
}

# A batch log as three parts: its two head lines, its findings (in any order: runs on
# several threads report in the order they finish) and its counts.
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
