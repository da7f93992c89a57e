"""geometry.Circle: cleaning constructor, plane relations, tolerant equality."""

import math
import operator
import random

import pytest

import purepy_geometry as ref
from kestrum_py import Vec3d, geometry

Circle, Plane = geometry.Circle, geometry.Plane
EPS = ref.EPS
NAN3 = (math.nan,) * 3


def vt(v):
    return (v.x, v.y, v.z)


def V(*c):
    return Vec3d(*c)


def C(center, radius, normal):
    return Circle(V(*center), radius, V(*normal))


def fields(c):
    return (vt(c.center), c.radius, vt(c.normal))


def flat(f):
    return f[0] + (f[1],) + f[2]


@pytest.mark.parametrize("radius,normal,stored_radius,stored_normal", [
    (-2.0, (0, 0, 5), 2.0, (0.0, 0.0, 1.0)),
    (-0.0, (3, 0, 4), 0.0, (0.6, 0.0, 0.8)),  # sign bit cleared
    (math.nan, (0, -2, 0), math.nan, (0.0, -1.0, 0.0)),
    (-math.inf, (0, 0, 1), math.inf, (0.0, 0.0, 1.0)),
    (1.0, (0, 0, 0), 1.0, NAN3),
])
def test_constructor_cleans_radius_and_normal(radius, normal, stored_radius, stored_normal):
    c = Circle(V(1, 2, 3), radius, normal=V(*normal))
    assert vt(c.center) == (1, 2, 3)
    assert ref.same_double(c.radius, stored_radius)
    assert ref.same_vec(vt(c.normal), stored_normal)


def test_none():
    a, b = Circle.none(), Circle.none()
    assert a is not b
    assert ref.same_vec(flat(fields(a)), (0.0, 0.0, 0.0, 0.0) + NAN3)
    assert a.is_degenerate() is True and a.area == 0.0
    assert (a == b) is False and (a != b) is True and (a == a) is False


def test_area_and_setters_store_unchanged():
    c = C((1, 2, 3), -2.0, (0, 0, 5))
    assert c.area == 12.566370614359172
    c.radius = -2.0
    assert c.radius == -2.0 and c.area == 12.566370614359172
    assert c.is_degenerate() is False
    c.normal = V(0, 0, 2)
    c.center = V(-1, 0, 0.5)
    assert fields(c) == ((-1, 0, 0.5), -2.0, (0, 0, 2))


@pytest.mark.parametrize("radius,degenerate", [
    (0.0, True), (-0.0, True), (5e-324, False), (-1.0, False), (math.nan, False),
])
def test_is_degenerate_looks_only_at_radius(radius, degenerate):
    c = C((0, 0, 0), 1.0, (0, 0, 1))
    c.radius = radius
    c.normal = V(0, 0, 0)
    assert c.is_degenerate() is degenerate


@pytest.mark.parametrize("center,normal,set_normal,plane_normal,distance", [
    ((1, 2, 3), (0, 0, 1), None, (0, 0, 1), -3.0),
    ((0, 0, 1), (0, 0, 1), (0, 0, 2), (0, 0, 1), -2.0),  # offset from the unnormalised normal
    ((0, 0, 1), (0, 0, 1), (0, 0, 0), NAN3, -0.0),
])
def test_get_plane(center, normal, set_normal, plane_normal, distance):
    c = C(center, 1.0, normal)
    if set_normal is not None:
        c.normal = V(*set_normal)
    p = c.get_plane()
    assert type(p) is Plane
    assert ref.same_vec(vt(p.normal), tuple(map(float, plane_normal)))
    assert ref.same_double(p.distance, distance)


@pytest.mark.parametrize("c1,n1,c2,n2,same", [
    ((0, 0, 1), (0, 0, 1), (5, 5, 1), (0, 0, 1), True),
    ((0, 0, 1), (0, 0, 1), (5, 5, 1), (0, 0, -1), False),  # offsets 1 and -1
    ((0, 0, 0), (0, 0, 1), (5, 5, 0), (0, 0, -1), True),
    ((0, 0, 1), (0, 0, 1), (0, 0, 1 + EPS), (0, 0, 1), False),
    ((0, 0, 1e-16), (0, 0, 1), (0, 0, 0), (0, 0, 1), True),
    ((0, 0, 0), (0, 0, 1), (0, 0, 0), (0, 1, 0), False),
    ((0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), False),  # NaN normals
])
def test_in_same_plane(c1, n1, c2, n2, same):
    a, b = C(c1, 1.0, n1), C(c2, 2.0, n2)
    assert a.in_same_plane(b) is same
    assert b.in_same_plane(other=a) is same


BASE = ((0, 0, 1), 1.0, (0, 0, 1))


@pytest.mark.parametrize("other,equal", [
    (BASE, True),
    (((0, 0, 1), 1.0, (0, 0, -1)), True),  # either sense of the normal
    (((0, 0, 1), 1.0000000000000002, (0, 0, 1)), False),  # radius is exact
    (((1e-16, 0, 1), 1.0, (0, 0, 1)), True),  # centers within epsilon
    (((0, EPS, 1), 1.0, (0, 0, 1)), False),
    (((0, 0, 1), -1.0, (0, 0, 7)), True),  # constructor cleans both
    (((0, 0, 1), 1.0, (0, 1, 0)), False),
])
def test_equality(other, equal):
    a, b = C(*BASE), C(*other)
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is (not equal)


