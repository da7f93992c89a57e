"""RigidTransform.apply against the memory-bandwidth floor, and icp against
Open3D's registration_icp, side by side in one run.

    python bench/peers/bench_icp.py [--quick] [--n 300000] [--floor PATH]

1. `t.apply(vl)` at 1e6 points (reads 24, writes 24 bytes per point) against
   the floor program's copy/read rows at the same size on all pool threads
   (bench/internals/bandwidth_floor.cpp; build with -DKESTRUM_BUILD_BENCH=ON).
2. ICP on a synthetic room scan (examples/register_scans.py's scene: floor,
   walls, a sphere, 2 mm noise), the second scan 3 degrees and 6 cm off:
   point to point and point to plane, the same iteration count and
   correspondence distance for both libraries, each given a prebuilt tree
   (kestrum's KdTree; Open3D builds its own inside, so its time includes
   that build), the scene's normals for point to plane. Timings are
   interleaved, best of the repeats; each library's pose error against the
   planted transform is printed beside it.

Targets, printed as met / MISSED with the CPU model and load: apply <= 1.25x
the floor; ICP <= 0.5x Open3D in both modes, and an error no worse than
Open3D's (rotation within 0.01 degree, translation within 1 mm of it). On a
loaded machine the ratios, taken in one run, mean more than the times.
"""

import argparse
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
from common.blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import numpy as np  # noqa: E402

from common import bandwidth as BW  # noqa: E402
from common import cli  # noqa: E402
import kestrum_py as K  # noqa: E402
from register_scans import pose_error, scan  # noqa: E402

APPLY_N = 1_000_000
ICP_LIMIT = 0.5


def verdict(ok):
    return "met" if ok else "MISSED"


def best_of(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def bench_apply(floor_program, repeat):
    rng = np.random.default_rng(1)
    vl = K.VecList.from_array(rng.standard_normal((APPLY_N, 3)))
    t = K.RigidTransform(K.Quat.from_rotvec([0.3, -0.2, 0.1]), [1.0, 2.0, 3.0])
    t.apply(vl)
    ns = best_of(lambda: t.apply(vl), repeat) * 1e9
    print(f"apply, n={APPLY_N:,}: {ns / 1e6:.2f} ms ({ns / APPLY_N:.2f} ns/point)")
    if not floor_program:
        print("apply <= 1.25x floor: not measured (no floor program)")
        return
    _, rows = BW.run_floor(floor_program, [APPLY_N], max(repeat, 5))
    floor = BW.floor_ns(rows, APPLY_N, 24, 24, "warm", "pool")
    if floor is None:
        print("apply <= 1.25x floor: not measured (floor row missing)")
        return
    ratio = ns / floor
    print(f"apply, n={APPLY_N:,}: kestrum / warm floor on all pool threads = {ratio:.2f} (floor {floor / 1e6:.2f} ms)"
          f" <= {BW.FLOOR_LIMIT}: {verdict(ratio <= BW.FLOOR_LIMIT)}")


def bench_icp(n, iterations, max_distance, repeat):
    try:
        import open3d as o3d
    except ImportError:
        o3d = None
        print("open3d not installed: ICP ratios not measured (pip install kestrum_py[bench])")
    rng = np.random.default_rng(2)
    target, normals = scan(n, rng)
    axis = np.array([0.2, -0.4, 1.0])
    truth = K.RigidTransform(K.Quat.from_rotvec(math.radians(3.0) * axis / np.linalg.norm(axis)),
                             K.Vec3d(0.048, -0.036, 0.0))
    source = np.array(truth.inverse().apply(scan(n, rng)[0]))  # a writable copy for Open3D
    tree = K.KdTree(target)
    if o3d is not None:
        src = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(source))
        dst = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(target))
        dst.normals = o3d.utility.Vector3dVector(normals)
        reg = o3d.pipelines.registration
        criteria = reg.ICPConvergenceCriteria(relative_fitness=1e-10, relative_rmse=1e-10, max_iteration=iterations)
    print(f"\nICP on {n:,} + {n:,} points, {iterations} iterations at most, max_distance {max_distance}")
    for name, plane in (("point to point", False), ("point to plane", True)):
        results = {}

        def ours():
            results["k"] = K.icp(source, tree, max_distance, iterations=iterations, tolerance=1e-10,
                                 point_to_plane=plane, target_normals=normals)

        def theirs():
            est = reg.TransformationEstimationPointToPlane() if plane else reg.TransformationEstimationPointToPoint()
            results["o"] = reg.registration_icp(src, dst, max_distance, np.eye(4), est, criteria)

        tk, to = [], []
        for _ in range(repeat):  # interleaved
            tk.append(best_of(ours, 1))
            if o3d is not None:
                to.append(best_of(theirs, 1))
        r = results["k"]
        deg, m = pose_error(r.transform, truth)
        print(f"{name}: kestrum {min(tk):.3f} s, {r.iterations} iterations, fitness {r.fitness:.4f}, "
              f"rmse {r.rmse * 1e3:.3f} mm, error {deg:.4f} deg {m * 1e3:.3f} mm")
        if o3d is None:
            continue
        o = results["o"]
        ot = K.RigidTransform.from_matrix(np.asarray(o.transformation))
        odeg, om = pose_error(ot, truth)
        print(f"{name}: open3d  {min(to):.3f} s, fitness {o.fitness:.4f}, rmse {o.inlier_rmse * 1e3:.3f} mm, "
              f"error {odeg:.4f} deg {om * 1e3:.3f} mm")
        ratio = min(tk) / min(to)
        print(f"{name}: kestrum / open3d = {ratio:.2f} <= {ICP_LIMIT}: {verdict(ratio <= ICP_LIMIT)}; "
              f"error as close as open3d's: {verdict(deg <= odeg + 0.01 and m <= om + 1e-3)}")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats and 30,000 points")
    ap.add_argument("--n", type=int, default=None, help="points per scan (default 300,000)")
    ap.add_argument("--iterations", type=int, default=30)
    ap.add_argument("--max-distance", type=float, default=0.2)
    ap.add_argument("--floor", default=None, help="the bandwidth_floor program")
    ap.add_argument("--no-floor", action="store_true")
    args = ap.parse_args(argv)
    repeat = 3 if args.quick else 5
    n = args.n or (30_000 if args.quick else 300_000)
    print(f"CPU: {cli.machine_line()}")
    floor_program = None
    if not args.no_floor:
        try:
            floor_program = BW.find_floor_program(args.floor)
        except BW.FloorError as exc:
            print(f"note: {exc}")
    bench_apply(floor_program, repeat)
    bench_icp(n, args.iterations, args.max_distance, repeat)
    print(f"uptime: {cli.load_text()}")


if __name__ == "__main__":
    main(sys.argv[1:])
