#!/usr/bin/env bash
# Builds the documentation site strictly (warnings are errors) into
# docs/_build/html, in a venv of its own with the module and the docs tools.
#
#   bash docs/make.sh            # build
#   bash docs/make.sh --open     # build, then open it in the default browser
#   bash docs/make.sh --check    # build, then check it in headless Chromium
#
# Environment: KESTRUM_DOCS_VENV (default <repo>/.venv-docs), KESTRUM_DOCS_OUT
# (default docs/_build/html), KESTRUM_DOCS_PYTHON (default python3),
# KESTRUM_DOCS_BUILD_DIR (the extension's build dir, kept between runs).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${KESTRUM_DOCS_VENV:-$ROOT/.venv-docs}
OUT=${KESTRUM_DOCS_OUT:-$ROOT/docs/_build/html}
PY=${KESTRUM_DOCS_PYTHON:-python3}
open=0 check=0
for a in "$@"; do
    case "$a" in
        --open) open=1 ;;
        --check) check=1 ;;
        *) echo "usage: bash docs/make.sh [--open] [--check]" >&2; exit 2 ;;
    esac
done
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
ver=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
# The build dir is kept, so only changed sources are recompiled.
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
    -C build-dir="${KESTRUM_DOCS_BUILD_DIR:-$ROOT/build/docs-$ver}" "$ROOT[docs]"
"$VENV/bin/python" -m sphinx -W --keep-going -q -b html "$ROOT/docs" "$OUT"
echo "site built: $OUT/index.html"
[ "$check" = 0 ] || "$VENV/bin/python" "$ROOT/tests/check_docs_site.py" "$OUT"
[ "$open" = 0 ] || "$VENV/bin/python" -m webbrowser "file://$OUT/index.html"
