# Shared by the counted check scripts (run_stubtest.sh, run_wheel.sh): each
# check reports through `result`, and `finish` prints the closing
# "<STAGE>: N passed, N failed" line that tests/run_all.sh folds into its totals.
# The sourcing script sets STAGE, and PYTHON_OVERRIDE to an interpreter or "".

# Newest pyenv CPython 3.11, else python3.11, else python3.
pick_python() {
    [ -n "${PYTHON_OVERRIDE:-}" ] && { echo "$PYTHON_OVERRIDE"; return; }
    local best=""
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.11.*/bin/python3.11; do [ -x "$p" ] && best=$p; done
    [ -n "$best" ] || best=$(command -v python3.11 || command -v python3 || true)
    echo "$best"
}

PASS=0 FAIL=0
result() {  # result NAME STATUS
    if [ "$2" -eq 0 ]; then PASS=$((PASS + 1)); echo "--- $1: ok"
    else FAIL=$((FAIL + 1)); echo "!!! $1: FAILED (exit $2)" >&2; fi
}
finish() { echo "$STAGE: $PASS passed, $FAIL failed"; [ "$FAIL" -eq 0 ] && [ "$PASS" -gt 0 ]; exit $?; }
abort() { result "$1" 1; finish; }
