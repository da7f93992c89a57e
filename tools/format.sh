#!/usr/bin/env bash
# The house C++ format (.clang-format) over every C++ source we own.
# Usage: bash tools/format.sh           rewrite the files in place
#        bash tools/format.sh --check   list what differs, exit 1 if anything does
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files 'core/*.[ch]pp' 'python/src/*.[ch]pp' 'tests/cpp/*.[ch]pp' 'bench/internals/*.[ch]pp')
if [ "${1:-}" = --check ]; then
    clang-format --dry-run -Werror "${files[@]}"
    echo "format: ${#files[@]} files as .clang-format has them"
else
    clang-format -i "${files[@]}"
fi
