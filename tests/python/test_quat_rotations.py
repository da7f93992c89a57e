"""Quat composition, interpolation, conversions and best-fit rotation, against
scipy's Rotation (the stored quaternion is the conjugate of scipy's), mpmath
and the pure-Python Hamilton product."""

import math
import os
import random
import subprocess
import sys
import warnings

import pytest

import purepy_rot as ref
from kestrum_py import AngleRadians, Mat3, Quat, Vec3d, VecList

np = pytest.importorskip("numpy")
# The python stages install the test extra, which has mpmath: there a missing
# one is a failure, never a silently skipped file.
if os.environ.get("KESTRUM_REQUIRE_EXAMPLES") == "1":
    import mpmath as mp
else:
    mp = pytest.importorskip("mpmath")
Rotation = pytest.importorskip("scipy.spatial.transform").Rotation
Slerp = pytest.importorskip("scipy.spatial.transform").Slerp

mp.mp.dps = 40
EPS = 2.0**-52
NAN = math.nan
SEQS = [a + b + c for a in "xyz" for b in "xyz" for c in "xyz" if a != b and b != c]
SEQS += [s.upper() for s in SEQS]


def fields(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


def to_scipy(q):
    return Rotation.from_quat([-q.i, -q.j, -q.k, q.w])


def from_scipy(r):
    x, y, z, w = r.as_quat().tolist()
    return Quat(w, -x, -y, -z)


def qdiff(a, b):
    """Largest component difference of two quaternions of the same rotation (sign aligned)."""
    a, b = fields(a), fields(b)
    s = 1.0 if sum(x * y for x, y in zip(a, b)) >= 0 else -1.0
    return max(abs(x - s * y) for x, y in zip(a, b))


def mp_err(exact, got):
    return max(abs(float(e - mp.mpf(g))) for e, g in zip(exact, got))


def unit_quats(seed, n):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        v = [rng.gauss(0, 1) for _ in range(4)]
        m = math.sqrt(sum(x * x for x in v))
        out.append(Quat(*[x / m for x in v]))
    return out


def rand_vec(rng):
    return Vec3d(rng.gauss(0, 1), rng.gauss(0, 1), rng.gauss(0, 1))


# -- against scipy and mpmath over random rotations ------------------------------

def test_then_and_inverse_are_few_ulps_from_exact():
    qs = unit_quats(1, 300)
    rng = random.Random(1)
    for q, p in zip(qs, qs[1:]):
        t = q.then(p)
        # one Hamilton product q p in the library's term order: the same bits
        assert ref.same_all(fields(t), ref.hamilton(fields(q), fields(p)))
        assert qdiff(t, from_scipy(to_scipy(p) * to_scipy(q))) <= 2 * EPS
        v = rand_vec(rng)
        assert max(abs(x - y) for x, y in zip(vec(t.rotate(v)), vec(p.rotate(q.rotate(v))))) <= 4 * EPS * v.magnitude()
        a = [mp.mpf(x) for x in fields(q)]
        n2 = sum(x * x for x in a)
        assert mp_err([a[0] / n2, -a[1] / n2, -a[2] / n2, -a[3] / n2], fields(q.inverse())) <= 2 * EPS
        assert qdiff(q.inverse(), from_scipy(to_scipy(q).inv())) <= 2 * EPS
    for scale in (1e-150, 1e-3, 7.0, 1e150):  # any non-zero magnitude
        q = Quat(*[scale * x for x in fields(qs[0])])
        back = q.inverse().rotate(q.rotate(Vec3d(1, -2, 0.5))) if 1e-100 < scale < 1e100 else None
        if back:
            assert max(abs(x - y) for x, y in zip(vec(back), (1, -2, 0.5))) <= 1e-14
        assert max(abs(x * scale - y) for x, y in zip(fields(q.inverse()), fields(qs[0].inverse()))) <= 4 * EPS
    assert all(math.isnan(x) for x in fields(Quat(0, 0, 0, 0).inverse()))


def test_matrix_and_rotation_vector_conversions_match_scipy():
    rng = random.Random(2)
    for q in unit_quats(2, 300):
        r = to_scipy(q)
        m = q.as_matrix()
        assert type(m) is Mat3 and len(m) == 3
        assert np.max(np.abs(np.array(m) - r.as_matrix())) <= 4 * EPS
        v = rand_vec(rng)
        assert np.max(np.abs(np.array(m) @ np.array(vec(v)) - np.array(vec(q.rotate(v))))) <= 8 * EPS
        # for a unit q, the transpose of the conventional matrix
        assert np.max(np.abs(np.array(m).T - np.array(q.to_rotation_matrix()))) <= 4 * EPS
        f = Quat.from_matrix(r.as_matrix())
        assert f.w >= 0 and qdiff(f, q) <= 2 * EPS
        assert qdiff(Quat.from_matrix(m), q) <= 2 * EPS  # round trip
        rv = q.as_rotvec()
        assert np.max(np.abs(np.array(vec(rv)) - r.as_rotvec())) <= 1e-15
        assert rv.magnitude() <= math.pi
        assert qdiff(Quat.from_rotvec(rv), q) <= 2 * EPS
        # from_rotvec against the exact (cos |v|/2, -sin(|v|/2) v / |v|)
        x = [mp.mpf(c) for c in vec(rv)]
        t = mp.sqrt(sum(c * c for c in x))
        assert mp_err([mp.cos(t / 2)] + [-mp.sin(t / 2) * c / t for c in x], fields(Quat.from_rotvec(rv))) <= 2 * EPS
    # a matrix off orthonormal by d gives a rotation within about d of the nearest one
    rng2 = np.random.default_rng(2)
    for q in unit_quats(6, 20):
        m = np.array(q.as_matrix())
        for d in (1e-12, 1e-6):
            bent = m + rng2.uniform(-d, d, size=(3, 3))
            u, _, vt = np.linalg.svd(bent)
            nearest = from_scipy(Rotation.from_matrix(u @ vt))
            assert qdiff(Quat.from_matrix(bent), nearest) <= 4 * d
    # the matrix argument: rows of numbers or a (3, 3) float64/float32 buffer
    m = Quat.from_axis_angle(Vec3d(1, 2, 3).normalize(), AngleRadians(0.7)).as_matrix()
    want = fields(Quat.from_matrix(m))
    assert fields(Quat.from_matrix(np.array(m))) == want
    assert fields(Quat.from_matrix(np.array(m).T.copy().T)) == want  # Fortran order
    assert fields(Quat.from_matrix(tuple(tuple(r) for r in m))) == want
    assert qdiff(Quat.from_matrix(np.array(m, dtype=np.float32)), Quat(*want)) <= 1e-7


def test_angle_to_slerp_and_between_match_scipy():
    qs = unit_quats(3, 300)
    rng = random.Random(3)
    for q, p in zip(qs, qs[1:]):
        a = q.angle_to(p)
        assert type(a) is AngleRadians and 0 <= a.angle <= math.pi
        assert abs(a.angle - (to_scipy(q).inv() * to_scipy(p)).magnitude()) <= 1e-15
        t = rng.uniform(0, 1)
        s = q.slerp(p, t)
        want = from_scipy(Slerp([0, 1], Rotation.concatenate([to_scipy(q), to_scipy(p)]))([t])[0])
        assert qdiff(s, want) <= 1e-15
        assert abs(float(mp.sqrt(sum(mp.mpf(x) ** 2 for x in fields(s)))) - 1) <= EPS
        # the angle travelled is t of the whole (extrapolation too)
        for tt in (t, -0.5, 1.75):
            travelled = (abs(tt) * q.angle_to(p).angle) % (2 * math.pi)
            assert abs(q.angle_to(q.slerp(p, tt)).angle - min(travelled, 2 * math.pi - travelled)) <= 1e-14
        u, v = rand_vec(rng), rand_vec(rng)
        b = Quat.between(u, v)
        # exact: (1 + cos, sin * axis) of the unit vectors, conjugated; the
        # error grows as 1 / cos(angle / 2) towards antiparallel
        mu = [mp.mpf(c) for c in vec(u)]
        mv = [mp.mpf(c) for c in vec(v)]
        nu, nv = mp.sqrt(sum(c * c for c in mu)), mp.sqrt(sum(c * c for c in mv))
        mu, mv = [c / nu for c in mu], [c / nv for c in mv]
        w = 1 + sum(x * y for x, y in zip(mu, mv))
        c = [mv[1] * mu[2] - mv[2] * mu[1], mv[2] * mu[0] - mv[0] * mu[2], mv[0] * mu[1] - mv[1] * mu[0]]
        n = mp.sqrt(w * w + sum(x * x for x in c))
        exact = [w / n] + [x / n for x in c]
        assert mp_err(exact, fields(b)) <= 4 * EPS / float(exact[0])
        rb, vn = b.rotate(u).normalize(), v.normalize()
        assert max(abs(x - y) for x, y in zip(vec(rb), vec(vn))) <= 8 * EPS / float(exact[0])


def test_every_euler_sequence_matches_scipy_and_round_trips():
    qs = unit_quats(4, 60)
    rng = random.Random(4)
    for seq in SEQS:
        for q in qs:
            e = q.as_euler(seq)
            assert type(e) is tuple and len(e) == 3 and all(type(x) is AngleRadians for x in e)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                want = to_scipy(q).as_euler(seq)
            assert max(abs(x.angle - y) for x, y in zip(e, want)) <= 1e-15
            assert qdiff(Quat.from_euler(seq, *e), q) <= 4 * EPS
        angles = [AngleRadians(rng.uniform(-4, 4)) for _ in range(3)]
        assert qdiff(Quat.from_euler(seq, *angles), from_scipy(Rotation.from_euler(seq, [a.angle for a in angles]))) <= 2 * EPS
    # Euler angles do not depend on the magnitude, whose squares would
    # under- or overflow
    for q in qs[:10]:
        for scale in (2.0**-1000, 1e-200, 1e200, 2.0**1000):
            big = Quat(*[scale * x for x in fields(q)])
            for seq in ("xyz", "ZXZ"):
                assert max(abs(x.angle - y.angle) for x, y in zip(big.as_euler(seq), q.as_euler(seq))) <= 1e-13
    # extrinsic xyz is x first, then y, then z about fixed axes
    a, b, c = AngleRadians(0.3), AngleRadians(-1.1), AngleRadians(2.0)
    chain = Quat.from_axis_angle(Vec3d.i(), a).then(Quat.from_axis_angle(Vec3d.j(), b)).then(Quat.from_axis_angle(Vec3d.k(), c))
    assert qdiff(Quat.from_euler("xyz", a, b, c), chain) <= 2 * EPS
    assert qdiff(Quat.from_euler("ZYX", c, b, a), chain) <= 2 * EPS


@pytest.mark.parametrize("seq", SEQS)
def test_gimbal_lock_sets_the_third_angle_to_zero_like_scipy(seq):
    proper = seq[0].lower() == seq[2].lower()
    for middle in ((0.0, math.pi) if proper else (math.pi / 2, -math.pi / 2)):
        for tiny in (0.0, 3e-8):
            angles = [0.4, middle + tiny if middle <= 0 or not proper else middle - tiny, -1.3]
            q = Quat.from_euler(seq, *map(AngleRadians, angles))
            e = q.as_euler(seq)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                want = to_scipy(q).as_euler(seq)
            assert e[2].angle == 0.0 and want[2] == 0.0
            assert max(abs(x.angle - y) for x, y in zip(e, want)) <= 1e-14
            assert qdiff(Quat.from_euler(seq, *e), q) <= 1e-7  # the same rotation up to the lock threshold


def test_just_outside_gimbal_lock_matches_scipy():
    # Middle angles 1.2e-7 to 9e-7 from a lock: past the threshold, so all
    # three angles are defined (scipy warns of no lock) and must be scipy's.
    rng = random.Random(27)
    for seq in SEQS:
        locks = (0.0, math.pi) if seq[0].lower() == seq[2].lower() else (math.pi / 2, -math.pi / 2)
        for _ in range(8):
            lock, off = rng.choice(locks), math.exp(rng.uniform(math.log(1.2e-7), math.log(9e-7)))
            angles = [rng.uniform(-3, 3), lock + off if lock <= 0 else lock - off, rng.uniform(-3, 3)]
            q = Quat.from_euler(seq, *map(AngleRadians, angles))
            e = q.as_euler(seq)
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                want = to_scipy(q).as_euler(seq)
            assert max(abs(x.angle - y) for x, y in zip(e, want)) <= 1e-15, (seq, angles, e, want)
            assert qdiff(Quat.from_euler(seq, *e), q) <= 2 * EPS


# -- half-turns, tiny angles, specials ----------------------------------------------

def test_half_turns():
    axes = [Vec3d.i(), Vec3d.j(), Vec3d.k(), Vec3d(1, 1, 0).normalize(), Vec3d(-1, 2, -3).normalize()]
    for axis in axes:
        q = Quat.from_rotvec(axis * math.pi)
        f = Quat.from_matrix(q.as_matrix())
        assert f.w >= 0 and qdiff(f, q) <= 2 * EPS
        assert qdiff(Quat.from_matrix(to_scipy(q).as_matrix()), q) <= 2 * EPS
        assert abs(q.as_rotvec().magnitude() - math.pi) <= 2 * EPS
        assert abs(abs(q.as_rotvec().dot(axis)) - math.pi) <= 4 * EPS
        assert abs(Quat.identity().angle_to(q).angle - math.pi) <= 2 * EPS
        # antiparallel: a half-turn about an axis perpendicular to a, always the same
        for a in (axis, axis * 1e-300, axis * 3e200):
            b = Quat.between(a, -a * 2.5)
            assert b.w <= EPS and abs(Vec3d(b.i, b.j, b.k).dot(axis)) <= EPS
            assert fields(b) == fields(Quat.between(a, -a * 2.5))
            assert abs(b.magnitude() - 1) <= EPS
    assert fields(Quat.from_matrix([[1, 0, 0], [0, -1, 0], [0, 0, -1]])) == (0.0, 1.0, 0.0, 0.0)
    assert fields(Quat.between(Vec3d.i(), -Vec3d.i())) == (0.0, 0.0, 0.0, 1.0)
    assert fields(Quat.between(Vec3d(1, 2, 3), Vec3d(2, 4, 6))) == (1.0, 0.0, 0.0, 0.0)
    assert all(math.isnan(x) for x in fields(Quat.between(Vec3d.zero(), Vec3d.i())))
    assert all(math.isnan(x) for x in fields(Quat.between(Vec3d.i(), Vec3d(math.inf, 0, 0))))


@pytest.mark.parametrize("angle", [1e-4, 1e-7, 1e-8, 3e-9, 1e-16, 1e-100, 1e-300, 2.2250738585072014e-308, 1e-310, 5e-324])
def test_tiny_angles_down_to_subnormals(angle):
    axis = (0.6, -0.8, 0.0)
    v = Vec3d(*[angle * c for c in axis])
    q = Quat.from_rotvec(v)
    exact_t = mp.sqrt(sum(mp.mpf(c) ** 2 for c in vec(v)))
    exact = [mp.cos(exact_t / 2)] + [-mp.sin(exact_t / 2) * mp.mpf(c) / exact_t for c in vec(v)]
    for e, g in zip(exact, fields(q)):  # a few ulps of each component, subnormals on their own grid
        assert abs(float(e - mp.mpf(g))) <= 2 * max(math.ulp(float(e)), math.ulp(g)), (e, g)
    back = q.as_rotvec()
    for c, b in zip(vec(v), vec(back)):
        assert abs(c - b) <= 4 * max(math.ulp(c), math.ulp(b))
    # as_rotvec of a near-identity quaternion built directly: the exact angle
    # is 2 atan2(|u|, w)
    q2 = Quat(1.0, angle, 0.0, 0.0)
    ex = 2 * mp.atan2(mp.mpf(angle), 1)
    assert abs(float(-ex - mp.mpf(q2.as_rotvec().x))) <= 2 * math.ulp(float(ex))
    assert abs(float(ex - mp.mpf(q2.angle_to(Quat.identity()).angle))) <= 2 * math.ulp(float(ex))
    # to_axis_angle is documented to lose these; as_rotvec keeps them
    p = Quat.identity().slerp(q, 0.5)
    assert not any(math.isnan(x) for x in fields(p))


def test_slerp_is_exact_to_an_ulp_at_every_arc_length():
    # The arc's angle comes from acos, whose error grows as the inputs near
    # each other; the normalised result must not inherit it.
    rng = random.Random(8)
    for q in unit_quats(8, 40):
        for angle in (3.0, 1.0, 1e-1, 1e-3, 1e-5, 1e-7, 3e-8):
            axis = rand_vec(rng).normalize()
            step = Quat.from_axis_angle(axis, AngleRadians(angle))
            p = q.then(step)
            t = rng.uniform(-0.5, 1.5)
            a, b = [mp.mpf(x) for x in fields(q)], [mp.mpf(x) for x in fields(p)]
            dot = sum(x * y for x, y in zip(a, b))
            if dot < 0:
                b, dot = [-x for x in b], -dot
            phi = mp.acos(dot / mp.sqrt(sum(x * x for x in a) * sum(x * x for x in b)))
            r = [mp.sin((1 - t) * phi) * x + mp.sin(t * phi) * y for x, y in zip(a, b)]
            n = mp.sqrt(sum(x * x for x in r))
            assert mp_err([x / n for x in r], fields(q.slerp(p, t))) <= 2 * EPS, (angle, t)


def test_identities_and_exact_endpoints():
    assert ref.same_all(fields(Quat.from_rotvec(Vec3d.zero())), (1.0, 0.0, 0.0, 0.0))
    assert ref.same_all(fields(Quat.from_rotvec(Vec3d(-0.0, 0.0, -0.0))), (1.0, 0.0, 0.0, 0.0))
    assert ref.same_all(vec(Quat.identity().as_rotvec()), (0.0, 0.0, 0.0))
    assert ref.same_all(vec(Quat(-1, 0, 0, 0).as_rotvec()), (0.0, 0.0, 0.0))
    assert Quat.identity().as_matrix() == [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    assert ref.same_all(fields(Quat.from_matrix([[1, 0, 0], [0, 1, 0], [0, 0, 1]])), (1.0, 0.0, 0.0, 0.0))
    q, p = unit_quats(5, 2)
    negp = Quat(*[-x for x in fields(p)])
    for other in (p, negp):
        assert ref.same_all(fields(q.slerp(other, 0.0)), fields(q))
        ends = fields(q.slerp(other, 1.0))
        sign = 1.0 if sum(x * y for x, y in zip(fields(q), fields(other))) >= 0 else -1.0
        assert ref.same_all(ends, [sign * x for x in fields(other)])
    # the shorter arc: interpolating towards -p is interpolating towards p
    assert qdiff(q.slerp(p, 0.3), q.slerp(negp, 0.3)) <= EPS
    for r in (q, Quat(*[x * (1 + EPS) for x in fields(q)]), Quat(q.w, q.i + 1e-17, q.j, q.k)):
        for t in (0.25, 0.5, 2.0, -1.0):
            s = q.slerp(r, t)
            assert not any(math.isnan(x) for x in fields(s)) and qdiff(s, q) <= 4 * EPS
        assert q.angle_to(r).angle <= 1e-15
    assert q.angle_to(q).angle == 0.0 and q.angle_to(Quat(*[-x for x in fields(q)])).angle == 0.0
    assert math.isnan(q.slerp(p, NAN).w)


# -- argument errors ---------------------------------------------------------------

@pytest.mark.parametrize("seq", ["xxy", "xyy", "xy", "xyzx", "xYz", "XyZ", "abc", "", "x y", "XXZ", "wxy"])
def test_bad_euler_sequences(seq):
    q = Quat.identity()
    a = AngleRadians(0.1)
    for call in (lambda: q.as_euler(seq), lambda: Quat.from_euler(seq, a, a, a)):
        with pytest.raises(ValueError, match=r"invalid Euler sequence .*'xyz', 'ZYX' or 'zxz'"):
            call()
    with pytest.raises(TypeError, match="argument 'seq'"):
        q.as_euler(b"xyz")
    with pytest.raises(TypeError, match="argument 'b'"):
        Quat.from_euler("xyz", a, 0.1, a)


@pytest.mark.parametrize("m, error", [
    ([[1, 0, 0], [0, 1, 0]], ValueError),
    ([[1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 0, 0]], ValueError),
    ([[1, 0], [0, 1], [0, 0]], ValueError),
    ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]], ValueError),
    ("np.eye(4)", ValueError),
    ("np.eye(3).reshape(9)", ValueError),
    ("np.eye(3).reshape(1, 3, 3)", ValueError),
    ("np.zeros((2, 3))", ValueError),
    ("np.eye(3, dtype=int)", TypeError),
    ([[1, 0, 0], [0, 1, 0], [0, 0, "1"]], TypeError),
    (3.0, TypeError),
    ("xyz", TypeError),
    (Vec3d(1, 2, 3), TypeError),
])
def test_bad_matrix_shapes(m, error):
    if isinstance(m, str) and m.startswith("np."):
        m = eval(m)
    with pytest.raises(error) as info:
        Quat.from_matrix(m)
    if error is TypeError:
        assert str(info.value).startswith("argument 'm': ")


