"""QuatList: the container (construction, access, buffer export and borrows),
bulk results bit-identical to the Quat methods for every pool size, and
agreement with scipy's batched Rotation."""

import copy
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from kestrum_py import Array, Quat, QuatList, Vec3d, VecList

from oracle import bits
from purepy_rot import Inputs

transform = pytest.importorskip("scipy.spatial.transform")
scipy_rotation, Slerp = transform.Rotation, transform.Slerp


def comps(q):
    return (q.w, q.i, q.j, q.k)


def raw(ql):
    return memoryview(ql).tobytes()


# -- the container -------------------------------------------------------------

def test_construction_access_and_iteration():
    qs = [Quat(1, 0, 0, 0), Quat(0.5, -0.5, 0.5, -0.5), Quat(-0.0, math.nan, math.inf, 5e-324)]
    ql = QuatList(qs)
    assert len(ql) == 3 and len(QuatList.empty()) == 0 and len(QuatList([])) == 0
    assert [bits(x) for x in comps(ql[2])] == [bits(x) for x in comps(qs[2])]
    got = ql[1]
    got.w = 7.0  # a copy
    assert ql[1].w == 0.5
    with pytest.raises(IndexError, match="Index out of bounds"):
        ql[3]
    with pytest.raises(OverflowError):
        ql[-1]
    it = iter(ql)
    ql.append(Quat(2, 0, 0, 0))  # iteration runs over a snapshot
    assert [comps(q)[0] for q in it][:2] == [1.0, 0.5] and len(ql) == 4
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        ql.extend(ql)  # as VecList: the receiver is borrowed exclusively
    ql.extend(copy.copy(ql))
    assert len(ql) == 8 and raw(ql)[:128] == raw(ql)[128:]
    with pytest.raises(TypeError, match="argument 'quat'"):
        ql.append(Vec3d(1, 2, 3))
    with pytest.raises(TypeError, match="argument 'other'.*'VecList'.*'QuatList'"):
        ql.extend(VecList.empty())
    with pytest.raises(TypeError, match="Quat"):
        QuatList([Quat(1, 0, 0, 0), Vec3d(1, 2, 3)])
    with pytest.raises(TypeError):
        QuatList("wijk")


def test_repr_follows_veclist_style():
    ql = QuatList([Quat(1, 0, 0, 0), Quat(0.5, -0.0, math.nan, 1e300)])
    assert repr(ql) == "[" + "\n".join(repr(q) for q in ql) + "]"
    assert repr(QuatList.empty()) == "[]"


def test_from_array_reads_buffers_and_rows_bit_for_bit():
    src = Inputs(5)
    a = np.array([[src.double() for _ in range(4)] for _ in range(301)])
    a[7] = struct.unpack("<4d", struct.pack("<4Q", 0x7FF800000000ABCD, 0xFFF8000000000001, 0, 1 << 63))
    want = a.tobytes()
    assert raw(QuatList.from_array(a)) == want
    assert raw(QuatList.from_array(a.tolist())) == want
    assert raw(QuatList.from_array(np.asfortranarray(a))) == want
    assert raw(QuatList.from_array(a[::-1])) == a[::-1].tobytes()
    wide = np.zeros((301, 7))
    wide[:, 1:5] = a
    assert raw(QuatList.from_array(wide[:, 1:5])) == want
    with np.errstate(over="ignore"):
        f32 = a.astype(np.float32)
    assert raw(QuatList.from_array(f32)) == f32.astype(np.float64).tobytes()
    assert len(QuatList.from_array(np.zeros((0, 4)))) == 0


