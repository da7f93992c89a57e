"""kestrum_py.geo against mpmath at the boundaries, round trips, and bulk
results against single values bit for bit on every pool size."""

import os
import subprocess
import sys

import mpmath
import numpy as np
import pytest

from kestrum_py import Vec3d, VecList, geo

mpmath.mp.prec = 200
R_KM = 6371.0088  # IUGG mean Earth radius


def ulps(x, ref):
    """|x - ref| in units of the last place of the double nearest ref."""
    r = float(ref)
    return float(abs(mpmath.mpf(x) - ref) / mpmath.mpf(np.spacing(abs(r)) if r else 5e-324))


def mp_angle(a, b):
    a, b = [mpmath.matrix([mpmath.mpf(c) for c in v]) for v in (a, b)]
    cross = [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]
    return mpmath.atan2(mpmath.sqrt(sum(c * c for c in cross)), sum(a[i] * b[i] for i in range(3)))


def boundary_pairs(rng):
    """(lat, lon) pairs: 1 mm, 1 m, 10 m, 1 km and random apart, antipodal and
    near-antipodal, across the poles and the dateline."""
    out = []
    for _ in range(40):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        for metres in (1e-3, 1.0, 10.0, 1e3):
            d = np.degrees(metres / (R_KM * 1e3))
            bearing = rng.uniform(0, 2 * np.pi)
            out.append(((lat, lon), (lat + d * np.cos(bearing), lon + d * np.sin(bearing))))
        out.append(((lat, lon), (-lat, lon + 180.0)))  # antipodal
        out.append(((lat, lon), (-lat + rng.uniform(-1e-6, 1e-6), lon - 180.0 + 1e-7)))
        out.append(((lat, lon), (rng.uniform(-90, 90), rng.uniform(-180, 180))))
    out += [((90, 0), (90 - 1e-9, 10)), ((-90, 0), (90, 0)), ((0, 180), (0, -180)),
            ((10, 179.9999999), (10, -179.9999999)), ((0, 0), (0, 0)), ((45, 45), (45, 45))]
    return out


def test_great_circle_within_two_ulps_of_mpmath_at_every_separation():
    pairs = boundary_pairs(np.random.default_rng(7))
    a = geo.from_lat_lon(*np.array([p for p, _ in pairs]).T)
    b = geo.from_lat_lon(*np.array([q for _, q in pairs]).T)
    got = np.asarray(geo.great_circle(a, b))
    worst = max(ulps(g, mp_angle(u, v)) for g, u, v in zip(got, np.asarray(a), np.asarray(b)))
    assert worst <= 2.0
    # Against the exact separation of the given degrees: the unit vectors'
    # own rounding is all that is left, nanometres on the Earth.
    for (p, q), g in zip(pairs, got):
        la1, lo1, la2, lo2 = [mpmath.radians(mpmath.mpf(x)) for x in (*p, *q)]
        h = mpmath.sin((la2 - la1) / 2) ** 2 + mpmath.cos(la1) * mpmath.cos(la2) * mpmath.sin((lo2 - lo1) / 2) ** 2
        exact = 2 * mpmath.asin(mpmath.sqrt(h))
        assert abs(g - exact) * R_KM * 1e12 < 5.0  # nanometres
    # Lengths do not matter: exact powers of two and any other scale.
    assert np.array_equal(np.asarray(geo.great_circle(np.asarray(a) * 2.0**600, np.asarray(b) * 2.0**-600)), got)
    assert geo.great_circle(Vec3d(3, 0, 0), Vec3d(0, 0, 1e-300)) == np.pi / 2


def test_lat_lon_against_mpmath_exact_at_multiples_of_90_and_round_trips():
    rng = np.random.default_rng(11)
    lat, lon = rng.uniform(-90, 90, 300), rng.uniform(-540, 540, 300)
    v = np.asarray(geo.from_lat_lon(lat, lon))
    for (la, lo), xyz in zip(zip(lat, lon), v):
        la, lo = mpmath.radians(mpmath.mpf(la)), mpmath.radians(mpmath.mpf(lo))
        ref = (mpmath.cos(la) * mpmath.cos(lo), mpmath.cos(la) * mpmath.sin(lo), mpmath.sin(la))
        assert max(abs(c - r) for c, r in zip(xyz, ref)) < 2.3e-16
    back_lat, back_lon = map(np.asarray, geo.to_lat_lon(v))
    assert np.allclose(back_lat, lat, rtol=0, atol=2e-13)
    assert np.allclose(back_lon, (lon + 180) % 360 - 180, rtol=0, atol=2e-13)
    rad = geo.from_lat_lon(np.radians(lat), np.radians(lon), degrees=False)
    assert np.allclose(np.asarray(rad), v, rtol=0, atol=1e-15)
    assert np.allclose(geo.to_lat_lon(rad, degrees=False)[0], np.radians(lat), rtol=0, atol=1e-15)
    for la in range(-720, 721, 90):
        for lo in range(-720, 721, 90):
            p = geo.from_lat_lon(la, lo)
            assert {p.x, p.y, p.z} <= {-1.0, 0.0, 1.0}, (la, lo, p)
    p = geo.from_lat_lon(90, 33)
    assert (p.x, p.y, p.z) == (0.0, 0.0, 1.0)
    assert np.copysign(1, geo.from_lat_lon(0, 180).y) == 1 and np.copysign(1, geo.from_lat_lon(0, -180).y) == -1
    assert geo.to_lat_lon(geo.from_lat_lon(0, 180)) == (0.0, 180.0)
    assert geo.to_lat_lon(geo.from_lat_lon(0, -180)) == (0.0, -180.0)
    assert geo.to_lat_lon(Vec3d(0, 0, -5)) == (-90.0, 0.0)
    # At the poles every zero is +0, so the longitude comes back as 0.
    assert [geo.to_lat_lon(geo.from_lat_lon(la, 0)) for la in (90, -90, 450)] == [(90.0, 0.0), (-90.0, 0.0), (90.0, 0.0)]