def test_nan_normal_is_not_equal_to_itself():
    c = C((0, 0, 0), 1.0, (0, 0, 0))
    assert (c == c) is False and (c != c) is True


def test_foreign_operands():
    c = C(*BASE)
    assert (c == 5) is False and (c != 5) is True and (5 != c) is True
    assert (c == Plane.xy()) is False

    class Agrees:
        def __eq__(self, other):
            return True

        def __ne__(self, other):
            return "reflected __ne__"

    # != negates the full == (which reaches Agrees.__eq__), not Agrees.__ne__.
    assert (c == Agrees()) is True
    assert (c != Agrees()) is False

    class Raises:
        def __eq__(self, other):
            raise ValueError("boom")

        def __ne__(self, other):
            return "reflected __ne__"

    with pytest.raises(ValueError, match="boom"):
        c != Raises()


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [C(*BASE), 5])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError, match="not supported"):
        op(C(*BASE), other)


def test_unhashable():
    assert Circle.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(C(*BASE))


@pytest.mark.parametrize("attr", ["center", "radius", "normal"])
def test_attributes_cannot_be_deleted(attr):
    c = C(*BASE)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(c, attr)
    assert fields(c) == ((0, 0, 1), 1.0, (0, 0, 1))


def test_area_is_read_only():
    c = C(*BASE)
    with pytest.raises(AttributeError):
        c.area = 1.0
    assert c.area == math.pi


U = V(0, 0, 1)


@pytest.mark.parametrize("call,message", [
    (lambda: Circle(1, "x", 2), "argument 'center': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: Circle(U, "x", 2), "argument 'radius': "),
    (lambda: Circle(U, 1, 2), "argument 'normal': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: Circle(U, 1), "Circle.__new__() missing 1 required positional argument: "
                           "'normal'"),
    (lambda: Circle(U, 1, U, radius=1), "Circle.__new__() got multiple values for "
                                        "argument 'radius'"),
    (lambda: C(*BASE).in_same_plane(Plane.xy()), "argument 'other': 'Plane' object cannot "
                                                 "be cast as 'Circle'"),
    (lambda: C(*BASE).in_same_plane(), "Circle.in_same_plane() missing 1 required "
                                       "positional argument: 'other'"),
    (lambda: setattr(C(*BASE), "center", 1), "argument 'value': 'int' object cannot be "
                                             "cast as 'Vec3d'"),
    (lambda: setattr(C(*BASE), "radius", "1"), "argument 'value': "),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


def test_python_surface():
    expected = {"none": "()", "get_plane": "($self)", "in_same_plane": "($self, other)",
                "is_degenerate": "($self)"}
    for name, sig in expected.items():
        assert getattr(Circle, name).__text_signature__ == sig
        assert not getattr(Circle, name).__doc__
    assert Circle.__text_signature__ == "(center, radius, normal)"
    assert all(vars(Circle)[p].__doc__ is None for p in ("center", "radius", "normal", "area"))


def rand_circle(rng):
    c = C(ref.rand_vec(rng), ref.rand_double(rng), ref.rand_vec(rng, 0.1))
    k = rng.random()
    if k < 0.2:
        c.normal = V(*ref.rand_vec(rng))
    elif k < 0.3:
        c.radius = rng.choice((-1.5, -0.0, 0.0, math.nan))
    return c


def near(rng, c):
    """A circle equal to c, or off by an epsilon-sized amount in one field."""
    d = C((0, 0, 0), 1.0, (0, 0, 1))
    center, radius, normal = fields(c)
    if rng.random() < 0.5:
        normal = tuple(-x for x in normal)
    pick = rng.randrange(4)
    tweak = rng.choice((1e-16, EPS, 4e-16))
    if pick == 0:
        center = tuple(x + tweak if i == 0 else x for i, x in enumerate(center))
    elif pick == 1:
        normal = (normal[0], normal[1] + tweak, normal[2])
    elif pick == 2:
        radius = radius + tweak
    d.center, d.radius, d.normal = V(*center), radius, V(*normal)
    return d


def test_bit_exact_against_reference():
    rng = random.Random(4202)
    outcomes = set()
    for _ in range(2500):
        center, radius, normal = ref.rand_vec(rng), ref.rand_double(rng), ref.rand_vec(rng)
        made = C(center, radius, normal)
        assert ref.same_vec(flat(fields(made)), flat(ref.circle_new(center, radius, normal)))
        a = rand_circle(rng)
        b = near(rng, a) if rng.random() < 0.6 else rand_circle(rng)
        fa, fb = fields(a), fields(b)
        assert ref.same_double(a.area, ref.circle_area(fa))
        plane, (pn, pd) = a.get_plane(), ref.circle_get_plane(fa)
        assert ref.same_vec(vt(plane.normal), pn) and ref.same_double(plane.distance, pd)
        assert a.is_degenerate() is ref.circle_is_degenerate(fa)
        got = (a.in_same_plane(b), a == b, a != b)
        expect = ref.circle_in_same_plane(fa, fb), ref.circle_eq(fa, fb)
        assert got == (expect[0], expect[1], not expect[1]), (fa, fb)
        outcomes.add(got)
    # The generated pairs must exercise both answers of both relations.
    assert {g[0] for g in outcomes} == {True, False}
    assert {g[1] for g in outcomes} == {True, False}
