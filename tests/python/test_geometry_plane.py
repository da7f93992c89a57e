"""geometry.Plane: construction, factories, the one-sided containment test."""

import math
import random

import pytest

import purepy_geometry as ref
from kestrum_py import Vec3d, geometry
from oracle import NanExact, bits, from_bits

Plane = geometry.Plane
NAN3 = (math.nan,) * 3


def vt(v):
    return (v.x, v.y, v.z)


def V(*c):
    return Vec3d(*c)


@pytest.mark.parametrize("make,normal,distance", [
    (lambda: Plane(V(0, 0, 2), 3), (0, 0, 1), 3.0),  # distance not rescaled
    (lambda: Plane(V(3, 0, 4), -2.0), (0.6, 0, 0.8), -2.0),
    (lambda: Plane(V(0, 0, 0), 1.0), NAN3, 1.0),
    (lambda: Plane(distance=1, normal=V(1, 0, 0)), (1, 0, 0), 1.0),
    (lambda: Plane.from_point(V(0, 0, 1), V(0, 0, 5)), (0, 0, 1), -5.0),
    # The offset uses the normal before it is normalised.
    (lambda: Plane.from_point(V(0, 0, 2), V(0, 0, 1)), (0, 0, 1), -2.0),
    (lambda: Plane.from_points(V(0, 0, 1), V(1, 0, 1), V(0, 1, 1)), (0, 0, 1), -1.0),
    (lambda: Plane.from_points(V(0, 0, 1), V(0, 1, 1), V(1, 0, 1)), (0, 0, -1), 1.0),
    (lambda: Plane.from_points(V(0, 0, 1), V(2, 0, 1), V(0, 2, 1)), (0, 0, 1), -4.0),
    (lambda: Plane.from_points(V(0, 0, 0), V(1, 1, 1), V(2, 2, 2)), NAN3, 0.0),
    (lambda: Plane.from_points(V(1, 2, 3), V(1, 2, 3), V(1, 2, 3)), NAN3, 0.0),
    (Plane.xy, (0, 0, 1), 0.0),
    (Plane.xz, (0, 0, 1), 0.0),
    (Plane.yz, (0, 0, 1), 0.0),
])
def test_construction(make, normal, distance):
    p = make()
    assert type(p) is Plane
    assert ref.same_vec(vt(p.normal), tuple(map(float, normal)))
    assert p.distance == distance and type(p.distance) is float


def test_factories_return_fresh_objects():
    a, b = Plane.xz(), Plane.xz()
    a.distance = 4.0
    assert b.distance == 0.0 and Plane.xy().distance == 0.0


EPS = ref.EPS
Z5 = Plane.from_point(V(0, 0, 1), V(0, 0, 5))


@pytest.mark.parametrize("plane,point,signed,inside", [
    (Z5, (0, 0, 7), 2.0, False),
    (Z5, (0, 0, 5), 0.0, True),
    (Z5, (3, -4, 3), -2.0, True),
    (Z5, (0, 0, 0), -5.0, True),  # everything behind the plane counts
    (Z5, (0, 0, -1e300), -1e300, True),
    (Plane.xy(), (0, 0, EPS), EPS, False),  # strict <
    (Plane.xy(), (0, 0, EPS / 2), EPS / 2, True),
    (Plane(V(0, 0, 0), 1.0), (0, 0, 0), math.nan, False),
    (Plane(V(0, 0, 0), 1.0), (0, 0, -5), math.nan, False),
])
def test_contains_and_signed_distance(plane, point, signed, inside):
    assert ref.same_double(plane.distance_to_point(V(*point)), signed)
    assert plane.contains_point(point=V(*point)) is inside


def test_setters_store_unchanged():
    p = Plane.xy()
    p.normal = V(0, 0, 2)
    assert vt(p.normal) == (0, 0, 2)
    assert p.distance_to_point(V(1, 1, 1)) == 2.0  # scaled by |normal|
    p.normal = V(0, 0, 0)
    assert vt(p.normal) == (0, 0, 0)
    p.distance = -7
    assert p.distance == -7.0 and type(p.distance) is float
    p.normal.x = 9.0  # the getter hands out a copy
    assert vt(p.normal) == (0, 0, 0)


@pytest.mark.parametrize("attr", ["normal", "distance"])
def test_attributes_cannot_be_deleted(attr):
    p = Plane(V(0, 0, 1), 2.0)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(p, attr)
    assert p.distance == 2.0 and vt(p.normal) == (0, 0, 1)


