"""Plane.fit, Plane.distance_to_points and KdTree.normals against numpy: the
eigenvectors of the scatter matrix (numpy.linalg.eigh), brute-force
neighbourhoods, distance_to_point bit for bit, the same bits on every pool
size, and the refusals."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrum_py import KdTree, Vec3d, VecList, geometry

Plane = geometry.Plane
RNG = np.random.default_rng(23)


def xyz(v):
    return np.array([v.x, v.y, v.z])


def cloud(n, spread, rng):
    """n points with axis spreads `spread`, turned and moved at random."""
    q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    return (rng.normal(size=(n, 3)) * spread) @ q.T + rng.normal(size=3) * 10


def check_normal(got, p, angle_per_gap=1e-12):
    """got against numpy's smallest eigenvector of the scatter: the sine of
    the angle within angle_per_gap over the relative gap of the two smallest
    eigenvalues; oriented with its largest component positive."""
    w, v = np.linalg.eigh((p - p.mean(axis=0)).T @ (p - p.mean(axis=0)))
    assert np.linalg.norm(np.cross(got, v[:, 0])) <= angle_per_gap / ((w[1] - w[0]) / w[2])
    assert got[np.argmax(np.abs(got))] > 0
    return w


# Flat, thick, nearly round in the plane, tiny, huge, and two smallest
# spreads within 10% (a gap of 2e-7 of the largest eigenvalue).
SPREADS = [(1, 1, 1e-3), (1, 2, 0.5), (1, 1 + 1e-9, 1e-6), (1e-8, 2e-8, 1e-12), (1e8, 1e8, 1.0),
           (1e-3, 1.1e-3, 1.0)]


@pytest.mark.parametrize("spread", SPREADS)
def test_fit_and_curvature_are_numpys_eigenpairs(spread):
    for n in (3, 4, 150, 5000):
        p = cloud(n, spread, RNG)
        plane = Plane.fit(p)
        normal = xyz(plane.normal)
        w = check_normal(normal, p)
        c = p.mean(axis=0)
        assert abs(plane.distance + normal @ c) <= 1e-14 * (np.abs(c).sum() + np.sqrt(w[2]))
        if n <= 150:  # every point a neighbour: the same plane per point
            normals, curv = KdTree(p).normals_and_curvature(k=n)
            assert np.abs(np.asarray(curv) - w[0] / w.sum()).max() <= 1e-12
            for g in np.asarray(normals)[:: max(1, n // 7)]:
                check_normal(g, p)


def test_normals_are_brute_force_pca_and_face_the_viewpoint():
    # A floor, a wall and a ball with noise, in random order.
    floor = np.c_[RNG.random((300, 2)) * 4, np.zeros(300)]
    wall = np.c_[RNG.random(300) * 4, np.full(300, 4.0), RNG.random(300) * 2]
    ball = RNG.normal(size=(400, 3))
    ball = ball / np.linalg.norm(ball, axis=1)[:, None] + 2
    p = RNG.permutation(np.concatenate([floor, wall, ball]) + RNG.normal(scale=1e-3, size=(1000, 3)))
    tree, k = KdTree(p), 12
    normals = np.asarray(tree.normals(k=k))
    _, curv = tree.normals_and_curvature(k)
    d2 = ((p[:, None] - p[None]) ** 2).sum(axis=2)
    for i in range(len(p)):
        nb = p[np.lexsort((np.arange(len(p)), d2[i]))[:k]]
        w = check_normal(normals[i], nb)
        assert abs(curv[i] - w[0] / w.sum()) <= 1e-12
    eye = Vec3d(1.0, 2.0, 30.0)
    faced = np.asarray(tree.normals(toward=eye, k=k))
    assert (np.einsum("ij,ij->i", faced, xyz(eye) - p) >= 0).all()
    assert (np.abs(faced).tobytes() == np.abs(normals).tobytes())  # the same normals, flipped or not
    # Given queries are answered as the tree's own points are.
    rows = RNG.integers(0, len(p), 50)
    assert bytes(tree.normals(k, p[rows])) == normals[rows].tobytes()


def test_nan_and_infinite_points():
    p = cloud(400, (1, 2, 0.1), RNG)
    bad = [[np.nan, 0, 0], [np.inf, 1, 1], [0, -np.inf, 0]]
    # Left out of the fit: rows after the last finite point change no bit.
    with_bad = np.concatenate([p, bad])
    fits = [Plane.fit(q) for q in (with_bad, p)]
    assert len({np.array([*xyz(f.normal), f.distance]).tobytes() for f in fits}) == 1
    # A NaN point is nobody's neighbour, and has no normal.
    mixed = np.insert(p, [0, 200, 400], [[np.nan, 1, 1]] * 3, axis=0)
    got = np.asarray(KdTree(mixed).normals(k=8))
    assert np.isnan(got[[0, 201, 402]]).all()
    assert np.delete(got, [0, 201, 402], axis=0).tobytes() == bytes(KdTree(p).normals(k=8))
    assert np.isnan(np.asarray(KdTree(p).normals(8, [[np.nan, 0, 0], [np.inf, 0, 0]]))).all()


def test_refusals_and_degenerate_sets():
    for pts, text in [([[0, 0, 0], [1, 0, 0], [np.nan, 1, 0]], "at least 3 finite points, got 2"),
                      ([], "got 0"),
                      ([[t, 2 * t, -t] for t in range(10)], "collinear or coincident"),
                      ([[1.5, 2, 3]] * 5, "collinear or coincident"),
                      ([[1e300, 0, 0], [-1e300, 0, 0], [0, 1e300, 0]], "overflows")]:
        with pytest.raises(ValueError, match=text):
            Plane.fit(pts)
    with pytest.raises(ValueError, match="argument 'points'"):
        Plane.fit([[1.0, 2.0]])
    tree = KdTree(cloud(10, (1, 1, 1), RNG))
    with pytest.raises(ValueError, match="at least 3"):
        tree.normals(2)
    # Beyond the tree's size, every point is the neighbourhood; an empty tree has none.
    assert bytes(tree.normals(toward=None, k=11)) == bytes(tree.normals(10))
    assert np.isnan(np.asarray(KdTree([]).normals(points=[[1, 2, 3]]))).all()
    with pytest.raises(TypeError, match="argument 'toward'"):
        tree.normals(toward="up")
    with pytest.raises(TypeError, match="unexpected keyword argument 'kk'"):
        tree.normals(kk=3)
    line = KdTree([[t, 2 * t, 3 * t] for t in range(20)])
    assert np.isnan(np.asarray(line.normals(4))).all()


def test_distance_to_points_is_distance_to_point_bit_for_bit():
    special = [0.0, -0.0, 5e-324, 1e308, -1e308, np.inf, -np.inf, np.nan,
               np.frombuffer(np.uint64(0xFFF4000000000123).tobytes())[0]]
    p = np.concatenate([RNG.normal(size=(3000, 3)) * 10, RNG.choice(special, size=(400, 3))])
    nan_d = float(np.frombuffer(np.uint64(0x7FF8000000000042).tobytes())[0])  # whose NaN wins, the offset's
    planes = [Plane.fit(p[:100]), Plane(Vec3d(1, 2, 3), -0.5), Plane(Vec3d(0, 0, 0), 1.0), Plane(Vec3d(0, 1, 0), nan_d)]
    for plane in planes:
        want = np.array([plane.distance_to_point(Vec3d(*r)) for r in p])
        for given in (p, VecList.from_array(p), np.asfortranarray(p), list(map(tuple, p[:50]))):
            got = plane.distance_to_points(given)
            assert got.readonly and got.format == "d"
            assert np.asarray(got).tobytes() == want[: len(got)].tobytes()
        with np.errstate(over="ignore", invalid="ignore"):  # 1e308 becomes inf
            f32 = p[::3].astype(np.float32)
        want32 = [plane.distance_to_point(Vec3d(*map(float, r))) for r in f32]
        assert np.asarray(plane.distance_to_points(f32)).tobytes() == np.array(want32).tobytes()


POOL_CHILD = textwrap.dedent(r"""
    import hashlib, numpy as np, kestrum_py as kp
    rng = np.random.default_rng(9)
    p = np.concatenate([rng.random((70000, 3)) * [4, 3, 0.01], rng.normal(size=(30000, 3))])
    p[::997] = np.nan
    plane = kp.geometry.Plane.fit(p)
    h = hashlib.sha256(np.array([plane.normal.x, plane.normal.y, plane.normal.z, plane.distance]).tobytes())
    h.update(bytes(plane.distance_to_points(p)))
    tree = kp.KdTree(p)
    normals, curv = tree.normals_and_curvature(16)
    h.update(bytes(normals) + bytes(curv))
    h.update(bytes(tree.normals(5, p[:70000] + 0.01, kp.Vec3d(0, 0, 9))))
    print(h.hexdigest())
""")


def test_pool_sizes_give_identical_bits():
    digests = set()
    for threads in ("1", "2", "3", "7"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", POOL_CHILD], env=env, capture_output=True, text=True,
                             timeout=600, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1, digests
