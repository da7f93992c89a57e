"""AngleRadians, AngleDegrees and Vec3d.angle_to."""

import ctypes
import ctypes.util
import math
import operator

import pytest

import purepy_rot as ref
from kestrum_py import AngleDegrees, AngleRadians, Vec3d

INF, NAN = math.inf, math.nan


def bits_equal(got, want):
    return ref.same(got, want) and type(got) is float


# -- constants and worked conversions -------------------------------------------

@pytest.mark.parametrize("name, want", [
    ("zero", 0.0),
    ("pi", math.pi),
    ("two_pi", math.pi * 2),
    ("half_pi", math.pi / 2),
    ("third_pi", math.pi / 3),
    ("quarter_pi", math.pi / 4),
    ("sixth_pi", math.pi / 6),
])
def test_constants_are_the_double_results_of_pi_arithmetic(name, want):
    factory = getattr(AngleRadians, name)
    a = factory()
    assert type(a) is AngleRadians
    assert bits_equal(a.angle, want)
    # Also reachable through an instance, and never a shared object.
    assert getattr(a, name)() is not a


@pytest.mark.parametrize("radians, degrees", [
    (AngleRadians.third_pi(), 59.99999999999999),
    (AngleRadians.sixth_pi(), 29.999999999999996),
    (AngleRadians.pi(), 180.0),
    (AngleRadians.half_pi(), 90.0),
    (AngleRadians.quarter_pi(), 45.0),
    (AngleRadians.two_pi(), 360.0),
    (AngleRadians(1.1), 63.02535746439057),
    (AngleRadians(7.0), 401.07045659157626),
])
def test_to_degrees_worked_values(radians, degrees):
    d = radians.to_degrees()
    assert type(d) is AngleDegrees
    assert bits_equal(d.angle, degrees)


@pytest.mark.parametrize("degrees, radians", [
    (19, 0.3316125578789226),
    (33, 0.5759586531581288),
    (720, 12.566370614359172),
    (-720, -12.566370614359172),
    (180, math.pi),
])
def test_to_radians_worked_values(degrees, radians):
    r = AngleDegrees(degrees).to_radians()
    assert type(r) is AngleRadians
    assert bits_equal(r.angle, radians)


def test_values_are_never_wrapped():
    assert AngleRadians(7.0).angle == 7.0
    assert AngleDegrees(-720).angle == -720.0


# -- trigonometry ----------------------------------------------------------------

@pytest.mark.parametrize("angle, method, want", [
    (0.0, "cot", INF),
    (-0.0, "cot", -INF),
    (0.0, "csc", INF),
    (-0.0, "csc", -INF),
    (AngleRadians.half_pi().angle, "cot", 6.123233995736766e-17),
    (AngleRadians.half_pi().angle, "sec", 1.633123935319537e16),
    (0.0, "sec", 1.0),
    (INF, "sin", NAN),
    (-INF, "cos", NAN),
    (INF, "tan", NAN),
    (INF, "csc", NAN),
    (NAN, "sin", NAN),
    (NAN, "cot", NAN),
])
def test_trig_special_values(angle, method, want):
    assert bits_equal(getattr(AngleRadians(angle), method)(), want)


def test_degrees_have_no_trigonometry():
    assert not hasattr(AngleDegrees(90.0), "sin")


# -- arithmetic ----------------------------------------------------------------

@pytest.mark.parametrize("expr, want", [
    (lambda: AngleRadians(1.0) / 0, INF),
    (lambda: AngleRadians(-1.0) / 0.0, -INF),
    (lambda: AngleRadians(1.0) / -0.0, -INF),
    (lambda: AngleRadians(0.0) / 0.0, NAN),
    (lambda: AngleRadians(1.5) * 2, 3.0),
    (lambda: AngleRadians(1.5) * True, 1.5),
    (lambda: AngleRadians(0.0) * -1.0, -0.0),
    (lambda: AngleRadians(INF) * 0, NAN),
    (lambda: AngleRadians(0.1) + AngleRadians(0.2), 0.30000000000000004),
    (lambda: AngleRadians(0.0) - AngleRadians(0.0), 0.0),
    (lambda: -AngleRadians.zero(), -0.0),
    (lambda: -AngleRadians(-0.0), 0.0),
])
def test_arithmetic_values(expr, want):
    r = expr()
    assert type(r) is AngleRadians
    assert bits_equal(r.angle, want)


