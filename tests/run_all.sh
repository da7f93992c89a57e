#!/usr/bin/env bash
# Every test stage of kestrum_py in one command:
#   lint     clang-format (check only) on the C++ sources, ruff on the Python
#   python   pytest on each of CPython 3.11 / 3.12 / 3.13 (fresh venv, `pip install .[test,examples,dask]`)
#   cpp      GoogleTest suites through ctest (and every C++ benchmark program built)
#   clang    the extension and the C++ tests built with clang++: ctest, then pytest against that module
#   tsan     the worker-pool tests under ThreadSanitizer
#   asan     the pytest suite against an AddressSanitizer+UBSan build of the extension
#   ft       compile-only check of the bindings with the free-threaded object layout
#   typing   stubtest and mypy checks of the installed type stubs
#   wheel    build a wheel, install it in a fresh venv, run the tests against it
#   docs     build the documentation site strictly and check it in headless Chromium
# The last line is an aggregate "N passed, N failed[, N skipped]" over all stages.
#
# First the system packages the chosen stages need are checked (tests/prereqs.sh):
# run as root with apt-get, missing ones are installed; otherwise the script names
# them and exits 3 before any stage starts. `prereqs` as the only stage does just that.
#
# Usage: bash tests/run_all.sh [stage ...]     (default: all stages, in the order above)
# Environment:
#   KESTRUM_CI_DIR    scratch dir for venvs and builds (default: <repo>/build-ci)
#   KESTRUM_PYTHONS   CPython minor versions to try (default: "3.11 3.12 3.13")
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=${KESTRUM_CI_DIR:-$ROOT/build-ci}
PYENV_DIR=${PYENV_ROOT:-$HOME/.pyenv}
PYTHONS=${KESTRUM_PYTHONS:-3.11 3.12 3.13}
RUFF="ruff==0.17.6"  # pinned: a new release may add findings
ALL_STAGES="lint python cpp clang tsan asan ft typing wheel docs"
STAGES=${*:-$ALL_STAGES}
cd "$ROOT" || exit 2

for s in $STAGES; do
    case " $ALL_STAGES prereqs " in
        *" $s "*) ;;
        *) echo "unknown stage '$s' ($ALL_STAGES, or prereqs)" >&2; exit 2 ;;
    esac
done
# shellcheck source=tests/prereqs.sh
. "$ROOT/tests/prereqs.sh"
if [ "$STAGES" = prereqs ]; then
    ensure_prereqs $ALL_STAGES || exit 3
    echo "every system package the stages need is installed"
    exit 0
fi
ensure_prereqs $STAGES || exit 3
mkdir -p "$WORK"

TOTAL_PASS=0 TOTAL_FAIL=0 TOTAL_SKIP=0
SUMMARY=()

log() { printf '\n=== %s\n' "$*"; }

# record STAGE PASSED FAILED SKIPPED [NOTE]
record() {
    TOTAL_PASS=$((TOTAL_PASS + $2)); TOTAL_FAIL=$((TOTAL_FAIL + $3)); TOTAL_SKIP=$((TOTAL_SKIP + $4))
    SUMMARY+=("$(printf '%-22s %4d passed, %3d failed, %3d skipped%s' "$1" "$2" "$3" "$4" "${5:+  ($5)}")")
}

# A stage that broke before any test could report (build error, missing tool,
# runner crash) counts as one failure so the aggregate can never look green.
stage_broken() { echo "!!! $1: $2" >&2; record "$1" 0 1 0 "$2"; }

# Interpreter used only for parsing reports.
HOSTPY=""
for v in $PYTHONS; do
    for p in "$PYENV_DIR"/versions/"$v".*/bin/python"$v"; do
        [ -x "$p" ] && { HOSTPY=$p; break 2; }
    done
done
[ -n "$HOSTPY" ] || HOSTPY=$(command -v python3 || true)

