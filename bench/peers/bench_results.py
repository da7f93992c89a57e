"""Building big Python results: VecList conversions against numpy and array.

    python3 -m pip install numpy
    python3 bench/peers/bench_results.py [--n 1e6] [--repeat 7] [--interrupt-n 2e7] [--no-interrupt]

Two sections, in one run:

1. Build time of the Python result at n elements, with the cyclic collector
   on (as users run it) and, for reference, off. `to_array()` against
   numpy's `(n, 3).tolist()`; the list-of-float results (`dot`,
   `magnitude`, `distance_to`) against `array.array('d', ...).tolist()` of
   the same length; `.list` and `repr` for completeness. Columns of a row are
   timed alternately, minimum of the repeats. Each call builds a fresh result
   and the previous one is freed first, so results land on fresh pages (the
   allocator hands emptied arenas back to the system): the cold regime a
   one-off conversion sees. kestrum times include its parallel phase.
2. Ctrl-C latency: a child process calls each conversion on a list of
   --interrupt-n elements and is sent SIGINT one second into the call; the
   figure is the time from the signal to KeyboardInterrupt reaching Python
   code, which includes freeing the partial result.

Figures depend on the machine's load; the load average is printed with them.
"""

import array
import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402

import numpy as np  # noqa: E402

import kestrum_py as kp  # noqa: E402


def load():
    return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def make(n, seed=1):
    a = np.random.default_rng(seed).random((n, 3))
    return kp.VecList([kp.Vec3d(*r) for r in a.tolist()]), a


def best_of(calls, repeat, collector, settle=False):
    """Minimum seconds per callable, repeats interleaved across the callables.

    settle: also time one young-generation pass right after the call, which
    charges a result to the collection it leaves owing (with the collector
    paused during a build, that pass runs at some later allocation instead).
    """
    best = [float("inf")] * len(calls)
    was = gc.isenabled()
    try:
        for _ in range(repeat):
            for i, f in enumerate(calls):
                gc.collect()
                gc.enable() if collector else gc.disable()
                t0 = time.perf_counter()
                r = f()
                if settle:
                    gc.collect(0)
                t1 = time.perf_counter()
                gc.enable() if was else gc.disable()
                del r
                best[i] = min(best[i], t1 - t0)
    finally:
        gc.enable() if was else gc.disable()
    return best


def section_build(n, repeat):
    v, a = make(n)
    p = kp.Vec3d(0.25, -1.5, 2.0)
    mags = array.array("d", v.magnitude())
    rows = [
        ("to_array()", v.to_array, "ndarray(n,3).tolist()", a.tolist),
        ("dot(p)", lambda: v.dot(p), "array('d').tolist()", mags.tolist),
        ("magnitude()", v.magnitude, "array('d').tolist()", mags.tolist),
        ("distance_to(p)", lambda: v.distance_to(p), "array('d').tolist()", mags.tolist),
        (".list", lambda: v.list, "—", None),
        ("repr()", lambda: repr(v), "—", None),
    ]
    print(f"## build time of the result, n = {n:.0e}, min of {repeat}, fresh pages ({load()})")
    print(f"   {sys.version.split()[0]}, pool of {os.environ.get('RAYON_NUM_THREADS', 'all')} threads")
    head = (f"{'kestrum':<15}{'on':>8}{'on+gen0':>8}{'off':>8}  {'reference':<22}{'on':>8}{'on+gen0':>8}"
            f"{'off':>8}{'ratio on':>9}{'on+gen0':>8}{'off':>6}")
    print(head)
    print("-" * len(head))
    for label, f, ref_label, ref in rows:
        calls = [f] + ([ref] if ref else [])
        on = best_of(calls, repeat, True)
        settled = best_of(calls, repeat, True, settle=True)
        off = best_of(calls, repeat, False)
        line = f"{label:<15}{on[0]:>8.4f}{settled[0]:>8.4f}{off[0]:>8.4f}  {ref_label:<22}"
        if ref:
            line += (f"{on[1]:>8.4f}{settled[1]:>8.4f}{off[1]:>8.4f}{on[0] / on[1]:>9.2f}"
                     f"{settled[0] / settled[1]:>8.2f}{off[0] / off[1]:>6.2f}")
        print(line, flush=True)
    print("   seconds; ratio = kestrum / reference (below 1: kestrum faster); on/off = cyclic\n"
          "   collector; on+gen0 = on, plus the young-generation pass the result leaves owing")


CHILD = textwrap.dedent(r"""
    import json, signal, sys, time
    import kestrum_py as kp  # noqa: E402
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignored
    n, which = int(sys.argv[1]), sys.argv[2]
    block = kp.VecList([kp.Vec3d(i * 0.5, -1.0 / (i + 1), 3.0) for i in range(1 << 16)])
    v = kp.VecList.empty()
    while len(v) + len(block) <= n:
        v.extend(block)
    for i in range(n - len(v)):
        v.append(block[i])
    op = {"to_array": lambda: v.to_array(), "repr": lambda: repr(v),
          "magnitude": lambda: v.magnitude(), ".list": lambda: v.list}[which]
    print("ready", flush=True)
    t0 = time.monotonic()
    try:
        op()
        out = {"caught": None, "took": time.monotonic() - t0}
    except KeyboardInterrupt:
        out = {"caught": time.monotonic()}
    print(json.dumps(out), flush=True)
""")


def section_interrupt(n):
    print(f"\n## Ctrl-C latency at n = {n:.0e}, SIGINT 1 s into the call ({load()})")
    print("   (includes freeing the part of the result built by then)")
    for which in ("to_array", "repr", "magnitude", ".list"):
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(n), which],
                                 stdout=subprocess.PIPE, text=True)
        child.stdout.readline()
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=600)
        r = json.loads(out)
        if r["caught"] is None:
            print(f"  {which:<10} finished before the signal ({r['took']:.2f} s)")
        else:
            print(f"  {which:<10} KeyboardInterrupt {1e3 * (r['caught'] - sent):7.1f} ms after SIGINT")


def main():
    ap = cli.parser(__doc__, repeat=7)
    ap.add_argument("--n", type=float, default=1e6, help="elements of the build section (default 1e6)")
    ap.add_argument("--interrupt-n", type=float, default=2e7, help="elements of the Ctrl-C section (default 2e7)")
    ap.add_argument("--no-interrupt", action="store_true", help="leave the Ctrl-C section out")
    args = ap.parse_args()
    print(cli.machine_line())
    section_build(int(args.n), args.repeat)
    if not args.no_interrupt:
        section_interrupt(int(args.interrupt_n))


if __name__ == "__main__":
    main()
