"""The call-binding frame: argument binding, conversions, error wrapping,
NotImplemented from operators and the per-object borrow flag, exercised
through Vec3d (the first class that uses every entry kind)."""

import gc
import math
import operator
import os
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import pytest

from kestrum_py import Vec3d

from purepy import bits


# -- helpers ---------------------------------------------------------------------

class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    """Raises the given exception from both conversion hooks."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class Hook:
    """Runs `action` inside __float__ / __index__, then returns `result`."""

    def __init__(self, action, result=0):
        self.action = action
        self.result = result

    def __float__(self):
        self.action()
        return float(self.result)

    def __index__(self):
        self.action()
        return int(self.result)


class Outer:
    class Inner:
        pass


class MyTypeError(TypeError):
    pass


def float_error(obj):
    """The interpreter's own PyFloat_AsDouble message for `obj`."""
    with pytest.raises(TypeError) as info:
        math.copysign(obj, 1.0)
    return str(info.value)


def index_error(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


def components(v):
    return (v.x, v.y, v.z)


def chained_type_error():
    try:
        raise ValueError("root cause")
    except ValueError as root:
        try:
            raise TypeError("inner text") from root
        except TypeError as exc:
            return exc, root


# The constructor is reachable through two interpreter paths: the vectorcall
# fast path (`Vec3d(...)`) and the __new__ slot (argument tuple + dict).
@pytest.fixture(params=["vectorcall", "tp_new"])
def make(request):
    if request.param == "vectorcall":
        return Vec3d
    return lambda *a, **k: Vec3d.__new__(Vec3d, *a, **k)


V = Vec3d(1, 2, 3)
W = Vec3d(4, 5, 6)


# -- argument binding messages -----------------------------------------------------

@pytest.mark.parametrize("call,message", [
    (lambda: V.dot(), "Vec3d.dot() missing 1 required positional argument: 'other'"),
    (lambda: V.distance_to_line(),
     "Vec3d.distance_to_line() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: V.distance_to_line(W),
     "Vec3d.distance_to_line() missing 1 required positional argument: 'b'"),
    (lambda: V.distance_to_line(b=W),
     "Vec3d.distance_to_line() missing 1 required positional argument: 'a'"),
    (lambda: V.scalar_triple_product(c=W),
     "Vec3d.scalar_triple_product() missing 1 required positional argument: 'b'"),
    (lambda: Vec3d.new_from_to(),
     "Vec3d.new_from_to() missing 2 required positional arguments: 'from' and 'to'"),
    (lambda: Vec3d.new_from_to(to=W),
     "Vec3d.new_from_to() missing 1 required positional argument: 'from'"),
    (lambda: V.dot(W, W), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
    (lambda: V.project_onto_line(W, W, W, W),
     "Vec3d.project_onto_line() takes 2 positional arguments but 4 were given"),
    (lambda: Vec3d.new_from_to(V, W, W),
     "Vec3d.new_from_to() takes 2 positional arguments but 3 were given"),
    (lambda: V.dot(W, other=W), "Vec3d.dot() got multiple values for argument 'other'"),
    (lambda: V.distance_to_line(W, W, a=W),
     "Vec3d.distance_to_line() got multiple values for argument 'a'"),
    (lambda: V.dot(x=W), "Vec3d.dot() got an unexpected keyword argument 'x'"),
    (lambda: V.dot(self=V, other=W), "Vec3d.dot() got an unexpected keyword argument 'self'"),
    (lambda: V.dot(**{"Other": W}), "Vec3d.dot() got an unexpected keyword argument 'Other'"),
    (lambda: V.dot(**{"other\x00": W}),
     "Vec3d.dot() got an unexpected keyword argument 'other\x00'"),
    (lambda: V.dot(othér=W), "Vec3d.dot() got an unexpected keyword argument 'othér'"),
    # Binding order: too many positionals, then keywords in call order, then missing.
    (lambda: V.dot(W, W, other=W), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
    (lambda: V.dot(W, W, bogus=1), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
    (lambda: V.distance_to_line(bogus=1),
     "Vec3d.distance_to_line() got an unexpected keyword argument 'bogus'"),
    (lambda: V.distance_to_line(W, zz=1, a=W),
     "Vec3d.distance_to_line() got an unexpected keyword argument 'zz'"),
    (lambda: V.distance_to_line(W, a=W, zz=1),
     "Vec3d.distance_to_line() got multiple values for argument 'a'"),
    # Binding before conversion: the unconvertible argument is never looked at.
    (lambda: V.distance_to_line(1),
     "Vec3d.distance_to_line() missing 1 required positional argument: 'b'"),
    (lambda: V.dot(1, 2), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
    (lambda: Vec3d.new_from_to("s", too=1),
     "Vec3d.new_from_to() got an unexpected keyword argument 'too'"),
])
def test_method_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'"),
    ((1,), {}, "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
    ((1, 2), {}, "Vec3d.__new__() missing 1 required positional argument: 'z'"),
    ((), {"y": 1}, "Vec3d.__new__() missing 2 required positional arguments: 'x' and 'z'"),
    ((), {"z": 1, "x": 1}, "Vec3d.__new__() missing 1 required positional argument: 'y'"),
    ((1, 2, 3, 4), {}, "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
    ((1, 2, 3, 4, 5), {"w": 1}, "Vec3d.__new__() takes 3 positional arguments but 5 were given"),
    ((1,), {"x": 2}, "Vec3d.__new__() got multiple values for argument 'x'"),
    ((1, 2, 3), {"z": 2}, "Vec3d.__new__() got multiple values for argument 'z'"),
    ((1,), {"w": 2}, "Vec3d.__new__() got an unexpected keyword argument 'w'"),
    ((1,), {"zz": 1, "x": 2}, "Vec3d.__new__() got an unexpected keyword argument 'zz'"),
    ((1,), {"x": 2, "zz": 1}, "Vec3d.__new__() got multiple values for argument 'x'"),
    (("s", 2), {}, "Vec3d.__new__() missing 1 required positional argument: 'z'"),
    (("s", "t", "u", "v"), {}, "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
])
def test_constructor_binding_messages(make, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        make(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_every_parameter_binds_by_keyword(make):
    assert components(make(z=3, x=1, y=2)) == (1.0, 2.0, 3.0)
    assert components(make(1, z=3, y=2)) == (1.0, 2.0, 3.0)
    a, b = Vec3d(0, 0, 0), Vec3d(2, 0, 0)
    p = Vec3d(1, 1, 0)
    assert p.distance_to_line(b=b, a=a) == 1.0
    assert components(p.project_onto_line(line_q=a, line_r=b)) == (1.0, 0.0, 0.0)
    assert Vec3d.dot(V, other=W) == 32.0
    assert components(Vec3d.new_from_to(**{"from": a}, to=b)) == (2.0, 0.0, 0.0)


# -- conversion order and first failure --------------------------------------------

def test_conversion_runs_in_declaration_order(make):
    seen = []
    make(z=Hook(lambda: seen.append("z")), x=Hook(lambda: seen.append("x")),
         y=Hook(lambda: seen.append("y")))
    assert seen == ["x", "y", "z"]


def test_conversion_stops_at_first_failure(make):
    seen = []
    with pytest.raises(TypeError, match=r"^argument 'y': "):
        make(Hook(lambda: seen.append("x")), "bad", Hook(lambda: seen.append("z")))
    assert seen == ["x"]


@pytest.mark.parametrize("call,message", [
    (lambda: V.distance_to_line(b=1, a="s"),
     "argument 'a': 'str' object cannot be cast as 'Vec3d'"),
    (lambda: V.distance_to_line(W, 1.5), "argument 'b': 'float' object cannot be cast as 'Vec3d'"),
    (lambda: V.scalar_triple_product(c=None, b=W),
     "argument 'c': 'NoneType' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d.new_from_to(to=[], **{"from": ()}),
     "argument 'from': 'tuple' object cannot be cast as 'Vec3d'"),
    (lambda: V.dot(1), "argument 'other': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: V.dot(other=Vec3d), "argument 'other': 'type' object cannot be cast as 'Vec3d'"),
    (lambda: V.cross(Outer.Inner()),
     "argument 'other': 'Outer.Inner' object cannot be cast as 'Vec3d'"),
    (lambda: V.project_onto_plane(FloatLike(1.0)),
     "argument 'normal': 'FloatLike' object cannot be cast as 'Vec3d'"),
])
def test_vec3d_argument_cast_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


# -- float conversion ---------------------------------------------------------------

class MyFloat(float):
    def __float__(self):  # a float subclass is read directly, never through this
        return 99.0


ACCEPTED_FLOATS = [
    pytest.param(2.5, id="float"),
    pytest.param(MyFloat(1.25), id="float-subclass"),
    pytest.param(7, id="int"),
    pytest.param(-(2 ** 53 + 1), id="int-rounded"),
    pytest.param(2 ** 1000, id="int-huge"),
    pytest.param(True, id="True"),
    pytest.param(False, id="False"),
    pytest.param(FloatLike(-0.0), id="__float__"),
    pytest.param(IndexLike(12), id="__index__"),
    pytest.param(Fraction(1, 3), id="Fraction"),
    pytest.param(Decimal("0.1"), id="Decimal"),
]


def expected_float(obj):
    return obj.real if isinstance(obj, MyFloat) else float(obj)


@pytest.mark.parametrize("value", ACCEPTED_FLOATS)
def test_float_parameters_accept_numbers(make, value):
    exp = expected_float(value)
    assert exp != 99.0
    v = make(value, value, z=value)
    assert [bits(c) for c in components(v)] == [bits(exp)] * 3
    v.y = value
    assert bits(v.y) == bits(exp)
    u = Vec3d(1, -1, 0.5)
    for r in (u * value, value * u):
        assert [bits(c) for c in components(r)] == [bits(1.0 * exp), bits(-1.0 * exp),
                                                    bits(0.5 * exp)]
    if exp != 0.0:
        assert bits((u / value).x) == bits(1.0 / exp)


def test_float_parameters_accept_numpy_scalars():
    np = pytest.importorskip("numpy")
    for value in (np.float64(0.1), np.float32(0.1), np.int64(-3), np.uint8(200)):
        exp = float(value)
        v = Vec3d(value, 0, 0)
        assert bits(v.x) == bits(exp)
        assert bits((Vec3d(1, 1, 1) * value).y) == bits(exp)


REJECTED_FLOATS = [
    pytest.param("1.5", id="str"),
    pytest.param(None, id="None"),
    pytest.param([1.0], id="list"),
    pytest.param(b"1", id="bytes"),
    pytest.param(1j, id="complex"),
    pytest.param(Vec3d(0, 0, 0), id="Vec3d"),
    pytest.param(FloatLike("x"), id="__float__-non-float"),
]


@pytest.mark.parametrize("value", REJECTED_FLOATS)
def test_float_conversion_type_errors_are_wrapped(make, value):
    text = float_error(value)
    with pytest.raises(TypeError) as info:
        make(0, 0, value)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'z': " + text

    v = Vec3d(1, 2, 3)
    with pytest.raises(TypeError) as info:
        v.x = value
    assert str(info.value) == "argument 'value': " + text
    assert components(v) == (1.0, 2.0, 3.0)


def test_wrapped_error_keeps_the_original_cause(make):
    original, root = chained_type_error()
    with pytest.raises(TypeError) as info:
        make(1, Raising(original), 3)
    assert type(info.value) is TypeError
    assert info.value is not original
    assert str(info.value) == "argument 'y': inner text"
    assert info.value.__cause__ is root

    v = Vec3d(1, 2, 3)
    with pytest.raises(TypeError) as info:
        v.z = Raising(original)
    assert str(info.value) == "argument 'value': inner text"
    assert info.value.__cause__ is root
    assert v.z == 3.0

    with pytest.raises(TypeError) as info:
        v[Raising(original)]
    assert str(info.value) == "argument 'index': inner text"
    assert info.value.__cause__ is root


def test_wrapped_error_without_cause_has_none(make):
    with pytest.raises(TypeError) as info:
        make(Raising(TypeError("plain")), 0, 0)
    assert str(info.value) == "argument 'x': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("exc", [
    pytest.param(ValueError("no"), id="ValueError"),
    pytest.param(MyTypeError("sub"), id="TypeError-subclass"),
    pytest.param(ZeroDivisionError("zero"), id="ZeroDivisionError"),
    pytest.param(RuntimeError("rt"), id="RuntimeError"),
])
def test_other_conversion_errors_pass_unchanged(make, exc):
    with pytest.raises(type(exc)) as info:
        make(0, Raising(exc), 0)
    assert info.value is exc
    assert str(info.value) == str(exc)

    v = Vec3d(1, 2, 3)
    with pytest.raises(type(exc)) as info:
        v.y = Raising(exc)
    assert info.value is exc
    assert v.y == 2.0

    with pytest.raises(type(exc)) as info:
        v[Raising(exc)]
    assert info.value is exc


def test_interpreter_overflow_is_not_wrapped(make):
    with pytest.raises(OverflowError) as info:
        make(10 ** 400, 0, 0)
    assert not str(info.value).startswith("argument")
    v = Vec3d(1, 2, 3)
    with pytest.raises(OverflowError):
        v.x = -10 ** 400
    assert v.x == 1.0


# -- unsigned index conversion ---------------------------------------------------------

class TrickyInt(int):
    def __index__(self):  # an int subclass is converted directly, never through this
        return 0


@pytest.mark.parametrize("key,expected", [
    (0, 1.0), (1, 2.0), (2, 3.0), (True, 2.0), (False, 1.0),
    (TrickyInt(2), 3.0), (IndexLike(1), 2.0),
])
def test_index_accepts_integers(key, expected):
    assert Vec3d(1, 2, 3)[key] == expected


def test_index_accepts_numpy_integers():
    np = pytest.importorskip("numpy")
    v = Vec3d(1, 2, 3)
    assert v[np.int64(2)] == 3.0
    assert v[np.uint8(1)] == 2.0
    with pytest.raises(OverflowError):
        v[np.int64(-1)]


@pytest.mark.parametrize("key", [1.0, "0", None, slice(0, 2), slice(None), Decimal(1),
                                 IndexLike(1.0)], ids=repr)
def test_index_type_errors_are_wrapped(key):
    text = index_error(key)
    with pytest.raises(TypeError) as info:
        Vec3d(1, 2, 3)[key]
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'index': " + text


@pytest.mark.parametrize("key", [-1, -2 ** 70, IndexLike(-1), 2 ** 64, 2 ** 200,
                                 IndexLike(2 ** 64)], ids=repr)
def test_index_out_of_unsigned_range_overflows_unwrapped(key):
    with pytest.raises(OverflowError) as info:
        Vec3d(1, 2, 3)[key]
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("key", [3, 4, 2 ** 63, 2 ** 64 - 1, IndexLike(3)], ids=repr)
def test_index_past_the_end(key):
    with pytest.raises(IndexError) as info:
        Vec3d(1, 2, 3)[key]
    assert str(info.value) == "Index out of bounds"


# -- operators return NotImplemented ----------------------------------------------------

@pytest.mark.parametrize("dunder,other", [
    ("__add__", 1), ("__add__", 1.0), ("__radd__", 1), ("__sub__", "s"), ("__rsub__", None),
    ("__mul__", V), ("__mul__", "2"), ("__rmul__", V), ("__truediv__", V),
    ("__truediv__", None), ("__rtruediv__", 2), ("__rtruediv__", V),
    ("__mul__", Raising(ValueError("dropped"))), ("__truediv__", Raising(TypeError("x"))),
    ("__mul__", 10 ** 400),
])
def test_slot_returns_notimplemented(dunder, other):
    assert getattr(Vec3d(1, 2, 3), dunder)(other) is NotImplemented


@pytest.mark.parametrize("expr", [
    lambda v: v + 1, lambda v: 1 + v, lambda v: v - 1, lambda v: 1 - v, lambda v: v * v,
    lambda v: 1 / v, lambda v: v / v, lambda v: v + None,
    lambda v: v / "2", lambda v: v * 10 ** 400, lambda v: 10 ** 400 * v,
    lambda v: v * Raising(ValueError("dropped")), lambda v: Raising(KeyError("k")) * v,
    lambda v: v / Raising(ZeroDivisionError("dropped")),
    lambda v: v / Raising(MyTypeError("dropped")),
])
def test_operators_raise_the_interpreters_unsupported_operand_error(expr):
    with pytest.raises(TypeError) as info:
        expr(Vec3d(1, 2, 3))
    assert type(info.value) is TypeError
    assert "unsupported operand" in str(info.value)
    assert info.value.__cause__ is None


class Reflecting:
    """Its conversion fails, so Vec3d's slot must step aside for these."""

    def __float__(self):
        raise ValueError("not a number")

    def __radd__(self, other):
        return "radd"

    def __rsub__(self, other):
        return "rsub"

    def __rmul__(self, other):
        return "rmul"

    def __rtruediv__(self, other):
        return "rtruediv"


def test_notimplemented_lets_the_other_operand_answer():
    v = Vec3d(1, 2, 3)
    r = Reflecting()
    assert v + r == "radd"
    assert v - r == "rsub"
    assert v * r == "rmul"
    assert v / r == "rtruediv"


def test_vec3d_operand_on_the_other_side_only_multiplies():
    v = Vec3d(1, 2, 3)
    assert components(v.__rmul__(2)) == (2.0, 4.0, 6.0)
    assert components(v.__radd__(Vec3d(1, 1, 1))) == (2.0, 3.0, 4.0)
    assert components(v.__rsub__(Vec3d(1, 1, 1))) == (0.0, -1.0, -2.0)


# -- property deletion ---------------------------------------------------------------------

@pytest.mark.parametrize("name", ["x", "y", "z"])
def test_delete_property_fails(name):
    v = Vec3d(1, 2, 3)
    for delete in (lambda: delattr(v, name), lambda: getattr(Vec3d, name).__delete__(v)):
        with pytest.raises(AttributeError) as info:
            delete()
        assert str(info.value) == "can't delete attribute"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        exec(f"del v.{name}")
    assert components(v) == (1.0, 2.0, 3.0)
    setattr(v, name, 9)  # no borrow was left behind
    assert getattr(v, name) == 9.0


# -- borrow flag ---------------------------------------------------------------------------

def assert_writable(*vs):
    for v in vs:
        old = v.x
        v.x = 42.0
        assert v.x == 42.0
        v.x = old


def test_setter_during_a_read_of_the_same_object_is_refused():
    v = Vec3d(1, 2, 3)

    def write():
        v.x = 100.0

    with pytest.raises(RuntimeError) as info:
        v[Hook(write, 1)]
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    assert components(v) == (1.0, 2.0, 3.0)
    assert_writable(v)
    assert v[1] == 2.0


def test_reads_nest_inside_a_read():
    v = Vec3d(1, 2, 3)
    seen = []

    def read():
        seen.append((v.x, v[2], v.dot(v), repr(v), math.isnan(v.distance_to_line(v, v)),
                     components(v * 2), components(-v)))

    assert v[Hook(read, 2)] == 3.0
    assert seen == [(1.0, 3.0, 14.0, "Vec3d(1, 2, 3)", True, (2.0, 4.0, 6.0),
                     (-1.0, -2.0, -3.0))]
    assert_writable(v)


def test_other_objects_stay_writable_during_a_read():
    v, w = Vec3d(1, 2, 3), Vec3d(0, 0, 0)

    def write_other():
        w.x = 5.0

    assert v[Hook(write_other, 0)] == 1.0
    assert w.x == 5.0


def test_setter_converts_its_value_before_borrowing():
    v = Vec3d(1, 2, 3)

    def touch():
        assert v.x == 1.0 and v[1] == 2.0
        v.x = 7.0  # a nested store on the same object is free to run
        v.y = 8.0

    v.x = Hook(touch, 5)
    assert components(v) == (5.0, 8.0, 3.0)
    assert_writable(v)


@pytest.mark.parametrize("expr", [
    lambda v, e: v * e, lambda v, e: e * v, lambda v, e: v / e,
], ids=["mul", "rmul", "truediv"])
def test_operator_whose_operand_writes_the_receiver(expr):
    v = Vec3d(1, 2, 3)

    def write():
        v.x = 100.0

    with pytest.raises(TypeError, match="unsupported operand"):
        expr(v, Hook(write, 2))
    assert components(v) == (1.0, 2.0, 3.0)
    assert_writable(v)


@pytest.mark.parametrize("fail", [
    lambda v, w: v.dot(1),
    lambda v, w: v.distance_to_line(w, 1),
    lambda v, w: v.scalar_triple_product(w, w, w),
    lambda v, w: v.project_onto_line(line_r=w, line_q="q"),
    lambda v, w: Vec3d.new_from_to(w, 1),
    lambda v, w: v[3],
    lambda v, w: v[1.5],
    lambda v, w: v[-1],
    lambda v, w: v[Raising(ValueError())],
    lambda v, w: v * "a",
    lambda v, w: w * v,
    lambda v, w: v / w,
    lambda v, w: v + 1,
    lambda v, w: setattr(v, "x", "a"),
    lambda v, w: delattr(w, "y"),
])
def test_borrows_are_released_after_failures(fail):
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    with pytest.raises((TypeError, IndexError, OverflowError, ValueError, AttributeError)):
        fail(v, w)
    assert components(v) == (1.0, 2.0, 3.0)
    assert components(w) == (4.0, 5.0, 6.0)
    assert_writable(v, w)


def test_same_object_as_receiver_and_arguments():
    v = Vec3d(1, 2, 3)
    assert v.dot(v) == 14.0
    assert components(v - v) == (0.0, 0.0, 0.0)
    assert v.scalar_triple_product(v, v) == 0.0
    assert_writable(v)


# -- float fields: the getter row's checks and its recycled result ---------------------------

def float_fields():
    """(object, field name) for every float member exposed as a field."""
    from kestrum_py import AngleDegrees, AngleRadians, Quat, geometry
    z = Vec3d(0, 0, 1)
    return [(Vec3d(1, 2, 3), n) for n in "xyz"] + [(Quat(1, 2, 3, 4), n) for n in "wijk"] + [
        (AngleRadians(0.5), "angle"), (AngleDegrees(30), "angle"),
        (geometry.Plane(z, 2.0), "distance"), (geometry.Circle(z, 2.0, z), "radius")]


def flag_word(obj):
    """The object's borrow flag, the last word of its instance (header, value, flag)."""
    import ctypes
    return ctypes.c_uint64.from_address(id(obj) + type(obj).__basicsize__ - 8)


@pytest.mark.parametrize("obj,name", float_fields(),
                         ids=[f"{type(o).__name__}.{n}" for o, n in float_fields()])
def test_float_getter_keeps_the_borrow_rules(obj, name):
    flag = flag_word(obj)
    assert flag.value == 0
    value = getattr(obj, name)
    try:
        flag.value = 2**64 - 1  # as if a writer held it
        for _ in range(2):
            with pytest.raises(RuntimeError) as info:
                getattr(obj, name)
            assert type(info.value) is RuntimeError and str(info.value) == "Already mutably borrowed"
            assert flag.value == 2**64 - 1
        flag.value = 3  # three readers elsewhere: reading is fine and leaves them be
        assert bits(getattr(obj, name)) == bits(value)
        assert flag.value == 3
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            setattr(obj, name, 1.0)
        assert flag.value == 3
    finally:
        flag.value = 0
    setattr(obj, name, 0.25)
    assert getattr(obj, name) == 0.25


VALUES = [0.0, -0.0, 1.5, -2.0**-1074, math.inf, float.fromhex("0x1.fffffffffffffp+1023")]


def test_recycled_floats_never_change_a_value_someone_holds():
    from oracle import from_bits
    values = VALUES + [from_bits(0x7FF8000000000123), from_bits(0xFFF0000000000001)]
    for obj, name in float_fields():
        held, expected = [], []
        for value in values:
            setattr(obj, name, value)
            held.append(getattr(obj, name))        # kept: the next read must not reuse it
            expected.append(bits(value))
            getattr(obj, name)                     # dropped at once: may be reused
            pair = (getattr(obj, name), getattr(obj, name))
            assert [bits(p) for p in pair] == [bits(value)] * 2
            assert pair[0] is not pair[1]
        assert [bits(h) for h in held] == expected, name
        kept = {getattr(obj, name): 1}             # a dict key holds one reference too
        setattr(obj, name, 7.0)
        assert [bits(k) for k in kept] == [expected[-1]] and getattr(obj, name) == 7.0


def test_recycled_floats_across_objects_and_fields():
    vs = [Vec3d(i, -i, i / 3) for i in range(50)]
    xs = [v.x for v in vs]
    sums = [v.x + v.y + v.z for v in vs]
    del vs[::2]
    again = [(v.x, v.y, v.z) for v in vs]
    assert [bits(x) for x in xs] == [bits(float(i)) for i in range(50)]
    assert [bits(s) for s in sums] == [bits(i + -i + i / 3) for i in range(50)]
    assert [tuple(map(bits, t)) for t in again] == [
        (bits(float(i)), bits(float(-i)), bits(i / 3)) for i in range(1, 50, 2)]


# -- references ------------------------------------------------------------------------------

def test_calls_keep_no_reference_to_their_arguments():
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
    f = FloatLike(2.0)
    before = sys.getrefcount(w), sys.getrefcount(f), sys.getrefcount(v)
    for _ in range(100):
        v.dot(w)
        v.distance_to_line(a=w, b=w)
        v * f
        f * v
        v.x = f
        Vec3d(f, f, z=f)
        Vec3d.new_from_to(w, w)
        for bad in (lambda: v.distance_to_line(w, 1), lambda: v.dot(w, w),
                    lambda: v.dot(w, other=w), lambda: Vec3d(f, "s", f),
                    lambda: Vec3d.__new__(Vec3d, f, y=f, q=f)):
            with pytest.raises(TypeError):
                bad()
    assert (sys.getrefcount(w), sys.getrefcount(f), sys.getrefcount(v)) == before


def test_failed_conversions_leak_no_exceptions():
    root = ValueError("root")
    original = TypeError("inner")
    original.__cause__ = root
    passthrough = ValueError("unchanged")
    calls = (lambda: Vec3d(Raising(original), 0, 0),
             lambda: Vec3d(1, 2, 3)[Raising(original)],
             lambda: setattr(Vec3d(0, 0, 0), "x", Raising(original)),
             lambda: Vec3d(Raising(passthrough), 0, 0),
             lambda: Vec3d(1, 2, 3) * Raising(original),
             lambda: Vec3d(1, 2, 3) / Raising(passthrough))
    gc.collect()
    before = [sys.getrefcount(e) for e in (original, root, passthrough)]
    for _ in range(50):
        for call in calls:
            try:
                call()
            except (TypeError, ValueError):
                pass
            original.__traceback__ = None  # drop the frames each raise records
            passthrough.__traceback__ = None
    gc.collect()
    assert [sys.getrefcount(e) for e in (original, root, passthrough)] == before


# -- once-only creation of types and of PanicException ------------------------------------
#
# Each case needs a process whose first iterator / first panic has not happened
# yet, so it runs in a child; a hang shows up as the child's timeout.


FIRST_USE = {
    "iter": "next(iter(v))",
    "panic": "expect_panic()",
}

ONCE_PRELUDE = textwrap.dedent("""
    import gc, itertools, os, sys, threading, time, traceback
    from kestrum_py import Vec3d, VecList
    v = VecList([Vec3d(1, 2, 3)] * 3)
    def expect_panic():
        try:
            v.collapse(3)
        except BaseException as e:
            assert type(e).__name__ == "PanicException", e
        else:
            raise AssertionError("no panic")
    def fork_and_use(first_use):
        # The forked child must be able to use the type; a hang or a failure
        # in the child fails the parent.
        pid = os.fork()
        if pid == 0:
            try:
                exec(first_use, globals())
                next(iter(v)); expect_panic()
                os._exit(0)
            except BaseException:
                traceback.print_exc()
                os._exit(4)
        deadline = time.monotonic() + 10
        while not (status := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                os._exit(5)
            time.sleep(0.01)
        if os.waitstatus_to_exitcode(status[1]) != 0:
            os._exit(6)
""")

# Another thread is inside the first creation when this one forks. The other
# thread makes one C-level call from the gate to the first use, so the
# interpreter lock can change hands only inside the creation itself.
FORK_DURING_CREATION = ONCE_PRELUDE + textwrap.dedent("""
    which = sys.argv[1]
    gate = threading.Lock()
    gate.acquire()
    first = map(iter, [v]) if which == "iter" else itertools.starmap(VecList.collapse, [(v, 3)])
    def first_use():
        try:
            list(itertools.chain(itertools.starmap(gate.release, [()]), range(20_000_000), first))
        except BaseException:
            pass
    sys.setswitchinterval(0.001)
    t = threading.Thread(target=first_use)
    t.start()
    gate.acquire()
    sys.setswitchinterval(1.0)  # keep the lock while the other thread settles
    end = time.perf_counter() + 0.02
    while time.perf_counter() < end:
        pass
    fork_and_use("pass")
    t.join()
""")

# Garbage collected inside the creation runs finalizers that use the type
# being created (on 3.11 the collector runs inside the type machinery).
REENTER_CREATION = ONCE_PRELUDE + textwrap.dedent("""
    which, then_fork = sys.argv[1], sys.argv[2] == "fork"
    first_use = (lambda: next(iter(v))) if which == "iter" else expect_panic
    seen = []
    class Cycle:
        def __init__(self):
            self.me = self
        def __del__(self):
            if then_fork and not seen:
                seen.append("forked")
                fork_and_use("first_use()")
            first_use()
            seen.append(1)
    for _ in range(50):
        Cycle()
    gc.set_threshold(1)
    first_use()
    gc.set_threshold(700)
    gc.collect()
    assert len(seen) >= 50, seen
    next(iter(v)); expect_panic()
""")


def run_child(script, *args):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c", script, *args], env=env,
                          capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stderr[-2000:]


@pytest.mark.parametrize("which", FIRST_USE)
def test_fork_while_another_thread_creates_a_type(which):
    # The handover is timing-dependent; three tries catch a hang almost surely.
    for _ in range(3):
        assert run_child(FORK_DURING_CREATION, which) == (0, "")


@pytest.mark.parametrize("then_fork", ["", "fork"])
@pytest.mark.parametrize("which", FIRST_USE)
def test_creation_reentered_by_a_finalizer_returns(which, then_fork):
    rc, err = run_child(REENTER_CREATION, which, then_fork)
    assert rc == 0, err