# Prints "passed failed skipped" for one or more JUnit XML reports (pytest,
# ctest and GoogleTest all write them); nothing if none can be read.
junit_counts() {
    "$HOSTPY" - "$@" <<'EOF'
import sys, xml.etree.ElementTree as ET
p = f = s = 0
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        sys.exit(0)
    for case in root.iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"}:
            f += 1
        elif "skipped" in tags or case.get("status") in ("disabled", "notrun"):
            s += 1
        else:
            p += 1
print(p, f, s)
EOF
}

# finish_stage NAME EXIT_CODE REPORT...  — fold a runner's reports into the totals.
finish_stage() {
    local name=$1 rc=$2; shift 2
    local counts; counts=$(junit_counts "$@")
    if [ -z "$counts" ]; then
        stage_broken "$name" "runner exited $rc without a readable report"
        return
    fi
    local p f s; read -r p f s <<<"$counts"
    if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
        # e.g. pytest's exit 5 (nothing collected) or a sanitizer abort after the last test
        record "$name" "$p" 1 "$s" "runner exited $rc with no failing test reported"
    elif [ $((p + f)) -eq 0 ]; then
        record "$name" 0 1 "$s" "no test ran"
    else
        record "$name" "$p" "$f" "$s"
    fi
}

# Ninja when it actually runs (a pyenv shim may exist without the tool behind it).
GEN=()
if ninja --version >/dev/null 2>&1; then GEN=(-G Ninja); fi

# configure_build DIR TARGET|"" CMAKE_ARGS...  — reuses DIR between runs.
configure_build() {
    local dir=$1 target=$2; shift 2
    # A build dir made with another generator cannot be reused.
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "CMAKE_GENERATOR:INTERNAL=${GEN[1]:-Unix Makefiles}\$" "$dir/CMakeCache.txt"; then
        rm -rf "$dir"
    fi
    cmake -S "$ROOT" -B "$dir" "${GEN[@]}" "$@" || return 1
    if [ -n "$target" ]; then
        cmake --build "$dir" -j2 --target $target
    else
        cmake --build "$dir" -j2
    fi
}

find_python() {  # newest installed patch release of a minor version
    local v=$1 best=""
    for p in "$PYENV_DIR"/versions/"$v".*/bin/python"$v"; do [ -x "$p" ] && best=$p; done
    [ -n "$best" ] || best=$(command -v "python$v" || true)
    echo "$best"
}

# --- lint: the house format of the C++, ruff on the Python ------------------------
stage_lint() {
    local name="lint" pass=0 fail=0 py="" v
    log "$name: clang-format --dry-run, ruff check"
    if bash tools/format.sh --check; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
    for v in $PYTHONS; do py=$(find_python "$v"); [ -n "$py" ] && break; done
    [ -n "$py" ] || { stage_broken "$name" "no CPython found"; return; }
    local venv=$WORK/venv-lint
    if ! { [ -x "$venv/bin/ruff" ] || { "$py" -m venv "$venv" && "$venv/bin/pip" install -q "$RUFF"; }; }; then
        stage_broken "$name" "ruff install failed"; return
    fi
    if "$venv/bin/ruff" check .; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
    record "$name" "$pass" "$fail" 0 "clang-format, ruff"
}

# --- python: pytest on each CPython --------------------------------------------
TEST_VENV=""  # the python stage's first venv, for the stages testing their own build
stage_python() {
    local found=0
    for v in $PYTHONS; do
        local py; py=$(find_python "$v")
        if [ -z "$py" ]; then
            # Counted, so the closing line shows it: a missing version is a
            # gap in coverage, not something to pass over in silence.
            echo "!!! CPython $v not found under $PYENV_DIR/versions or on PATH" >&2
            record "pytest-py$v" 0 0 1 "CPython $v not found"
            continue
        fi
        found=1
        local venv=$WORK/venv-$v name="pytest-py$v"
        log "$name: $("$py" -V 2>&1) in a fresh venv"
        rm -rf "$venv"
        if ! "$py" -m venv "$venv"; then stage_broken "$name" "venv creation failed"; continue; fi
        "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
        # Own build dir per interpreter: incremental between runs and never
        # shared with a developer's `pip install .` in the same tree.
        if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check \
                -C build-dir="$WORK/wheel-$v" "$ROOT[test,examples,dask]"; then
            stage_broken "$name" "pip install failed"; continue
        fi
        [ -n "$TEST_VENV" ] || TEST_VENV=$venv
        local report=$WORK/junit-$name.xml rc=0
        rm -f "$report"
        # The extras were installed just above: their tests must run, not skip.
        KESTRUM_REQUIRE_EXAMPLES=1 \
        "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider --junitxml="$report" || rc=$?
        finish_stage "$name" "$rc" "$report"
    done
    [ "$found" -eq 1 ] || stage_broken "pytest" "no CPython of $PYTHONS found"
}