U = V(0, 0, 1)


@pytest.mark.parametrize("call,message", [
    (lambda: Plane(), "Plane.__new__() missing 2 required positional arguments: "
                      "'normal' and 'distance'"),
    (lambda: Plane(1, "x"), "argument 'normal': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: Plane(U, "x"), "argument 'distance': "),
    (lambda: Plane(U, 1, 2), "Plane.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: Plane.from_point(U), "Plane.from_point() missing 1 required positional "
                                  "argument: 'point'"),
    (lambda: Plane.from_point(U, normal=U), "Plane.from_point() got multiple values for "
                                            "argument 'normal'"),
    (lambda: Plane.from_points(U, U, 3), "argument 'point3': 'int' object cannot be cast "
                                         "as 'Vec3d'"),
    (lambda: Plane.from_points(U, U, U, U), "Plane.from_points() takes 3 positional "
                                            "arguments but 4 were given"),
    (lambda: Plane.xy().contains_point(pt=U), "Plane.contains_point() got an unexpected "
                                              "keyword argument 'pt'"),
    (lambda: Plane.xy().distance_to_point(Plane.xy()), "argument 'point': 'Plane' object "
                                                        "cannot be cast as 'Vec3d'"),
    (lambda: setattr(Plane.xy(), "normal", (0, 0, 1)), "argument 'value': 'tuple' object "
                                                        "cannot be cast as 'Vec3d'"),
    (lambda: setattr(Plane.xy(), "distance", None), "argument 'value': "),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)


def test_python_surface():
    expected = {"from_point": "(normal, point)", "from_points": "(point1, point2, point3)",
                "xy": "()", "xz": "()", "yz": "()", "contains_point": "($self, point)",
                "distance_to_point": "($self, point)"}
    for name, sig in expected.items():
        assert getattr(Plane, name).__text_signature__ == sig
        assert not getattr(Plane, name).__doc__
    assert Plane.__text_signature__ == "(normal, distance)"
    assert vars(Plane)["normal"].__doc__ is None
    # No comparison, hash or repr of its own: identity semantics.
    p = Plane.xy()
    assert p == p and p != Plane.xy() and hash(p) == hash(p)
    assert repr(p).startswith("<builtins.Plane object at ")


def test_bit_exact_against_reference():
    rng = random.Random(4101)
    for _ in range(3000):
        n, q, r, pt = (ref.rand_vec(rng) for _ in range(4))
        d = ref.rand_double(rng)
        cases = [(Plane(V(*n), d), ref.plane_new(n, d)),
                 (Plane.from_point(V(*n), V(*q)), ref.plane_from_point(n, q)),
                 (Plane.from_points(V(*q), V(*r), V(*pt)), ref.plane_from_points(q, r, pt))]
        for got, (normal, distance) in cases:
            assert ref.same_vec(vt(got.normal), normal), (n, d, q, r, pt)
            assert ref.same_double(got.distance, distance), (n, d, q, r, pt)
        # Probe points on, near and far from the plane so both answers occur.
        plane = cases[1][0]
        for probe in (q, (q[0], q[1], q[2] + rng.choice((EPS, -EPS, 1e-9))), pt):
            expect = ref.plane_distance_to_point(cases[1][1], probe)
            assert ref.same_double(plane.distance_to_point(V(*probe)), expect), (n, q, probe)
            assert plane.contains_point(V(*probe)) is ref.plane_contains_point(cases[1][1], probe)


def test_distance_nans_follow_the_written_operand_order():
    # distance + n·p returns the distance's NaN when both are NaN (GCC had
    # commuted the sum).
    rng = random.Random(17)
    nans = [from_bits(b) for b in (0x7FF800000000ABCD, 0xFFFC000000001234, 0x7FF0000000000001)]
    pick = lambda: rng.choice(nans) if rng.random() < 0.5 else rng.uniform(-4, 4)  # noqa: E731
    plane = Plane.xy()
    for n in range(400):
        normal, point, plane.distance = [pick() for _ in range(3)], [pick() for _ in range(3)], pick()
        plane.normal = V(*normal)
        exact = ([NanExact(c) for c in normal], NanExact(plane.distance))
        want = ref.plane_distance_to_point(exact, [NanExact(c) for c in point])
        assert bits(plane.distance_to_point(V(*point))) == bits(want.v), n
