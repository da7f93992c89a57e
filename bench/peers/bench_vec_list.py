"""VecList bulk operations side by side with numpy on float64 (n, 3) arrays and
with the memory-bandwidth floor, all in one run.

    python3 -m pip install -r bench/requirements.txt   # numpy
    cmake -S . -B build-bench -DKESTRUM_BUILD_EXTENSION=OFF -DKESTRUM_BUILD_BENCH=ON
    cmake --build build-bench -j2 --target bandwidth_floor
    python3 bench/peers/bench_vec_list.py [--quick] [--legend] [--sizes 1e5,1e6,1e7]
                                          [--floor PATH | --no-floor] [--json FILE]
                                          [--no-threads] [--no-memory] [--memory-n 1e7]
                                          [--blas-default]

Default: sizes 1e5, 1e6, 1e7, minimum of 15 repeats (about 4.5 minutes on 2 cores).
--quick: 5 repeats, sizes 1e5 and 1e6 unless --sizes says otherwise (under a minute).

Sections:

1. Throughput at each size. First the floor program (bench/internals/bandwidth_floor.cpp,
   found in build*/ unless --floor names it) times the ideal loops at that size:
   read n x 3 doubles and write them x 2.0 (48 B/element), and a read-only sum
   (24 B/element), on the calling thread alone and on all threads of the
   library's pool (sized by the same rules: RAYON_NUM_THREADS, else the usable
   CPUs), into warm output (one buffer, touched, reused) and fresh output (a
   new mapping per call, mmap + faults + munmap timed; 4 KiB pages, and 2 MiB
   transparent huge pages as the extension's allocator advises). Then every
   operation and its numpy equivalent on the same data, repeats interleaved,
   minimum reported. kestrum and numpy each time whatever their allocators hand
   them for the result (recycled memory or fresh pages): they get one row each,
   and their ratios to the warm and to the fresh (huge-page) floor, both on all
   pool threads, show which regime they ran in. Operations that return a
   Python list (dot, magnitude, distance_to) are compared with numpy's
   computation followed by `.tolist()`, since that is what a caller gets.
   `rotate` mutates in place, so it is timed with a unit quaternion (the list
   stays bounded); numpy does the same rotation as `a @ m` with
   m = q.to_rotation_matrix() (the transpose of what rotate applies to a
   column vector, so the matrix for row vectors), and in the "numpy-q" column
   with the quaternion formula vectorised.
2. Small lists: every operation on 16 elements in a tight loop, which is
   dominated by handing the work to the pool and back; a 1-element list (done
   on the calling thread, no pool) is shown for reference.
3. Thread scaling: the pool size is fixed per process, so one child process
   per RAYON_NUM_THREADS value times `rotate` on 1e6 elements and 16-element
   `normalize`; children alternate over a few rounds and the minimum counts.
4. Memory: RSS of a VecList per element, and the peak RSS of the constructor
   and of one bulk operation (`normalize`), in a child process. The peak is
   read from VmHWM after resetting it through /proc/self/clear_refs.
5. Targets: each one with its figure from this run and met / MISSED / not
   measured (sizes left out, --no-floor, --no-threads). --json FILE writes all
   figures, the floor rows and the targets for bench/plots/plot_vec_list.py.

Ratios are kestrum/numpy and kestrum/floor (below 1: kestrum faster). Figures
depend on the machine's load; the load average is printed with them.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common.blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import json  # noqa: E402
import math  # noqa: E402
import os  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import timeit  # noqa: E402

from common import bandwidth as BW  # noqa: E402
from common import cli  # noqa: E402
from common.harness import Column, Row, prepare, time_row  # noqa: E402

import kestrum_py as K  # noqa: E402

P = (0.3, -0.2, 0.1)  # the Vec3d argument of dot, cross, +, distance_to, ...
AXIS = (1.0, 2.0, 3.0)
ANGLE = 0.5


def unit_quat():
    n = math.sqrt(sum(c * c for c in AXIS))
    return K.Quat.from_axis_angle(K.Vec3d(*(c / n for c in AXIS)), K.AngleRadians(ANGLE))


def make_data(n, seed=1):
    """The same n points as a numpy (n, 3) float64 array and as a VecList."""
    import numpy as np

    a = np.random.default_rng(seed).standard_normal((n, 3))
    return a, K.VecList.from_array(a)


# --------------------------------------------------------------------------
# Throughput tables and small lists

# label, kestrum statement, numpy statement, numpy-q statement (or None)
OPS = [
    ("normalize", "vl.normalize()", "a / sqrt(einsum('ij,ij->i', a, a))[:, None]", None),
    ("rotate(q)", "vl.rotate(q)", "a @ m", "t = cross(u2, a); a + w * t + cross(u, t)"),
    ("cross(p)", "vl.cross(p)", "cross(a, o)", None),
    ("v + p", "vl + p", "a + o", None),
    ("v - p", "vl - p", "a - o", None),
    ("v * 2.0", "vl * 2.0", "a * 2.0", None),
    ("v / 2.0", "vl / 2.0", "a / 2.0", None),
    ("collapse(2)", "vl.collapse(2)", "c = a.copy(); c[:, 2] = 0.0; c", None),
    ("dot(p)", "vl.dot(p)", "(a @ o).tolist()", None),
    ("magnitude()", "vl.magnitude()", "sqrt(einsum('ij,ij->i', a, a)).tolist()", None),
    ("distance_to(p)", "vl.distance_to(p)", "d = a - o; sqrt(einsum('ij,ij->i', d, d)).tolist()", None),
    (
        "minimum_distance_to(p, 1)",
        "vl.minimum_distance_to(p, 1)",
        "d = a - o; k = einsum('ij,ij->i', d, d); i = int(k.argmin()); (i, msqrt(k[i]))",
        None,
    ),
]

def namespaces_for(n):
    import numpy as np

    a, vl = make_data(n)
    q = unit_quat()
    m = np.array(q.to_rotation_matrix())
    # conj(q) v q rotates by the vector part negated: with u = -(i, j, k),
    # v' = v + w t + u x t, t = 2 u x v.
    u = -np.array([q.i, q.j, q.k])
    common = {"np": np, "sqrt": np.sqrt, "einsum": np.einsum, "cross": np.cross, "msqrt": math.sqrt}
    kestrum = {"vl": vl, "p": K.Vec3d(*P), "q": q}
    # to_rotation_matrix is the transpose of what rotate applies to a column
    # vector, so it rotates row vectors as they come: a @ m.
    numpy_ns = dict(common, a=a, o=np.array(P), m=m)
    numpy_q = dict(common, a=a, u=u, u2=u + u, w=q.w)
    return {"kestrum": kestrum, "numpy": numpy_ns, "numpy-q": numpy_q}


def check_equivalent(n=1000):
    """Every numpy statement must compute what its kestrum row computes."""
    import numpy as np

    ns = namespaces_for(n)
    for label, k_stmt, np_stmt, npq_stmt in OPS:
        if label.startswith("rotate"):
            vl = ns["kestrum"]["vl"]
            before = vl.to_array()
            vl.rotate(ns["kestrum"]["q"])
            got = np.array(vl.to_array())
            ns["kestrum"]["vl"] = K.VecList([K.Vec3d(*r) for r in before])
        else:
            got = eval(k_stmt, ns["kestrum"])
            got = np.array(got.to_array() if isinstance(got, K.VecList) else got, dtype=float)
        for col, stmt in (("numpy", np_stmt), ("numpy-q", npq_stmt)):
            if stmt is None:
                continue
            *pre, last = stmt.split("; ")
            env = dict(ns[col])
            for s in pre:
                exec(s, env)
            want = np.array(eval(last, env), dtype=float)
            if not np.allclose(got, want, rtol=1e-12, atol=1e-12):
                raise SystemExit(f"{label}: {col} `{stmt}` does not compute what `{k_stmt}` does")


fmt_time = BW.fmt_ns

FLOOR_KINDS = [("copy", "warm"), ("copy", "fresh"), ("copy", "fresh-huge"), ("read", "warm")]


def print_floor(rows, n):
    """The floor program's rows at size n: calling thread alone, then all pool threads."""
    print(f"{'bandwidth floor':<26}{'caller thread':>24}{'all pool threads':>28}")
    for kind, regime in FLOOR_KINDS:
        cells = []
        for where in ("caller", "pool"):
            r = BW.floor_row(rows, kind, regime, where, n)
            cells.append(f"{fmt_time(r['ns_per_call']):>11} {r['gbps']:6.1f} GB/s ({r['threads']})" if r else "—")
        what = f"{kind} {regime}" + (" 48 B/el" if kind == "copy" else " 24 B/el")
        print(f"  {what:<24}{cells[0]:>24}{cells[1]:>28}")


