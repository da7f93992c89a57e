"""Quat and Vec3d.to_quat."""

import math
import operator
import random

import pytest

import purepy_rot as ref
from kestrum_py import AngleDegrees, AngleRadians, Quat, QuatList, Vec3d, VecList
from oracle import NanExact, bits, from_bits

INF, NAN = math.inf, math.nan
S = 0.7071067811865476  # cos(pi/4) as the C library gives it


def fields(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


def assert_bits(got, want):
    got, want = list(got), list(want)
    assert all(type(g) is float for g in got)
    assert ref.same_all(got, want), (got, want)


# -- construction, properties, errors ------------------------------------------

def test_fields_by_position_and_keyword():
    assert fields(Quat(1, 2.5, -0.0, True)) == (1.0, 2.5, -0.0, 1.0)
    q = Quat(k=4, j=3, i=2, w=1)
    assert_bits(fields(q), (1.0, 2.0, 3.0, 4.0))
    assert ref.is_neg(Quat(0, -0.0, 0, 0).i)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3), {}, "Quat.__new__() missing 1 required positional argument: 'k'"),
    ((1, 2, 3, 4), {"w": 0}, "Quat.__new__() got multiple values for argument 'w'"),
    (("a", "b", 0, 0), {}, "argument 'w': "),  # first failing field, interpreter's message after
    ((0, 0, None, "x"), {}, "argument 'j': "),
])
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Quat(*args, **kwargs)
    text = str(info.value)
    assert text == message or (message.endswith(": ") and text.startswith(message))


@pytest.mark.parametrize("name", "wijk")
def test_setter_and_deleter(name):
    q = Quat(1, 2, 3, 4)
    alias = q
    setattr(q, name, 9)
    assert type(getattr(alias, name)) is float and getattr(alias, name) == 9.0
    untouched = [getattr(q, n) for n in "wijk" if n != name]
    with pytest.raises(TypeError, match="^argument 'value': "):
        setattr(q, name, "7")
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(q, name)
    assert getattr(q, name) == 9.0
    assert [getattr(q, n) for n in "wijk" if n != name] == untouched


# -- protocol: no arithmetic, identity comparison -------------------------------------

@pytest.mark.parametrize("expr", [
    lambda q: q + q, lambda q: q - q, lambda q: q * q, lambda q: q / q,
    lambda q: -q, lambda q: 2 * q, lambda q: q * 2, lambda q: q + 1.0,
    lambda q: q * Vec3d(1, 0, 0),
], ids=["q+q", "q-q", "q*q", "q/q", "-q", "2*q", "q*2", "q+1.0", "q*v"])
def test_no_arithmetic(expr):
    with pytest.raises(TypeError):
        expr(Quat(1, 0, 0, 0))


def test_identity_equality_hash_and_no_ordering():
    p, q = Quat(1, 2, 3, 4), Quat(1, 2, 3, 4)
    assert p == p and p != q and not (p == q)
    assert len({p, q, p}) == 2
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(p, q)


@pytest.mark.parametrize("q, text", [
    (Quat(1, 2, 3, 4), "Quat(1, 2, 3, 4)"),
    (Quat(0.5, -0.0, NAN, INF), "Quat(0.5, -0, NaN, inf)"),
    (Quat.identity(), "Quat(1, 0, 0, 0)"),
    (Quat.identity().conjugate(), "Quat(1, -0, -0, -0)"),
    (Quat(1e-7, -1e20, -INF, 0.1), "Quat(0.0000001, -100000000000000000000, -inf, 0.1)"),
    (Vec3d(1, 2, 3).to_quat(), "Quat(0, 1, 2, 3)"),
    (Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi()),
     "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"),
    (Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.zero()), "Quat(1, -0, -0, -0)"),
])
def test_repr(q, text):
    assert repr(q) == str(q) == text


# -- simple methods ----------------------------------------------------------------

def test_identity_and_conjugate_signs():
    assert_bits(fields(Quat.identity()), (1.0, 0.0, 0.0, 0.0))
    assert_bits(fields(Quat(2, 0.0, -3, NAN).conjugate()), (2.0, -0.0, 3.0, NAN))
    q = Quat(1, 2, 3, 4)
    assert q.conjugate() is not q and fields(q) == (1.0, 2.0, 3.0, 4.0)


