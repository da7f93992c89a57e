"""QuatList bulk rotations side by side with scipy's Rotation and
numpy-quaternion arrays, in one run.

    python3 -m pip install -r bench/requirements.txt   # numpy, scipy, numpy-quaternion
    python3 bench/peers/bench_quat_list.py [--sizes 1e5,1e6] [--repeat 7] [--floor PATH | --no-floor]

The floor column is what the memory allows: bench/internals/bandwidth_floor.cpp
(cmake -DKESTRUM_BUILD_BENCH=ON, target bandwidth_floor, found in build*/
unless --floor names it) times a plain read loop and a plain copy loop on all
pool threads, warm reused output, at 2n Vec3d elements (a working set of 96 B
per rotation, about what these operations touch), and each operation's floor
is those per-byte costs times the bytes it must read and write per element
(see BYTES). Where half the faster peer's time lies below that floor, the
target cannot be met on this machine by any code, and the verdict says so.

Every row times one batched operation on n random unit rotations (and n
vectors, rotation vectors, matrices or Euler angles made from them), repeats
interleaved across the columns, minimum reported. Each library gets its
input in its own form, built outside the timing; results are whatever each
returns (QuatList/VecList, a read-only buffer, an ndarray). The ratio is
kestrum over the faster of the others; the target is <= 0.5x. A column is
left out when its package is missing or has no such operation
(numpy-quaternion has no Markley mean and only zyz Euler angles).

Rotations are not in the same convention everywhere: `rotate` applies
q* v q, scipy and numpy-quaternion apply q v q*. The timed work is the same;
the others are given the conjugates so that all three compute the same
rotations.
"""

import os
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import bandwidth as BW  # noqa: E402
from common import cli  # noqa: E402
from common.blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import numpy as np  # noqa: E402

import kestrum_py as K  # noqa: E402

try:
    from scipy.spatial.transform import Rotation
except ImportError:
    Rotation = None
try:
    import quaternion as npq
except ImportError:
    npq = None

TARGET = 0.5

# Bytes each kestrum operation must read and write per element (32 B per
# quaternion, 24 per vector, 72 per matrix); the mean writes nothing per element.
BYTES = {
    "rotate, pairwise (VecList)": (56, 24),
    "rotate, broadcast (Vec3d)": (32, 24),
    "then (QuatList)": (64, 32),
    "as_matrix": (32, 72),
    "from_matrix": (72, 32),
    "from_rotvec (VecList)": (24, 32),
    "as_rotvec": (32, 24),
    "from_euler ('xyz')": (24, 32),
    "mean": (32, 0),
}




def best_of(columns, repeat):
    """Seconds per call for each column (name -> callable), interleaved repeats.
    A column slower than a second per call is timed by its first call only
    (numpy-quaternion's from_rotation_matrix takes about a minute at 1e6)."""
    loops, best = {}, {}
    for name, fn in columns.items():
        n = 1
        while (t := timeit.timeit(fn, number=n)) < 0.02 and n < 100_000:
            n *= 4
        loops[name], best[name] = n, t / n
    for _ in range(repeat):
        for name, fn in columns.items():
            if best[name] < 1.0:
                best[name] = min(best[name], timeit.timeit(fn, number=loops[name]) / loops[name])
    return best


def fmt(sec):
    return f"{sec * 1e3:9.3f} ms"


def inputs(n):
    rng = np.random.default_rng(11)
    wijk = rng.standard_normal((n, 4))
    wijk /= np.linalg.norm(wijk, axis=1, keepdims=True)
    other = rng.standard_normal((n, 4))
    other /= np.linalg.norm(other, axis=1, keepdims=True)
    vecs = rng.standard_normal((n, 3))
    return wijk, other, vecs


