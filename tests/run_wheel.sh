#!/usr/bin/env bash
# Builds the wheel and tests what a user would get from it:
#   build     pip wheel <repo> -w <wheelhouse>
#   contents  the wheel holds the extension and kestrum_py-stubs/{__init__,geometry}.pyi, nothing else
#   install   the wheel installs into a fresh venv and imports from that venv's site-packages
#   pytest    tests/python against the installed wheel, run from outside the source tree
# Last line: "wheel: N passed, N failed". Exit status 0 only if all passed.
#
# Environment:
#   KESTRUM_WHEEL_WORK     scratch dir for the build and the venv (default /tmp/kestrum-wheel)
#   KESTRUM_WHEELHOUSE     where the wheel is written (default /tmp/wheelhouse)
#   KESTRUM_WHEEL_PYTHON   interpreter to use (default: newest CPython 3.11 under ~/.pyenv, else python3.11, else python3)
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${KESTRUM_WHEEL_WORK:-/tmp/kestrum-wheel}
WHEELHOUSE=${KESTRUM_WHEELHOUSE:-/tmp/wheelhouse}

STAGE=wheel PYTHON_OVERRIDE=${KESTRUM_WHEEL_PYTHON:-}
# shellcheck source=tests/_checks.sh
. "$ROOT/tests/_checks.sh"

PY=$(pick_python)
[ -n "$PY" ] || abort "python"
mkdir -p "$WORK" "$WHEELHOUSE"
echo "--- building with $("$PY" -V 2>&1)"

# Only the wheel built now may be picked up below.
rm -f "$WHEELHOUSE"/kestrum_py-*.whl
ver=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
rc=0; "$PY" -m pip wheel -q --disable-pip-version-check --no-deps -w "$WHEELHOUSE" \
    -C build-dir="$WORK/build-$ver" "$ROOT" || rc=$?
result build $rc
[ "$rc" -eq 0 ] || finish
shopt -s nullglob
wheels=("$WHEELHOUSE"/kestrum_py-*.whl)
shopt -u nullglob
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]:-none}" >&2; abort contents; }
WHEEL=${wheels[0]}
echo "--- $WHEEL"

rc=0; "$PY" - "$WHEEL" <<'EOF' || rc=$?
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for n in names:
    print("    " + n)
payload = [n for n in names if ".dist-info/" not in n]
ext = [n for n in payload if re.fullmatch(r"kestrum_py\.[^/]*\.so", n)]
stubs = sorted(n for n in payload if n.startswith("kestrum_py-stubs/"))
problems = []
if len(ext) != 1:
    problems.append(f"expected one top-level extension module, found {ext}")
if stubs != ["kestrum_py-stubs/__init__.pyi", "kestrum_py-stubs/geometry.pyi"]:
    problems.append(f"stub files: {stubs}")
extra = sorted(set(payload) - set(ext) - set(stubs))
if extra:
    problems.append(f"unexpected files: {extra}")
for p in problems:
    print("!!! " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
result contents $rc

VENV=$WORK/venv
rm -rf "$VENV"
"$PY" -m venv "$VENV" || abort install
VPY=$VENV/bin/python
# numpy: some tests compare against numpy's bool and float types.
rc=0; "$VPY" -m pip install -q --disable-pip-version-check "$WHEEL" pytest numpy || rc=$?
# From a scratch dir, so the only kestrum_py in reach is the installed one.
RUN=$WORK/run
rm -rf "$RUN"; mkdir -p "$RUN"
cd "$RUN" || exit 2
if [ "$rc" -eq 0 ]; then
    where=$("$VPY" -c 'import kestrum_py; print(kestrum_py.__file__)' 2>&1) || rc=$?
    site=$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    case "$where" in
        "$site"/*) echo "--- imports $where" ;;
        *) echo "!!! kestrum_py came from $where, not $site" >&2; rc=1 ;;
    esac
fi
result install $rc
[ "$rc" -eq 0 ] || finish

rc=0; "$VPY" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider || rc=$?
result pytest $rc

finish