@pytest.mark.parametrize("bad,exc,text", [
    (np.zeros((2, 3)), ValueError, r"expected an array of shape \(n, 4\), got shape \(2, 3\)"),
    (np.zeros(4), ValueError, r"shape \(n, 4\), got shape \(4,\)"),
    (np.zeros((1, 4), dtype=np.int64), TypeError, "expected float64 or float32 elements, got int64"),
    ([[1, 2, 3, 4], [1, 2, 3]], ValueError, "row 1 has 3 numbers, expected 4"),
    ([[1, 2, 3, "x"]], TypeError, "row 0, column 3: "),
    ([1.0], TypeError, "row 0: expected a sequence of 4 numbers, got 'float'"),
    ("abcd", TypeError, r"expected an \(n, 4\) array or a sequence of 4-number sequences, got 'str'"),
])
def test_from_array_rejects_bad_shapes_and_types(bad, exc, text):
    with pytest.raises(exc, match=text):
        QuatList.from_array(bad)


def test_buffer_export_and_borrows():
    ql = QuatList([Quat(1, 2, 3, 4), Quat(5, 6, 7, 8)])
    view = memoryview(ql)
    assert (view.shape, view.strides, view.format, view.readonly) == ((2, 4), (32, 8), "d", True)
    arr = np.asarray(ql)
    assert arr.flags.writeable is False and arr.tolist() == [[1, 2, 3, 4], [5, 6, 7, 8]]
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        ql.append(Quat(0, 0, 0, 0))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        ql.extend(ql)
    assert len(ql.conjugate()) == 2  # readers are fine
    view.release()
    del arr
    ql.append(Quat(0, 0, 0, 0))
    assert len(ql) == 3
    twin = copy.deepcopy(ql)
    twin.append(Quat(1, 0, 0, 0))
    assert (len(ql), len(twin), raw(copy.copy(ql))) == (3, 4, raw(ql))


def test_float_results_are_read_only_buffers():
    ql = QuatList([Quat(3, 4, 0, 0), Quat(0, 0, 0, 0)])
    m = ql.magnitude()
    assert (type(m), m.shape, m.strides, m.format, m.readonly) == (Array, (2,), (8,), "d", True)
    assert m.tolist() == [5.0, 0.0] and m[0] == 5.0
    arr = np.asarray(m)
    assert arr.flags.writeable is False and np.shares_memory(arr, np.asarray(m))
    with pytest.raises(TypeError):
        m[0] = 1.0
    assert QuatList.empty().magnitude().tolist() == []


# -- bulk results against Quat, for every pool size ----------------------------------

