"""Two (or more) builds side by side on the per-call rows of bench_vec3d.py and
bench_rotations.py, with PyGLM timed in the same child for each ratio.

    python3 bench/ab/compare_calls.py OLD_DIR NEW_DIR [--rounds 3] [--repeat 200]

Each DIR is put first on PYTHONPATH of a child process; children of the
builds alternate over the rounds. A cell is timed in many short runs (about a
millisecond each) and the minimum counts: on a loaded machine a short run is
often left alone, a long one seldom. Ratios: kestrum / PyGLM per build, and
the last build over the first.
"""

import json
import os
import subprocess
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402

COLUMNS = ("kestrum", "glm", "floor")


def child(repeat):
    from common.harness import prepare
    from count_calls import tables

    out = {}
    for table in tables():
        namespaces, _ = prepare([c for c in table.columns if c.name in COLUMNS])
        for row in table.rows:
            timers = {col: timeit.Timer(stmt, globals=namespaces[col])
                      for col, stmt in row.stmts.items() if col in namespaces}
            number = {}
            for col, t in timers.items():
                n = 16
                while t.timeit(n) < 1e-3:
                    n *= 2
                number[col] = n
            best = {col: float("inf") for col in timers}
            for _ in range(repeat):  # interleaved, so a noisy stretch hits every column
                for col, t in timers.items():
                    best[col] = min(best[col], t.timeit(number[col]) / number[col])
            for col, sec in best.items():
                out[f"{table.title}\t{row.label}\t{col}"] = sec * 1e9
    print(json.dumps(out))


def main(argv):
    args = cli.parser(__doc__, repeat=200, rounds=3,
                      builds="a build directory of the extension; the last is compared with the first").parse_args(argv)
    builds, rounds, repeat = args.builds, args.rounds, args.repeat
    start = cli.machine_line()
    best = [{} for _ in builds]
    for _ in range(rounds):
        for b, d in enumerate(builds):
            env = dict(os.environ, PYTHONPATH=os.path.abspath(d))
            res = json.loads(subprocess.run([sys.executable, __file__, "--child", str(repeat)], env=env, check=True,
                                            capture_output=True, text=True).stdout)
            for k, v in res.items():
                best[b][k] = min(best[b].get(k, float("inf")), v)
    print(f"ns per call, min of {rounds} rounds x {repeat} short runs")
    print(f"start: {start}\nend:   {cli.machine_line()}")
    for i, d in enumerate(builds):
        print(f"  build {i}: {d}")
    head = f"{'operation':<41}" + "".join(f"{'k' + str(i):>8}" for i in range(len(builds)))
    head += f"{'glm':>8}{'floor':>8}" + "".join(f"{'k' + str(i) + '/glm':>9}" for i in range(len(builds)))
    head += f"{'k' + str(len(builds) - 1) + '/k0':>8}"
    print(head)
    rows = [k.rsplit("\t", 1)[0] for k in best[0] if k.endswith("\tkestrum")]
    for r in rows:
        ks = [b.get(r + "\tkestrum") for b in best]
        glm = min((b[r + "\tglm"] for b in best if r + "\tglm" in b), default=None)
        floor = min((b[r + "\tfloor"] for b in best if r + "\tfloor" in b), default=None)
        line = f"{r.replace(chr(9), ': ')[-40:]:<41}" + "".join(f"{k:>8.1f}" for k in ks)
        line += f"{glm:>8.1f}" if glm else f"{'—':>8}"
        line += f"{floor:>8.1f}" if floor else f"{'—':>8}"
        line += "".join(f"{k / glm:>9.2f}" if glm else f"{'—':>9}" for k in ks)
        line += f"{ks[-1] / ks[0]:>8.2f}"
        print(line)


if __name__ == "__main__":
    if "--child" in sys.argv:
        child(int(sys.argv[sys.argv.index("--child") + 1]))
    else:
        main(sys.argv[1:])
