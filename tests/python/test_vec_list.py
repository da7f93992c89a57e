"""VecList and its iterator: construction, element access, bulk operations,
operators, the nearest-element search, repr and re-entrant borrow conflicts."""

import math
import random

import pytest

from kestrum_py import Quat, Vec3d, VecList

import purepy as pp
from purepy import bits, from_bits, same_double

INF = math.inf
NAN = math.nan
ORIGIN = (0.0, 0.0, 0.0)


def c(v):
    return (v.x, v.y, v.z)


def elems(v):
    return [c(e) for e in v.list]


def vl(*tuples):
    return VecList([Vec3d(*t) for t in tuples])


def assert_bits(got, expected):
    assert [bits(g) for g in got] == [bits(e) for e in expected], (got, expected)


def assert_panics(message, fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    e = info.value
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception)
    assert e.args == (message,)


class Seq:
    """A user sequence: __getitem__ and __len__ only, iterated by index."""

    def __init__(self, items, fail_at=None, exc=None, length=None):
        self.items, self.fail_at, self.exc, self.length = items, fail_at, exc, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc
        return self.items[i]


class Idx:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


A, B, C = (1.0, 2.0, 3.0), (0.5, -0.0, -4.0), (-7.25, 1e-300, INF)
ABC = [A, B, C]


# -- construction -----------------------------------------------------------------

CONSTRUCTORS = [
    pytest.param(lambda x: VecList(x), id="call"),
    pytest.param(lambda x: VecList(list=x), id="keyword"),
    pytest.param(lambda x: VecList.__new__(VecList, x), id="tp_new"),
]


@pytest.mark.parametrize("make", CONSTRUCTORS)
@pytest.mark.parametrize("container", [list, tuple, Seq, lambda xs: Seq(xs, length=ValueError("no len")),
                                       lambda xs: Seq(xs, length=10**9), lambda xs: Seq(xs, length=0)],
                         ids=["list", "tuple", "seq", "len-raises", "len-huge", "len-short"])
def test_construct_from_sequences(make, container):
    src = [Vec3d(*t) for t in ABC]
    v = make(container(src))
    assert type(v) is VecList and len(v) == 3
    for e, t in zip(v.list, ABC):
        assert_bits(c(e), t)
    src[0].x = 99.0  # the list copied the values
    assert v[0].x == 1.0


@pytest.mark.parametrize("src", [[], (), Seq([]), b"", range(0)], ids=repr)
def test_construct_empty(src):
    v = VecList(src)
    assert len(v) == 0 and repr(v) == "[]" and v.list == []
    assert len(VecList.empty()) == 0 and VecList.empty() is not VecList.empty()


class StrSub(str):
    pass


def gen():
    yield Vec3d(1, 2, 3)


