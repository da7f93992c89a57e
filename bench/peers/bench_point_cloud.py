"""Point-cloud steps against Open3D and numpy, side by side in one run.

    python3 -m pip install '.[bench]'      # numpy, open3d-cpu
    python3 bench/peers/bench_point_cloud.py [--n 300000] [--m 1000000] [--repeat 3] [--json FILE]

Cases, each the best of --repeat runs, the libraries alternating within
every repeat (the machine is shared; the load is printed per case):

- normals, k = 16, of a synthetic room scan of --n points (floor, four walls,
  a ball, 3 mm noise, shuffled): KdTree(P).normals(16) against Open3D's
  estimate_normals(KDTreeSearchParamKNN(16)), both building their tree;
  also the normals alone on a built tree, and how many of Open3D's normals
  agree with ours up to sign;
- distance_to_points of --m points against numpy's P @ n + d;
- Plane.fit of --m points against the faster numpy route: centre, then SVD
  of the centred points or eigh of their scatter.
These two take milliseconds, so they run 20 times --repeat: on a loaded
machine the best of many is the figure that can be compared.

Ratios are kestrum_py's time over the peer's; every target prints met or
MISSED, with the CPU model and the load.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402
from common.blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import numpy as np  # noqa: E402

import kestrum_py as kp  # noqa: E402

try:
    import open3d as o3d
except (ImportError, OSError):  # pragma: no cover - the bench extra provides it (and Debian's libusb-1.0-0)
    o3d = None

RECORD = {"cases": [], "targets": []}


def room_scan(n, rng):
    """Floor 8 x 6 m, walls 3 m high, a ball of radius 0.8 m; points spread by area."""
    areas = np.array([48.0, 24.0, 24.0, 18.0, 18.0, 4 * np.pi * 0.64])
    counts = rng.multinomial(n, areas / areas.sum())
    u = [rng.random((c, 2)) for c in counts]
    parts = [np.c_[u[0] * [8, 6], np.zeros(counts[0])],
             np.c_[u[1][:, 0] * 8, np.zeros(counts[1]), u[1][:, 1] * 3],
             np.c_[u[2][:, 0] * 8, np.full(counts[2], 6.0), u[2][:, 1] * 3],
             np.c_[np.zeros(counts[3]), u[3] * [6, 3]],
             np.c_[np.full(counts[4], 8.0), u[4] * [6, 3]]]
    ball = rng.normal(size=(counts[5], 3))
    parts.append(ball / np.linalg.norm(ball, axis=1)[:, None] * 0.8 + [5, 3, 1])
    p = np.concatenate(parts) + rng.normal(scale=0.003, size=(n, 3))
    return p[rng.permutation(n)]


def interleaved(repeats, fns):
    """Best time of each of fns, the calls alternating; and each one's last result."""
    best = {name: float("inf") for name in fns}
    out = {}
    for _ in range(repeats):
        for name, fn in fns.items():
            t = time.perf_counter()
            out[name] = fn()
            best[name] = min(best[name], time.perf_counter() - t)
    return best, out


def case(name, times, target, peer, notes=(), **extra):
    ours = times["kestrum_py"]
    print(f"\n{name}  [{cli.machine_line()}]")
    for lib, s in times.items():
        print(f"  {lib:<34} {s * 1e3:10.2f} ms")
    for note in notes:
        print(f"  {note}")
    ratio = ours / times[peer] if peer in times else None
    RECORD["cases"].append({"name": name, "seconds": times, "ratio": ratio, "target": target,
                            "load": cli.load(), **extra})
    if ratio is None:
        print(f"  target {name}: no {peer} here")
        return
    ok = ratio <= target
    RECORD["targets"].append({"name": name, "ratio": ratio, "target": target, "met": ok})
    print(f"  target {name} vs {peer}: {ratio:.3f}x <= {target:g}x  {'met' if ok else 'MISSED'}")


