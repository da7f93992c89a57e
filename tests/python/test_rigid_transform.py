"""RigidTransform, VecList.mean/take and weighted QuatList.mean against numpy
references over seeded inputs; bit identity compares full bit patterns."""
import copy
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from kestrum_py import Quat, QuatList, RigidTransform, Vec3d, VecList


def bits(a):
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)


def random_transform(rng, scale=10.0):
    return RigidTransform(Quat.from_rotvec(rng.normal(size=3)), rng.normal(scale=scale, size=3))


def matrix(t):
    return np.asarray(t.as_matrix())


def test_apply_is_single_apply_and_numpy():
    rng = np.random.default_rng(7)
    for _ in range(5):
        t = random_transform(rng)
        x = rng.normal(scale=100, size=(3000, 3))
        x[5] = [np.nan, 1.0, 2.0]
        x[9] = [np.inf, -np.inf, 0.0]
        single = np.array([[v.x, v.y, v.z] for v in (t.apply(Vec3d(*p)) for p in x)])
        for given in (x, VecList.from_array(x), x[::-1][::-1], x.tolist()):
            assert (bits(t.apply(given)) == bits(single)).all()
        x32 = x.astype(np.float32)
        assert (bits(t.apply(x32)) == bits(t.apply(x32.astype(np.float64)))).all()
        m = matrix(t)
        ok = np.isfinite(x).all(axis=1)
        np.testing.assert_allclose(single[ok], x[ok] @ m[:3, :3].T + m[:3, 3], rtol=1e-12, atol=1e-9)
        assert isinstance(t.apply([1.0, 2.0, 3.0]), Vec3d)
        assert len(t.apply(VecList.empty())) == 0


def test_then_inverse_and_matrix_round_trip():
    rng = np.random.default_rng(8)
    x = rng.normal(size=(200, 3))
    for _ in range(20):
        t, u = random_transform(rng), random_transform(rng)
        np.testing.assert_allclose(np.asarray(t.inverse().apply(t.apply(x))), x, atol=1e-12)
        np.testing.assert_allclose(np.asarray(t.then(u).apply(x)), np.asarray(u.apply(t.apply(x))), atol=1e-12)
        m = matrix(t)
        assert (m[3] == [0, 0, 0, 1]).all()
        assert (bits(m[:3, :3]) == bits(t.rotation.as_matrix())).all()
        back = RigidTransform.from_matrix(m)
        np.testing.assert_allclose(matrix(back), m, atol=1e-15)
        assert back.rotation.w >= 0
    v = RigidTransform.identity().apply(Vec3d(1, 2, 3))
    assert (v.x, v.y, v.z) == (1, 2, 3)


def test_from_matrix_refuses_what_is_not_rigid():
    m = np.eye(4)
    for bad, text in [
        (np.diag([1.0, 1, 1, 2]), "bottom row"),
        (np.diag([1.0, 1, -1, 1]), "reflection"),
        (np.diag([1.0, 1, 1 + 1e-9, 1]), "not a rotation"),
        (np.r_[np.c_[np.eye(3), [np.nan, 0, 0]], [[0, 0, 0, 1]]], "finite"),
        (np.eye(3), "shape"), (np.eye(5)[:, :4], "4x4"),
    ]:
        with pytest.raises(ValueError, match=text):
            RigidTransform.from_matrix(bad)
    m[:3, :3] = Quat.from_rotvec([0.3, 0.2, 0.1]).as_matrix()
    RigidTransform.from_matrix(m)


def kabsch(a, b, w):
    ca, cb = (w[:, None] * a).sum(0) / w.sum(), (w[:, None] * b).sum(0) / w.sum()
    u, _, vt = np.linalg.svd((w[:, None] * (a - ca)).T @ (b - cb))
    d = np.sign(np.linalg.det(vt.T @ u.T))
    r = vt.T @ np.diag([1, 1, d]) @ u.T
    return r, cb - r @ ca


def test_align_matches_kabsch_with_and_without_weights():
    rng = np.random.default_rng(9)
    for n in (3, 10, 700):
        a = rng.normal(scale=5, size=(n, 3))
        b = a @ np.linalg.qr(rng.normal(size=(3, 3)))[0].T + rng.normal(scale=0.1, size=(n, 3)) + 4.0
        for w in (None, rng.uniform(0, 3, n)):
            t, rmsd = RigidTransform.align(a, b, w)
            r, tr = kabsch(a, b, np.ones(n) if w is None else w)
            if np.linalg.det(r) > 0:
                np.testing.assert_allclose(matrix(t)[:3, :3], r, atol=1e-9)
                np.testing.assert_allclose(matrix(t)[:3, 3], tr, atol=1e-8)
            ww = np.ones(n) if w is None else w
            res = ((np.asarray(t.apply(a)) - b) ** 2).sum(1)
            assert rmsd == pytest.approx(math.sqrt((ww * res).sum() / ww.sum()), rel=1e-9)
    t, rmsd = RigidTransform.align(a, b, np.ones(len(a)))
    assert (t, rmsd) == RigidTransform.align(VecList.from_array(a), b)