@pytest.mark.parametrize("arg,message", [
    ("abc", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (StrSub("x"), "Can't extract `str` to `Vec`"),
    (gen(), "'generator' object cannot be cast as 'Sequence'"),
    ({Vec3d(1, 2, 3)}, "'set' object cannot be cast as 'Sequence'"),
    ({0: Vec3d(1, 2, 3)}, "'dict' object cannot be cast as 'Sequence'"),
    (iter([Vec3d(1, 2, 3)]), "'list_iterator' object cannot be cast as 'Sequence'"),
    (VecList([Vec3d(1, 2, 3)]), "'VecList' object cannot be cast as 'Sequence'"),
    (Vec3d(1, 2, 3), "'Vec3d' object cannot be cast as 'Sequence'"),
    (None, "'NoneType' object cannot be cast as 'Sequence'"),
    ([Vec3d(1, 2, 3), 1], "'int' object cannot be cast as 'Vec3d'"),
    ([(1.0, 2.0, 3.0)], "'tuple' object cannot be cast as 'Vec3d'"),
    ([Quat(1, 0, 0, 0)], "'Quat' object cannot be cast as 'Vec3d'"),
    (b"ab", "'int' object cannot be cast as 'Vec3d'"),
    (range(2), "'int' object cannot be cast as 'Vec3d'"),
], ids=lambda x: type(x).__name__)
def test_construct_rejections(arg, message):
    with pytest.raises(TypeError) as info:
        VecList(arg)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'list': " + message


class MyTypeError(TypeError):
    pass


def test_iteration_errors():
    items = [Vec3d(*t) for t in ABC]
    boom = ValueError("boom")
    with pytest.raises(ValueError) as info:
        VecList(Seq(items, fail_at=2, exc=boom))
    assert info.value is boom

    sub = MyTypeError("sub")
    with pytest.raises(MyTypeError) as info:
        VecList(Seq(items, fail_at=1, exc=sub))
    assert info.value is sub  # only an exact TypeError is wrapped

    cause = KeyError("k")
    err = TypeError("bad item")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        VecList(Seq(items, fail_at=1, exc=err))
    assert type(info.value) is TypeError and info.value is not err
    assert str(info.value) == "argument 'list': bad item"
    assert info.value.__cause__ is cause


def test_items_are_borrowed_only_while_copied():
    items = [Vec3d(1, 1, 1), Vec3d(2, 2, 2)]

    class Mutating(Seq):
        def __getitem__(self, i):
            if i == 1:
                items[0].x = 5.0  # item 0 was already copied and released
            return super().__getitem__(i)

    v = VecList(Mutating(items))
    assert elems(v) == [(1.0, 1.0, 1.0), (2.0, 2.0, 2.0)]
    assert items[0].x == 5.0


@pytest.mark.parametrize("call,message", [
    (lambda: VecList(), "VecList.__new__() missing 1 required positional argument: 'list'"),
    (lambda: VecList([], []), "VecList.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: VecList(lst=[]), "VecList.__new__() got an unexpected keyword argument 'lst'"),
    (lambda: VecList([], list=[]), "VecList.__new__() got multiple values for argument 'list'"),
    (lambda: VecList.__new__(VecList), "VecList.__new__() missing 1 required positional argument: 'list'"),
    (lambda: vl(A).dot(), "VecList.dot() missing 1 required positional argument: 'other'"),
    (lambda: vl(A).minimum_distance_to(Vec3d(*A)),
     "VecList.minimum_distance_to() missing 1 required positional argument: 'stride'"),
    (lambda: vl(A).minimum_distance_to(),
     "VecList.minimum_distance_to() missing 2 required positional arguments: 'other' and 'stride'"),
    (lambda: vl(A).append(Vec3d(*A), Vec3d(*A)),
     "VecList.append() takes 1 positional arguments but 2 were given"),
    (lambda: vl(A).extend(vec=vl()), "VecList.extend() got an unexpected keyword argument 'vec'"),
    (lambda: vl(A).dot(1), "argument 'other': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: vl(A).append(1), "argument 'vec': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: vl(A).extend([Vec3d(*A)]), "argument 'other': 'list' object cannot be cast as 'VecList'"),
    (lambda: vl(A).rotate(Vec3d(*A)), "argument 'quat': 'Vec3d' object cannot be cast as 'Quat'"),
    (lambda: vl(A).collapse(1.0), "argument 'axis': 'float' object cannot be interpreted as an integer"),
    (lambda: vl(A).minimum_distance_to(Vec3d(*A), "1"),
     "argument 'stride': 'str' object cannot be interpreted as an integer"),
    # 'other' converts before 'stride' is checked for zero
    (lambda: vl().minimum_distance_to(None, 0),
     "argument 'other': 'NoneType' object cannot be cast as 'Vec3d'"),
    (lambda: vl(A).magnitude(1), "VecList.magnitude() takes no arguments (1 given)"),
], ids=range(18))
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_and_signatures():
    v, p = vl(A, B), Vec3d(4, 5, 6)
    assert v.minimum_distance_to(stride=1, other=p) == v.minimum_distance_to(p, 1)
    v.append(vec=p)
    v.extend(other=vl(A))
    v.rotate(quat=Quat(1, 0, 0, 0))
    assert elems(v.collapse(axis=0)) == [(0.0,) + e[1:] for e in elems(v)]
    assert elems(v) == [A, B, (4.0, 5.0, 6.0), A]
    assert VecList.__text_signature__ == "(list)"
    sigs = {"empty": "()", "append": "($self, vec)", "extend": "($self, other)", "to_array": "($self)",
            "magnitude": "($self)", "normalize": "($self)", "is_unit": "($self)", "dot": "($self, other)",
            "cross": "($self, other)", "distance_to": "($self, other)", "collapse": "($self, axis)",
            "minimum_distance_to": "($self, other, stride)", "rotate": "($self, quat)"}
    for name, sig in sigs.items():
        assert getattr(VecList, name).__text_signature__ == sig, name
    assert vars(VecList)["list"].__doc__ is None
    with pytest.raises(AttributeError):
        v.list = []


# -- growing ----------------------------------------------------------------------

def test_append_and_extend_copy_values():
    v = VecList.empty()
    w = Vec3d(*A)
    assert v.append(w) is None
    w.x = 42.0
    other = vl(B, C)
    assert v.extend(other) is None
    other.append(Vec3d(9, 9, 9))
    other.rotate(Quat(0, 1, 0, 0))
    assert elems(v) == [A, B, C] and len(other) == 3
    v.extend(VecList.empty())
    assert len(v) == 3
    for _ in range(1000):  # growth keeps earlier elements in place
        v.append(w)
    assert len(v) == 1003 and elems(v)[:4] == [A, B, C, (42.0, 2.0, 3.0)]


def test_failed_growth_adds_nothing():
    v = vl(A, B)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        v.extend(v)
    assert elems(v) == [A, B]
    with pytest.raises(TypeError):
        v.append(None)
    assert len(v) == 2
    v.extend(v.normalize())  # the flag was released
    assert len(v) == 4


# -- element access ------------------------------------------------------------------

@pytest.mark.parametrize("key,expected", [
    (0, A), (2, C), (True, B), (False, A), (Idx(1), B),
])
def test_subscript(key, expected):
    assert_bits(c(VecList([Vec3d(*t) for t in ABC])[key]), expected)


@pytest.mark.parametrize("key,exc,message", [
    (3, IndexError, "Index out of bounds"),
    (2**64 - 1, IndexError, "Index out of bounds"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (Idx(-1), OverflowError, None),
    (slice(0, 2), TypeError, "argument 'index': 'slice' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
    ("0", TypeError, "argument 'index': 'str' object cannot be interpreted as an integer"),
], ids=repr)
def test_subscript_errors(key, exc, message):
    v = VecList([Vec3d(*t) for t in ABC])
    with pytest.raises(exc) as info:
        v[key]
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


def test_elements_handed_out_are_copies():
    v = vl(A, B)
    assert v[0] is not v[0]
    v[0].x = 9.0
    v.list[1].y = 9.0
    for e in v:
        e.z = 9.0
    assert elems(v) == [A, B]
    assert all(type(e) is Vec3d for e in v.list)
    assert v.list is not v.list


def test_iterator_walks_a_private_copy():
    v = vl(A, B)
    it = iter(v)
    assert iter(it) is it and type(it).__name__ == "VecListIterator"
    assert c(next(it)) == A
    v.append(Vec3d(*C))  # the iterator holds no borrow of v
    v.rotate(Quat(0, 0, 0, 1))
    assert [c(e) for e in it] == [B]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    v.append(Vec3d(*A))
    with pytest.raises(StopIteration):
        next(it)
    assert len(list(iter(v))) == 4 and list(iter(VecList.empty())) == []


# -- bulk operations: fixed cases ------------------------------------------------------

EMPTY_OPS = [
    ("to_array", ()), ("magnitude", ()), ("normalize", ()), ("is_unit", ()), ("dot", (Vec3d(*A),)),
    ("cross", (Vec3d(*A),)), ("distance_to", (Vec3d(*A),)), ("collapse", (0,)), ("collapse", (1,)),
    ("collapse", (2,)),
]


@pytest.mark.parametrize("make", [lambda: VecList([]), lambda: VecList(()), VecList.empty])
def test_bulk_operations_on_empty_lists(make):
    v = make()
    for name, args in EMPTY_OPS:
        r = getattr(v, name)(*args)
        if isinstance(r, VecList):
            assert len(r) == 0 and r is not v
        else:
            assert r == [] and type(r) is list
    for r in (v + Vec3d(*A), v - Vec3d(*A), v * 2.0, 2.0 * v, v / 0.0):
        assert type(r) is VecList and len(r) == 0
    assert v.rotate(Quat(1, 2, 3, 4)) is None and len(v) == 0
    assert repr(v) == str(v) == "[]"
    assert_panics("called `Option::unwrap()` on a `None` value", v.minimum_distance_to, Vec3d(*A), 1)
    assert_panics("assertion failed: stride != 0", v.minimum_distance_to, Vec3d(*A), 0)
    assert_panics("assertion failed: axis <= 2", v.collapse, 3)


def test_result_kinds():
    v, p = vl(A, B), Vec3d(*C)
    for r in (v.magnitude(), v.dot(p), v.distance_to(p)):
        assert type(r) is list and len(r) == 2 and all(type(x) is float for x in r)
    assert [type(x) for x in v.is_unit()] == [bool, bool]
    arr = v.to_array()
    assert arr == [list(A), list(B)] and all(type(row) is list for row in arr)
    assert all(type(x) is float for row in arr for x in row)
    for r in (v.normalize(), v.cross(p), v.collapse(1), v + p, v - p, v * 2, v / 2):
        assert type(r) is VecList and len(r) == 2 and r is not v
    assert elems(v) == [A, B]  # none of them touched the receiver
    m = v.minimum_distance_to(p, 1)
    assert type(m) is tuple and type(m[0]) is int and type(m[1]) is float


@pytest.mark.parametrize("xyz,unit", [
    ((1.0, 0.0, 0.0), True), ((0.0, -1.0, 0.0), True), ((0.6, 0.8, 0.0), True),
    ((1.0 + 2.0**-52, 0.0, 0.0), False),  # |m - 1| equals epsilon: not strictly below
    ((1.0 - 2.0**-53, 0.0, 0.0), True),
    ((0.0, 0.0, 0.0), False), ((NAN, 0.0, 0.0), False), ((INF, 0.0, 0.0), False),
    ((2.0, 0.0, 0.0), False),
])
def test_is_unit_cases(xyz, unit):
    assert vl(xyz).is_unit() == [unit]


def test_zero_vector_normalizes_to_nans():
    n = vl(ORIGIN).normalize()
    assert all(math.isnan(x) for x in c(n[0]))
    assert n.is_unit() == [False] and vl(ORIGIN).is_unit() == [False]


@pytest.mark.parametrize("axis", [0, 1, 2, True, Idx(2)])
def test_collapse_writes_positive_zero(axis):
    src = [(-1.5, -0.0, NAN), (-0.0, -0.0, -0.0), (INF, 2.0, -3.0)]
    got = vl(*src).collapse(axis)
    k = int(axis.value if isinstance(axis, Idx) else axis)
    for e, t in zip(got.list, src):
        expected = list(t)
        expected[k] = 0.0
        assert [bits(x) for x in c(e)] == [bits(x) for x in expected], (e, expected)  # NaNs copied as they are


@pytest.mark.parametrize("axis", [3, 4, 2**64 - 1])
def test_collapse_axis_too_large_panics(axis):
    v = vl(A)
    assert_panics("assertion failed: axis <= 2", v.collapse, axis)
    assert elems(v) == [A]
    with pytest.raises(OverflowError):
        v.collapse(-1)


# -- operators --------------------------------------------------------------------------

class F:
    def __float__(self):
        return 2.0


@pytest.mark.parametrize("scalar", [2, 2.0, F(), Idx(2)], ids=["int", "float", "__float__", "__index__"])
def test_scaling_both_sides(scalar):
    v = vl(A, B)
    for r in (v * scalar, scalar * v):
        assert_bits([x for e in elems(r) for x in e], [2 * x for e in (A, B) for x in e])
    assert elems(v / scalar) == [(0.5, 1.0, 1.5), (0.25, -0.0, -2.0)]


@pytest.mark.parametrize("divisor", [0.0, -0.0])
def test_division_by_zero(divisor):
    got = elems(vl((1.0, -2.0, 0.0), (-0.0, NAN, INF)) / divisor)
    s = math.copysign(1.0, divisor)
    expected = [(s * INF, -s * INF, NAN), (NAN, NAN, s * INF)]
    for g, e in zip(got, expected):
        assert all(same_double(x, y) for x, y in zip(g, e)), (got, expected)


def test_add_sub():
    v, p = vl(A, B), Vec3d(1, -1, 0.5)
    assert elems(v + p) == [(2.0, 1.0, 3.5), (1.5, -1.0, -3.5)]
    assert elems(v - p) == [(0.0, 3.0, 2.5), (-0.5, 1.0, -4.5)]


@pytest.mark.parametrize("op", [
    lambda v: v + 1.0, lambda v: Vec3d(1, 2, 3) + v, lambda v: Vec3d(1, 2, 3) - v, lambda v: v - v,
    lambda v: v + v, lambda v: 1.0 / v, lambda v: v / v, lambda v: v * v, lambda v: v * Vec3d(1, 2, 3),
    lambda v: Vec3d(1, 2, 3) * v, lambda v: v / "2", lambda v: v * None, lambda v: 1.0 - v,
    lambda v: v / Vec3d(1, 2, 3),
], ids=range(14))
def test_unsupported_operands(op):
    v = vl(A)
    with pytest.raises(TypeError) as info:
        op(v)
    assert not str(info.value).startswith("argument")
    assert elems(v) == [A]


def test_no_in_place_operators():
    v = vl(A)
    alias = v
    v += Vec3d(1, 1, 1)
    v *= 2
    v -= Vec3d(1, 1, 1)
    v /= 2
    assert v is not alias and elems(alias) == [A]
    assert elems(v) == [(1.5, 2.5, 3.5)]


# -- nearest-element search ------------------------------------------------------------

X_AXIS = [(x, 0.0, 0.0) for x in (5.0, 100.0, 3.0, 100.0, 100.0, 0.0)]


@pytest.mark.parametrize("stride,expected", [
    (1, (5, 0.0)), (2, (2, 3.0)), (3, (2, 3.0)), (4, (2, 3.0)), (5, (5, 0.0)), (6, (5, 0.0)),
    (10, (5, 0.0)), (2**63, (5, 0.0)), (2**64 - 1, (5, 0.0)), (Idx(2), (2, 3.0)), (True, (5, 0.0)),
], ids=repr)
def test_minimum_distance_x_axis(stride, expected):
    got = vl(*X_AXIS).minimum_distance_to(Vec3d(0, 0, 0), stride)
    assert got == expected and type(got[0]) is int


@pytest.mark.parametrize("points,p,expected", [
    ([(1, 0, 0), (-1, 0, 0), (0, 1, 0)], ORIGIN, 0),
    ([(-0.0, 0, 0), (0.0, 0, 0)], ORIGIN, 0),
    ([(0.0, 0, 0), (-0.0, -0.0, -0.0)], (-0.0, 0.0, -0.0), 0),
    ([(2, 0, 0), (1, 0, 0), (1, 0, 0), (0, 1, 0)], ORIGIN, 1),
    ([(1, 0, 0), (NAN, 0, 0)], ORIGIN, 0),   # +NaN key ranks above everything
    ([(1, 0, 0), (-NAN, 0, 0)], ORIGIN, 1),  # -NaN key ranks below everything
    ([(NAN, 0, 0), (INF, 0, 0)], ORIGIN, 1),
    ([(NAN, 0, 0), (NAN, 1, 1)], ORIGIN, 0),
    ([(3, 4, 0)] * 2 + [(0, 4, 3)] * 997 + [(-3, -4, 0)], ORIGIN, 0),  # long runs of equal keys
    ([(9, 9, 9)] * 600 + [(0, 4, 3)] * 400, ORIGIN, 600),
])
def test_minimum_distance_ties_and_nans(points, p, expected):
    v = vl(*points)
    for stride in (1, len(points), 2**64 - 1):
        j, d = v.minimum_distance_to(Vec3d(*p), stride)
        assert j == expected
        assert same_double(d, pp.distance_to(points[j], p))


@pytest.mark.parametrize("stride", [0, False, Idx(0)])
def test_minimum_distance_zero_stride_panics(stride):
    v = vl(A)
    assert_panics("assertion failed: stride != 0", v.minimum_distance_to, Vec3d(*A), stride)
    with pytest.raises(OverflowError):
        v.minimum_distance_to(Vec3d(*A), -1)
    with pytest.raises(OverflowError):
        v.minimum_distance_to(Vec3d(*A), 2**64)
    v.append(Vec3d(*B))  # no borrow left behind
    assert len(v) == 2


# -- repr ------------------------------------------------------------------------------

@pytest.mark.parametrize("points,text", [
    ([], "[]"),
    ([(1, 2, 3)], "[Vec3d(1, 2, 3)]"),
    ([(1, 2, 3), (0.5, 0, -4)], "[Vec3d(1, 2, 3)\nVec3d(0.5, 0, -4)]"),
    ([(-0.0, NAN, -INF), (1e20, 1e-7, 0.1), (-NAN, INF, 2.5)],
     "[Vec3d(-0, NaN, -inf)\nVec3d(100000000000000000000, 0.0000001, 0.1)\nVec3d(NaN, inf, 2.5)]"),
])
def test_repr_small(points, text):
    v = vl(*points)
    assert repr(v) == str(v) == text


@pytest.mark.parametrize("n", [3001, 1 << 15])  # the latter: exactly one block of text
def test_repr_many(n):
    rng = random.Random(7)
    points = [(rng.uniform(-1e6, 1e6), from_bits(rng.getrandbits(64)),
               rng.choice((0.0, -0.0, 5e-324, INF))) for _ in range(n)]
    text = repr(vl(*points))
    assert text == "[" + "\n".join(pp.vec_repr(t) for t in points) + "]"
    assert text.count("\n") == n - 1


# -- re-entrant borrow conflicts ---------------------------------------------------------

MUTATORS = [
    pytest.param(lambda v: v.append(Vec3d(9, 9, 9)), 3, id="append"),
    pytest.param(lambda v: v.extend(vl(C, C)), 4, id="extend"),
    pytest.param(lambda v: v.rotate(Quat(0, 0, 0, 1)), 2, id="rotate"),
]
READERS = [
    pytest.param(lambda v, i: v.collapse(i), id="collapse"),
    pytest.param(lambda v, i: v[i], id="subscript"),
    pytest.param(lambda v, i: v.minimum_distance_to(Vec3d(0, 0, 0), i), id="minimum_distance_to"),
]


@pytest.mark.parametrize("mutate,length", MUTATORS)
@pytest.mark.parametrize("read", READERS)
def test_mutation_from_inside_a_shared_borrow(read, mutate, length):
    v = vl(A, B)
    with pytest.raises(RuntimeError) as info:
        read(v, Idx(1, lambda: mutate(v)))
    assert type(info.value) is RuntimeError and str(info.value) == "Already borrowed"
    assert elems(v) == [A, B]
    mutate(v)  # the flag was released on the way out
    assert len(v) == length and elems(v) != [A, B]


@pytest.mark.parametrize("read", READERS)
def test_shared_borrows_overlap(read):
    v, sink = vl(A, B), VecList.empty()
    seen = []

    def inside():
        seen.extend([len(v), repr(v), v.magnitude(), elems(v), c(v[0]),
                     v.minimum_distance_to(Vec3d(*B), 1)])
        sink.extend(v)  # sink exclusive, v shared

    read(v, Idx(1, inside))
    assert seen[0] == 2 and seen[5] == (1, 0.0) and elems(sink) == [A, B]


def test_argument_held_for_the_whole_call():
    v, p = vl(A, B), Vec3d(*B)

    def set_x():
        p.x = 7.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        v.minimum_distance_to(p, Idx(1, set_x))
    assert p.x == 0.5
    p.x = 7.0
    assert p.x == 7.0


def test_operator_conversion_conflict_means_not_implemented():
    v = vl(A)
    caught = []

    class Sneaky:
        def __float__(self):
            try:
                v.append(Vec3d(0, 0, 0))
            except RuntimeError as e:
                caught.append(str(e))
            return 3.0

    class Raising:
        def __float__(self):
            v.append(Vec3d(0, 0, 0))
            return 3.0

    assert elems(v * Sneaky()) == [(3.0, 6.0, 9.0)]
    assert caught == ["Already borrowed"]
    with pytest.raises(TypeError, match="unsupported operand"):
        v / Raising()  # the conversion error is dropped
    assert elems(v) == [A]
