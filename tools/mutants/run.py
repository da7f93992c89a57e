#!/usr/bin/env python3
"""Plants each known fault in a scratch worktree and checks a test catches it.

Every `NN-name.patch` here is one small fault: its first line says what it
breaks, its second line (`tests: ...`) names the tests that must catch it:
`cpp:<test executable>:<gtest filter>` or `py:<pytest node id>`. For each
patch this script resets the scratch worktree to the commit under test,
applies the patch, rebuilds only the targets those tests need, runs them and
prints whether the fault was caught. Before that, the same tests run on the
unpatched commit, so a test that fails anyway cannot count as a catch.

    python tools/mutants/run.py [--only 05,10] [--python PY] [--rev REV]

It tests a commit (HEAD by default), not uncommitted changes. The scratch
worktree (/tmp/mut-<checkout>) and its build directory are kept between runs
so that each fault only rebuilds what it touches; --clean removes them.
A developer's tool, not a CI stage: it takes minutes per fault.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
TIMEOUT = 900  # seconds per test command; a hang past it counts as caught


def sh(cmd, cwd=None, env=None, timeout=None, log=None):
    """Runs cmd; returns (exit code or 'timeout', output)."""
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out, rc = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        out, rc = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or ""), "timeout"
    if log is not None:
        log.write(f"$ {' '.join(map(str, cmd))}\n{out}\n[exit {rc}]\n")
        log.flush()
    return rc, out


class Mutant:
    def __init__(self, path):
        self.path = path
        self.id = path.name.split("-", 1)[0]
        lines = path.read_text().splitlines()
        self.description = lines[0].strip()
        if not lines[1].startswith("tests:"):
            sys.exit(f"{path.name}: the second line must be 'tests: ...'")
        self.tests = lines[1].split()[1:]
        for t in self.tests:
            if not (t.startswith("py:") or t.count(":") >= 2 and t.startswith("cpp:")):
                sys.exit(f"{path.name}: cannot read test '{t}'")

    def targets(self):
        return sorted({t.split(":")[1] if t.startswith("cpp:") else "kestrum_py" for t in self.tests})


def run_tests(tests, tree, build, python, log):
    """The first failing test, or None when all pass."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["PYTHONPATH"] = str(build)
    for t in tests:
        if t.startswith("cpp:"):
            _, exe, flt = t.split(":", 2)
            cmd = [str(build / exe), f"--gtest_filter={flt}"]
        else:
            cmd = [python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", t[3:]]
        rc, _ = sh(cmd, cwd=tree, env=env, timeout=TIMEOUT, log=log)
        if rc != 0:
            return f"{t} ({'timed out' if rc == 'timeout' else 'failed'})"
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", help="comma-separated ids (the number before the first '-'), e.g. 05,09a")
    ap.add_argument("--python", default=sys.executable,
                    help="interpreter to build for and test with (default: the one running this script)")
    ap.add_argument("--rev", default="HEAD", help="commit to test (default HEAD)")
    ap.add_argument("--no-baseline", action="store_true", help="skip running the tests unpatched first")
    ap.add_argument("--clean", action="store_true", help="remove the scratch worktree and build, then exit")
    args = ap.parse_args()

    repo = pathlib.Path(sh(["git", "-C", str(HERE), "rev-parse", "--show-toplevel"])[1].strip())
    tree = pathlib.Path(f"/tmp/mut-{repo.name}")
    build = pathlib.Path(f"/tmp/mut-{repo.name}-build")
    logs = pathlib.Path(f"/tmp/mut-{repo.name}-logs")
    if args.clean:
        sh(["git", "-C", str(repo), "worktree", "remove", "--force", str(tree)])
        shutil.rmtree(build, ignore_errors=True)
        shutil.rmtree(logs, ignore_errors=True)
        return 0

    rc, sha = sh(["git", "-C", str(repo), "rev-parse", "--verify", args.rev + "^{commit}"])
    if rc != 0:
        sys.exit(f"unknown revision {args.rev}")
    sha = sha.strip()
    mutants = [Mutant(p) for p in sorted(HERE.glob("*.patch"))]
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m.id in wanted]
    if not mutants:
        sys.exit("no patches selected")

    if not (tree / ".git").exists():
        sh(["git", "-C", str(repo), "worktree", "prune"])
        rc, out = sh(["git", "-C", str(repo), "worktree", "add", "--detach", "--force", str(tree), sha])
        if rc != 0:
            sys.exit(out)
    logs.mkdir(exist_ok=True)

    def reset():
        for cmd in (["git", "reset", "-q", "--hard", sha], ["git", "clean", "-qfd"]):
            rc, out = sh(cmd, cwd=tree)
            if rc != 0:
                sys.exit(out)

    def rebuild(targets, log):
        cache = build / "CMakeCache.txt"
        if not cache.exists() or f"_Python_EXECUTABLE:INTERNAL={args.python}\n" not in cache.read_text():
            rc, _ = sh(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
                        f"-DPython_EXECUTABLE={args.python}", "-DKESTRUM_BUILD_TESTS=ON"], log=log)
            if rc != 0:
                return False
        rc, _ = sh(["nice", "cmake", "--build", str(build), "-j2", "--target", *targets], log=log)
        return rc == 0

    print(f"commit {sha[:12]}, scratch {tree}, logs {logs}", flush=True)
    reset()
    baseline_failed = {}
    if not args.no_baseline:
        with open(logs / "baseline.log", "w") as log:
            targets = sorted({t for m in mutants for t in m.targets()})
            if not rebuild(targets, log):
                sys.exit(f"the unpatched commit does not build; see {logs / 'baseline.log'}")
            for m in mutants:
                failed = run_tests(m.tests, tree, build, args.python, log)
                if failed:
                    baseline_failed[m.id] = failed
        for mid, failed in baseline_failed.items():
            print(f"  baseline: {mid}: {failed} without the fault", flush=True)

    rows = []
    for m in mutants:
        start = time.monotonic()
        with open(logs / f"{m.path.stem}.log", "w") as log:
            reset()
            rc, out = sh(["git", "apply", str(m.path)], cwd=tree, log=log)
            if m.id in baseline_failed:
                result = "no verdict: fails unpatched"
            elif rc != 0:
                result = "PATCH DOES NOT APPLY: " + out.strip().splitlines()[0] if out.strip() else "PATCH DOES NOT APPLY"
            elif not rebuild(m.targets(), log):
                result = "BUILD FAILED"
            else:
                failed = run_tests(m.tests, tree, build, args.python, log)
                result = f"caught by {failed}" if failed else "SURVIVED"
        rows.append((m, result))
        print(f"  {m.id}: {result} [{time.monotonic() - start:.0f} s]", flush=True)
    reset()
    rebuild(sorted({t for m in mutants for t in m.targets()}), open(os.devnull, "w"))  # back to unpatched

    print()
    print("| # | fault | result |")
    print("|---|---|---|")
    for m, result in rows:
        print(f"| {m.id} | {m.description} | {result} |")
    caught = sum(r.startswith("caught") for _, r in rows)
    print(f"\n{caught} of {len(rows)} caught")
    return 0 if caught == len(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
