"""geometry.plane_line, circle_point(_unchecked) and circle_circle."""

import math
import random

import numpy as np
import pytest

import purepy_geometry as ref
from kestrum_py import Vec3d, geometry

Circle, Plane = geometry.Circle, geometry.Plane
EPS = ref.EPS
N0 = (0, 0, 1)


def vt(v):
    return (v.x, v.y, v.z)


def V(*c):
    return Vec3d(*c)


def C(center, radius, normal=N0):
    return Circle(V(*center), radius, V(*normal))


def fields(c):
    return (vt(c.center), c.radius, vt(c.normal))


def test_functions_surface():
    sigs = {"plane_line": "(plane, a, b)", "circle_point": "(circle, point, inner)",
            "circle_point_unchecked": "(circle, point, inner)",
            "circle_circle": "(circle1, circle2)"}
    for name, sig in sigs.items():
        f = getattr(geometry, name)
        assert f.__module__ == "geometry" and f.__name__ == name
        assert f.__text_signature__ == sig and not f.__doc__


# -- circle_circle -----------------------------------------------------------------

@pytest.mark.parametrize("c1,c2,expected", [
    (((0, 0, 0), 5), ((6, 0, 0), 5), ((3, -4, 0), (3, 4, 0))),
    (((6, 0, 0), 5), ((0, 0, 0), 5), ((3, 4, 0), (3, -4, 0))),
    # Either normal sense is coplanar through the origin; P1 follows N2.
    (((0, 0, 0), 5), ((6, 0, 0), 5, (0, 0, -1)), ((3, 4, 0), (3, -4, 0))),
    (((0, 0, 1), 5), ((6, 0, 1), 5, (0, 0, -1)), None),  # offsets 1 and -1
    (((0, 0, 0), 3), ((4, 0, 0), 5), ((0, -3, 0), (0, 3, 0))),
    (((0, 0, 0), 1), ((2, 0, 0), 1), ((1, 0, 0), (1, 0, 0))),  # touching outside
    (((0, 0, 0), 2), ((1, 0, 0), 1), ((2, 0, 0), (2, 0, 0))),  # touching inside
    (((0, 0, 0), 1), ((3, 0, 0), 1), None),
    (((0, 0, 0), 5), ((0, 0, 0), 3), None),  # concentric
    (((0, 0, 0), 5), ((0, 0, 0), 5), None),  # identical
    (((0, 0, 0), 5), ((1e-16, 0, 0), 5, (0, 0, -1)), None),  # equal within tolerance
    (((0, 0, 0), 5), ((6, 0, 0), 5, (0, 1, 0)), None),  # not parallel
    (((0, 0, 0), 5), ((0, 6, 0), 5), ((4, 3, 0), (-4, 3, 0))),
    (((0, 0, 0), 5, (0, 1, 0)), ((0, 0, 6), 5, (0, 1, 0)), ((-4, 0, 3), (4, 0, 3))),
])
def test_circle_circle(c1, c2, expected):
    got = geometry.circle_circle(C(*c1), circle2=C(*c2))
    if expected is None:
        assert got is None
    else:
        assert type(got) is tuple and len(got) == 2
        assert all(type(p) is Vec3d for p in got) and got[0] is not got[1]
        assert (vt(got[0]), vt(got[1])) == expected


def test_circle_circle_nan_radius_goes_through():
    c2 = C((6, 0, 0), 5)
    c2.radius = math.nan
    p1, p2 = geometry.circle_circle(C((0, 0, 0), 5), c2)
    assert all(math.isnan(x) for x in vt(p1) + vt(p2))


def coplanar_pair(rng):
    """Two circles whose planes agree to well inside epsilon and that cross."""
    if rng.random() < 0.5:
        # Axis normal: offsets equal exactly; opposite senses only through 0.
        axis = rng.randrange(3)
        normal = [0.0, 0.0, 0.0]
        normal[axis] = rng.choice((1.0, -1.0, 2.5))
        level = rng.choice((0.0, rng.uniform(-50, 50)))
        c1 = [rng.uniform(-50, 50) for _ in range(3)]
        c2 = [rng.uniform(-50, 50) for _ in range(3)]
        c1[axis] = c2[axis] = level
        n2 = [-x for x in normal] if level == 0.0 and rng.random() < 0.5 else normal
    else:
        # Any normal, small coordinates keep the offsets' rounding tiny.
        normal = [rng.uniform(-1, 1) for _ in range(3)]
        n = ref.normalised(normal)
        c1 = [rng.uniform(-1e-3, 1e-3) for _ in range(3)]
        s = [rng.uniform(-1e-3, 1e-3) for _ in range(3)]
        along = ref.dot(s, n)
        c2 = [c1[i] + (s[i] - along * n[i]) for i in range(3)]
        n2 = normal
    w = ref.fsqrt(ref.dot([a - b for a, b in zip(c1, c2)], [a - b for a, b in zip(c1, c2)]))
    r1 = w * rng.uniform(0.3, 2.0)
    r2 = rng.uniform(abs(w - r1), w + r1)
    return C(c1, r1, normal), C(c2, r2, n2)


