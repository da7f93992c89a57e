"""Crossing the numpy border and pickling, side by side with numpy, in one run.

    python3 -m pip install -r bench/requirements.txt   # numpy
    python3 bench/peers/bench_border.py [--n 1e6] [--repeat 15] [--regime both|warm|fresh]

Rows (all at n elements; repeats interleaved across the columns of a row,
minimum reported):

1. in:        VecList.from_array(a)            vs  a.copy()              target <= 1.0x
2. out:       numpy.asarray(vl)                alone, at 0, 1e3 and n     target <= 2 us
3. pickle:    loads(dumps(vl, p))              vs  the same for a         target <= 1.5x
              for the default protocol and for protocol 5 (in-band)
4. round trip: asarray(from_array(a).normalize())
                                               vs  numpy's normalize     target <= 0.5x
              (the faster of a / sqrt((a*a).sum(1))[:, None] and a / norm(a, axis=1, keepdims=True))

Memory regime. Every row allocates a new n x 24-byte result per call. In the
"warm" regime glibc's defaults apply: once numpy has freed a block that size,
malloc hands the same, already-mapped pages back. The "fresh" regime (a child
process with M_MMAP_THRESHOLD pinned at 128 KiB) puts numpy on fresh mappings
for every call. A VecList's array comes from the library's own block cache in
both: the block freed by the previous call of the same size, already mapped
(docs/guide/vectors.md, "Memory"). `--regime both` (the default) prints both.

The machine's load average is printed before and after; with other work on
the cores the pool's parallel copies lose most, so repeat on a quiet machine.
"""

import argparse
import ctypes
import os
import pickle
import subprocess
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402
from common.blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import numpy as np  # noqa: E402

import kestrum_py as K  # noqa: E402

M_MMAP_THRESHOLD = -3  # glibc mallopt parameter


def best_of(columns, repeat, target=0.05):
    """Seconds per call for each column (name -> callable), interleaved repeats."""
    loops = {}
    for name, fn in columns.items():
        n = 1
        while timeit.timeit(fn, number=n) < target and n < 1_000_000:
            n *= 10
        loops[name] = n
    best = {name: float("inf") for name in columns}
    for _ in range(repeat):
        for name, fn in columns.items():
            best[name] = min(best[name], timeit.timeit(fn, number=loops[name]) / loops[name])
    return best


def fmt(sec):
    return f"{sec * 1e6:10.2f} us" if sec < 1e-3 else f"{sec * 1e3:10.3f} ms"


def row(label, columns, ratio, target, repeat):
    """Times the columns, prints them and ratio = columns[a] / columns[b]."""
    t = best_of(columns, repeat)
    a, b = ratio
    r = t[a] / t[b]
    cells = "  ".join(f"{name}: {fmt(sec)}" for name, sec in t.items())
    verdict = "ok" if r <= target else "OVER TARGET"
    print(f"{label:<28} {cells}  | {a}/{b} = {r:.3f}x (target <= {target}x: {verdict})", flush=True)
    return r


def run(n, repeat):
    rng = np.random.default_rng(7)
    a = rng.standard_normal((n, 3))
    vl = K.VecList.from_array(a)
    assert np.asarray(vl).tobytes() == a.tobytes()
    print(f"n = {n:,}, pool threads = {os.environ.get('RAYON_NUM_THREADS', 'default')}, "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)

    row("in: from_array vs copy", {"from_array": lambda: K.VecList.from_array(a),
                                   "a.copy": lambda: a.copy()},
        ("from_array", "a.copy"), 1.0, repeat)

    lists = {0: K.VecList.empty(), 1000: K.VecList.from_array(a[:1000]), n: vl}
    t = best_of({f"len {k:,}": (lambda v=v: np.asarray(v)) for k, v in lists.items()}, repeat)
    worst = max(t.values())
    cells = "  ".join(f"{name}: {fmt(sec)}" for name, sec in t.items())
    print(f"{'out: numpy.asarray(vl)':<28} {cells}  | worst {worst * 1e6:.2f} us "
          f"(target <= 2 us: {'ok' if worst <= 2e-6 else 'OVER TARGET'})", flush=True)

    for p in sorted({pickle.DEFAULT_PROTOCOL, 5}):
        row(f"pickle protocol {p}", {"VecList": lambda p=p: pickle.loads(pickle.dumps(vl, p)),
                                     "ndarray": lambda p=p: pickle.loads(pickle.dumps(a, p))},
            ("VecList", "ndarray"), 1.5, repeat)

    numpy_forms = {"sqrt-sum": lambda: a / np.sqrt((a * a).sum(axis=1))[:, None],
                   "linalg.norm": lambda: a / np.linalg.norm(a, axis=1, keepdims=True)}
    fastest = min(best_of(numpy_forms, max(3, repeat // 3)).items(), key=lambda kv: kv[1])[0]
    row("round trip vs numpy normalize",
        {"kestrum": lambda: np.asarray(K.VecList.from_array(a).normalize()),
         f"numpy {fastest}": numpy_forms[fastest]},
        ("kestrum", f"numpy {fastest}"), 0.5, repeat)
    print(f"load average after: {os.getloadavg()[0]:.2f}", flush=True)


def main():
    ap = cli.parser(__doc__, repeat=15, blas_threads=True)
    ap.add_argument("--n", type=float, default=1e6, help="elements (default 1e6)")
    ap.add_argument("--regime", choices=["both", "warm", "fresh"], default="both")
    ap.add_argument("--fresh-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    n = int(args.n)
    if args.fresh_child:
        if ctypes.CDLL(None).mallopt(M_MMAP_THRESHOLD, 128 * 1024) != 1:
            sys.exit("mallopt(M_MMAP_THRESHOLD) failed: not glibc?")
        run(n, args.repeat)
        return
    print(f"kestrum_py {K.__file__}\nnumpy {np.__version__}, Python {sys.version.split()[0]}\n{cli.machine_line()}")
    if args.regime in ("both", "warm"):
        print("\n## warm regime: glibc defaults (numpy reuses freed blocks; VecList reuses its own)")
        run(n, args.repeat)
    if args.regime in ("both", "fresh"):
        print("\n## fresh regime: numpy's large blocks fresh mappings (VecList still reuses its own)")
        subprocess.run([sys.executable, __file__, "--fresh-child", "--n", str(n),
                        "--repeat", str(args.repeat)], check=True)


if __name__ == "__main__":
    main()