# -- align ----------------------------------------------------------------------------

def align_data(n, seed, noise):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 3)) * 3
    r = Rotation.random(random_state=seed)
    b = r.apply(a) + rng.normal(size=(n, 3)) * noise
    return a, b, r


@pytest.mark.parametrize("n, noise", [(1, 0.0), (2, 0.0), (3, 0.0), (50, 0.0), (1000, 0.0), (7, 0.3), (5000, 0.05)])
def test_align_exact_and_noisy_against_scipy(n, noise):
    a, b, r = align_data(n, n, noise)
    q, rmsd = Quat.align(VecList.from_array(a), VecList.from_array(b))
    assert type(rmsd) is float and abs(q.magnitude() - 1) <= 2 * EPS and q.w >= 0
    got = np.array([vec(q.rotate(Vec3d(*row))) for row in a])
    assert abs(rmsd - math.sqrt(np.mean(np.sum((got - b) ** 2, axis=1)))) <= 1e-12
    if n >= 3:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            want, rssd = Rotation.align_vectors(b, a)
        assert qdiff(q, from_scipy(want)) <= 1e-14
        if noise:  # scipy's residual comes from the eigenvalue: noise of 1e-7 on a close fit
            assert abs(rmsd - rssd / math.sqrt(n)) <= 1e-12
    if noise == 0.0:
        assert rmsd <= 1e-14 * 3
        assert np.max(np.abs(got - b)) <= 1e-13
        if n >= 2:
            assert qdiff(q, from_scipy(r)) <= 1e-14
    else:
        assert rmsd > noise / 2