def test_arc_and_chord_against_mpmath_and_each_other():
    rng = np.random.default_rng(3)
    arcs = np.concatenate([rng.uniform(0, np.pi, 200), 10.0 ** rng.uniform(-12, 0, 200), [0.0, np.pi]])
    chords = np.asarray(geo.arc_to_chord(arcs))
    assert max(ulps(c, 2 * mpmath.sin(mpmath.mpf(a) / 2)) for a, c in zip(arcs, chords)) <= 2.0
    back = np.asarray(geo.chord_to_arc(chords))
    # Inverting near pi is ill-conditioned (the chord's slope goes to 0).
    assert np.allclose(back[arcs < 2.5], arcs[arcs < 2.5], rtol=1e-15, atol=0)
    assert max(ulps(b, 2 * mpmath.asin(mpmath.mpf(c) / 2)) for c, b in zip(chords, back)) <= 2.0
    assert geo.arc_to_chord(-0.25) == -geo.arc_to_chord(0.25) and geo.chord_to_arc(-1.5) == -geo.chord_to_arc(1.5)
    # Rounding makes |a - b| of antipodal unit vectors exceed the diameter.
    assert geo.chord_to_arc(np.nextafter(2.0, 3.0)) == geo.chord_to_arc(2.0) == np.pi == geo.chord_to_arc(np.inf)
    # A tree radius from kilometres: 100 km of arc as a chord, and back.
    assert abs(geo.chord_to_arc(geo.arc_to_chord(100 / R_KM)) * R_KM - 100) < 1e-12


def test_errors_name_the_argument_and_the_lengths():
    with pytest.raises(ValueError, match=r"lat and lon have different lengths \(2 and 3\)"):
        geo.from_lat_lon([1.0, 2.0], [1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"a and b have different lengths \(3 and 2\)"):
        geo.great_circle(VecList([Vec3d(1, 0, 0)] * 3), [[0, 1, 0]] * 2)
    with pytest.raises(ValueError, match="argument 'lat'.*shape"):
        geo.from_lat_lon(np.zeros((2, 2)), 0.0)
    with pytest.raises(ValueError, match="argument 'points'.*3"):
        geo.to_lat_lon([[1.0, 2.0]])
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        geo.from_lat_lon(1.0, 2.0, False)
    with pytest.raises(TypeError, match="argument 'degrees'"):
        geo.to_lat_lon(Vec3d(1, 0, 0), degrees=1)


CHILD = r"""
import hashlib, sys, numpy as np
from kestrum_py import geo
rng = np.random.default_rng(int(sys.argv[1]))
n = 30000
x = rng.uniform(-400, 400, (n, 6))
special = [np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 90.0, -180.0, 1e-300, 1e300]
x.flat[rng.integers(0, x.size, 3000)] = rng.choice(special, 3000)
x.view(np.uint64)[np.isnan(x)] |= rng.integers(1, 2**51, np.isnan(x).sum()).astype(np.uint64)
u64 = lambda a: np.ascontiguousarray(np.asarray(a, dtype=float)).view(np.uint64)
deg = rng.random() < 0.5
v = geo.from_lat_lon(x[:, 0], x[:, 1], degrees=deg)
w = np.ascontiguousarray(x[:, 3:])
bulk = [v, *geo.to_lat_lon(w, degrees=deg), geo.arc_to_chord(x[:, 2]), geo.chord_to_arc(x[:, 2] / 100),
        geo.great_circle(v, w), geo.great_circle(w, v[0])]
single = [[(p.x, p.y, p.z) for p in (geo.from_lat_lon(a, b, degrees=deg) for a, b in x[:, :2])],
          *zip(*[geo.to_lat_lon(p, degrees=deg) for p in w]),
          [geo.arc_to_chord(a) for a in x[:, 2]], [geo.chord_to_arc(a / 100) for a in x[:, 2]],
          [geo.great_circle(p, q) for p, q in zip(v, w)], [geo.great_circle(q, v[0]) for q in w]]
for b, s in zip(bulk, single):
    assert np.array_equal(u64(b), u64(s))
print(hashlib.sha256(b"".join(u64(b).tobytes() for b in bulk)).hexdigest())
"""


def test_bulk_matches_single_bit_for_bit_on_every_pool_size():
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    for seed in (1, 2):
        outs = {subprocess.run([sys.executable, "-c", CHILD, str(seed)], env={**base, "RAYON_NUM_THREADS": t},
                               capture_output=True, text=True, timeout=300, check=True).stdout
                for t in ("1", "2", "3", "7")}
        assert len(outs) == 1