def bench_normals(p, repeats):
    tree = kp.KdTree(p)
    fns = {"kestrum_py": lambda: kp.KdTree(p).normals(16), "kestrum_py, tree built": lambda: tree.normals(16)}
    if o3d is not None:
        cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(p))

        def open3d():
            cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(16))
            return np.asarray(cloud.normals)

        fns["Open3D estimate_normals"] = open3d
    times, out = interleaved(repeats, fns)
    extra = {"points": len(p)}
    if o3d is not None:
        dots = np.abs(np.einsum("ij,ij->i", np.asarray(out["kestrum_py"]), out["Open3D estimate_normals"]))
        extra["agree"] = float(np.mean(dots > 0.999))
        extra["notes"] = [f"Open3D's normals within 2.6 degrees of ours (up to sign): {extra['agree']:.1%}"]
    case(f"normals k=16, {len(p)}-point room scan", times, 0.5, "Open3D estimate_normals", **extra)


def bench_distances(p, repeats):
    plane = kp.geometry.Plane.fit(p[:1000])
    n = np.array([plane.normal.x, plane.normal.y, plane.normal.z])
    d = plane.distance
    vl = kp.VecList.from_array(p)
    times, out = interleaved(repeats, {
        "kestrum_py": lambda: plane.distance_to_points(p),
        "kestrum_py, VecList": lambda: plane.distance_to_points(vl),
        "numpy P @ n + d": lambda: p @ n + d,
    })
    err = np.abs(np.asarray(out["kestrum_py"]) - out["numpy P @ n + d"]).max()
    case(f"distance_to_points, {len(p)} points", times, 1.0, "numpy P @ n + d",
         notes=[f"largest difference from numpy: {err:.3g}"])


def numpy_svd(p):
    c = p.mean(axis=0)
    n = np.linalg.svd(p - c, full_matrices=False)[2][2]
    return n, -n @ c


def numpy_eigh(p):
    c = p.mean(axis=0)
    q = p - c
    n = np.linalg.eigh(q.T @ q)[1][:, 0]
    return n, -n @ c


def bench_fit(p, repeats):
    times, out = interleaved(repeats, {"kestrum_py": lambda: kp.geometry.Plane.fit(p),
                                       "numpy SVD": lambda: numpy_svd(p), "numpy eigh": lambda: numpy_eigh(p)})
    peer = min(("numpy SVD", "numpy eigh"), key=times.get)
    n = out["kestrum_py"].normal
    case(f"Plane.fit, {len(p)} points", times, 0.5, peer,
         notes=[f"|dot| with numpy's normal: {abs(np.dot([n.x, n.y, n.z], out[peer][0])):.15f}"])


def main(argv=None):
    ap = cli.parser(__doc__, repeat=3, json_for="the record of every figure printed")
    ap.add_argument("--n", type=int, default=300_000, help="points of the room scan (default 300000)")
    ap.add_argument("--m", type=int, default=1_000_000, help="points for distances and the fit (default 1000000)")
    args = ap.parse_args(argv)
    rng = np.random.default_rng(2024)
    print(f"{cli.machine_line()}\n{'; '.join(cli.versions())}" + ("" if o3d else "\nOpen3D not installed"))
    RECORD["meta"] = cli.meta(("numpy", "open3d-cpu"), n=args.n, m=args.m, repeats=args.repeat)
    bench_normals(room_scan(args.n, rng), args.repeat)
    xy = rng.random((args.m, 2)) * 100  # a tilted floor with 1 cm noise
    floor = np.c_[xy, xy @ [0.02, -0.01] + rng.normal(scale=0.01, size=args.m)]
    bench_distances(floor, 20 * args.repeat)
    bench_fit(floor, 20 * args.repeat)
    met = sum(t["met"] for t in RECORD["targets"])
    print(f"\n{met} of {len(RECORD['targets'])} targets met  [{cli.load_text()}]")
    for t in RECORD["targets"]:
        if not t["met"]:
            print(f"  MISSED {t['name']}: {t['ratio']:.3f} (target {t['target']:g})")
    if args.json:
        cli.write_json(args.json, RECORD)


if __name__ == "__main__":
    main()
