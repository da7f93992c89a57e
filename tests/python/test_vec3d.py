"""Vec3d: surface, fixed cases and bit-exact agreement with purepy."""

import math
import random

import pytest

from kestrum_py import Vec3d

import purepy as pp
from purepy import bits, from_bits, same_double, same_vec

INF = math.inf
NAN = math.nan
MIN_SUB = 5e-324
MAX_SUB = from_bits(0x000FFFFFFFFFFFFF)
MIN_NORMAL = 2.2250738585072014e-308
MAX = 1.7976931348623157e308
NAN_PAYLOAD = from_bits(0x7FF8000000000123)
NEG_NAN_PAYLOAD = from_bits(0xFFF80000DEADBEEF)


def c(v):
    return (v.x, v.y, v.z)


def assert_bits(got, expected):
    assert [bits(g) for g in got] == [bits(e) for e in expected], (got, expected)


# -- construction, properties, statics ----------------------------------------------

@pytest.mark.parametrize("xyz", [
    (1.0, 2.5, -0.0), (0.0, -0.0, 0.0), (INF, -INF, MIN_SUB), (MAX, -MAX_SUB, MIN_NORMAL),
    (NAN_PAYLOAD, NEG_NAN_PAYLOAD, -NAN), (0.1, 1e-300, -1e300),
], ids=repr)
def test_components_are_stored_unchanged(xyz):
    v = Vec3d(*xyz)
    assert_bits(c(v), xyz)
    assert_bits([v[0], v[1], v[2]], xyz)
    assert_bits(v.to_array(), xyz)
    w = Vec3d(7, 7, 7)
    w.x, w.y, w.z = xyz
    assert_bits(c(w), xyz)
    assert all(type(x) is float for x in c(v) + (v[0],) + tuple(v.to_array()))


def test_setters_touch_only_their_component():
    v = Vec3d(1, 2, 3)
    v.y = -0.5
    assert c(v) == (1.0, -0.5, 3.0)
    v.z = 4
    v.x = True
    assert c(v) == (1.0, -0.5, 4.0)
    assert type(v.z) is float


@pytest.mark.parametrize("name,expected", [
    ("i", (1.0, 0.0, 0.0)), ("j", (0.0, 1.0, 0.0)), ("k", (0.0, 0.0, 1.0)),
    ("zero", (0.0, 0.0, 0.0)),
])
def test_static_constructors(name, expected):
    make = getattr(Vec3d, name)
    v = make()
    assert type(v) is Vec3d
    assert_bits(c(v), expected)  # zeros are +0.0
    assert make() is not v
    v.x = 9.0  # a fresh object each time: the next one is untouched
    assert_bits(c(make()), expected)
    assert_bits(c(getattr(Vec3d(5, 5, 5), name)()), expected)


def test_new_from_to():
    a, b = Vec3d(1, 1, 1), Vec3d(2, 3, 4)
    for v in (Vec3d.new_from_to(a, b), Vec3d.new_from_to(a, to=b),
              Vec3d.new_from_to(**{"from": a, "to": b}), Vec3d.new_from_to(to=b, **{"from": a})):
        assert repr(v) == "Vec3d(1, 2, 3)"
    assert_bits(c(Vec3d.new_from_to(b, b)), (0.0, 0.0, 0.0))


# -- fixed results -------------------------------------------------------------------------

def test_fixed_method_results():
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    assert v.dot(w) == 32.0
    assert repr(v.cross(w)) == "Vec3d(-3, 6, -3)"
    assert Vec3d(2, 3, 6).magnitude() == 7.0
    assert repr(Vec3d(0, 3, 4).normalize()) == "Vec3d(0, 0.6, 0.8)"
    assert Vec3d(1, 1, 1).distance_to(Vec3d(3, 4, 7)) == 7.0
    assert Vec3d(1, 1, 1).distance_squared(Vec3d(3, 4, 7)) == 49.0
    assert Vec3d(1, 5, 0).distance_to_line(Vec3d(0, 0, 0), Vec3d(2, 0, 0)) == 5.0
    assert repr(Vec3d(1, 5, 0).project_onto_line(Vec3d(0, 0, 0), Vec3d(2, 0, 0))) == \
        "Vec3d(1, 0, 0)"
    assert repr(Vec3d(1, 2, 3).project_onto_plane(Vec3d(0, 0, 1))) == "Vec3d(1, 2, 0)"
    assert Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()) == 1.0
    assert Vec3d.j().scalar_triple_product(Vec3d.i(), Vec3d.k()) == -1.0
    assert v.to_array() == [1.0, 2.0, 3.0]


