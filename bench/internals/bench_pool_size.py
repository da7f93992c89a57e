"""Cost of a bulk operation against the pool size, far past the CPU count.

    python3 bench/internals/bench_pool_size.py [--counts 1,2,64,1000,4000] [--rounds 3]

One child process per RAYON_NUM_THREADS value (the pool is sized once per
process) times `magnitude` on 100 and on 100k elements and `repr` on 10k.
Children alternate over the rounds and the minimum per cell counts. Memory
regime: warm, the same input list on every call; each call allocates its
output list. Ratios are against the first count (default 2, the CPU count of
the machine this was written on).
"""

import json
import os
import subprocess
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402

CASES = (("magnitude 100", "s.magnitude()"), ("magnitude 1e5", "b.magnitude()"), ("repr 1e4", "repr(m)"))


def child():
    from kestrum_py import Vec3d, VecList

    ns = {
        "s": VecList([Vec3d(i, 1.5, -i) for i in range(100)]),
        "b": VecList([Vec3d(i, 1.5, -i) for i in range(100_000)]),
        "m": VecList([Vec3d(i / 7, 1.5, -i) for i in range(10_000)]),
    }
    out = {}
    for label, stmt in CASES:
        t = timeit.Timer(stmt, globals=ns)
        t.timeit(3)  # starts the pool, warms the caches
        number = 1
        while t.timeit(number) < 0.05:  # at least 50 ms per repeat
            number *= 4
        out[label] = min(t.repeat(3, number)) / number * 1e9
    print(json.dumps(out))


def fmt(ns):
    return f"{ns / 1e3:9.1f} us" if ns < 1e6 else f"{ns / 1e6:9.2f} ms"


def main(argv):
    ap = cli.parser(__doc__, rounds=3)
    ap.add_argument("--counts", type=cli.sizes, default=[2, 64, 1000, 4000], metavar="LIST",
                    help="RAYON_NUM_THREADS values, the first is the reference (default 2,64,1000,4000)")
    args = ap.parse_args(argv)
    counts, rounds = args.counts, args.rounds
    best = {c: {} for c in counts}
    for _ in range(rounds):
        for c in counts:
            env = dict(os.environ, RAYON_NUM_THREADS=str(c))
            res = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"], env=env,
                                 check=True, capture_output=True, text=True).stdout
            for k, v in json.loads(res.strip().splitlines()[-1]).items():
                best[c][k] = min(best[c].get(k, float("inf")), v)
    print(f"## Pool size far past the CPU count ({cli.machine_line()}; {rounds} alternating rounds, min)")
    head = f"{'RAYON_NUM_THREADS':<18}" + "".join(f"{label:>16}{'ratio':>8}" for label, _ in CASES)
    print(head)
    print("-" * len(head))
    for c in counts:
        row = f"{c:<18}"
        for label, _ in CASES:
            row += f"{fmt(best[c][label]):>16}{best[c][label] / best[counts[0]][label]:>7.2f}x"
        print(row)


if __name__ == "__main__":
    if "--child" in sys.argv:
        child()
    else:
        main(sys.argv[1:])