def test_to_vec3d_is_a_plain_tuple():
    t = Quat(1, 2, 3, -0.0).to_vec3d()
    assert type(t) is tuple
    assert_bits(t, (2.0, 3.0, -0.0))


@pytest.mark.parametrize("v, want", [
    ((1, 2, 3), (0.0, 1.0, 2.0, 3.0)),
    ((-0.0, 0, 0), (0.0, -0.0, 0.0, 0.0)),
    ((-0.0, -0.0, -0.0), (0.0, -0.0, -0.0, -0.0)),
    ((NAN, -INF, 5e-324), (0.0, NAN, -INF, 5e-324)),
])
def test_vec3d_to_quat(v, want):
    q = Vec3d(*v).to_quat()
    assert type(q) is Quat
    assert_bits(fields(q), want)


@pytest.mark.parametrize("q, magnitude, unit", [
    ((1, 1, 1, 1), 2.0, False),
    ((0.5, 0.5, 0.5, 0.5), 1.0, True),
    ((0, 0, 0, 0), 0.0, False),
    ((0.9999999999999999, 0, 0, 0), 0.9999999999999999, True),
    ((0.9999999999999998, 0, 0, 0), 0.9999999999999998, False),  # exactly eps below 1
    ((1.0000000000000002, 0, 0, 0), 1.0000000000000002, False),  # exactly eps above 1
    ((0, 0, 0, -1), 1.0, True),
    ((NAN, 0, 0, 0), NAN, False),
    ((0, -INF, 0, 0), INF, False),
])
def test_magnitude_and_is_unit(q, magnitude, unit):
    quat = Quat(*q)
    assert_bits([quat.magnitude()], [magnitude])
    assert quat.is_unit() is unit


@pytest.mark.parametrize("q, want", [
    ((1, 2, 3, 4), (0.18257418583505536, 0.3651483716701107, 0.5477225575051661, 0.7302967433402214)),
    ((0, 0, 0, 0), (NAN, NAN, NAN, NAN)),
    ((0, -3, 0, 0), (0.0, -1.0, 0.0, 0.0)),
])
def test_normalize(q, want):
    n = Quat(*q).normalize()
    assert type(n) is Quat
    assert_bits(fields(n), want)


# -- axis and angle ------------------------------------------------------------------

@pytest.mark.parametrize("axis, angle, want", [
    ((0, 0, 1), AngleRadians.half_pi(), (S, -0.0, -0.0, -0.7071067811865475)),
    ((0, 0, 1), AngleRadians.zero(), (1.0, -0.0, -0.0, -0.0)),
    ((1, 0, 0), AngleRadians.pi(), (6.123233995736766e-17, -1.0, -0.0, -0.0)),
    ((0, 0, 0), AngleRadians.half_pi(), (S, -0.0, -0.0, -0.0)),
    ((0, 0, 0), AngleRadians(-1.0), (0.8775825618903728, 0.0, 0.0, 0.0)),
    ((2, 0, 0), AngleRadians.pi(), (6.123233995736766e-17, -2.0, -0.0, -0.0)),  # not normalised
])
def test_from_axis_angle(axis, angle, want):
    q = Quat.from_axis_angle(Vec3d(*axis), angle)
    assert type(q) is Quat
    assert_bits(fields(q), want)


def test_from_axis_angle_by_keyword_and_on_instance():
    q = Quat.identity().from_axis_angle(angle=AngleRadians.pi(), axis=Vec3d(1, 0, 0))
    assert_bits(fields(q), (6.123233995736766e-17, -1.0, -0.0, -0.0))