def test_result_types():
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    for r in (v.dot(w), v.magnitude(), v.distance_to(w), v.distance_squared(w),
              v.distance_to_line(w, Vec3d(0, 0, 0)), v.scalar_triple_product(w, w), v[0]):
        assert type(r) is float
    assert v.is_unit() is False and Vec3d.k().is_unit() is True
    fresh = (v.cross(w), v.normalize(), v.project_onto_line(w, Vec3d.zero()),
             v.project_onto_plane(Vec3d.zero()), v + Vec3d.zero(), v - Vec3d.zero(),
             v * 1, 1 * v, v / 1, -v, Vec3d.new_from_to(Vec3d.zero(), v))
    for r in fresh:
        assert type(r) is Vec3d
        assert r is not v and r is not w
    assert len({id(r) for r in fresh}) == len(fresh)


def test_degenerate_inputs_give_nan_or_inf():
    assert all(math.isnan(x) for x in c(Vec3d(0, 0, 0).normalize()))
    p = Vec3d(1, 2, 3)
    assert math.isnan(Vec3d(5, 6, 7).distance_to_line(p, p))
    assert all(math.isnan(x) for x in c(Vec3d(5, 6, 7).project_onto_line(p, p)))
    assert c(Vec3d(1, 2, 3) / 0) == (INF, INF, INF)
    r = c(Vec3d(0, 1, -1) / 0.0)
    assert math.isnan(r[0]) and r[1:] == (INF, -INF)
    assert_bits(c(Vec3d(1, -1, 0) / -0.0)[:2], (-INF, INF))
    assert c(Vec3d(MAX, 0, 0) * 2) == (INF, 0.0, 0.0)
    assert Vec3d(MAX, MAX, 0).magnitude() == INF


def test_project_onto_plane_uses_the_normal_as_given():
    assert repr(Vec3d(0, 0, 1).project_onto_plane(Vec3d(0, 0, 2))) == "Vec3d(0, 0, -3)"


@pytest.mark.parametrize("xyz,unit", [
    ((1, 0, 0), True), ((0, -1, 0), True), ((0.6, 0.8, 0), True),
    ((1 + 2 ** -52, 0, 0), False),  # magnitude 1 + 2**-52: the bound is strict
    ((1 - 2 ** -53, 0, 0), True),   # magnitude 1 - 2**-53
    ((1 - 2 ** -52, 0, 0), False),  # magnitude 1 - 2**-52
    ((NAN, 0, 0), False), ((INF, 0, 0), False), ((0, 0, 0), False), ((2, 0, 0), False),
], ids=repr)
def test_is_unit(xyz, unit):
    assert Vec3d(*xyz).is_unit() is unit
    assert pp.is_unit(tuple(map(float, xyz))) is unit


def test_evaluation_order_is_fixed():
    # Grouping: (1 + 1e16) + -1e16 is 0, 1 + (1e16 + -1e16) would be 1.
    ones = Vec3d(1, 1, 1)
    assert bits(Vec3d(1, 1e16, -1e16).dot(ones)) == bits(0.0)
    assert bits(Vec3d(1, 1e16, -1e16).magnitude()) == bits(math.sqrt(2e32))
    # No fused multiply-add: a*a - a*a is exactly +0 only with two roundings.
    a = 1 + 2 ** -30
    assert_bits(c(Vec3d(a, a, a).cross(Vec3d(a, a, a))), (0.0, 0.0, 0.0))
    assert bits(Vec3d(a, a, 0).scalar_triple_product(Vec3d(0, 0, 1), Vec3d(a, a, 0))) == \
        bits(0.0)


# -- operators -----------------------------------------------------------------------------

def test_arithmetic_operators():
    v, w = Vec3d(1, 2, 3), Vec3d(0.5, -2, 10)
    assert repr(v + w) == "Vec3d(1.5, 0, 13)"
    assert repr(v - w) == "Vec3d(0.5, 4, -7)"
    assert repr(v * 2) == repr(2 * v) == "Vec3d(2, 4, 6)"
    assert repr(v * -0.5) == "Vec3d(-0.5, -1, -1.5)"
    assert repr(v / 4) == "Vec3d(0.25, 0.5, 0.75)"
    assert repr(-v) == "Vec3d(-1, -2, -3)"
    assert_bits(c(-Vec3d.zero()), (-0.0, -0.0, -0.0))
    assert_bits(c(-Vec3d(-0.0, INF, NAN_PAYLOAD)), (0.0, -INF, -NAN_PAYLOAD))
    assert repr(v) == "Vec3d(1, 2, 3)" and repr(w) == "Vec3d(0.5, -2, 10)"


