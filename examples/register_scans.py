"""Registering two scans of a room
================================

Two LiDAR-like scans of the same room, the second taken from a pose 3 degrees
and 6 cm away, brought back together with ICP.

The room is made here: a floor, four walls and a sphere on the floor, sampled
uniformly with 2 mm of noise (about 300,000 points; ``--small`` for 30,000).
The second scan samples the scene again, independently, and moves it by the
inverse of a known pose. ``kestrum_py.icp`` then registers it against a
``KdTree`` of the first scan, point to point and point to plane (with the
normals the same tree estimates from 16 neighbours per point), and the
recovered pose is compared with the truth::

    python examples/register_scans.py            # 300k points per scan
    python examples/register_scans.py --small    # 30k, a few seconds

Needs numpy to make the scene.
"""

import argparse
import math
import time

import numpy as np

import kestrum_py as kp

ROOM = (6.0, 5.0, 2.5)  # x, y extent of the floor and wall height, metres
SPHERE = ((1.5, 1.0, 0.5), 0.5)  # centre and radius, resting on the floor


def scan(n, rng, noise=0.002):
    """n points of the room (floor, four walls, sphere) with Gaussian noise,
    and the scene's exact normals at the noiseless points."""
    (lx, ly, h), (c, r) = ROOM, SPHERE
    areas = np.array([lx * ly, ly * h, ly * h, lx * h, lx * h, 4 * math.pi * r * r])
    counts = rng.multinomial(n, areas / areas.sum())
    parts, normals = [], []
    u = lambda k, hi: rng.uniform(0.0, hi, k)  # noqa: E731
    for face, k in enumerate(counts[:5]):
        if face == 0:
            p, nv = np.c_[u(k, lx), u(k, ly), np.zeros(k)], (0, 0, 1)
        elif face in (1, 2):
            x = 0.0 if face == 1 else lx
            p, nv = np.c_[np.full(k, x), u(k, ly), u(k, h)], (1 if face == 1 else -1, 0, 0)
        else:
            y = 0.0 if face == 3 else ly
            p, nv = np.c_[u(k, lx), np.full(k, y), u(k, h)], (0, 1 if face == 3 else -1, 0)
        parts.append(p)
        normals.append(np.tile(np.asarray(nv, float), (k, 1)))
    d = rng.normal(size=(counts[5], 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    parts.append(np.asarray(c) + r * d)
    normals.append(d)
    points = np.concatenate(parts) + rng.normal(scale=noise, size=(n, 3))
    return points, np.concatenate(normals)


def pose_error(found, truth):
    """Rotation error in degrees and translation error in metres."""
    d = found.then(truth.inverse())
    angle = 2.0 * math.degrees(math.acos(min(1.0, abs(d.rotation.w))))
    t = d.translation
    return angle, math.sqrt(t.x * t.x + t.y * t.y + t.z * t.z)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--small", action="store_true", help="30,000 points per scan instead of 300,000")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    n = 30_000 if args.small else 300_000
    rng = np.random.default_rng(args.seed)

    target, target_normals = scan(n, rng)
    axis = np.array([0.2, -0.4, 1.0])
    truth = kp.RigidTransform(kp.Quat.from_rotvec(math.radians(3.0) * axis / np.linalg.norm(axis)),
                              kp.Vec3d(0.048, -0.036, 0.0))  # |t| = 6 cm
    source = truth.inverse().apply(scan(n, rng)[0])  # the second scan, as its scanner saw it
    print(f"two scans of {n} points; planted pose: {pose_error(kp.RigidTransform.identity(), truth)[0]:.2f} deg, "
          f"{pose_error(kp.RigidTransform.identity(), truth)[1] * 100:.1f} cm")

    tree = kp.KdTree(target)
    start = time.perf_counter()
    normals = tree.normals(k=16, toward=kp.Vec3d(*(np.asarray(ROOM) / 2)))  # the scanner, mid-room
    seconds = time.perf_counter() - start
    # Against the scene's exact normals, whichever way each one faces.
    cosines = np.abs(np.sum(np.asarray(normals) * target_normals, axis=1))
    off = np.degrees(np.arccos(np.clip(cosines, 0.0, 1.0)))
    print(f"{'normals':>14}: k = 16, {seconds:.2f} s; angle to the true normal: median {np.median(off):.2f} deg, "
          f"95th percentile {np.percentile(off, 95):.2f} deg")
    for name, plane in (("point to point", False), ("point to plane", True)):
        start = time.perf_counter()
        result = kp.icp(source, tree, 0.2, iterations=30, point_to_plane=plane, target_normals=normals)
        seconds = time.perf_counter() - start
        angle, metres = pose_error(result.transform, truth)
        print(f"{name:>14}: {result.iterations} iterations, converged={result.converged}, "
              f"fitness {result.fitness:.3f}, rmse {result.rmse * 1000:.2f} mm, {seconds:.2f} s")
        print(f"{'':>14}  rotation error {angle:.4f} deg, translation error {metres:.5f} m")


if __name__ == "__main__":
    main()