BITS_CHILD = r"""
import random, struct, sys
from kestrum_py import AngleRadians, Quat, QuatList, Vec3d, VecList
def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]
def f(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]
SPECIALS = [f(b) for b in (0x7FF8000000000000, 0xFFF8000000000000, 0x7FF800000000ABCD,
                           0xFFFC000000001234, 0x7FF0000000000001, 0xFFF4000000000F00)]
SPECIALS += [float("inf"), -float("inf"), 0.0, -0.0, 1.5, -2.0, 5e-324, 1e308]
rng = random.Random(int(sys.argv[1]))
# Seed 1: NaNs everywhere; seed 2: mostly finite, with infinities and zeros
# that make NaNs inside the formulas; seed 3: ordinary rotations; seed 4:
# ordinary numbers, some scaled past where the vectorised paths apply (their
# elements are redone one by one amid the others).
if sys.argv[1] == "3":
    comp = lambda: rng.uniform(-1, 1)
elif sys.argv[1] == "4":
    scales = [1.0] * 24 + [3e6, 2.0**21, 2.0**-27, 1e-170, 1e-300, 1e300]
    comp = lambda: rng.uniform(-4, 4) * rng.choice(scales)
else:
    choices = SPECIALS if sys.argv[1] == "1" else SPECIALS[6:]
    comp = lambda: rng.choice(choices) if rng.random() < 0.5 else rng.uniform(-4, 4)
N = 2600
quats = [Quat(comp(), comp(), comp(), comp()) for _ in range(N)]
others = [Quat(comp(), comp(), comp(), comp()) for _ in range(N)]
vecs = [Vec3d(comp(), comp(), comp()) for _ in range(N)]
ql, pl, vl = QuatList(quats), QuatList(others), VecList(vecs)
def key(x):
    if isinstance(x, Quat):
        return tuple(map(bits, (x.w, x.i, x.j, x.k)))
    if isinstance(x, Vec3d):
        return tuple(map(bits, (x.x, x.y, x.z)))
    if isinstance(x, (tuple, list)):
        return tuple(key(e) for e in x)
    return bits(x.angle if isinstance(x, AngleRadians) else x)
bad = []
def check(name, got, want):
    got, want = [key(g) for g in got], [key(w) for w in want]
    if got != want:
        bad.append((name, sum(g != w for g, w in zip(got, want))))
check("magnitude", ql.magnitude().tolist(), [q.magnitude() for q in quats])
check("normalize", ql.normalize(), [q.normalize() for q in quats])
check("conjugate", ql.conjugate(), [q.conjugate() for q in quats])
check("rotate pairwise", ql.rotate(vl), [q.rotate(v) for q, v in zip(quats, vecs)])
for v in vecs[:3]:
    check("rotate broadcast", ql.rotate(v), [q.rotate(v) for q in quats])
check("inverse", ql.inverse(), [q.inverse() for q in quats])
check("then pairwise", ql.then(pl), [q.then(p) for q, p in zip(quats, others)])
check("angle_to pairwise", ql.angle_to(pl).tolist(), [q.angle_to(p) for q, p in zip(quats, others)])
for t in (0.0, 0.3, 1.0, -2.5):
    check("slerp", ql.slerp(pl, t), [q.slerp(p, t) for q, p in zip(quats, others)])
for p in others[:2]:
    check("then broadcast", ql.then(p), [q.then(p) for q in quats])
    check("Quat.then(QuatList)", p.then(ql), [p.then(q) for q in quats])
    check("angle_to broadcast", ql.angle_to(p).tolist(), [q.angle_to(p) for q in quats])
ts = [comp() for _ in range(N)]
check("slerp_path", QuatList.slerp_path(quats[0], others[0], ts), [quats[0].slerp(others[0], t) for t in ts])
check("as_matrix", ql.as_matrix().tolist(), [q.as_matrix().tolist() for q in quats])
mats = [[[comp() for _ in range(3)] for _ in range(3)] for _ in range(N)]
check("from_matrix", QuatList.from_matrix(mats), [Quat.from_matrix(m) for m in mats])
check("as_rotvec", ql.as_rotvec(), [q.as_rotvec() for q in quats])
check("from_rotvec", QuatList.from_rotvec(vl), [Quat.from_rotvec(v) for v in vecs])
angles = [[comp() for _ in range(3)] for _ in range(N)]
for seq in ("xyz", "ZXZ", "yxy", "XZY"):
    check("as_euler", ql.as_euler(seq).tolist(), [q.as_euler(seq) for q in quats])
    check("from_euler", QuatList.from_euler(seq, angles), [Quat.from_euler(seq, *map(AngleRadians, a)) for a in angles])
# No single-value counterpart: the mean must only be the same for every pool size.
means = [key(ql.mean()), key(QuatList(quats[:1500]).mean())]
print(bad, means)
"""