def throughput(sizes, repeat, target, show_legend, floor_program):
    """Times every operation at every size; returns (op records, floor meta, floor rows)."""
    cols = ["kestrum", "numpy", "numpy-q"]
    records, floor_meta, floor_rows = [], None, []
    print(
        "kestrum and numpy: each result lands in whatever memory its allocator returns (recycled or fresh pages),"
        " neither forced; k/warm, k/fresh, np/warm: time over the floor for the operation's bytes (B r+w) on all"
        " pool threads, writing into warm output / fresh 2 MiB-advised output (--legend for every statement).\n"
    )
    for n in sizes:
        if floor_program:
            floor_meta, rows = BW.run_floor(floor_program, [n], repeat)
            floor_rows.extend(rows)
        nss = namespaces_for(n)
        namespaces, _ = prepare([Column(c, lambda c=c, nss=nss: nss[c]) for c in cols])
        title = f"## VecList vs numpy vs bandwidth floor, n = {n:,}  (per call, min of {repeat}; ns/elem = per element)"
        head = (
            f"{'operation':<26}{'kestrum':>10}{'numpy':>10}{'numpy-q':>10}"
            f"{'k ns/el':>9}{'np ns/el':>9} |{'k/numpy':>8}{'k/np-q':>8} |{'B r+w':>6}"
            f"{'k/warm':>8}{'k/fresh':>8}{'np/warm':>8}"
        )
        print(title, flush=True)
        if floor_program:
            print_floor(floor_rows, n)
        print(head)
        print("-" * len(head))
        for label, k_stmt, np_stmt, npq_stmt in OPS:
            stmts = {"kestrum": k_stmt, "numpy": np_stmt}
            if npq_stmt:
                stmts["numpy-q"] = npq_stmt
            t = time_row(Row(label, stmts), namespaces, repeat, target)
            records.append({"op": label, "n": n, "kestrum_ns": t["kestrum"], "numpy_ns": t["numpy"],
                            "numpy_q_ns": t.get("numpy-q")})
            r = t["kestrum"] / t["numpy"]
            rq = t["kestrum"] / t["numpy-q"] if "numpy-q" in t else None
            rd, wr = BW.BYTES[label]
            warm = BW.floor_ns(floor_rows, n, rd, wr, "warm", "pool")
            fresh = BW.floor_ns(floor_rows, n, rd, wr, "fresh-huge", "pool")

            def ratio(a, b):
                return f"{a / b:.2f}" if b else "—"

            print(
                f"{label:<26}{fmt_time(t['kestrum']):>10}{fmt_time(t['numpy']):>10}"
                f"{fmt_time(t['numpy-q']) if 'numpy-q' in t else '—':>10}"
                f"{t['kestrum'] / n:>9.2f}{t['numpy'] / n:>9.2f} |{r:>8.3g}"
                f"{format(rq, '.3g') if rq else '—':>8} |{f'{rd}+{wr}':>6}"
                f"{ratio(t['kestrum'], warm):>8}{ratio(t['kestrum'], fresh):>8}{ratio(t['numpy'], warm):>8}",
                flush=True,
            )
        print()
        del nss, namespaces
    if show_legend:
        print("statements timed (a: (n, 3) float64, o: numpy P, vl: VecList, p: Vec3d P, q: unit Quat):")
        for label, k_stmt, np_stmt, npq_stmt in OPS:
            print(f"  {label}\n    kestrum  {k_stmt}\n    numpy    {np_stmt}")
            if npq_stmt:
                print(f"    numpy-q  {npq_stmt}")
        print(
            "k/warm, k/fresh, np/warm: time over the floor for the op's bytes on all pool threads, into warm output"
            " and into fresh 2 MiB-advised output (the extension's allocator; 4 KiB rows above for reference);"
            " kestrum and numpy run on whatever memory their allocators return."
        )
        print(BW.BYTES_LEGEND)
        print()
    return records, floor_meta, floor_rows


