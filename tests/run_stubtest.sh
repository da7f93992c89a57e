#!/usr/bin/env bash
# Type-stub checks against an installed kestrum_py, in a fresh venv:
#   allowlist-derived  the reflected wrappers to skip, printed by tools/gen_stubs.py --allowlist
#   stubtest           python -m mypy.stubtest kestrum_py (geometry skipped: not importable by dotted name)
#   stubtest-geometry  stubtest on the geometry stub (_geometry.pyi) with the runtime submodule registered under that name
#   unmodelled         what stubtest cannot see: the reflected wrappers the allowlist skips
#   stubs-self         mypy --strict on the stub files themselves
#   usage-mypy         mypy --strict on tests/typing/usage.py (typed use of every member)
#   misuse-mypy        mypy on tests/typing/misuse.py: every expected error must occur (--warn-unused-ignores)
#   usage-run          usage.py executed: what type-checks also works
#   misuse-run         misuse.py executed: what the stubs reject also fails at runtime
# Last line: "typing: N passed, N failed". Exit status 0 only if all passed.
#
# Environment:
#   KESTRUM_STUB_WORK    scratch dir for the venv and the build (default /tmp/kestrum-stubtest)
#   KESTRUM_STUB_PYTHON  interpreter to use (default: newest CPython 3.11 under ~/.pyenv, else python3.11, else python3)
#   KESTRUM_MYPY         mypy requirement (default mypy==2.4.1; stubtest's checks change between releases)
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${KESTRUM_STUB_WORK:-/tmp/kestrum-stubtest}
MYPY_REQ=${KESTRUM_MYPY:-mypy==2.4.1}
TYPING=$ROOT/tests/typing

STAGE=typing PYTHON_OVERRIDE=${KESTRUM_STUB_PYTHON:-}
# shellcheck source=tests/_checks.sh
. "$ROOT/tests/_checks.sh"

PY=$(pick_python)
if [ -z "$PY" ]; then echo "no python interpreter found" >&2; FAIL=1; finish; fi
mkdir -p "$WORK"
VENV=$WORK/venv
echo "--- $("$PY" -V 2>&1) in a fresh venv at $VENV"
rm -rf "$VENV"
if ! "$PY" -m venv "$VENV"; then echo "venv creation failed" >&2; FAIL=1; finish; fi
VPY=$VENV/bin/python
ver=$("$VPY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
if ! "$VPY" -m pip install -q --disable-pip-version-check -C build-dir="$WORK/build-$ver" \
        "$ROOT" "$MYPY_REQ"; then
    echo "pip install failed" >&2; FAIL=1; finish
fi

# Run from a scratch dir: nothing of the source tree may shadow the installed module.
RUN=$WORK/run
rm -rf "$RUN"; mkdir -p "$RUN"
cd "$RUN" || exit 2
"$VPY" -c 'import kestrum_py, sys; print("--- testing", kestrum_py.__file__)'

# The reflected wrappers no expression reaches, from the binding tables.
REFLECTED=$RUN/allowlist-reflected.txt
rc=0; "$VPY" "$ROOT/tools/gen_stubs.py" --allowlist > "$REFLECTED" || rc=$?
result allowlist-derived $rc

rc=0; "$VPY" -m mypy.stubtest kestrum_py \
    --allowlist "$TYPING/stubtest-allowlist.txt" --allowlist "$REFLECTED" \
    --allowlist "$TYPING/stubtest-allowlist-toplevel.txt" || rc=$?
result stubtest $rc

rc=0; "$VPY" "$TYPING/stubtest_geometry.py" kestrum_py \
    --allowlist "$TYPING/stubtest-allowlist.txt" --allowlist "$REFLECTED" || rc=$?
result stubtest-geometry $rc

rc=0; "$VPY" "$TYPING/check_unmodelled.py" "$REFLECTED" || rc=$?
result unmodelled $rc

# The stubs as a package of their own, so their own type: ignore comments are checked too.
rm -rf "$RUN/stubsrc"; mkdir -p "$RUN/stubsrc"
cp -r "$ROOT/python/stubs/kestrum_py-stubs" "$RUN/stubsrc/kestrum_py"
rc=0; MYPYPATH=$RUN/stubsrc "$VPY" -m mypy --strict --warn-unused-ignores --no-incremental \
    -p kestrum_py || rc=$?
result stubs-self $rc

MYPY=("$VPY" -m mypy --strict --warn-unused-ignores --no-incremental --cache-dir=/dev/null)
rc=0; "${MYPY[@]}" "$TYPING/usage.py" || rc=$?
result usage-mypy $rc
rc=0; "${MYPY[@]}" "$TYPING/misuse.py" || rc=$?
result misuse-mypy $rc

rc=0; "$VPY" "$TYPING/usage.py" || rc=$?
result usage-run $rc
rc=0; "$VPY" "$TYPING/misuse.py" || rc=$?
result misuse-run $rc

finish