@pytest.mark.parametrize("expr", [
    lambda a, d: 2 * a,
    lambda a, d: 2.0 * a,
    lambda a, d: a * a,
    lambda a, d: a / a,
    lambda a, d: a + 1.0,
    lambda a, d: 1.0 + a,
    lambda a, d: a - 1,
    lambda a, d: 1.0 / a,
    lambda a, d: a + d,
    lambda a, d: a - d,
    lambda a, d: a * d,
    lambda a, d: a * None,
    lambda a, d: d + d,
    lambda a, d: d * 2,
    lambda a, d: -d,
], ids=["2*a", "2.0*a", "a*a", "a/a", "a+1.0", "1.0+a", "a-1", "1.0/a", "a+d", "a-d",
        "a*d", "a*None", "d+d", "d*2", "-d"])
def test_unsupported_operators_raise_type_error(expr):
    with pytest.raises(TypeError, match="unsupported operand|bad operand"):
        expr(AngleRadians(1.0), AngleDegrees(1.0))


# -- comparison protocol -----------------------------------------------------

OPS = [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge]


@pytest.mark.parametrize("x, y", [
    (1.0, 1.0), (0.0, -0.0), (-0.0, 0.0), (1.0, 2.0), (2.0, 1.0),
    (NAN, NAN), (NAN, 1.0), (1.0, NAN), (-INF, INF), (INF, INF),
    (5e-324, 0.0), (0.1 + 0.2, 0.3),
])
@pytest.mark.parametrize("op", OPS, ids=lambda op: op.__name__)
def test_comparisons_follow_ieee(op, x, y):
    got = op(AngleRadians(x), AngleRadians(y))
    assert got is op(x, y)


def test_nan_angle_is_unequal_to_itself():
    a = AngleRadians(NAN)
    assert not (a == a)
    assert a != a


@pytest.mark.parametrize("other", [1.0, 1, AngleDegrees(1.0), None, "1"])
def test_equality_with_foreign_objects_is_false(other):
    a = AngleRadians(1.0)
    assert (a == other) is False
    assert (other == a) is False
    assert (a != other) is True


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge],
                         ids=lambda op: op.__name__)
@pytest.mark.parametrize("left, right", [
    (AngleRadians(1.0), 1.0),
    (1.0, AngleRadians(1.0)),
    (AngleRadians(1.0), AngleDegrees(1.0)),
    (AngleDegrees(1.0), AngleDegrees(2.0)),
], ids=["rad-float", "float-rad", "rad-deg", "deg-deg"])
def test_ordering_against_other_types_raises(op, left, right):
    with pytest.raises(TypeError, match="not supported between"):
        op(left, right)