def small_lists(repeat, target):
    nss = namespaces_for(16)
    _, vl1 = make_data(1)
    namespaces = {"kestrum": dict(nss["kestrum"], vl1=vl1), "numpy": nss["numpy"]}
    rows = [(f"{label}, 16 elements", label, k, np_) for label, k, np_, _ in OPS]
    rows.append(("normalize, 1 element (no pool)", None, "vl1.normalize()", None))
    head = f"{'operation':<38}{'kestrum':>11}{'numpy':>11} |{'kestrum/numpy':>14}"
    print(f"## Small lists in a tight loop  (per call, min of {repeat}; same statements as above)")
    print(head)
    print("-" * len(head))
    out = []
    for text, label, k_stmt, np_stmt in rows:
        stmts = {"kestrum": k_stmt}
        if np_stmt:
            stmts["numpy"] = np_stmt
        t = time_row(Row(text, stmts), namespaces, repeat, target)
        r = t["kestrum"] / t["numpy"] if "numpy" in t else None
        if label:
            out.append({"op": label, "n": 16, "kestrum_ns": t["kestrum"], "numpy_ns": t.get("numpy")})
        print(
            f"{text:<38}{fmt_time(t['kestrum']):>11}{fmt_time(t['numpy']) if 'numpy' in t else '—':>11} |"
            f"{format(r, '.3g') if r else '—':>14}",
            flush=True,
        )
    print()
    return out