def test_augmented_assignment_rebinds():
    v = Vec3d(1, 2, 3)
    alias = v
    v += Vec3d(1, 1, 1)
    assert v is not alias and c(alias) == (1.0, 2.0, 3.0) and c(v) == (2.0, 3.0, 4.0)
    for step in (lambda u: u.__isub__, lambda u: u.__imul__, lambda u: u.__itruediv__):
        with pytest.raises(AttributeError):
            step(v)
    before = v
    v -= Vec3d(1, 1, 1)
    v *= 2
    v /= 4
    assert c(v) == (0.5, 1.0, 1.5) and c(before) == (2.0, 3.0, 4.0)


def test_identity_equality_and_hash():
    v, w = Vec3d(1, 2, 3), Vec3d(1, 2, 3)
    assert not (v == w) and v != w
    assert v == v and not (v != v)
    assert hash(v) == object.__hash__(v)
    assert len({v, w}) == 2
    with pytest.raises(TypeError):
        v < w


@pytest.mark.parametrize("use", [len, iter, list, tuple, reversed, lambda v: 1.0 in v,
                                 lambda v: [*v]])
def test_no_length_or_iteration(use):
    with pytest.raises(TypeError):
        use(Vec3d(1, 2, 3))


def test_indexing():
    v = Vec3d(1, 2, 3)
    assert (v[0], v[1], v[2], v[True]) == (1.0, 2.0, 3.0, 2.0)
    with pytest.raises(TypeError):
        v[0] = 5.0
    assert c(v) == (1.0, 2.0, 3.0)


def test_to_array_is_a_new_list_each_call():
    v = Vec3d(1, 2, 3)
    a, b = v.to_array(), v.to_array()
    assert type(a) is list and a == b == [1.0, 2.0, 3.0] and a is not b
    a[0] = 100.0
    assert v.x == 1.0 and v.to_array() == [1.0, 2.0, 3.0]
    v.y = 7
    assert b == [1.0, 2.0, 3.0]


# -- text form -------------------------------------------------------------------------------

@pytest.mark.parametrize("value,text", [
    (1.0, "1"), (2.5, "2.5"), (-0.0, "-0"), (0.0, "0"), (0.1, "0.1"), (-0.1, "-0.1"),
    (NAN, "NaN"), (-NAN, "NaN"), (NEG_NAN_PAYLOAD, "NaN"), (INF, "inf"), (-INF, "-inf"),
    (1e20, "1" + "0" * 20), (1e21, "1" + "0" * 21), (-1e22, "-1" + "0" * 22),
    (1e-7, "0.0000001"), (1.5e-5, "0.000015"), (1e16, "1" + "0" * 16),
    (5e-324, "0." + "0" * 323 + "5"), (-5e-324, "-0." + "0" * 323 + "5"),
    (MIN_NORMAL, "0." + "0" * 307 + "22250738585072014"),
    (MAX_SUB, "0." + "0" * 307 + "2225073858507201"),
    (MAX, "17976931348623157" + "0" * 292),
    (0.30000000000000004, "0.30000000000000004"), (1 / 3, "0.3333333333333333"),
    (2.0 ** 53, "9007199254740992"), (2.0 ** 53 + 2, "9007199254740994"),
    (2.0 ** 63, "9223372036854776000"), (123456789012345680.0, "123456789012345680"),
    (100.0, "100"), (1234.5, "1234.5"), (0.5, "0.5"), (123.456, "123.456"),
    (1.7976931348623157e-300, "0." + "0" * 299 + "17976931348623157"),
    (1e23, "1" + "0" * 23),  # the nearest double is 99999999999999991611392
    (2.0 ** 1023, "898846567431158" + "0" * 293),
    (2.0 ** -1022 * 3, "0." + "0" * 307 + "6675221575521604"),
], ids=repr)
def test_repr_of_awkward_doubles(value, text):
    assert pp.fmt_double(value) == text  # the reference agrees with the hand-written form
    v = Vec3d(value, 1, value)
    assert repr(v) == str(v) == f"Vec3d({text}, 1, {text})"


