"""VecList bulk operations side by side with numpy on float64 (n, 3) arrays.

    python3 -m pip install -r bench/requirements.txt   # numpy
    python3 bench/bench_vec_list.py [--quick] [--legend] [--sizes 1e3,1e5,1e6]
                                    [--no-threads] [--no-memory] [--memory-n 1e7]
                                    [--blas-default]

Four sections, all in one run:

1. Throughput at each size: every operation and its numpy equivalent on the
   same data, repeats interleaved, minimum reported. Operations that return a
   Python list (dot, magnitude, distance_to) are compared with numpy's
   computation followed by `.tolist()`, since that is what a caller gets.
   Both sides allocate a fresh output on every call. `rotate` mutates in
   place, so it is timed with a unit quaternion (the list stays bounded);
   numpy does the same rotation as `a @ m` with m = q.to_rotation_matrix()
   (the transpose of what rotate applies to a column vector, so the matrix
   for row vectors), and in the "numpy-q" column with the quaternion
   formula vectorised.
2. Small lists: 16 elements in a tight loop, which is dominated by handing
   the work to the pool and back; a 1-element list (done on the calling
   thread, no pool) is shown for reference.
3. Thread scaling: the pool size is fixed per process, so one child process
   per RAYON_NUM_THREADS value times `rotate` on 1e6 elements and 16-element
   `normalize`; children alternate over a few rounds and the minimum counts.
4. Memory: RSS of a VecList per element, and the peak RSS of the constructor
   and of one bulk operation (`normalize`), in a child process. The peak is
   read from VmHWM after resetting it through /proc/self/clear_refs.

Ratios are kestrum/numpy (below 1: kestrum faster). Figures depend on the
machine's load; the load average is printed with them.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import json  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import timeit  # noqa: E402

from _harness import Column, Row, prepare, time_row  # noqa: E402

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
    V = K.Vec3d
    return a, K.VecList([V(x, y, z) for x, y, z in a.tolist()])


# --------------------------------------------------------------------------
# Throughput tables and small lists

# label, kestrum statement, numpy statement, numpy-q statement (or None)
OPS = [
    ("normalize", "vl.normalize()", "a / sqrt(einsum('ij,ij->i', a, a))[:, None]", None),
    ("rotate(q)", "vl.rotate(q)", "a @ m", "t = cross(u2, a); a + w * t + cross(u, t)"),
    ("cross(p)", "vl.cross(p)", "cross(a, o)", None),
    ("v + p", "vl + p", "a + o", None),
    ("v * 2.0", "vl * 2.0", "a * 2.0", None),
    ("v / 2.0", "vl / 2.0", "a / 2.0", None),
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

# Targets on a 2-core machine at 1e6 elements: the largest kestrum/numpy ratio that meets it.
TARGETS = {
    "normalize": 0.5,
    "rotate(q)": 0.5,
    "cross(p)": 0.5,
    "v + p": 0.5,
    "v * 2.0": 0.5,
    "v / 2.0": 0.5,
    "dot(p)": 1.0,
    "magnitude()": 1.0,
    "distance_to(p)": 1.0,
    "minimum_distance_to(p, 1)": 0.5,
}


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


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} us"
    return f"{ns:.0f} ns"


def throughput(sizes, repeat, target, show_legend):
    cols = ["kestrum", "numpy", "numpy-q"]
    summary = {}
    for n in sizes:
        nss = namespaces_for(n)
        namespaces, _ = prepare([Column(c, lambda c=c: nss[c]) for c in cols])
        title = f"## VecList vs numpy, n = {n:,}  (per call, min of {repeat}; ns/elem = per element)"
        head = (
            f"{'operation':<26}{'kestrum':>11}{'numpy':>11}{'numpy-q':>11}"
            f"{'k ns/elem':>11}{'np ns/elem':>11} |{'kestrum/numpy':>14}{'kestrum/np-q':>13}"
        )
        print(title, flush=True)
        print(head)
        print("-" * len(head))
        for label, k_stmt, np_stmt, npq_stmt in OPS:
            stmts = {"kestrum": k_stmt, "numpy": np_stmt}
            if npq_stmt:
                stmts["numpy-q"] = npq_stmt
            t = time_row(Row(label, stmts), namespaces, repeat, target)
            r = t["kestrum"] / t["numpy"]
            rq = t["kestrum"] / t["numpy-q"] if "numpy-q" in t else None
            summary[(label, n)] = r
            mark = ""
            if n == 1_000_000 and label in TARGETS:
                mark = "  target met" if r <= TARGETS[label] else f"  target MISSED (<= {TARGETS[label]})"
            print(
                f"{label:<26}{fmt_time(t['kestrum']):>11}{fmt_time(t['numpy']):>11}"
                f"{fmt_time(t['numpy-q']) if 'numpy-q' in t else '—':>11}"
                f"{t['kestrum'] / n:>11.2f}{t['numpy'] / n:>11.2f} |{r:>14.3g}"
                f"{format(rq, '.3g') if rq else '—':>13}{mark}",
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
        print()
    return summary


def small_lists(repeat, target):
    import numpy as np

    a16, vl16 = make_data(16)
    _, vl1 = make_data(1)
    ns = {"np": np, "sqrt": np.sqrt, "einsum": np.einsum, "a": a16, "vl": vl16, "vl1": vl1,
          "p": K.Vec3d(*P), "o": np.array(P)}
    rows = [
        ("normalize, 16 elements", "vl.normalize()", "a / sqrt(einsum('ij,ij->i', a, a))[:, None]"),
        ("v + p, 16 elements", "vl + p", "a + o"),
        ("normalize, 1 element (no pool)", "vl1.normalize()", None),
    ]
    head = f"{'operation':<32}{'kestrum':>11}{'numpy':>11} |{'kestrum/numpy':>14}"
    print(f"## Small lists in a tight loop  (per call, min of {repeat})")
    print(head)
    print("-" * len(head))
    out = {}
    for label, k_stmt, np_stmt in rows:
        stmts = {"kestrum": k_stmt}
        if np_stmt:
            stmts["numpy"] = np_stmt
        t = time_row(Row(label, stmts), {"kestrum": ns, "numpy": ns}, repeat, target)
        r = t["kestrum"] / t["numpy"] if "numpy" in t else None
        out[label] = t
        print(
            f"{label:<32}{fmt_time(t['kestrum']):>11}{fmt_time(t['numpy']) if 'numpy' in t else '—':>11} |"
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
    la = os.getloadavg()
    print(
        f"{platform.machine()}, {os.cpu_count()} CPUs, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')};"
        f" load average {la[0]:.2f} {la[1]:.2f} {la[2]:.2f}\n"
    )


def arg(argv, name, default):
    return argv[argv.index(name) + 1] if name in argv else default


def main(argv):
    if "--child-threads" in argv:
        return child_threads(argv)
    if "--child-memory" in argv:
        return child_memory(argv)
    quick = "--quick" in argv
    repeat, target = (5, 0.02) if quick else (15, 0.05)
    sizes = [int(float(s)) for s in arg(argv, "--sizes", "1e3,1e5,1e6").split(",")]
    header()
    check_equivalent()
    throughput(sizes, repeat, target, "--legend" in argv)
    small_lists(repeat, target)
    if "--no-threads" not in argv:
        thread_scaling([1, 2], 1_000_000, rounds=2 if quick else 4, repeat=3 if quick else 5)
    if "--no-memory" not in argv:
        memory(int(float(arg(argv, "--memory-n", "1e7"))))
    print(f"load average now {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main(sys.argv[1:])
