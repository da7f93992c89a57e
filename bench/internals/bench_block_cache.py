"""Back-to-back bulk results and the block cache: what keeping freed blocks saves.

    python3 bench/internals/bench_block_cache.py DIR [DIR ...] [--sizes 1e4,1e6] [--rounds 3]

Each DIR holds a build of the extension (put first on PYTHONPATH of a child
process). Every statement frees its result before the next call, so from the
second call on the output block is one the cache kept: the warm-page regime
of a loop of bulk operations. Each build runs twice: as is ("kept"), and
under an address-space limit far above anything used ("limited"), where a
build that holds no blocks under such a limit pays for fresh pages on every
call. numpy's `a * 2.0` on the same (n, 3) array is the reference users
would pick. Children alternate over the rounds and the minimum per cell
counts, so a noisy stretch on a shared machine hits all of them alike. The
minor page faults per `v * 2.0` call, which do not depend on the load, and
its CPU time (all threads), which depends on it less, are printed beside.
"""

import json
import os
import resource
import subprocess
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli, harness  # noqa: E402

STMTS = {"v * 2.0": "v * 2.0", "normalize": "v.normalize()", "numpy a * 2.0": "a * 2.0"}


def child(n, limited):
    if limited:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 50, resource.RLIM_INFINITY))
    import numpy as np
    from kestrum_py import VecList

    a = np.random.default_rng(1).uniform(-10, 10, (n, 3))
    ns = {"v": VecList.from_array(a), "a": a}
    out = {}
    for k, stmt in STMTS.items():
        out[k] = harness.ns_per_call(stmt, ns)
    # Page faults per call do not depend on the machine's load, and the CPU
    # time of all the process's threads depends on it less than the clock.
    t = timeit.Timer(STMTS["v * 2.0"], globals=ns)
    calls = max(20, int(0.1 / (out["v * 2.0"] * 1e-9)))
    before = resource.getrusage(resource.RUSAGE_SELF)
    t.timeit(calls)
    after = resource.getrusage(resource.RUSAGE_SELF)
    out["faults"] = (after.ru_minflt - before.ru_minflt) / calls
    out["cpu"] = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) / calls * 1e9
    print(json.dumps(out))




def main(argv):
    args = cli.parser(__doc__, rounds=3, sizes_default="3e3,1e4,1e5,1e6,4e6",
                      builds="a build directory of the extension").parse_args(argv)
    dirs, sizes, rounds = args.builds, args.sizes, args.rounds
    regimes = [(d, lim) for d in dirs for lim in (False, True)]
    best = {}
    loads = [os.getloadavg()[0]]
    for _ in range(rounds):
        for n in sizes:
            for d, lim in regimes:
                env = dict(os.environ, PYTHONPATH=os.path.abspath(d))
                res = json.loads(subprocess.run(
                    [sys.executable, __file__, "--child", str(n), "1" if lim else "0"], env=env, check=True,
                    capture_output=True, text=True).stdout)
                for k, v in res.items():
                    best[(d, lim, n, k)] = min(best.get((d, lim, n, k), float("inf")), v)
        loads.append(os.getloadavg()[0])
    print(f"## block cache, back-to-back results  ({cli.cpu_model()}, {os.cpu_count()} CPUs, "
          f"load {min(loads):.2f}-{max(loads):.2f}, RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', '(unset)')}, {rounds} rounds, min, us per call)")
    first = dirs[0]
    for n in sizes:
        print(f"\nn = {n:.0e}")
        print(f"{'build':<28}{'regime':<9}" + "".join(f"{k:>15}" for k in STMTS) + f"{'v*2/numpy':>11}"
              + f"{'v*2/first':>11}{'faults/v*2':>12}{'cpu us/v*2':>12}")
        for d, lim in regimes:
            cells = [best[(d, lim, n, k)] for k in STMTS]
            ref = best[(first, False, n, "v * 2.0")]
            print(f"{d[-28:]:<28}{'limited' if lim else 'kept':<9}" + "".join(f"{c / 1e3:>15.1f}" for c in cells)
                  + f"{cells[0] / cells[2]:>11.2f}{cells[0] / ref:>11.2f}{best[(d, lim, n, 'faults')]:>12.1f}"
                  f"{best[(d, lim, n, 'cpu')] / 1e3:>12.1f}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), sys.argv[3] == "1")
    else:
        main(sys.argv[1:])