# --------------------------------------------------------------------------
# Thread scaling, one child per pool size


def child_threads(argv):
    n = int(float(argv[argv.index("--child-threads") + 1]))
    repeat = int(argv[argv.index("--repeat") + 1])
    q = unit_quat()
    _, vl = make_data(n)
    _, vl16 = make_data(16)
    ns = {"vl": vl, "vl16": vl16, "q": q}
    res = {}
    for key, stmt, number in (("rotate", "vl.rotate(q)", 10), ("normalize16", "vl16.normalize()", 20000)):
        t = timeit.Timer(stmt, globals=ns)
        t.timeit(max(1, number // 10))  # warm up (starts the pool)
        res[key] = min(t.repeat(repeat, number)) / number * 1e9
    print(json.dumps(res))


def thread_scaling(counts, n, rounds, repeat):
    best = {c: {} for c in counts}
    for _ in range(rounds):
        for c in counts:
            env = dict(os.environ, RAYON_NUM_THREADS=str(c))
            out = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--keep-blas-env", "--child-threads", str(n),
                 "--repeat", str(repeat)],
                env=env, check=True, capture_output=True, text=True,
            ).stdout
            for k, v in json.loads(out.strip().splitlines()[-1]).items():
                best[c][k] = min(best[c].get(k, math.inf), v)
    base = counts[0]
    head = f"{'RAYON_NUM_THREADS':<18}{f'rotate {n:.0e}':>14}{'speedup':>9}{'normalize 16':>14}{'time ratio':>12}"
    print(f"## Pool size scaling  (one child process per size, {rounds} alternating rounds, min)")
    print(head)
    print("-" * len(head))
    for c in counts:
        b = best[c]
        print(
            f"{c:<18}{fmt_time(b['rotate']):>14}{best[base]['rotate'] / b['rotate']:>8.2f}x"
            f"{fmt_time(b['normalize16']):>14}{b['normalize16'] / best[base]['normalize16']:>11.2f}x"
        )
    print()
    return best


# --------------------------------------------------------------------------
# Memory, in a child so earlier tables don't blur the figures

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def hwm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def reset_hwm():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child_memory(argv):
    n = int(float(argv[argv.index("--child-memory") + 1]))
    V = K.Vec3d
    K.VecList([])  # start the pool first: worker stacks are not the list's
    items = [V(i * 1e-7, 1.0, -2.0) for i in range(n)]
    base = rss_bytes()
    reset_hwm()
    vl = K.VecList(items)
    ctor_peak = hwm_bytes() - base
    held = rss_bytes() - base
    base2 = rss_bytes()
    reset_hwm()
    out = vl.normalize()
    op_peak = hwm_bytes() - base2
    op_held = rss_bytes() - base2
    assert len(out) == n
    print(json.dumps({"n": n, "held": held, "ctor_peak": ctor_peak, "op_peak": op_peak, "op_held": op_held}))


