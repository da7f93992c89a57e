"""The command line: batches of calls in child processes, so a segfault, an
abort or a hang is reported with the batch's seed and the last actions it
started (the batch is replayed with tracing to find them)."""

import argparse
import collections
import faulthandler
import json
import os
import re
import subprocess
import sys
import tempfile
import time

from kestrum_fuzz.fuzzer import Fuzzer
from kestrum_fuzz.report import format_report, merge

# The script the children run (tools/kestrum_fuzz/fuzz_api.py).
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_api.py")


def _child_cmd(args, seed, calls, trace=None):
    cmd = [sys.executable, SCRIPT, "--worker", "--seed", str(seed),
           "--calls", str(calls)]
    if trace:
        cmd += ["--trace", trace]
    if args.inject_crash_at is not None:
        cmd += ["--inject-crash-at", str(args.inject_crash_at)]
    if args.inject_hang_at is not None:
        cmd += ["--inject-hang-at", str(args.inject_hang_at)]
    return cmd


def _child_env():
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"  # replays of a batch take the same path
    return env


def _last_action(args, seed, calls, timeout):
    """Replays a failed batch with tracing and returns the last actions started."""
    fd, path = tempfile.mkstemp(prefix="kestrum-fuzz-", suffix=".trace")
    os.close(fd)
    try:
        try:
            subprocess.run(_child_cmd(args, seed, calls, path), env=_child_env(), timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
        with open(path, encoding="utf-8", errors="replace") as fh:
            tail = collections.deque(fh, maxlen=6)
        return "".join(tail).rstrip() or "(no action traced)"
    finally:
        os.unlink(path)


def _batch_finding(args, seed, calls, what, stderr, timeout):
    last = _last_action(args, seed, calls, timeout)
    return {
        "call": -1, "depth": 0, "seed": seed, "what": what,
        "action": f"reproduce: PYTHONHASHSEED=0 python {os.path.relpath(SCRIPT)} --in-process "
                  f"--seed {seed} --calls {calls}",
        "exception": "",
        "detail": "last actions started (call index, action):\n" + last
                  + ("\nstderr tail:\n" + stderr[-1500:].strip() if stderr.strip() else ""),
        "traceback": "",
    }


# "failed to allocate" is the warning of an impossible size under
# allocator_may_return_null=1, which the module turns into a MemoryError.
SANITIZER_REPORT = re.compile(
    r"runtime error:.*|ERROR: \w+Sanitizer.*|WARNING: (?!AddressSanitizer failed to allocate)\w+Sanitizer.*")


def run_batches(args):
    total = {"calls": 0, "nested": 0, "outcomes": {}, "finding_count": 0, "findings": [], "targets": {}}
    batches = []
    left, i = args.calls, 0
    while left > 0:
        n = min(args.batch, left)
        batches.append((args.seed * 100_003 + i, n))
        left -= n
        i += 1
    import kestrum_py
    print(f"kestrum_py fuzz: seed {args.seed}, {args.calls} calls in {len(batches)} batch(es), "
          f"{args.jobs} job(s)\nmodule: {kestrum_py.__file__}", flush=True)
    running = []
    pending = list(batches)
    start = time.monotonic()
    while pending or running:
        while pending and len(running) < args.jobs:
            seed, n = pending.pop(0)
            out = tempfile.TemporaryFile()
            err = tempfile.TemporaryFile()
            proc = subprocess.Popen(_child_cmd(args, seed, n), env=_child_env(), stdout=out, stderr=err)
            running.append((proc, seed, n, out, err, time.monotonic()))
        time.sleep(0.05)
        for entry in list(running):
            proc, seed, n, out, err, t0 = entry
            rc = proc.poll()
            timed_out = rc is None and time.monotonic() - t0 > args.timeout
            if rc is None and not timed_out:
                continue
            running.remove(entry)
            if timed_out:
                proc.kill()
                proc.wait()
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode(errors="replace")
            stderr = err.read().decode(errors="replace")
            part = None
            for line in reversed(stdout.splitlines()):
                if line.startswith("{"):
                    part = json.loads(line)
                    break
            if timed_out:
                total["finding_count"] += 1
                total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                total["findings"].append(_batch_finding(
                    args, seed, n, f"hang: batch exceeded {args.timeout:g}s", stderr, args.timeout))
            elif part is None or rc != 0 and rc != 1:
                total["finding_count"] += 1
                total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                how = f"killed by signal {-rc}" if rc < 0 else f"exited {rc} without a report"
                total["findings"].append(_batch_finding(args, seed, n, f"crash: child {how}", stderr,
                                                        args.timeout))
            else:
                merge(total, part)
                report = SANITIZER_REPORT.search(stderr)
                if report:  # e.g. UBSan, which reports and carries on
                    total["finding_count"] += 1
                    total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                    total["findings"].append(_batch_finding(
                        args, seed, n, "sanitizer report: " + report.group(0).strip(), stderr,
                        args.timeout))
            done = len(batches) - len(pending) - len(running)
            if args.verbose:
                print(f"  batch seed {seed}: {n} calls, rc {rc}"
                      f"{' (timeout)' if timed_out else ''}; {done}/{len(batches)} done "
                      f"after {time.monotonic() - start:.0f}s", flush=True)
    print(format_report(total))
    print(f"elapsed: {time.monotonic() - start:.1f}s")
    return 1 if total["finding_count"] else 0


def main(argv=None):
    ap = argparse.ArgumentParser(description="Randomised robustness fuzzer for the kestrum_py extension.")
    ap.add_argument("--calls", type=int, default=20000, help="top-level calls to make")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--batch", type=int, default=20000, help="calls per child process")
    ap.add_argument("--jobs", type=int, default=1, help="child processes at once")
    ap.add_argument("--timeout", type=float, default=None,
                    help="seconds per batch before it counts as a hang (default: scales with --batch)")
    ap.add_argument("--in-process", action="store_true", help="no child processes (crashes end the run)")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--trace", help=argparse.SUPPRESS)
    ap.add_argument("--inject-crash-at", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--inject-hang-at", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.calls < 0 or args.batch < 1 or args.jobs < 1:
        ap.error("--calls must be >= 0, --batch and --jobs >= 1")
    if args.timeout is None:
        args.timeout = max(60.0, args.batch * 0.01)
    if args.worker or args.in_process:
        faulthandler.enable()
        trace = open(args.trace, "w", encoding="utf-8") if args.trace else None
        fz = Fuzzer(seed=args.seed, trace=trace, inject_crash_at=args.inject_crash_at,
                    inject_hang_at=args.inject_hang_at)
        fz.run(args.calls)
        if trace:
            trace.close()
        s = fz.summary()
        if args.worker:
            print(json.dumps(s, default=str))
        else:
            print(format_report(s))
        return 1 if s["finding_count"] else 0
    return run_batches(args)


if __name__ == "__main__":
    sys.exit(main())