class EqTrueNeTrue:
    """`==` says equal, `!=` (if consulted directly) also says unequal."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return True

    __hash__ = None


class EqRaises:
    def __eq__(self, other):
        raise ValueError("eq exploded")

    def __ne__(self, other):
        return False

    __hash__ = None


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class EqUntruthful:
    def __eq__(self, other):
        return Falsy()

    def __ne__(self, other):
        return False

    __hash__ = None


def test_ne_negates_full_equality_including_reflected_eq():
    # Angle's `!=` must not defer to the right operand's __ne__.
    assert (AngleRadians(1.0) != EqTrueNeTrue()) is False


@pytest.mark.parametrize("other, exc", [(EqRaises(), ValueError), (EqUntruthful(), ZeroDivisionError)])
def test_ne_propagates_errors_from_equality(other, exc):
    with pytest.raises(exc):
        AngleRadians(1.0) != other


def test_degrees_compare_and_hash_by_identity():
    d, e = AngleDegrees(30.0), AngleDegrees(30.0)
    assert d == d and d != e and not (d == e)
    assert hash(d) == hash(d)
    assert len({d, e, d}) == 2


def test_radians_are_unhashable():
    with pytest.raises(TypeError, match="unhashable"):
        hash(AngleRadians(1.0))
    with pytest.raises(TypeError, match="unhashable"):
        {AngleRadians(1.0)}


# -- text form -----------------------------------------------------------------

@pytest.mark.parametrize("value, number", [
    (0.5, "0.5"), (90.0, "90"), (math.pi, "3.141592653589793"), (-0.0, "-0"),
    (NAN, "NaN"), (-INF, "-inf"), (1e20, "100000000000000000000"), (1e-7, "0.0000001"),
])
def test_repr(value, number):
    r, d = AngleRadians(value), AngleDegrees(value)
    assert repr(r) == str(r) == number + " radians"
    assert repr(d) == str(d) == number + "\u00b0"


def test_degree_sign_is_one_character():
    text = repr(AngleDegrees(90.0))
    assert len(text) == 3
    assert text.encode("utf-8") == b"90\xc2\xb0"


# -- construction, property, errors ----------------------------------------------

@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_constructor_converts_to_float(cls):
    a = cls(angle=2)
    assert type(a.angle) is float and a.angle == 2.0
    assert cls(True).angle == 1.0


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{c}.__new__() missing 1 required positional argument: 'angle'"),
    ((), {"radians": 1.0}, "{c}.__new__() got an unexpected keyword argument 'radians'"),
    (("x",), {}, "argument 'angle': "),  # then the interpreter's own float message
])
def test_constructor_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    text = str(info.value)
    assert text == message.format(c=cls.__name__) or (message.endswith(": ") and text.startswith(message))


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_setter_stores_converted_value_or_fails_unchanged(cls):
    a = cls(1.0)
    a.angle = 3
    assert type(a.angle) is float and a.angle == 3.0
    with pytest.raises(TypeError) as info:
        a.angle = "4"
    assert str(info.value).startswith("argument 'value': ")
    assert a.angle == 3.0
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del a.angle
    assert a.angle == 3.0


# -- Vec3d.angle_to ----------------------------------------------------------------

@pytest.mark.parametrize("a, b, want", [
    ((1, 1, 1), (1, 1, 1), 0.0),  # quotient rounds to 1.0000000000000002, clamped to 1
    ((1, 1, 1), (-2, -2, -2), math.pi),  # and just below -1
    ((1e100, 0, 0), (1e-170, 0, 0), 0.0),  # |o|^2 underflows: the quotient is inf
    ((1, 0, 0), (0, 1, 0), 1.5707963267948966),
    ((1, 0, 0), (-2, 0, 0), math.pi),
    ((3, 0, 0), (5, 0, 0), 0.0),
    ((1, 2, 3), (0, 0, 0), NAN),
    ((0, 0, 0), (0, 0, 0), NAN),
])
def test_angle_to(a, b, want):
    r = Vec3d(*a).angle_to(Vec3d(*b))
    assert type(r) is AngleRadians
    assert bits_equal(r.angle, want)


def test_angle_to_keeps_the_nan_of_degenerate_inputs():
    # The clamp must let a NaN cosine through untouched: the result is the
    # C library's acos of the very NaN the division produced, bit for bit.
    np = pytest.importorskip("numpy")
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    libm.acos.restype = ctypes.c_double
    libm.acos.argtypes = [ctypes.c_double]
    payload = ref.from_bits(0xFFF8_0000_0000_0ABC)
    cases = [((1, 2, 3), (0, 0, 0)), ((0, 0, 0), (0, 0, -0.0)), ((INF, 0, 0), (1, 0, 0)),
             ((1e200, 0, 0), (1e200, 0, 0)), ((payload, 1, 1), (1, 1, 1)), ((1, 1, 1), (1, 1, -payload))]
    for s, o in cases:
        with np.errstate(all="ignore"):
            q = np.float64(ref.vec_dot(s, o)) / np.float64(ref.vec_magnitude(s) * ref.vec_magnitude(o))
        want = libm.acos(float(q))
        got = Vec3d(*s).angle_to(Vec3d(*o)).angle
        assert math.isnan(got) and ref.bits(got) == ref.bits(want), (s, o, hex(ref.bits(got)))


def test_angle_to_parallel_vectors_are_never_nan():
    gen = ref.Inputs(13)
    bad = []
    for _ in range(3000):
        s = tuple(gen.moderate() for _ in range(3))
        k = gen.rng.choice((1.0, 3.0, 1e-3, 7.25)) * gen.rng.choice((1.0, -1.0))
        a = Vec3d(*s).angle_to(Vec3d(*(x * k for x in s))).angle
        if math.isnan(a) or not (a < 1e-7 if k > 0 else math.pi - a < 1e-7):
            bad.append((s, k, a))
    assert bad[:5] == []


def test_angle_to_argument_errors():
    v = Vec3d(1, 0, 0)
    assert v.angle_to(other=Vec3d(0, 1, 0)).angle == 1.5707963267948966
    with pytest.raises(TypeError, match=r"^argument 'other': 'tuple' object cannot be cast as 'Vec3d'$"):
        v.angle_to((0, 1, 0))
    with pytest.raises(TypeError, match=r"^Vec3d\.angle_to\(\) missing 1 required positional argument: 'other'$"):
        v.angle_to()


# -- bit-exact agreement with the reference on seeded inputs -------------------------------

N = 3000


def mismatches(pairs):
    bad = [(inp, got, want) for inp, got, want in pairs if not ref.same_all(got, want)]
    return bad[:5]


@pytest.mark.parametrize("name", ["to_degrees", "to_radians", *ref.TRIG])
def test_unary_bits_match_reference(name):
    gen = ref.Inputs(sum(map(ord, name)))
    rows = []
    for _ in range(N):
        x = gen.double()
        if name == "to_degrees":
            got, want = AngleRadians(x).to_degrees().angle, ref.to_degrees(x)
        elif name == "to_radians":
            got, want = AngleDegrees(x).to_radians().angle, ref.to_radians(x)
        else:
            got, want = getattr(AngleRadians(x), name)(), ref.TRIG[name](x)
        rows.append((x, [got], [want]))
    assert mismatches(rows) == []


BINARY = {
    "+": (lambda a, b: a + AngleRadians(b), lambda a, b: a + b),
    "-": (lambda a, b: a - AngleRadians(b), lambda a, b: a - b),
    "*": (lambda a, b: a * b, lambda a, b: b * a),
    "/": (lambda a, b: a / b, ref.div),
}


@pytest.mark.parametrize("op", list(BINARY))
def test_arithmetic_bits_match_reference(op):
    run, want_fn = BINARY[op]
    gen = ref.Inputs(ord(op))
    rows = []
    for _ in range(N):
        a, b = gen.double(), gen.double()
        rows.append(((a, b), [run(AngleRadians(a), b).angle], [want_fn(a, b)]))
    assert mismatches(rows) == []


def test_negation_and_comparisons_match_reference():
    gen = ref.Inputs(7)
    bad = []
    for _ in range(N):
        a, b = gen.double(), gen.double()
        ra, rb = AngleRadians(a), AngleRadians(b)
        if ref.bits((-ra).angle) != ref.bits(-a):
            bad.append(("neg", a))
        for op in OPS:
            if op(ra, rb) is not op(a, b):
                bad.append((op.__name__, a, b))
    assert bad[:5] == []


def test_angle_to_bits_match_reference():
    gen = ref.Inputs(11)
    rows = []
    for _ in range(N):
        s, o = gen.vec(), gen.vec()
        rows.append(((s, o), [Vec3d(*s).angle_to(Vec3d(*o)).angle], [ref.angle_to(s, o)]))
    # Nearly parallel pairs, where the quotient lands just beyond ±1.
    for _ in range(N // 3):
        s = tuple(gen.moderate() for _ in range(3))
        c = gen.rng.choice((1.0, -1.0, 3.0, -0.5))
        o = tuple(x * c for x in s)
        rows.append(((s, o), [Vec3d(*s).angle_to(Vec3d(*o)).angle], [ref.angle_to(s, o)]))
    assert mismatches(rows) == []
