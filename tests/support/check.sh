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
