# System packages the test stages need, shared by tests/run_all.sh and
# .ci/run. `ensure_prereqs STAGE...` installs what is missing with apt-get
# when it runs as root on a machine with apt; otherwise it prints the exact
# command to run and returns 3, so nothing starts that would fail minutes later.
# Everything Python-side (numpy, pytest, Sphinx, ...) comes from PyPI into the
# stages' own venvs and is not checked here.
#
# Every probe goes through PATH (dpkg, id, apt-get, cmake, g++, clang++, chromium), so a
# test can stand in fakes for them.

# CMake 3.21 for ctest's JUnit report; a pyenv shim without a cmake behind it
# counts as missing.
prereq_cmake_ok() {
    local v; v=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
    [ -n "$v" ] && printf '3.21\n%s\n' "$v" | sort -V -C
}

prereq_deb_installed() { dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'; }

# The CPython the Python stages build against: the first of $PYTHONS found
# under pyenv or on PATH (the same search as run_all.sh's find_python).
prereq_python() {
    local v p
    for v in ${PYTHONS:-3.11 3.12 3.13}; do
        for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v"; do
            [ -x "$p" ] && { echo "$p"; return; }
        done
        p=$(command -v "python$v" 2>/dev/null) && { echo "$p"; return; }
    done
}

# prereq_missing STAGE...  — prints the apt packages missing for these stages.
prereq_missing() {
    local s build=0 gtest=0 cmake=0 python=0 browser=0 clang=0 format=0
    for s in "$@"; do
        case "$s" in
            cpp|tsan) build=1 gtest=1 cmake=1 ;;
            asan)     build=1 cmake=1 python=1 ;;
            clang)    build=1 gtest=1 cmake=1 python=1 clang=1 ;;
            python|typing|wheel|docs) build=1 python=1 ;;
            ft)       build=1 ;;
            lint)     format=1 python=1 ;;
        esac
        [ "$s" = docs ] && browser=1
    done
    local need=()
    [ "$build" = 1 ] && ! command -v g++ >/dev/null 2>&1 && need+=(g++)
    [ "$gtest" = 1 ] && ! prereq_deb_installed libgtest-dev && need+=(libgtest-dev)
    [ "$cmake" = 1 ] && ! prereq_cmake_ok && ! (PATH="/usr/bin:$PATH" prereq_cmake_ok) && need+=(cmake)
    [ "$clang" = 1 ] && ! command -v clang++ >/dev/null 2>&1 && need+=(clang)
    [ "$format" = 1 ] && ! command -v clang-format >/dev/null 2>&1 && need+=(clang-format)
    [ "$browser" = 1 ] && ! command -v chromium >/dev/null 2>&1 && need+=(chromium)
    if [ "$python" = 1 ]; then
        local py; py=$(prereq_python)
        if [ -z "$py" ]; then
            need+=(python3 python3-venv python3-dev)
        else
            # Debian splits venv support and the C headers out of its python3.
            local ver; ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
            "$py" -c 'import ensurepip' 2>/dev/null || need+=("python$ver-venv")
            "$py" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
                2>/dev/null || need+=("python$ver-dev")
        fi
    fi
    echo "${need[@]}"
}

# ensure_prereqs STAGE...  — 0 when everything is there (installing it if it
# can), 3 after saying what to install.
ensure_prereqs() {
    local need; need=$(prereq_missing "$@")
    if [ -n "$need" ]; then
        if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
            echo "=== installing: $need"
            DEBIAN_FRONTEND=noninteractive apt-get update -q &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need ||
                { echo "!!! apt-get could not install: $need" >&2; return 3; }
            need=$(prereq_missing "$@")
        fi
    fi
    if [ -n "$need" ]; then
        {
            echo "!!! missing system packages for the stages ${*}: $need"
            if command -v apt-get >/dev/null 2>&1; then
                echo "    install them and run this again:"
                echo "        sudo apt-get install -y --no-install-recommends $need"
                echo "    (run as root, this script installs them itself)"
            else
                echo "    no apt-get here: install your system's packages for $need (Debian names), then run this again"
            fi
            echo "    nothing was run."
        } >&2
        return 3
    fi
    # A broken pyenv shim ahead of Debian's cmake on PATH would still win.
    prereq_cmake_ok || export PATH="/usr/bin:$PATH"
    return 0
}