def test_align_and_mean_refuse_bad_input():
    a = np.zeros((4, 3))
    for args, text in [((a, a[:3]), "differ in length"), ((a[:0], a[:0]), "at least one"),
                       ((a, a, [1, 1, 1]), "expected 4 weights"), ((a, a, [1, -1, 1, 1]), "weights\\[1\\]"),
                       ((a, a, [1, 1, np.nan, 1]), "weights\\[2\\]"), ((a, a, [0, 0, 0, 0]), "all zero")]:
        with pytest.raises(ValueError, match=text):
            RigidTransform.align(*args)
    with pytest.raises(ValueError, match="empty"):
        VecList.empty().mean()
    q = QuatList.from_array([[1, 0, 0, 0]] * 3)
    for w, text in [([1, 2], "expected 3"), ([1, math.inf, 1], "weights\\[1\\]"), ([0, 0, 0], "all zero")]:
        with pytest.raises(ValueError, match=text):
            q.mean(w)


def test_mean_is_close_to_fsum_and_propagates_nan():
    rng = np.random.default_rng(10)
    for n in (1, 255, 257, 5000):
        x = rng.normal(loc=1e3, scale=1e3, size=(n, 3))
        m = VecList.from_array(x).mean()
        for got, col in zip((m.x, m.y, m.z), x.T):
            exact = math.fsum(col) / n
            # the recursive-summation bound (n - 1) u sum|x|, u = 2**-53, then one division
            assert abs(got - exact) <= (n - 1) * 2.0**-53 * np.abs(col).sum() / n + abs(exact) * 2.0**-52
    x[17, 1] = np.nan
    m = VecList.from_array(x).mean()
    assert not math.isnan(m.x) and math.isnan(m.y)


def test_take_matches_numpy_indexing():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(100, 3))
    vl = VecList.from_array(x)
    idx = rng.integers(-100, 100, 500)
    for given in (idx, idx.astype(np.int32), list(idx), idx[::-1][::-1]):
        assert (bits(vl.take(given)) == bits(x[idx])).all()
    assert len(vl.take([])) == 0
    for bad in ([0, 100], [-101], np.array([2**63], dtype=np.uint64)):
        with pytest.raises(IndexError, match=str(np.asarray(bad)[-1])):
            vl.take(bad)
    for bad in ([1.0], np.zeros(3), "01"):
        with pytest.raises(TypeError):
            vl.take(bad)


def test_weighted_quat_mean():
    rng = np.random.default_rng(12)
    q = QuatList.from_array(rng.normal(size=(50, 4)))
    one, plain = q.mean(np.ones(50)), q.mean()
    assert (bits([one.w, one.i, one.j, one.k]) == bits([plain.w, plain.i, plain.j, plain.k])).all()
    counts = rng.integers(0, 4, 50)
    counts[0] = 1
    repeated = QuatList.from_array(np.repeat(np.asarray(q), counts, axis=0)).mean()
    weighted = q.mean(counts.astype(float))
    assert abs(abs(np.dot([weighted.w, weighted.i, weighted.j, weighted.k],
                          [repeated.w, repeated.i, repeated.j, repeated.k])) - 1) < 1e-12


def test_equality_pickling_copies_and_repr():
    t = RigidTransform(Quat(0.5, 0.5, 0.5, 0.5), Vec3d(1, -0.0, 2.5))
    assert repr(t) == "RigidTransform(Quat(0.5, 0.5, 0.5, 0.5), Vec3d(1, -0, 2.5))"
    for c in (pickle.loads(pickle.dumps(t, protocol=p)) for p in range(6)):
        assert c == t and (bits(matrix(c)) == bits(matrix(t))).all()
    assert copy.copy(t) == t and copy.deepcopy(t) == t and t != t.inverse()
    assert t.rotation.w == 0.5 and t.translation.z == 2.5
    with pytest.raises(TypeError):
        hash(t)


POOL_CHILD = r"""
import hashlib, numpy as np, kestrum_py as k
rng = np.random.default_rng(3)
a = rng.normal(size=(20000, 3)) * 50
b = np.asarray(k.RigidTransform(k.Quat.from_rotvec([0.3, -0.2, 0.1]), [1, 2, 3]).apply(a)) + rng.normal(size=a.shape)
w = rng.uniform(0, 2, len(a))
h = hashlib.sha256()
t, r = k.RigidTransform.align(a, b, w)
h.update(np.asarray(t.as_matrix()).tobytes() + np.float64(r).tobytes())
m = k.VecList.from_array(a).mean()
h.update(np.array([m.x, m.y, m.z]).tobytes())
h.update(np.asarray(t.apply(a)).tobytes())
q = k.QuatList.from_array(rng.normal(size=(5000, 4))).mean(rng.uniform(0, 1, 5000))
h.update(np.array([q.w, q.i, q.j, q.k]).tobytes())
print(h.hexdigest())
"""


def test_fits_are_identical_for_every_pool_size():
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    base["PYTHONPATH"] = os.pathsep.join(sys.path)
    digests = set()
    for threads in ("1", "2", "3", "7"):
        proc = subprocess.run([sys.executable, "-c", POOL_CHILD], env={**base, "RAYON_NUM_THREADS": threads},
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1 and len(digests.pop()) == 64