def rows(n):
    """(label, {column: callable}) for every operation at size n."""
    wijk, other, vecs = inputs(n)
    ql, pl = K.QuatList.from_array(wijk), K.QuatList.from_array(other)
    vl = K.VecList.from_array(vecs)
    v1 = K.Vec3d(1.0, -2.0, 0.5)
    conj = wijk * [1, -1, -1, -1]
    out = []

    def add(label, kestrum, scipy=None, npq_fn=None):
        cols = {"kestrum": kestrum}
        if scipy is not None and Rotation is not None:
            cols["scipy"] = scipy
        if npq_fn is not None and npq is not None:
            cols["numpy-quaternion"] = npq_fn
        out.append((label, cols))

    r = Rotation.from_quat(np.column_stack([conj[:, 1:], conj[:, :1]])) if Rotation else None
    rp = Rotation.from_quat(np.column_stack([-other[:, 1:], other[:, :1]])) if Rotation else None
    qa = npq.as_quat_array(conj) if npq else None
    qb = npq.as_quat_array(other * [1, -1, -1, -1]) if npq else None
    vq = npq.from_vector_part(vecs) if npq else None

    add("rotate, pairwise (VecList)", lambda: ql.rotate(vl),
        (lambda: r.apply(vecs)) if r else None,
        (lambda: npq.as_vector_part(qa * vq * np.conjugate(qa))) if npq else None)
    add("rotate, broadcast (Vec3d)", lambda: ql.rotate(v1),
        (lambda: r.apply([1.0, -2.0, 0.5])) if r else None,
        (lambda: npq.rotate_vectors(qa, [1.0, -2.0, 0.5])) if npq else None)
    if hasattr(K.QuatList, "then"):
        add("then (QuatList)", lambda: ql.then(pl),
            (lambda: rp * r) if r else None, (lambda: qb * qa) if npq else None)
    if hasattr(K.QuatList, "as_matrix"):
        add("as_matrix", lambda: ql.as_matrix(),
            (lambda: r.as_matrix()) if r else None, (lambda: npq.as_rotation_matrix(qa)) if npq else None)
    if hasattr(K.QuatList, "from_matrix"):
        mats = r.as_matrix() if r else np.asarray(ql.as_matrix())
        add("from_matrix", lambda: K.QuatList.from_matrix(mats),
            (lambda: Rotation.from_matrix(mats)) if r else None,
            (lambda: npq.from_rotation_matrix(mats)) if npq else None)
    if hasattr(K.QuatList, "from_rotvec"):
        rv = r.as_rotvec() if r else np.asarray(ql.as_rotvec())
        rvl = K.VecList.from_array(rv)
        add("from_rotvec (VecList)", lambda: K.QuatList.from_rotvec(rvl),
            (lambda: Rotation.from_rotvec(rv)) if r else None,
            (lambda: npq.from_rotation_vector(rv)) if npq else None)
    if hasattr(K.QuatList, "as_rotvec"):
        add("as_rotvec", lambda: ql.as_rotvec(),
            (lambda: r.as_rotvec()) if r else None, (lambda: npq.as_rotation_vector(qa)) if npq else None)
    if hasattr(K.QuatList, "from_euler"):
        eul = r.as_euler("xyz") if r else np.asarray(ql.as_euler("xyz"))
        add("from_euler ('xyz')", lambda: K.QuatList.from_euler("xyz", eul),
            (lambda: Rotation.from_euler("xyz", eul)) if r else None)
    if hasattr(K.QuatList, "mean"):
        add("mean", lambda: ql.mean(), (lambda: r.mean()) if r else None)
    return out


def floor_seconds(floor_rows, n, label):
    """The bandwidth floor of one operation at n elements, or None."""
    if not floor_rows or label not in BYTES:
        return None
    ns = BW.floor_ns(floor_rows, 2 * n, *BYTES[label], regime="warm", where="pool")
    return None if ns is None else ns / 2 * 1e-9


def run(n, repeat, floor_program):
    print(f"\n## n = {n:,} (pool threads: {os.environ.get('RAYON_NUM_THREADS', 'default')})")
    print(f"uptime: {cli.load_text()}", flush=True)
    floor_rows = []
    if floor_program:
        _, floor_rows = BW.run_floor(floor_program, [2 * n], repeat)
    results = []
    for label, cols in rows(n):
        t = best_of(cols, repeat)
        others = {k: v for k, v in t.items() if k != "kestrum"}
        cells = "  ".join(f"{name}: {fmt(sec)}" for name, sec in t.items())
        floor = floor_seconds(floor_rows, n, label)
        if floor is not None:
            cells += f"  floor: {fmt(floor)}"
        if others:
            name, fastest = min(others.items(), key=lambda kv: kv[1])
            ratio = t["kestrum"] / fastest
            verdict = "met" if ratio <= TARGET else "MISSED"
            if ratio > TARGET and floor is not None and TARGET * fastest < floor:
                verdict += f"; {TARGET}x {name} is {TARGET * fastest / floor:.2f}x the floor: not reachable here"
            tail = f"| vs {name}: {ratio:.3f}x (target <= {TARGET}x: {verdict})"
            if floor is not None:
                tail += f"; kestrum/floor {t['kestrum'] / floor:.2f}"
        else:
            ratio, tail = None, "| no comparison installed"
        print(f"{label:<28} {cells}  {tail}", flush=True)
        results.append((label, ratio))
    print(f"uptime after: {cli.load_text()}")
    return results


def main():
    args = cli.parser(__doc__, repeat=7, sizes_default="1e5,1e6", floor=True, blas_threads=True).parse_args()
    floor_program = None
    if not args.no_floor:
        try:
            floor_program = BW.find_floor_program(args.floor)
        except BW.FloorError as e:
            print(f"(no bandwidth floor: {e})")
    print(f"CPU: {cli.machine_line()}")
    print(f"kestrum_py {K.__file__}\nnumpy {np.__version__}, Python {sys.version.split()[0]}")
    if Rotation is not None:
        import scipy
        print(f"scipy {scipy.__version__}")
    if npq is not None:
        print(f"numpy-quaternion {getattr(npq, '__version__', '?')}")
    missed = []
    for n in args.sizes:
        missed += [(n, label) for label, ratio in run(n, args.repeat, floor_program) if ratio is not None and ratio > TARGET]
    print("\nall targets met" if not missed else "\ntargets MISSED: " + ", ".join(f"{label} at {n:,}" for n, label in missed))


if __name__ == "__main__":
    main()