def memory(n):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--keep-blas-env", "--child-memory", str(n)],
        check=True, capture_output=True, text=True,
    ).stdout
    m = json.loads(out.strip().splitlines()[-1])
    payload = 24 * m["n"]
    MB = 1e6
    print(f"## Memory, n = {m['n']:,} (RSS in a child process; payload = 24 bytes x n = {payload / MB:.0f} MB)")
    print(f"VecList held after construction   {m['held'] / MB:9.1f} MB  = {m['held'] / m['n']:.2f} bytes/element")
    print(f"constructor peak (over baseline)  {m['ctor_peak'] / MB:9.1f} MB  = {m['ctor_peak'] / payload:.2f} x payload")
    print(f"normalize() result held           {m['op_held'] / MB:9.1f} MB  = {m['op_held'] / m['n']:.2f} bytes/element")
    print(
        f"normalize() peak over input       {m['op_peak'] / MB:9.1f} MB  = {m['op_peak'] / payload:.2f} x output;"
        f" input + peak = {(m['held'] + m['op_peak']) / MB:.1f} MB vs input + output = {2 * payload / MB:.0f} MB"
    )
    print()
    return m


# --------------------------------------------------------------------------


def header():
    import numpy as np

    print(f"Python {platform.python_version()}, numpy {np.__version__}, kestrum_py from {K.__file__}")
    print(f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', '(unset: OpenBLAS default)')}")
    print(f"{cli.machine_line()}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    print(f"uptime: {cli.load_text()}\n")
    return cli.meta(("numpy",), python=platform.python_version(), numpy=np.__version__)


def main(argv):
    if "--child-threads" in argv:
        return child_threads(argv)
    if "--child-memory" in argv:
        return child_memory(argv)
    ap = cli.parser(__doc__, sizes_default="", quick=True, legend=True, json_for="read by plots/plot_vec_list.py",
                    floor=True, blas_threads=True)
    ap.add_argument("--no-threads", action="store_true", help="leave the thread scaling out")
    ap.add_argument("--no-memory", action="store_true", help="leave the memory section out")
    ap.add_argument("--memory-n", type=float, default=1e7, metavar="N", help="elements of the memory section")
    args = ap.parse_args(argv)
    quick = args.quick
    repeat, target = (5, 0.02) if quick else (15, 0.05)
    sizes = args.sizes or cli.sizes("1e5,1e6" if quick else "1e5,1e6,1e7")
    floor_program = None
    if not args.no_floor:
        try:
            floor_program = BW.find_floor_program(args.floor)
        except BW.FloorError as exc:
            raise SystemExit(f"error: {exc}") from None
    results = {"meta": header(), "floor": None, "ops": [], "small": [], "threads": None, "thread_n": None,
               "memory": None, "targets": []}
    results["meta"].update(repeat=repeat, quick=quick, sizes=sizes)
    results["statements"] = {label: {"kestrum": k, "numpy": n, "numpy-q": q} for label, k, n, q in OPS}
    if floor_program:
        print(f"bandwidth floor: {floor_program}")
        if note := BW.stale_note(floor_program):
            print(note)
    check_equivalent()
    ops, floor_meta, floor_rows = throughput(sizes, repeat, target, args.legend, floor_program)
    results["ops"] = ops
    if floor_program:
        results["floor"] = {"program": floor_program, "meta": floor_meta, "rows": floor_rows}
    results["small"] = small_lists(repeat, target)
    if not args.no_threads:
        thread_n = 1_000_000
        best = thread_scaling([1, 2], thread_n, rounds=2 if quick else 4, repeat=3 if quick else 5)
        results["threads"] = {str(c): b for c, b in best.items()}
        results["thread_n"] = thread_n
    if not args.no_memory:
        results["memory"] = memory(int(args.memory_n))
    results["meta"]["load_end"] = list(os.getloadavg())
    results["targets"] = BW.evaluate_targets(results)
    la0, la1 = results["meta"]["load_start"], results["meta"]["load_end"]
    print(
        f"## Targets  (ratios from this run; load average {la0[0]:.2f} {la0[1]:.2f} {la0[2]:.2f} at start,"
        f" {la1[0]:.2f} {la1[1]:.2f} {la1[2]:.2f} now)"
    )
    for line in BW.format_targets(results["targets"]):
        print(line)
    print(f"uptime: {cli.load_text()}")
    if args.json:
        cli.write_json(args.json, results)


if __name__ == "__main__":
    main(sys.argv[1:])
