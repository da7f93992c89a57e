"""KdTree's bounded, per-radius, capped, counting and pair queries against
numpy brute force, bit for bit, on the cloud families of test_kd_tree."""

import ctypes
import ctypes.util
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrum_py import KdTree
from test_kd_tree import INF, brute_nearest, clouds, d2_table, same_bits

RNG = np.random.default_rng(20261208)


def degenerate():
    special = [np.nan, -np.nan, INF, -INF, 1e200, -1e200, 0.0, -0.0, 5e-324, 1.0]
    pts = RNG.choice(special, (600, 3))
    pts[:300] = RNG.random((300, 3))
    return pts


def boundary_radii(d2):
    """Per query: a distance to one of its points, exact or one step either
    side, or a radius that finds nothing or everything."""
    with np.errstate(invalid="ignore"):
        d = np.sqrt(d2[np.arange(len(d2)), RNG.integers(0, d2.shape[1], len(d2))])
    r = np.where(np.isnan(d), 0.5, d)
    step = RNG.integers(0, 3, len(r))
    r = np.where(step == 1, np.nextafter(r, 0.0), np.where(step == 2, np.nextafter(r, INF), r))
    odd = RNG.random(len(r)) < 0.1
    r[odd] = RNG.choice([np.nan, -1.0, -0.0, 0.0, INF, 1e-300], odd.sum())
    return r


@pytest.mark.parametrize("kind", ["uniform", "clustered", "duplicates", "grid", "line", "degenerate"])
def test_new_queries_match_brute_force(kind):
    pts = degenerate() if kind == "degenerate" else clouds()[kind][:1500]
    fin = np.where(np.isfinite(pts), pts, 0.0)
    q = np.concatenate([pts[RNG.integers(0, len(pts), 120)], fin.min(0) + np.ptp(fin, 0) * RNG.random((120, 3))])
    tree, n = KdTree(pts), len(pts)
    d2 = d2_table(pts, q)
    with np.errstate(invalid="ignore"):
        dist = np.sqrt(d2)
    radii = boundary_radii(d2)
    inside = dist <= radii[:, None]  # NaN distances and radii never qualify
    # nearest_many: the k nearest of those within max_distance, the rest padding
    for k in (1, 5):
        bi, bd = brute_nearest(pts, q, k)
        for bound in (radii[0], radii[1], 0.0, INF):
            far = ~(bd <= bound)
            want_i, want_d = np.where(far, n, bi), np.where(far, INF, bd)
            i, dd = tree.nearest_many(q, k, max_distance=bound)
            assert same_bits(np.asarray(i), want_i) and same_bits(np.asarray(dd), want_d), (k, bound)
    # within_many with a radius per query, capped or not, and count_within
    for radius in (radii, radii.tolist(), radii[7]):
        ins = inside if np.ndim(radius) else dist <= radius
        rows = [np.nonzero(row)[0] for row in ins]
        off, idx = tree.within_many(q, radius)
        assert np.asarray(off).tolist() == np.cumsum([0] + [len(r) for r in rows]).tolist()
        assert same_bits(np.asarray(idx), np.concatenate(rows).astype(np.int64))
        assert same_bits(np.asarray(tree.count_within(q, radius)), ins.sum(1).astype(np.int64))
        for cap in (1, 4, 300):
            capped = [r[np.lexsort((r, d2[i, r]))][:cap] for i, r in enumerate(rows)]
            off, idx = tree.within_many(q, radius, max_neighbours=cap)
            assert np.asarray(off).tolist() == np.cumsum([0] + [len(r) for r in capped]).tolist()
            assert same_bits(np.asarray(idx), np.concatenate(capped).astype(np.int64)), cap
    # pairs_within: upper triangle of the point-to-point table, row-major
    with np.errstate(invalid="ignore"):
        pd = np.sqrt(d2_table(pts, pts))
    pair_d = pd[np.triu_indices(n, 1)]
    pick = pair_d[np.isfinite(pair_d)]
    for r in (0.0, 0.05, *(RNG.choice(pick, 2) if len(pick) else ())):
        for radius in (r, np.nextafter(r, 0.0), np.nextafter(r, INF)):
            want = np.argwhere(np.triu(pd <= radius, 1)).astype(np.int64).reshape(-1, 2)
            assert same_bits(np.asarray(tree.pairs_within(radius)), want), radius