def test_circle_circle_bit_exact():
    rng = random.Random(4303)
    found = 0
    for i in range(2000):
        if i % 4 == 3:  # unrelated pairs reach the early exits
            a = C(ref.rand_vec(rng), ref.rand_double(rng), ref.rand_vec(rng))
            b = C(ref.rand_vec(rng), ref.rand_double(rng), ref.rand_vec(rng))
        else:
            a, b = coplanar_pair(rng)
        for x, y in ((a, b), (b, a)):
            got = geometry.circle_circle(x, y)
            expect = ref.circle_circle(fields(x), fields(y))
            if expect is None:
                assert got is None, (fields(x), fields(y))
            else:
                found += 1
                assert ref.same_vec(vt(got[0]) + vt(got[1]), expect[0] + expect[1]), \
                    (fields(x), fields(y))
    assert found > 2000


# -- circle_point --------------------------------------------------------------------

UNIT = ((0, 0, 0), 1.0)


@pytest.mark.parametrize("circle,point,inner,checked,unchecked", [
    (UNIT, (1, 0, 0), True, True, True),
    (UNIT, (1, 0, 0), False, True, True),
    (UNIT, (0.5, 0, 0), True, True, True),
    (UNIT, (0.5, 0, 0), False, False, False),
    (UNIT, (0, 0, 0.5), True, False, True),  # off the plane
    (UNIT, (0, 0, -0.5), True, True, True),  # behind the plane passes
    (UNIT, (0, 0, 1), False, False, True),
    (UNIT, (2, 0, 0), True, False, False),
    (UNIT, (1 + EPS, 0, 0), False, False, False),  # |dist - r| < eps is strict
    (UNIT, (1 - EPS / 2, 0, 0), False, True, True),
    (((0, 0, 0), 0.0), (0, 0, 0), True, True, True),
    (((0, 0, 0), 0.0), (0, 0, 0), False, True, True),
    (((0, 0, 0), 0.0), (1e-16, 0, 0), False, True, True),
    (((0, 0, 0), 0.0), (1e-15, 0, 0), True, False, False),
    (((0, 0, 0), 1.0, (0, 0, 0)), (1, 0, 0), True, False, True),  # NaN plane test
])
def test_circle_point(circle, point, inner, checked, unchecked):
    c = C(*circle)
    assert geometry.circle_point(c, V(*point), inner) is checked
    assert geometry.circle_point_unchecked(circle=c, point=V(*point), inner=inner) is unchecked


@pytest.mark.parametrize("fn", [geometry.circle_point, geometry.circle_point_unchecked])
def test_inner_must_be_a_bool(fn):
    c, p = C(*UNIT), V(0.5, 0, 0)
    assert fn(c, p, np.True_) is True and fn(c, p, np.bool_(False)) is False
    for bad, name in ((1, "int"), (0, "int"), (None, "NoneType"), ("x", "str"),
                      (1.0, "float")):
        with pytest.raises(TypeError) as info:
            fn(c, p, bad)
        assert str(info.value) == f"argument 'inner': '{name}' object cannot be cast as 'bool'"


def test_circle_point_bit_exact():
    rng = random.Random(4304)
    hits = set()
    for _ in range(3000):
        c = C(ref.rand_vec(rng), ref.rand_double(rng), ref.rand_vec(rng, 0.1))
        if rng.random() < 0.2:
            c.normal = V(*ref.rand_vec(rng))
        f = fields(c)
        # Points on the rim, inside, and off the plane on both sides.
        n = ref.normalised(f[2])
        t = ref.rand_vec(rng, 0)
        along = ref.dot(t, n)
        rim = [t[i] - along * n[i] for i in range(3)]
        scale = ref.fdiv(f[1], ref.fsqrt(ref.dot(rim, rim)))
        scale *= rng.choice((1.0, 0.5, 1.0 + EPS))
        on = tuple(f[0][i] + rim[i] * scale for i in range(3))
        lift = rng.choice((0.0, 1e-300, 1e-9, -1e-9))
        for point in (on, tuple(on[i] + n[i] * lift for i in range(3)), ref.rand_vec(rng)):
            for inner in (True, False):
                got = (geometry.circle_point(c, V(*point), inner),
                       geometry.circle_point_unchecked(c, V(*point), inner))
                assert got == (ref.circle_point(f, point, inner),
                               ref.circle_point_unchecked(f, point, inner)), (f, point, inner)
                hits.add(got)
    assert hits >= {(True, True), (False, True), (False, False)}


# -- plane_line --------------------------------------------------------------------

Z5 = Plane.from_point(V(0, 0, 1), V(0, 0, 5))


