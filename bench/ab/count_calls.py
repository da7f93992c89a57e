"""Instructions per call of the per-call benchmark rows, counted by callgrind:
a cross-check of bench_vec3d.py and bench_rotations.py that a shared, loaded
machine cannot disturb.

    python3 bench/ab/count_calls.py BUILD_DIR [BUILD_DIR ...] [--number 2000]

Every build directory is put first on PYTHONPATH of one `valgrind
--tool=callgrind` run, which executes each row's statement (the kestrum,
floor and glm columns) `number` times in a loop of its own, collected and
dumped per loop (`--toggle-collect`/`--dump-after` on the interpreter's
`exec`). A loop of `pass` is subtracted, so a figure is the statement's own
instructions, interpreter dispatch included. Instructions are not time (a
cache miss or a locked instruction costs more than an add), but they count
the work a change removes, the same on every run.
"""

import glob
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import BENCH, cli  # noqa: E402

COLUMNS = ("kestrum", "floor", "glm")


def tables():
    sys.path.insert(0, str(BENCH / "peers"))  # the tables are those of the per-call benchmarks
    import bench_rotations
    import bench_vec3d

    return [bench_vec3d.vec3d_table(), bench_vec3d.components_table(), bench_rotations.rotations_table(),
            bench_rotations.composition_table()]


def child(number):
    from common.harness import prepare

    jobs = []
    for table in tables():
        namespaces, _ = prepare([c for c in table.columns if c.name in COLUMNS])
        for row in table.rows:
            for col, stmt in row.stmts.items():
                if col in namespaces:
                    jobs.append((f"{table.title}\t{row.label}\t{col}", stmt, namespaces[col]))
    jobs.insert(0, ("\t\tpass", "pass", {}))
    code = {stmt: compile(f"for _ in _r:\n    {stmt}\n", "<loop>", "exec") for _, stmt, _ in jobs}
    for _, stmt, ns in jobs:  # warm: first calls create types and caches
        ns["_r"] = range(3)
        exec(code[stmt], ns)
    sys.stdout.write("".join(name + "\n" for name, _, _ in jobs))
    sys.stdout.flush()
    for _, stmt, ns in jobs:  # the measured loops: the last len(jobs) dumps
        ns["_r"] = range(number)
        exec(code[stmt], ns)


def total_ir(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise SystemExit(f"{path}: no total")


def count(build, number):
    with tempfile.TemporaryDirectory() as tmp:
        # A fixed string hash: the namespace dicts' probe sequences, and so
        # the cost of looking a name up, are then the same in every run.
        env = dict(os.environ, PYTHONPATH=build + os.pathsep + os.environ.get("PYTHONPATH", ""),
                   PYTHONHASHSEED="0")
        out = subprocess.run(
            ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_exec",
             "--dump-after=builtin_exec", f"--callgrind-out-file={tmp}/cg.out",
             sys.executable, os.path.abspath(__file__), "--child", str(number)],
            env=env, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        names = out.splitlines()
        dumps = sorted(glob.glob(f"{tmp}/cg.out.*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        irs = [total_ir(p) / number for p in dumps[-len(names):]]
    base = irs[0]
    return {tuple(n.split("\t")): ir - base for n, ir in zip(names[1:], irs[1:])}


def main(argv):
    if argv[:1] == ["--child"]:
        child(int(argv[1]))
        return
    ap = cli.parser(__doc__, builds="a build directory of the extension")
    ap.add_argument("--number", type=int, default=2000, help="calls per loop (default 2000)")
    args = ap.parse_args(argv)
    number = args.number
    builds = [os.path.abspath(b) for b in args.builds]
    print(f"instructions per call (callgrind, loop of {number}, a loop of pass subtracted); {cli.cpu_model()}")
    for i, b in enumerate(builds):
        print(f"  build {i}: {b}")
    counts = [count(b, number) for b in builds]
    rows = sorted({(t, r) for c in counts for (t, r, _) in c}, key=lambda k: list(counts[0]).index(k + ("kestrum",))
                  if k + ("kestrum",) in counts[0] else 0)
    head = f"{'table':<28}{'operation':<26}" + "".join(f"{'kestrum ' + str(i):>11}" for i in range(len(builds)))
    head += f"{'floor':>9}{'glm':>9}" + "".join(f"{'k' + str(i) + '/glm':>9}" for i in range(len(builds)))
    print(head)
    for t, r in rows:
        ks = [c.get((t, r, "kestrum")) for c in counts]
        floor, glm = counts[0].get((t, r, "floor")), counts[0].get((t, r, "glm"))
        line = f"{t[:27]:<28}{r[:25]:<26}" + "".join(f"{k:>11.0f}" if k is not None else f"{'—':>11}" for k in ks)
        line += f"{floor:>9.0f}" if floor is not None else f"{'—':>9}"
        line += f"{glm:>9.0f}" if glm is not None else f"{'—':>9}"
        line += "".join(f"{k / glm:>9.2f}" if k is not None and glm else f"{'—':>9}" for k in ks)
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