def test_repr_examples():
    assert repr(Vec3d(1, 2.5, -0.0)) == "Vec3d(1, 2.5, -0)"
    assert repr(Vec3d(NAN, INF, 0.1)) == "Vec3d(NaN, inf, 0.1)"
    assert repr(Vec3d(1e20, 0, 0)) == "Vec3d(100000000000000000000, 0, 0)"


def test_repr_matches_reference_on_random_doubles():
    rng = random.Random(20240611)
    for _ in range(3000):
        xyz = (from_bits(rng.getrandbits(64)), rand_double(rng),
               rng.uniform(-1, 1) * 10 ** rng.randint(-25, 25))
        assert repr(Vec3d(*xyz)) == pp.vec_repr(xyz)


# -- bit-exact agreement with the reference ------------------------------------------------------

SPECIALS = [0.0, -0.0, INF, -INF, NAN, MIN_SUB, -MIN_SUB, MAX_SUB, MIN_NORMAL, MAX, -MAX,
            1.0, -1.0, 0.5, 1e-300, -1e300, 1e16, 3 * MIN_SUB]


def rand_double(rng, exp=None):
    k = rng.random()
    if exp is not None and k < 0.8:
        return math.ldexp(rng.uniform(-1, 1), exp)
    if k < 0.08:
        return rng.choice(SPECIALS)
    if k < 0.35:
        return rng.uniform(-1, 1)
    if k < 0.55:
        return rng.uniform(-1e3, 1e3)
    if k < 0.8:
        return math.ldexp(rng.uniform(-1, 1), rng.randint(-1074, 1023))
    if k < 0.95:
        return float(rng.randint(-8, 8))
    return from_bits(rng.getrandbits(64))


def rand_vec(rng):
    k = rng.random()
    if k < 0.3:  # similar magnitudes: cancellation inside sums and differences
        e = rng.choice([rng.randint(-60, 60), rng.randint(-1074, 1023)])
        return tuple(rand_double(rng, e) for _ in range(3))
    if k < 0.4:  # close to unit length, on both sides of the is_unit bound
        u = pp.normalize((rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)))
        return tuple(math.nextafter(x, rng.choice([INF, -INF])) if rng.random() < 0.3 else x
                     for x in u)
    return tuple(rand_double(rng) for _ in range(3))


def cases(n, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        s, a, b = rand_vec(rng), rand_vec(rng), rand_vec(rng)
        if rng.random() < 0.15:  # points near one another or on the line
            a = s if rng.random() < 0.5 else a
            b = tuple(x + rng.uniform(-1e-3, 1e-3) for x in a) if rng.random() < 0.5 else b
        out.append((s, a, b, rand_double(rng)))
    return out


CASES = cases(3000, 1234567)


def vec(t):
    return Vec3d(*t)


def test_bit_exact_methods():
    unit_seen = set()
    for s, a, b, _ in CASES:
        vs, va, vb = vec(s), vec(a), vec(b)
        assert_bits(c(vs), s)
        for got, exp in ((vs.dot(va), pp.dot(s, a)),
                         (vs.magnitude(), pp.magnitude(s)),
                         (vs.distance_to(va), pp.distance_to(s, a)),
                         (vs.distance_squared(va), pp.distance_squared(s, a)),
                         (vs.distance_to_line(va, vb), pp.distance_to_line(s, a, b)),
                         (vs.scalar_triple_product(va, vb), pp.scalar_triple_product(s, a, b))):
            assert same_double(got, exp), (s, a, b, got, exp)
        for got, exp in ((vs.cross(va), pp.cross(s, a)),
                         (vs.normalize(), pp.normalize(s)),
                         (vs.project_onto_line(va, vb), pp.project_onto_line(s, a, b)),
                         (vs.project_onto_plane(va), pp.project_onto_plane(s, a)),
                         (Vec3d.new_from_to(va, vb), pp.new_from_to(a, b))):
            assert same_vec(c(got), exp), (s, a, b, c(got), exp)
        assert vs.is_unit() is pp.is_unit(s)
        unit_seen.add(pp.is_unit(s))
    assert unit_seen == {True, False}


def test_bit_exact_operators():
    for s, a, _, k in CASES:
        vs, va = vec(s), vec(a)
        for got, exp in ((vs + va, pp.add(s, a)), (vs - va, pp.sub(s, a)),
                         (vs * k, pp.mul(s, k)), (k * vs, pp.mul(s, k)),
                         (vs / k, pp.div(s, k))):
            assert same_vec(c(got), exp), (s, a, k, c(got), exp)
        assert_bits(c(-vs), pp.neg(s))  # a sign flip, NaNs included