def test_empty_inputs_arguments_and_errors():
    tree = KdTree(RNG.random((50, 3)))
    assert np.asarray(tree.pairs_within(INF)).shape == (50 * 49 // 2, 2)
    assert KdTree([]).pairs_within(1.0).shape == (0, 2)
    assert tree.count_within(np.zeros((0, 3)), []).tolist() == []
    assert tree.within_many(np.zeros((0, 3)), 1.0, 3)[0].tolist() == [0]
    assert tree.within_many([[0, 0, 0]], [np.inf], max_neighbours=None)[0].tolist() == [0, 50]
    assert tree.nearest_many([[0, 0, 0]], 2, None)[0].tolist() == tree.nearest_many([[0, 0, 0]], 2)[0].tolist()
    with pytest.raises(ValueError, match=r"^argument 'radius': expected one radius or one per query \(2\), got 3"):
        tree.within_many(np.zeros((2, 3)), np.ones(3))
    with pytest.raises(ValueError, match="one per query"):
        tree.count_within(np.zeros((2, 3)), [1.0])
    with pytest.raises(ValueError):
        tree.count_within(np.zeros((2, 3)), np.ones((2, 1)))
    with pytest.raises(ValueError, match="max_neighbours must be at least 1"):
        tree.within_many(np.zeros((2, 3)), 1.0, max_neighbours=0)
    with pytest.raises(OverflowError):
        tree.within_many(np.zeros((2, 3)), 1.0, max_neighbours=-1)
    for bad in ("x", [1.0, "x"], {1: 2}):
        with pytest.raises(TypeError, match="argument 'radius'"):
            tree.count_within(np.zeros((2, 3)), bad)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'radius'"):
        tree.within_many(np.zeros((2, 3)), max_neighbours=2)
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        tree.nearest_many(np.zeros((2, 3)), 1, 2.0, 3)
    assert tree.within_many.__text_signature__ == "($self, points, radius, max_neighbours=None)"


@pytest.mark.skipif(platform.machine() != "x86_64", reason="FE_* values of x86-64 glibc")
def test_the_callers_rounding_mode_changes_no_boundary():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    pts, q = RNG.random((2000, 3)), RNG.random((40, 3))
    tree = KdTree(pts)
    third = np.sort(np.sqrt(d2_table(pts, q)), 1)[:, 2]  # a bound exactly at the third neighbour
    pair = float(np.sqrt(d2_table(pts[:1], pts[1:2]))[0, 0])
    calls = [lambda b=b: tree.nearest_many(q, 3, b) for b in third]
    calls += [lambda: tree.pairs_within(pair), lambda: tree.within_many(q, third), lambda: tree.count_within(q, third)]
    def answers():
        return [b"".join(map(bytes, r if isinstance(r, tuple) else (r,))) for r in (c() for c in calls)]

    want = answers()
    for mode in (0x800, 0x400, 0xC00):  # upward, downward, toward zero
        try:
            libm.fesetround(mode)
            got = answers()
        finally:
            libm.fesetround(0)
        assert got == want, hex(mode)


POOL_CHILD = textwrap.dedent(r"""
    import hashlib
    import numpy as np
    import kestrum_py as kp
    rng = np.random.default_rng(6)
    pts = np.concatenate([rng.random((50000, 3)), rng.normal(size=(20000, 3)) * 1e-3 + 0.5])
    q = rng.random((70000, 3))  # answered in Morton order
    r = rng.random(70000) * 0.03
    t = kp.KdTree(pts)
    got = [*t.within_many(q, r), *t.within_many(q, 0.02, 5), t.count_within(q, r),
           t.pairs_within(0.0002), *t.nearest_many(q, 3, 0.01)]
    parts = [[*t.within_many(q[s:s + 10000], r[s:s + 10000]), t.count_within(q[s:s + 10000], r[s:s + 10000]),
              t.within_many(q[s:s + 10000], 0.02, 5)[1]] for s in range(0, 70000, 10000)]
    assert bytes(got[1]) == b"".join(bytes(p[1]) for p in parts)
    assert bytes(got[3]) == b"".join(bytes(p[3]) for p in parts)
    assert bytes(got[4]) == b"".join(bytes(p[2]) for p in parts)
    print(hashlib.sha256(b"".join(map(bytes, got))).hexdigest())
""")


def test_pool_sizes_and_query_order_give_identical_bytes():
    digests = set()
    for threads in ("1", "2", "3", "7"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", POOL_CHILD], env=env, capture_output=True,
                             text=True, timeout=600)
        assert out.returncode == 0, out.stderr[-2000:]
        digests.add(out.stdout.strip())
    assert len(digests) == 1, digests
