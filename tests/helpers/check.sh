# Counted checks for the shell tests: check "what" command [args...]; finish <name> prints the
# tally and fails when any check did.
passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; passed=$((passed + 1)); else echo "FAIL - $what"; failed=$((failed + 1)); fi
}
finish() {
    echo "$1: $passed passed, $failed failed"
    ((failed == 0))
}