@pytest.mark.parametrize("plane,a,b,expected", [
    (Plane.xy(), (1, 2, 0), (1, 2, 5), (1, 2, 0)),  # a already on the plane
    (Z5, (0, 0, 0), (0, 0, 1), (0, 0, 5)),  # beyond b: not clamped
    (Z5, (0, 0, 1), (0, 0, 0), (0, 0, 5)),  # behind a
    (Z5, (1, 1, 0), (2, 3, 1), (6, 11, 5)),
    (Plane(V(0, 3, 4), -10.0), (0, 0, 0), (0, 3, 4), (0, 6, 8)),
])
def test_plane_line(plane, a, b, expected):
    assert vt(geometry.plane_line(plane, V(*a), b=V(*b))) == expected


def test_plane_line_parallel_gives_non_finite():
    got = geometry.plane_line(Plane.xy(), V(0, 0, 1), V(1, 0, 1))
    assert type(got) is Vec3d
    assert not all(math.isfinite(x) for x in vt(got))


def test_plane_line_lands_on_the_plane():
    rng = random.Random(4305)
    for _ in range(3000):
        plane = Plane(V(*(rng.uniform(-1, 1) for _ in range(3))), rng.uniform(-100, 100))
        if rng.random() < 0.3:
            plane.normal = V(*(rng.uniform(-5, 5) for _ in range(3)))
        a = V(*(rng.uniform(-100, 100) for _ in range(3)))
        b = V(*(rng.uniform(-100, 100) for _ in range(3)))
        n, d, p = vt(plane.normal), plane.distance, vt(geometry.plane_line(plane, a, b))
        residual = d + sum(n[i] * p[i] for i in range(3))
        scale = abs(d) + sum(abs(n[i]) * (abs(vt(a)[i]) + abs(vt(b)[i]) + abs(p[i]))
                             for i in range(3))
        assert abs(residual) <= 64 * EPS * scale, (n, d, vt(a), vt(b), p)


def test_plane_line_bit_exact():
    rng = random.Random(4306)
    for _ in range(3000):
        n, a, b = ref.rand_vec(rng), ref.rand_vec(rng), ref.rand_vec(rng)
        plane = Plane(V(*n), ref.rand_double(rng))
        if rng.random() < 0.2:
            plane.normal = V(*n)
        pl = (vt(plane.normal), plane.distance)
        assert ref.same_vec(vt(geometry.plane_line(plane, V(*a), V(*b))),
                            ref.plane_line(pl, a, b)), (pl, a, b)


# -- argument binding ------------------------------------------------------------------

P, U, CC = Plane.xy(), V(0, 0, 1), C(*UNIT)


@pytest.mark.parametrize("call,message", [
    (lambda: geometry.plane_line(1, 2, 3),
     "argument 'plane': 'int' object cannot be cast as 'Plane'"),
    (lambda: geometry.plane_line(CC, U, U),
     "argument 'plane': 'Circle' object cannot be cast as 'Plane'"),
    (lambda: geometry.plane_line(P, 2, "x"),
     "argument 'a': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: geometry.plane_line(P, U, 3.5),
     "argument 'b': 'float' object cannot be cast as 'Vec3d'"),
    (lambda: geometry.circle_point(1, 2, 3),
     "argument 'circle': 'int' object cannot be cast as 'Circle'"),
    (lambda: geometry.circle_point_unchecked(CC, P, 3),
     "argument 'point': 'Plane' object cannot be cast as 'Vec3d'"),
    (lambda: geometry.circle_circle(P, 1),
     "argument 'circle1': 'Plane' object cannot be cast as 'Circle'"),
    (lambda: geometry.circle_circle(CC, U),
     "argument 'circle2': 'Vec3d' object cannot be cast as 'Circle'"),
    (lambda: geometry.plane_line(1, 2),  # binding is checked before conversion
     "plane_line() missing 1 required positional argument: 'b'"),
    (lambda: geometry.circle_point(),
     "circle_point() missing 3 required positional arguments: 'circle', 'point', and 'inner'"),
    (lambda: geometry.circle_circle(),
     "circle_circle() missing 2 required positional arguments: 'circle1' and 'circle2'"),
    (lambda: geometry.circle_circle(CC, CC, CC),
     "circle_circle() takes 2 positional arguments but 3 were given"),
    (lambda: geometry.plane_line(P, U, U, U),
     "plane_line() takes 3 positional arguments but 4 were given"),
    (lambda: geometry.circle_point(CC, U, inner=True, point=U),
     "circle_point() got multiple values for argument 'point'"),
    (lambda: geometry.circle_point_unchecked(CC, U, True, flag=True),
     "circle_point_unchecked() got an unexpected keyword argument 'flag'"),
    (lambda: geometry.plane_line(P, U, c=U),
     "plane_line() got an unexpected keyword argument 'c'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
