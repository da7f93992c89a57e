"""Two builds of the extension side by side on the bulk operations.

    python3 bench/ab/compare_builds.py OLD_DIR NEW_DIR [--sizes 1e3,1e6] [--rounds 3]

Each DIR is put first on PYTHONPATH of a child process; the children for the
two builds alternate over the rounds and the minimum per cell counts, so a
noisy stretch on a shared machine hits both alike. Memory regime: warm, the
same input list on every call; each call allocates its output. The pool size
is whatever the environment asks for (set RAYON_NUM_THREADS to pin it).
Ratios are NEW / OLD (below 1: the new build is faster).
"""

import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli, harness  # noqa: E402

STMTS = {
    "dot": "v.dot(p)", "cross": "v.cross(p)", "+": "v + p", "*": "v * 0.75",
    "magnitude": "v.magnitude()", "normalize": "v.normalize()", "distance_to": "v.distance_to(p)",
    "min_dist": "v.minimum_distance_to(p, 1)", "rotate": "v.rotate(q)",
}


def child(n):
    from kestrum_py import Quat, Vec3d, VecList

    ns = {"v": VecList([Vec3d(i * 0.37 - 11, 1.5 - i, 0.25 * i) for i in range(n)]),
          "p": Vec3d(0.5, -1.25, 3.0), "q": Quat(0.5, 0.5, -0.5, 0.5)}
    out = {}
    for k, stmt in STMTS.items():
        out[k] = harness.ns_per_call(stmt, ns)
    print(json.dumps(out))


def main(argv):
    ap = cli.parser(__doc__, rounds=3, sizes_default="1e3,1e6")
    ap.add_argument("old", metavar="OLD_DIR", help="the build the ratios are against")
    ap.add_argument("new", metavar="NEW_DIR", help="the build compared with it")
    args = ap.parse_args(argv)
    old, new, sizes, rounds = args.old, args.new, args.sizes, args.rounds
    best = {}
    for _ in range(rounds):
        for n in sizes:
            for d in (old, new):
                env = dict(os.environ, PYTHONPATH=os.path.abspath(d))
                res = json.loads(subprocess.run([sys.executable, __file__, "--child", str(n)], env=env, check=True,
                                                capture_output=True, text=True).stdout)
                for k, v in res.items():
                    best[(d, n, k)] = min(best.get((d, n, k), float("inf")), v)
    print(f"## {new} vs {old}  ({cli.machine_line()}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}, {rounds} rounds, min)")
    for n in sizes:
        print(f"n = {n:.0e}{'old':>12}{'new':>12}{'new/old':>9}")
        for k in STMTS:
            o, w = best[(old, n, k)], best[(new, n, k)]
            print(f"  {k:<12}{o / 1e3:>9.1f} us{w / 1e3:>9.1f} us{w / o:>8.2f}x")


if __name__ == "__main__":
    if "--child" in sys.argv:
        child(int(sys.argv[sys.argv.index("--child") + 1]))
    else:
        main(sys.argv[1:])