# --- cpp: GoogleTest suites -------------------------------------------------------
stage_cpp() {
    local dir=$WORK/cpp name="ctest"
    log "$name: C++ tests"
    if ! configure_build "$dir" "" -DKESTRUM_BUILD_EXTENSION=OFF -DKESTRUM_BUILD_TESTS=ON -DKESTRUM_BUILD_BENCH=ON; then
        stage_broken "$name" "build failed"; return
    fi
    local report=$WORK/junit-ctest.xml rc=0
    rm -f "$report"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --output-junit "$report" || rc=$?
    finish_stage "$name" "$rc" "$report"
}

# test_venv TAG  — prints the python stage's venv or, for a stage run on its
# own, a fresh one with the test tools only ($WORK/venv-TAG); else the reason.
test_venv() {
    [ -n "$TEST_VENV" ] && { echo "$TEST_VENV"; return; }
    local py="" v venv=$WORK/venv-$1
    for v in $PYTHONS; do py=$(find_python "$v"); [ -n "$py" ] && break; done
    [ -n "$py" ] || { echo "no CPython found"; return 1; }
    rm -rf "$venv"
    "$py" -m venv "$venv" >&2 && "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            pytest numpy scipy numpy-quaternion PyGLM cloudpickle mpmath >&2 \
        || { echo "venv setup failed"; return 1; }
    echo "$venv"
}