@pytest.mark.parametrize("call, message", [
    (lambda: Quat.from_axis_angle(Vec3d(1, 0, 0), AngleDegrees(90.0)),
     "argument 'angle': 'AngleDegrees' object cannot be cast as 'AngleRadians'"),
    (lambda: Quat.from_axis_angle(Vec3d(1, 0, 0), 1.0),
     "argument 'angle': 'float' object cannot be cast as 'AngleRadians'"),
    (lambda: Quat.from_axis_angle((1, 0, 0), AngleRadians(1.0)),
     "argument 'axis': 'tuple' object cannot be cast as 'Vec3d'"),
    (lambda: Quat.from_axis_angle(Vec3d(1, 0, 0)),
     "Quat.from_axis_angle() missing 1 required positional argument: 'angle'"),
    (lambda: Quat.identity().rotate((1, 2, 3)),
     "argument 'v': 'tuple' object cannot be cast as 'Vec3d'"),
    (lambda: Quat.identity().rotate(w=Vec3d(1, 2, 3)),
     "Quat.rotate() got an unexpected keyword argument 'w'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("q, axis, angle", [
    ((1, 5, 0, 0), (1.0, 0.0, 0.0), 0.0),  # only w is tested
    ((0.9999999999999999, 7, 7, 7), (1.0, 0.0, 0.0), 0.0),
    ((-1, 0, 0, 0), (0.0, 0.0, 0.0), 6.283185307179586),
    ((2, 0, 0, 0), (NAN, NAN, NAN), NAN),
    ((1.0000000000000002, 0, 0, 0), (NAN, NAN, NAN), NAN),  # |w - 1| == eps: not the special case
    ((0, 0, 0, 0), (0.0, 0.0, 0.0), 3.141592653589793),
    ((6.123233995736766e-17, -1, -0.0, -0.0), (-1.0, -0.0, -0.0), 3.141592653589793),
    ((S, -0.0, -0.0, -0.7071067811865475), (-0.0, -0.0, -1.0), 1.5707963267948966),
])
def test_to_axis_angle(q, axis, angle):
    result = Quat(*q).to_axis_angle()
    assert type(result) is tuple and len(result) == 2
    v, a = result
    assert type(v) is Vec3d and type(a) is AngleRadians
    assert_bits(vec(v), axis)
    assert_bits([a.angle], [angle])


# -- rotation matrix and rotate --------------------------------------------------

@pytest.mark.parametrize("q, want", [
    (Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi()),
     [[2.220446049250313e-16, 1.0, 0.0], [-1.0, 2.220446049250313e-16, 0.0], [0.0, 0.0, 1.0]]),
    (Quat(0, 0, 0, 0), [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
    (Quat(1, 2, 3, 4), [[-49.0, 4.0, 22.0], [20.0, -39.0, 20.0], [10.0, 28.0, -25.0]]),
])
def test_rotation_matrix(q, want):
    m = q.to_rotation_matrix()
    assert type(m) is list and len(m) == 3
    assert all(type(row) is list and len(row) == 3 for row in m)
    assert_bits([x for row in m for x in row], [x for row in want for x in row])


@pytest.mark.parametrize("q, v, want", [
    (Quat.identity(), (-0.0, 1.5, -2.0), (0.0, 1.5, -2.0)),
    (Quat.identity(), (-0.0, -0.0, -0.0), (0.0, 0.0, 0.0)),
    (Quat.identity(), (INF, 1.0, 2.0), (NAN, NAN, NAN)),
    (Quat.identity(), (1.0, NAN, 2.0), (NAN, NAN, NAN)),
    (Quat(2, 0, 0, 0), (1, 2, 3), (4.0, 8.0, 12.0)),
    (Quat(0, 0, 0, 0), (1, 2, 3), (0.0, 0.0, 0.0)),
    (Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi()), (1, 0, 0),
     (2.220446049250313e-16, 1.0, 0.0)),
    (Quat.from_axis_angle(Vec3d(1, 0, 0), AngleRadians.pi()), (0, 1, 0),
     (0.0, -1.0, 1.2246467991473532e-16)),
])
def test_rotate(q, v, want):
    r = q.rotate(v=Vec3d(*v))
    assert type(r) is Vec3d
    assert_bits(vec(r), want)


def test_rotation_nans_follow_the_written_operand_order():
    # Sign and payload of a NaN, alone and in a QuatList, are the formula's in
    # written order, the conjugate's sign flips included: GCC and clang had
    # each commuted sums or moved negations across products their own way.
    rng = random.Random(17)
    specials = [from_bits(b) for b in (0x7FF800000000ABCD, 0xFFFC000000001234, 0x7FF0000000000001)]
    specials += [INF, -INF, 0.0, -0.0, 1e308]
    pick = lambda: rng.choice(specials) if rng.random() < 0.5 else rng.uniform(-4, 4)  # noqa: E731
    qs = [Quat(*(pick() for _ in range(4))) for _ in range(600)]
    vs = [Vec3d(*(pick() for _ in range(3))) for _ in range(600)]
    bulk = QuatList(qs).rotate(VecList(vs))
    for n, (q, v) in enumerate(zip(qs, vs)):
        exact = [NanExact(c) for c in fields(q)]
        want = [bits(c.v) for c in ref.rotate(exact, [NanExact(c) for c in vec(v)])]
        assert [bits(c) for c in vec(q.rotate(v))] == [bits(c) for c in vec(bulk[n])] == want, n
        want = [bits(c.v) for c in flat(ref.rotation_matrix(exact))]
        assert [bits(c) for c in flat(q.to_rotation_matrix())] == want, n


# -- bit-exact agreement with the reference on seeded inputs -------------------------------

N = 3000


def agree(seed, make_input, run, expect, n=N):
    gen = ref.Inputs(seed)
    bad = []
    for _ in range(n):
        inp = make_input(gen)
        got, want = list(run(*inp)), list(expect(*inp))
        if not ref.same_all(got, want) or not all(type(g) in (float, bool) for g in got):
            bad.append((inp, got, want))
            if len(bad) == 5:
                break
    return bad


def flat(m):
    return [x for row in m for x in row]


CASES = {
    "rotate": (lambda g: (g.quat(), g.vec()),
               lambda q, v: vec(Quat(*q).rotate(Vec3d(*v))),
               lambda q, v: ref.rotate(q, v)),
    "from_axis_angle": (lambda g: (g.vec(), g.double()),
                        lambda a, t: fields(Quat.from_axis_angle(Vec3d(*a), AngleRadians(t))),
                        lambda a, t: ref.from_axis_angle(a, t)),
    "to_axis_angle": (lambda g: ((g.unit_range(), g.double(), g.double(), g.double()),),
                      lambda q: (lambda r: (*vec(r[0]), r[1].angle))(Quat(*q).to_axis_angle()),
                      lambda q: (lambda r: (*r[0], r[1]))(ref.to_axis_angle(q))),
    "to_rotation_matrix": (lambda g: (g.quat(),),
                           lambda q: flat(Quat(*q).to_rotation_matrix()),
                           lambda q: flat(ref.rotation_matrix(q))),
    "magnitude_is_unit": (lambda g: (g.quat(),),
                          lambda q: (Quat(*q).magnitude(), Quat(*q).is_unit()),
                          lambda q: (ref.magnitude(q), ref.is_unit(q))),
    "normalize": (lambda g: (g.quat(),),
                  lambda q: fields(Quat(*q).normalize()),
                  lambda q: ref.normalize(q)),
    "conjugate": (lambda g: (g.quat(),),
                  lambda q: fields(Quat(*q).conjugate()),
                  lambda q: ref.conjugate(q)),
    "to_quat": (lambda g: (g.vec(),),
                lambda v: fields(Vec3d(*v).to_quat()),
                lambda v: (0.0, *v)),
}


@pytest.mark.parametrize("name", list(CASES))
def test_bits_match_reference(name):
    make_input, run, expect = CASES[name]
    assert agree(sum(map(ord, name)), make_input, run, expect) == []


def test_is_unit_tolerance_edge_matches_reference():
    # Quaternions whose magnitude lands within a few ulps of 1.
    def near_unit(g):
        q = ref.from_axis_angle(tuple(g.rng.uniform(-1, 1) for _ in range(3)), g.moderate())
        m = ref.magnitude(q)
        scale = (1.0 + g.rng.randint(-3, 3) * 2.0 ** -53) / m
        return (tuple(c * scale for c in q),)

    bad = agree(5, near_unit, lambda q: [Quat(*q).is_unit()], lambda q: [ref.is_unit(q)])
    assert bad == []