@pytest.mark.parametrize("threads", ["1", "2", "3", "7"])
def test_bulk_results_match_quat_bit_for_bit_for_every_pool_size(threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(PYTHONPATH=os.pathsep.join(sys.path), RAYON_NUM_THREADS=threads)
    means = []
    for seed in ("1", "2", "3", "4"):
        proc = subprocess.run([sys.executable, "-c", BITS_CHILD, seed], env=env, timeout=300,
                              capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        bad, _, mean = proc.stdout.strip().partition(" ")
        assert bad == "[]", (seed, proc.stdout)
        means.append(mean)
    MEANS.setdefault(tuple(means), []).append(threads)
    assert len(MEANS) == 1, MEANS  # every pool size so far gave the same means


MEANS = {}


def test_pairwise_operations_need_equal_lengths():
    ql = QuatList([Quat(1, 0, 0, 0)] * 3)
    with pytest.raises(ValueError, match=r"rotate: the lists have different lengths \(3 and 2\)"):
        ql.rotate(VecList([Vec3d(1, 0, 0)] * 2))
    short = QuatList([Quat(1, 0, 0, 0)] * 2)
    for call in (lambda: ql.then(short), lambda: ql.angle_to(short), lambda: ql.slerp(short, 0.5)):
        with pytest.raises(ValueError, match=r"the lists have different lengths \(3 and 2\)"):
            call()
    with pytest.raises(ValueError, match=r"^argument 'm': .*shape \(3, 3\) or \(n, 3, 3\), got shape \(3, 2\)"):
        QuatList.from_matrix(np.eye(3)[:, :2])
    with pytest.raises(ValueError, match=r"row 1\[2\] has 2 numbers, expected 3"):
        QuatList.from_matrix([np.eye(3).tolist(), [[1, 0, 0], [0, 1, 0], [0, 1]]])
    with pytest.raises(ValueError, match=r"row 0 has 2 sequences, expected 3"):
        QuatList.from_matrix([[[1, 0, 0], [0, 1, 0]]])
    with pytest.raises(ValueError, match=r"shape \(n, 3\), got shape \(4, 4\)"):
        QuatList.from_euler("xyz", np.zeros((4, 4)))
    with pytest.raises(ValueError, match="invalid Euler sequence 'xxz'"):
        QuatList.from_euler("xxz", np.zeros((4, 3)))
    with pytest.raises(ValueError, match="invalid Euler sequence 'XyZ'"):
        ql.as_euler("XyZ")
    with pytest.raises(ValueError, match=r"shape \(n,\), got shape \(2, 1\)"):
        QuatList.slerp_path(Quat(1, 0, 0, 0), Quat(0, 1, 0, 0), np.zeros((2, 1)))
    with pytest.raises(TypeError, match="item 1: "):
        QuatList.slerp_path(Quat(1, 0, 0, 0), Quat(0, 1, 0, 0), [0.5, "x"])
    with pytest.raises(TypeError, match="argument 'p': 'VecList' object cannot be cast as 'Quat | QuatList'"):
        Quat(1, 0, 0, 0).then(VecList.empty())
    assert np.asarray(QuatList.empty().as_matrix()).shape == (0, 3, 3)
    assert len(QuatList.from_matrix(np.zeros((0, 3, 3)))) == 0
    with pytest.raises(TypeError, match="^argument 'v': expected a Vec3d, a VecList, .* got 'Quat'$"):
        ql.rotate(Quat(1, 0, 0, 0))
    assert len(QuatList.empty().rotate(VecList.empty())) == 0


# -- agreement with scipy ------------------------------------------------------------

def random_quats(n, seed=3):
    rng = np.random.default_rng(seed)
    q = rng.normal(size=(n, 4))
    return q / np.linalg.norm(q, axis=1, keepdims=True)


def to_scipy(wijk):
    # rotate applies q* v q, the inverse of scipy's q v q*: scipy holds the
    # conjugate, in (x, y, z, w) order.
    return scipy_rotation.from_quat(np.column_stack([-wijk[:, 1:], wijk[:, :1]]))


def test_mean_agrees_with_scipy():
    rng = np.random.default_rng(8)
    for n, spread in ((1, 0.0), (7, 0.3), (5000, 0.2), (40_000, 1.0)):
        center = random_quats(1, seed=n)[0]
        wijk = center + spread * rng.normal(size=(n, 4))
        wijk /= np.linalg.norm(wijk, axis=1, keepdims=True)
        wijk[::3] *= -1  # the sign of a quaternion does not matter
        m = QuatList.from_array(wijk).mean()
        ref = to_scipy(wijk).mean().as_quat()
        ref = np.array([ref[3], -ref[0], -ref[1], -ref[2]]) * np.sign(ref[3])
        assert m.w >= 0 and abs(m.magnitude() - 1) <= 2e-16
        np.testing.assert_allclose(comps(m), ref, rtol=0, atol=2e-15 * (1 + 10 * spread))
    ident = QuatList([Quat(1, 0, 0, 0)] * 5).mean()
    assert comps(ident) == (1, 0, 0, 0)
    for degenerate in ([Quat(0, 0, 0, 0)], [Quat(1, 0, 0, 0), Quat(math.nan, 0, 0, 0)], [Quat(math.inf, 0, 0, 0)]):
        assert all(math.isnan(x) for x in comps(QuatList(degenerate).mean()))
    with pytest.raises(ValueError, match="mean of an empty QuatList"):
        QuatList.empty().mean()


def test_batched_operations_agree_with_scipy():
    n = 3000
    a, b = random_quats(n, 5), random_quats(n, 6)
    ql, pl, ra, rb = QuatList.from_array(a), QuatList.from_array(b), to_scipy(a), to_scipy(b)

    def close(got, want, atol=2e-15):
        np.testing.assert_allclose(np.asarray(got), want, rtol=0, atol=atol)

    def same_rotation(got, r, atol=3e-15):
        # q and -q are one rotation: compare the quaternions up to sign.
        want = r.as_quat()
        want = np.column_stack([want[:, 3], -want[:, :3]])
        got = np.asarray(got)
        close(got * np.sign(np.sum(got * want, axis=1))[:, None], want, atol)

    same_rotation(ql.then(pl), rb * ra)
    same_rotation(ql.inverse(), ra.inv())
    close(ql.as_matrix(), ra.as_matrix())
    same_rotation(QuatList.from_matrix(ra.as_matrix()), ra)
    close(ql.as_rotvec(), ra.as_rotvec(), 4e-15)
    same_rotation(QuatList.from_rotvec(ra.as_rotvec()), ra)
    same_rotation(QuatList.from_rotvec(VecList.from_array(ra.as_rotvec())), ra)
    close(ql.angle_to(pl), (ra.inv() * rb).magnitude(), 1e-14)
    for seq in ("xyz", "ZYX", "zxz", "XYX"):
        angles = ra.as_euler(seq)
        close(ql.as_euler(seq), angles, 1e-14)
        same_rotation(QuatList.from_euler(seq, angles), ra)
    ts = np.linspace(0, 1, 11)
    path = QuatList.slerp_path(ql[0], ql[1], ts)
    same_rotation(path, Slerp([0, 1], to_scipy(a[:2]))(ts))
    # Halfway along the shorter arc: half the angle from each end.
    half, full = ql.slerp(pl, 0.5), np.asarray(ql.angle_to(pl))
    close(half.angle_to(ql), full / 2, 1e-13)
    close(half.angle_to(pl), full / 2, 1e-13)


def test_rotate_agrees_with_scipy():
    wijk = random_quats(2000)
    ql, r = QuatList.from_array(wijk), to_scipy(wijk)
    v = np.random.default_rng(4).normal(size=(2000, 3))
    np.testing.assert_allclose(np.asarray(ql.rotate(VecList.from_array(v))), r.apply(v), rtol=0, atol=1e-14)
    np.testing.assert_allclose(np.asarray(ql.rotate(Vec3d(1, -2, 0.5))), r.apply([1, -2, 0.5]), rtol=0, atol=1e-14)
    np.testing.assert_allclose(np.asarray(ql.magnitude()), np.linalg.norm(wijk, axis=1), rtol=0, atol=1e-15)
    np.testing.assert_allclose(np.asarray(ql.normalize()), wijk, rtol=0, atol=1e-15)