# --- clang: the extension and the C++ tests built with clang++ --------------------
# Its own build of both, then the same tests as the cpp and python stages:
# nothing in the results may depend on the compiler (NaN bits included).
stage_clang() {
    local name="clang"
    log "$name: extension and C++ tests built with clang++"
    local venv; venv=$(test_venv clang) || { stage_broken "$name" "$venv"; return; }
    local dir=$WORK/clang
    if ! configure_build "$dir" "" -DCMAKE_CXX_COMPILER=clang++ -DKESTRUM_BUILD_EXTENSION=ON \
            -DKESTRUM_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/bin/python"; then
        stage_broken "$name" "build failed"; return
    fi
    local report=$WORK/junit-ctest-clang.xml rc=0
    rm -f "$report"
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --output-junit "$report" || rc=$?
    finish_stage "ctest-clang" "$rc" "$report"
    local where
    where=$(PYTHONPATH=$dir "$venv/bin/python" -c 'import kestrum_py; print(kestrum_py.__file__)' 2>&1)
    case "$where" in
        "$dir"/*) echo "--- testing $where" ;;
        *) echo "$where"; stage_broken "pytest-clang" "the clang-built module did not load"; return ;;
    esac
    report=$WORK/junit-pytest-clang.xml rc=0
    rm -f "$report"
    PYTHONPATH=$dir "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider --junitxml="$report" || rc=$?
    finish_stage "pytest-clang" "$rc" "$report"
}

# --- tsan: the pool tests under ThreadSanitizer -----------------------------------
stage_tsan() {
    local name="tsan-pool" srcs=() targets=()
    log "$name: worker-pool tests under ThreadSanitizer"
    for f in tests/cpp/test_pool*.cpp; do [ -f "$f" ] && srcs+=("$f"); done
    if [ ${#srcs[@]} -eq 0 ]; then
        echo "--- no tests/cpp/test_pool*.cpp yet: ThreadSanitizer stage skipped"
        SUMMARY+=("$(printf '%-22s skipped (no pool tests yet)' "$name")")
        return
    fi
    for f in "${srcs[@]}"; do targets+=("$(basename "$f" .cpp)"); done
    local dir=$WORK/tsan
    if ! configure_build "$dir" "${targets[*]}" -DKESTRUM_BUILD_EXTENSION=OFF -DKESTRUM_BUILD_TESTS=ON \
            -DKESTRUM_SANITIZE=thread; then
        stage_broken "$name" "build failed"; return
    fi
    local reports=() rc=0
    for t in "${targets[@]}"; do
        local report=$WORK/junit-tsan-$t.xml
        rm -f "$report"
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
            "$dir/$t" --gtest_output="xml:$report" || rc=$?
        reports+=("$report")
    done
    finish_stage "$name" "$rc" "${reports[@]}"
}

# --- asan: pytest against an ASan+UBSan extension ---------------------------------
stage_asan() {
    local name="pytest-asan+ubsan"
    log "$name: extension built with -fsanitize=address,undefined"
    local venv; venv=$(test_venv asan) || { stage_broken "$name" "$venv"; return; }
    local dir=$WORK/asan
    if ! configure_build "$dir" kestrum_py -DKESTRUM_BUILD_EXTENSION=ON -DKESTRUM_BUILD_TESTS=OFF \
            -DKESTRUM_SANITIZE=address,undefined -DPython_EXECUTABLE="$venv/bin/python"; then
        stage_broken "$name" "build failed"; return
    fi
    # The interpreter is not instrumented, so the ASan runtime must come first;
    # libstdc++ right behind it, or ASan finds no real __cxa_throw to forward
    # to (python itself does not link libstdc++) and aborts on the first throw.
    local preload
    preload="$(gcc -print-file-name=libasan.so):$(readlink -f "$(g++ -print-file-name=libstdc++.so)")"
    local env=(env "LD_PRELOAD=$preload" "PYTHONPATH=$dir"
               "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1"  # CPython keeps its objects at exit; an impossible size is a MemoryError, not an abort
               "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
    # Make sure the instrumented module, not the venv's installed one, is tested.
    local where
    where=$("${env[@]}" "$venv/bin/python" -c 'import kestrum_py; print(kestrum_py.__file__)' 2>&1)
    case "$where" in
        "$dir"/*) echo "--- testing $where" ;;
        *) echo "$where"; stage_broken "$name" "instrumented module did not load"; return ;;
    esac
    local report=$WORK/junit-asan.xml rc=0
    rm -f "$report"
    # sys-level capture only: a sanitizer report written to fd 2 must not vanish
    # with the capture file when the process aborts.
    "${env[@]}" "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider --capture=sys --junitxml="$report" || rc=$?
    finish_stage "$name" "$rc" "$report"
    # A longer seeded fuzz campaign against the same instrumented build. Each
    # batch runs in a child process, so a crash or a hang is reported with the
    # seed that replays it.
    local calls=${KESTRUM_FUZZ_CALLS:-200000} fuzz_rc=0
    log "fuzz-asan+ubsan: $calls calls of tools/kestrum_fuzz"
    "${env[@]}" "$venv/bin/python" tools/kestrum_fuzz/fuzz_api.py --calls "$calls" \
        --seed "${KESTRUM_FUZZ_SEED:-1}" --jobs 2 || fuzz_rc=$?
    if [ "$fuzz_rc" -eq 0 ]; then
        record "fuzz-asan+ubsan" 1 0 0 "$calls calls, no finding"
    else
        record "fuzz-asan+ubsan" 0 1 0 "fuzz_api.py exited $fuzz_rc, findings above"
    fi
}

# --- ft: compile the bindings with the free-threaded object layout ---------------
stage_ft() {
    local name="free-threaded-compile" py="" ver
    log "$name: -fsyntax-only -DPy_GIL_DISABLED=1"
    # Newest installed CPython, whatever KESTRUM_PYTHONS says: the
    # free-threading API appeared in 3.13.
    ver=$(ls "$PYENV_DIR/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1)
    [ -n "$ver" ] && py="$PYENV_DIR/versions/$ver/bin/python${ver%.*}"
    [ -x "$py" ] || py=$(command -v python3 || true)
    [ -n "$py" ] || { stage_broken "$name" "no CPython found"; return; }
    if ! "$py" -c 'import sys; sys.exit(sys.version_info < (3, 13))'; then
        echo "--- newest CPython is $("$py" -V 2>&1), older than 3.13: stage skipped"
        SUMMARY+=("$(printf '%-22s skipped (no CPython 3.13+ headers)' "$name")")
        return
    fi
    local inc; inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    echo "--- headers of $("$py" -V 2>&1): $inc"
    local pass=0 fail=0
    while IFS= read -r src; do
        if g++ -std=c++20 -Wall -Wextra -Werror -ffp-contract=off -fsyntax-only -DPy_GIL_DISABLED=1 \
                -I"$inc" -Icore/src -Ipython/src "$src"; then
            pass=$((pass + 1))
        else
            echo "!!! $src does not compile with Py_GIL_DISABLED" >&2
            fail=$((fail + 1))
        fi
    done < <(find python/src -name '*.cpp' | sort)
    if [ $((pass + fail)) -eq 0 ]; then stage_broken "$name" "no sources found"; return; fi
    record "$name" "$pass" "$fail" 0 "one check per source file"
}

# --- typing, wheel: scripts that end with "NAME: N passed, N failed" -------------
run_counted_script() {
    local name=$1 script=$2; shift 2
    log "$name: $script"
    local out=$WORK/$name.log rc=0
    env "$@" bash "$script" 2>&1 | tee "$out" || rc=$?
    local line; line=$(tail -n 1 "$out")
    if [[ $line =~ ^$name:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        local p=${BASH_REMATCH[1]} f=${BASH_REMATCH[2]}
        if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then record "$name" "$p" 1 0 "script exited $rc"
        else record "$name" "$p" "$f" 0; fi
    else
        stage_broken "$name" "script exited $rc without a result line"
    fi
}
stage_typing() { run_counted_script typing tests/run_stubtest.sh KESTRUM_STUB_WORK="$WORK/typing"; }
stage_wheel()  { run_counted_script wheel tests/run_wheel.sh KESTRUM_WHEEL_WORK="$WORK/wheel" KESTRUM_WHEELHOUSE="$WORK/wheelhouse"; }

# --- docs: the site, strictly, then in a browser -----------------------------------
stage_docs() {
    local name="docs" py="" v
    log "$name: sphinx-build -W, then headless Chromium"
    for v in $PYTHONS; do py=$(find_python "$v"); [ -n "$py" ] && break; done
    [ -n "$py" ] || { stage_broken "$name" "no CPython found"; return; }
    local ver; ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    # Its own venv; the python stage's build dir for the same CPython, so the
    # extension is not compiled again.
    local out=$WORK/docs-html pass=0 fail=0 rc=0
    KESTRUM_DOCS_VENV=$WORK/venv-docs KESTRUM_DOCS_OUT=$out KESTRUM_DOCS_PYTHON=$py \
        KESTRUM_DOCS_BUILD_DIR=$WORK/wheel-$ver bash docs/make.sh || rc=$?
    if [ "$rc" -ne 0 ]; then
        stage_broken "$name" "strict build failed (exit $rc)"; return
    fi
    pass=$((pass + 1))
    "$WORK/venv-docs/bin/python" tests/check_docs_site.py "$out" && pass=$((pass + 1)) || fail=$((fail + 1))
    record "$name" "$pass" "$fail" 0 "strict build, browser check"
}

for s in $STAGES; do
    case "$s" in
        prereqs) ;;
        *) started=$SECONDS; "stage_$s"; echo "--- stage $s took $((SECONDS - started)) s" ;;
    esac
done

log "summary"
printf '%s\n' "${SUMMARY[@]}"
if [ "$TOTAL_SKIP" -gt 0 ]; then
    echo "$TOTAL_PASS passed, $TOTAL_FAIL failed, $TOTAL_SKIP skipped"
else
    echo "$TOTAL_PASS passed, $TOTAL_FAIL failed"
fi
[ "$TOTAL_FAIL" -eq 0 ]