def test_align_degenerate_and_bad_inputs():
    d = Vec3d(1, 2, 2)
    q = Quat.from_rotvec(Vec3d(0.3, -0.2, 1.0))
    a = VecList([d, d * -2.0, d * 0.5])
    b = VecList([q.rotate(d), q.rotate(d) * -2.0, q.rotate(d) * 0.5])
    r1, e1 = Quat.align(a, b)
    r2, e2 = Quat.align(a, b)
    assert fields(r1) == fields(r2) and e1 == e2  # deterministic
    assert max(abs(x - y) for x, y in zip(vec(r1.rotate(d)), vec(q.rotate(d)))) <= 1e-14 and e1 <= 1e-14
    z = VecList([Vec3d.zero()] * 4)
    assert fields(Quat.align(z, z)[0]) == (1.0, 0.0, 0.0, 0.0)
    nan_q, nan_e = Quat.align(VecList([Vec3d(NAN, 0, 0), d]), VecList([d, d]))
    assert all(math.isnan(x) for x in fields(nan_q)) and math.isnan(nan_e)
    with pytest.raises(ValueError, match=r"a and b differ in length \(3 and 2\)"):
        Quat.align(a, VecList([d, d]))
    with pytest.raises(ValueError, match="at least one pair"):
        Quat.align(VecList([]), VecList([]))
    with pytest.raises(TypeError, match="argument 'b'"):
        Quat.align(a, [d, d, d])


ALIGN_CHILD = r"""
import hashlib, struct, sys
import numpy as np
from kestrum_py import Quat, VecList
rng = np.random.default_rng(7)
h = hashlib.sha256()
for n in (1, 255, 256, 257, 20000, 300001):
    a = rng.normal(size=(n, 3))
    b = a[:, ::-1] + rng.normal(size=(n, 3)) * 0.1
    if n == 20000:
        a[123, 1] = float("nan")
    q, e = Quat.align(VecList.from_array(a), VecList.from_array(b))
    h.update(struct.pack("<5d", q.w, q.i, q.j, q.k, e))
print(h.hexdigest())
"""


def test_align_is_identical_for_every_pool_size():
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    base["PYTHONPATH"] = os.pathsep.join(sys.path)
    digests = set()
    for threads in ("1", "2", "3"):
        proc = subprocess.run([sys.executable, "-c", ALIGN_CHILD], env={**base, "RAYON_NUM_THREADS": threads},
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1 and len(digests.pop()) == 64
