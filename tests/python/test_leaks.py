"""Reference and memory leak checks.

Each scenario drives a group of entry points, error paths included, once per
iteration. After a warm-up the scenario runs ROUNDS more times ITERATIONS
iterations, and between the warm-up and the last round neither the number of
live Python objects and allocator blocks, nor the reference count of any class
(every instance holds one to its type), nor the C heap may grow by more than a
small bound. A leaked object, exception, cause or buffer per call shows up
thousands of times over.
"""

import copy
import ctypes
import gc
import os
import pickle
import sys

import pytest

import kestrum_py
from kestrum_py import AngleDegrees, AngleRadians, KdTree, Mat3, Quat, Vec3d, VecList, geometry
Circle, Plane = geometry.Circle, geometry.Plane

try:
    import numpy as np
except ImportError:
    np = None

from kestrum_fuzz import fuzz_api  # noqa: E402

WARMUP = 300
ITERATIONS = 1500
ROUNDS = 2
BIG = 64  # elements of the VecLists: a leaked array is 1.5 KiB per call

VecListIterator = type(iter(VecList.empty()))
CLASSES = [Vec3d, VecList, VecListIterator, Quat, AngleRadians, AngleDegrees, Plane, Circle, KdTree, Mat3,
           kestrum_py.Array, type(iter(kestrum_py.QuatList.empty().magnitude()))]


# -- measuring -----------------------------------------------------------------

def _heap_reader():
    """Bytes in use on the C heap: the sanitizer's count under ASan, else
    glibc's. The flag says whether a sanitizer owns the heap."""
    libc = ctypes.CDLL(None)
    try:
        f = libc.__sanitizer_get_current_allocated_bytes
        f.restype = ctypes.c_size_t
        return f, True
    except AttributeError:
        pass
    try:
        mallinfo2 = libc.mallinfo2
    except AttributeError:
        return None, False

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = Mallinfo2
    return (lambda: mallinfo2().uordblks + mallinfo2().hblkhd), False


# Under ASan freed memory sits in quarantine, so the resident size says nothing
# there; the sanitizer's own count of live bytes is exact instead.
HEAP, SANITIZED = _heap_reader()


def _rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    return {
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "heap": HEAP() if HEAP else 0,
        "rss": 0 if SANITIZED else _rss(),
        **{f"refs({c.__name__})": sys.getrefcount(c) for c in CLASSES},
    }


def growth(before, after):
    return {k: after[k] - before[k] for k in before}


# Allowed growth over ROUNDS * ITERATIONS iterations after the warm-up: far
# below one per iteration, far above the interpreter's own noise.
BOUNDS = {
    "objects": 200,
    "blocks": 300,
    "heap": 64 * 1024,
    "rss": 8 * 1024 * 1024,
}
REF_BOUND = 5


# -- hostile helpers ------------------------------------------------------------

class Hook:
    """Runs `action` inside __float__ / __index__, then converts normally."""

    def __init__(self, action, value=1):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Raises:
    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()

    def __index__(self):
        raise self.make()

    def __eq__(self, other):
        raise self.make()

    __hash__ = None


class Seq:
    """A sequence whose iteration fails after `good` items."""

    def __init__(self, items, good, exc=ValueError, bad_len=False):
        self.items, self.good, self.exc, self.bad_len = items, good, exc, bad_len

    def __len__(self):
        if self.bad_len:
            raise self.exc("len")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, v in enumerate(self.items):
            if i == self.good:
                raise self.exc("mid-iteration")
            yield v


class CauseTypeError:
    def __float__(self):
        raise TypeError("inner") from KeyError("the cause")


def expect(exc_types, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_types:
        return
    except BaseException as e:  # PanicException is no Exception
        if type(e).__name__ == "PanicException" and "PanicException" in str(exc_types):
            return
        raise
    raise AssertionError(f"{fn} did not raise {exc_types}")


PANIC = "PanicException"


def expect_panic(fn, *args):
    try:
        fn(*args)
    except BaseException as e:
        assert type(e).__name__ == PANIC, repr(e)
        return
    raise AssertionError("no panic")


# -- scenarios ---------------------------------------------------------------------

def _vectors(n):
    return [Vec3d(i, -0.5 * i, 1.0 / (i + 1)) for i in range(n)]


BIG_LIST = VecList(_vectors(BIG))
SOURCE = _vectors(BIG)


def vec3d_ok():
    v = Vec3d(1, 2.5, -3)
    w = Vec3d(x=0.5, y=-1, z=2)
    u = Vec3d.__new__(Vec3d, 1.0, 0.0, 0.0)
    v.dot(w), v.cross(other=w), v.magnitude(), v.normalize(), v.is_unit()
    v.distance_to(w), v.distance_squared(w), v.distance_to_line(w, u)
    v.project_onto_line(w, u), v.project_onto_plane(u), v.scalar_triple_product(w, u)
    v.to_array(), v.angle_to(w), v.to_quat()
    Vec3d.i(), Vec3d.j(), Vec3d.k(), Vec3d.zero(), Vec3d.new_from_to(**{"from": v, "to": w})
    v.x, v.y, v.z
    v.x = 4.0
    v.y = 2
    v[0], v[2], v[True]
    repr(v), str(w)
    v + w, v - w, v * 2, 2 * v, v / 0, -v


def binding_errors():
    v = Vec3d(1, 2, 3)
    expect(TypeError, v.dot)
    expect(TypeError, v.dot, v, v)
    expect(TypeError, v.dot, v, other=v)
    expect(TypeError, v.dot, x=v)
    expect(TypeError, v.distance_to_line)
    expect(TypeError, v.magnitude, 1)
    expect(TypeError, Vec3d)
    expect(TypeError, Vec3d, 1, 2, 3, 4)
    expect(TypeError, Vec3d, 1, 2, z=3, w=4)
    expect(TypeError, Vec3d.__new__, Vec3d, 1, 2, x=3)
    expect(TypeError, Vec3d.__new__, Vec3d)
    expect(TypeError, Vec3d.new_from_to, v)
    expect(TypeError, Quat.from_axis_angle, axis=v)
    expect(TypeError, geometry.plane_line, Plane.xy(), v)
    expect(TypeError, geometry.circle_circle, Circle.none(), Circle.none(), Circle.none())
    expect(TypeError, geometry.circle_point, circle=Circle.none(), point=v, inner=True, x=1)
    expect(TypeError, VecList)
    expect(TypeError, VecList.__new__, VecList, [], list=[])
    expect(TypeError, VecListIterator)


def conversion_errors():
    v = Vec3d(1, 2, 3)
    expect(TypeError, v.dot, 1)
    expect(TypeError, v.dot, Quat.identity())
    expect(TypeError, Vec3d, "1", 2, 3)
    expect(TypeError, Vec3d, 1, None, 3)
    expect(TypeError, Vec3d, 1, 2, CauseTypeError())
    expect(ValueError, Vec3d, Raises(ValueError), 2, 3)
    expect(MemoryError, AngleRadians, Raises(MemoryError))
    expect(OverflowError, Vec3d, 2 ** 1024, 0, 0)
    expect(OverflowError, v.__getitem__, -1)
    expect(OverflowError, v.__getitem__, 2 ** 64)
    expect(TypeError, v.__getitem__, 1.0)
    expect(TypeError, v.__getitem__, slice(0, 1))
    expect(IndexError, v.__getitem__, 3)
    c = Circle(v, 1.0, Vec3d.k())
    expect(TypeError, geometry.circle_point, c, v, 1)
    expect(TypeError, geometry.circle_point_unchecked, c, v, None)
    if np is not None:
        geometry.circle_point(c, v, np.bool_(True))
        Vec3d(np.float64(1.5), np.int64(2), np.float32(3))
        expect(TypeError, Vec3d, np.array([1.0, 2.0]), 0, 0)
    expect(TypeError, Quat.from_axis_angle, v, AngleDegrees(90))
    expect(TypeError, Quat.from_axis_angle, v, 1.5)


def setter_errors():
    v = Vec3d(1, 2, 3)
    expect(TypeError, setattr, v, "x", "text")
    expect(TypeError, setattr, v, "y", CauseTypeError())
    expect(ValueError, setattr, v, "z", Raises(ValueError))
    expect(AttributeError, delattr, v, "x")
    p = Plane.xy()
    expect(TypeError, setattr, p, "normal", 1.0)
    expect(AttributeError, delattr, p, "distance")
    c = Circle.none()
    expect(AttributeError, setattr, c, "area", 1.0)
    expect(AttributeError, delattr, c, "radius")
    expect(AttributeError, setattr, BIG_LIST, "list", [])
    expect(AttributeError, setattr, v, "other", 1)
    q = Quat.identity()
    q.w = 0.5
    expect(TypeError, setattr, q, "k", [])


def not_implemented():
    v = Vec3d(1, 2, 3)
    a = AngleRadians(1.0)
    c = Circle(v, 1.0, Vec3d.k())
    expect(TypeError, lambda: v + 1)
    expect(TypeError, lambda: 1 / v)
    expect(TypeError, lambda: v * v)
    expect(TypeError, lambda: 1 - v)
    expect(TypeError, lambda: v * Raises(ValueError))  # the conversion error is discarded
    expect(TypeError, lambda: v * Hook(lambda: setattr(v, "x", 0.0)))
    expect(TypeError, lambda: a < 1.0)
    expect(TypeError, lambda: 2 * a)
    expect(TypeError, lambda: a + AngleDegrees(1))
    expect(TypeError, lambda: c < c)
    expect(TypeError, lambda: Quat.identity() + Quat.identity())
    expect(TypeError, lambda: -Quat.identity())
    expect(TypeError, lambda: BIG_LIST + 1.0)
    expect(TypeError, lambda: v + BIG_LIST)
    expect(TypeError, hash, a)
    expect(TypeError, hash, c)
    assert (c == 5) is False and (c != 5) is True
    assert (a == 1.0) is False and (a != "x") is True
    assert (a != a) is False
    expect(KeyError, lambda: c != Raises(KeyError))
    expect(ValueError, lambda: a != Raises(ValueError))
    assert Vec3d.__radd__(v, 1) is NotImplemented
    assert AngleRadians.__lt__(a, 1) is NotImplemented
    assert Circle.__eq__(c, None) is NotImplemented


def borrow_conflicts():
    v = Vec3d(1, 2, 3)
    expect(RuntimeError, v.__getitem__, Hook(lambda: setattr(v, "x", 5.0)))
    lst = VecList(SOURCE[:8])
    p = Vec3d(0, 0, 0)
    expect(RuntimeError, lst.minimum_distance_to, p, Hook(lambda: lst.append(p)))
    expect(RuntimeError, lst.minimum_distance_to, p, Hook(lambda: setattr(p, "x", 1.0)))
    expect(RuntimeError, lst.collapse, Hook(lambda: lst.rotate(Quat.identity())))
    expect(RuntimeError, lst.extend, lst)
    # Reads nest inside a read; the setter converts before it borrows.
    lst.minimum_distance_to(p, Hook(lambda: (lst.magnitude(), repr(lst))))
    v.x = Hook(lambda: setattr(v, "y", 7.0), 3.0)


def panics():
    lst = VecList(SOURCE[:4])
    expect_panic(lst.collapse, 3)
    expect_panic(lst.collapse, 2 ** 64 - 1)
    expect_panic(lst.minimum_distance_to, Vec3d.zero(), 0)
    expect_panic(VecList.empty().minimum_distance_to, Vec3d.zero(), 1)
    expect_panic(VecList.empty().minimum_distance_to, Vec3d.zero(), 0)


def iterators():
    it = iter(BIG_LIST)
    assert iter(it) is it
    n = sum(1 for _ in it)
    assert n == BIG
    expect(StopIteration, next, it)
    expect(StopIteration, next, it)
    it2 = iter(VecList.empty())
    expect(StopIteration, next, it2)
    list(iter(VecList(SOURCE[:3])))


def veclist_construction_failures():
    expect(TypeError, VecList, "abc")
    expect(TypeError, VecList, (v for v in SOURCE[:3]))
    expect(TypeError, VecList, {1, 2})
    expect(TypeError, VecList, BIG_LIST)
    expect(TypeError, VecList, SOURCE + [1] + SOURCE)
    expect(TypeError, VecList, SOURCE + [Quat.identity()])
    expect(ValueError, VecList, Seq(SOURCE, BIG // 2))
    expect(TypeError, VecList, Seq(SOURCE, BIG // 2, exc=TypeError))
    expect(MemoryError, VecList, Seq(SOURCE, BIG - 1, exc=MemoryError))
    VecList(Seq(SOURCE[:10], 99, bad_len=True))  # a failing len() is only a size hint
    VecList(tuple(SOURCE[:10]))
    VecList([])


def veclist_bulk():
    lst = BIG_LIST
    p = Vec3d(0.5, -1, 2)
    q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.third_pi())
    lst.to_array(), lst.magnitude(), lst.normalize(), lst.is_unit(), lst.dot(p)
    lst.cross(p), lst.distance_to(p), lst.minimum_distance_to(p, 1)
    lst.minimum_distance_to(other=p, stride=7), lst.collapse(0), lst.collapse(1), lst.collapse(2)
    lst + p, lst - p, lst * 2.0, 3 * lst, lst / 0.0
    repr(lst), lst.list, len(lst), lst[0], lst[BIG - 1]
    expect(IndexError, lst.__getitem__, BIG)
    expect(OverflowError, lst.__getitem__, -1)
    expect(TypeError, lst.__getitem__, "0")
    expect(TypeError, lst.dot, 1.0)
    expect(TypeError, lst.rotate, p)
    mine = VecList(SOURCE)
    mine.rotate(q)
    mine.append(p)
    mine.extend(lst)
    expect(TypeError, mine.append, lst)
    expect(TypeError, mine.extend, SOURCE)
    VecList.empty().normalize()


def quat_and_angles():
    q = Quat(0.5, 0.5, -0.5, 0.5)
    v = Vec3d(1, 2, 3)
    q.conjugate(), q.magnitude(), q.normalize(), q.is_unit(), q.to_vec3d(), q.to_axis_angle()
    q.to_rotation_matrix(), q.rotate(v), q.rotate(v=v), repr(q), Quat.identity().to_axis_angle()
    Quat.from_axis_angle(v, AngleRadians(0.3)), Quat.from_axis_angle(angle=AngleRadians.pi(), axis=v)
    expect(TypeError, q.rotate, q)
    r = AngleRadians(0.4)
    q.then(q), q.inverse(), q.slerp(Quat.identity(), 0.3), q.angle_to(q), q.as_rotvec(), q.as_euler("ZXZ")
    m = q.as_matrix()
    Quat.from_matrix(m), Quat.from_matrix(tuple(map(tuple, m))), Quat.from_rotvec(v), Quat.between(v, -v)
    Quat.from_euler("xyz", r, r, r)
    expect(ValueError, q.as_euler, "xxz")
    expect(ValueError, Quat.from_euler, "xyzx", r, r, r)
    expect(ValueError, Quat.from_matrix, m[:2])
    expect(ValueError, Quat.from_matrix, [[1, 2], [3, 4], [5, 6]])
    expect(TypeError, Quat.from_matrix, [[1, 2, 3], [3, 4, 5], [5, 6, "7"]])
    expect(TypeError, Quat.from_matrix, memoryview(bytes(72)).cast("q", (3, 3)))
    expect(ValueError, Quat.from_matrix, memoryview(bytes(96)).cast("d", (4, 3)))
    pts = VecList(SOURCE[:300])
    Quat.align(pts, pts)
    expect(ValueError, Quat.align, pts, VecList(SOURCE[:3]))
    a, b = AngleRadians(1.0), AngleRadians.half_pi()
    a.sin(), a.cos(), a.tan(), a.sec(), a.csc(), a.cot(), a.to_degrees(), repr(a)
    AngleRadians.zero(), AngleRadians.pi(), AngleRadians.two_pi(), AngleRadians.third_pi()
    AngleRadians.quarter_pi(), AngleRadians.sixth_pi()
    a + b, a - b, a * 2, a / 0, -a, a < b, a <= b, a == b, a != b, a > b, a >= b
    d = AngleDegrees(90)
    d.to_radians(), repr(d), d.angle
    d.angle = -720
    a.angle = float("nan")


def geometry_all():
    v, w, u = Vec3d(1, 2, 3), Vec3d(0, 0, 1), Vec3d(4, -1, 0.5)
    p = Plane(v, 2.0)
    Plane.from_point(w, v), Plane.from_points(v, w, u), Plane.xy(), Plane.xz(), Plane.yz()
    p.contains_point(v), p.distance_to_point(u), p.normal, p.distance
    p.normal = w
    p.distance = -1
    c1 = Circle(Vec3d(0, 0, 0), 5, w)
    c2 = Circle(center=Vec3d(6, 0, 0), radius=5, normal=w)
    c1.center, c1.radius, c1.normal, c1.area, c1.get_plane(), c1.in_same_plane(c2)
    c1.is_degenerate(), c1 == c2, c1 != c2, Circle.none() == Circle.none()
    c2.radius = -2.0
    c2.center = u
    geometry.plane_line(p, v, u), geometry.plane_line(plane=Plane.xy(), a=w, b=v)
    geometry.circle_point(c1, v, True), geometry.circle_point_unchecked(c1, v, False)
    geometry.circle_circle(c1, Circle(Vec3d(6, 0, 0), 5, w))
    geometry.circle_circle(c1, c1)
    expect(TypeError, geometry.circle_circle, c1, p)
    expect(TypeError, geometry.plane_line, c1, v, u)
    expect(TypeError, Circle, v, "r", w)


def geo_all():
    g = kestrum_py.geo
    pts = g.from_lat_lon([10.0, 20.0, 30.0], 5.0)
    g.from_lat_lon(1, 2), g.from_lat_lon(1, 2, degrees=False), g.to_lat_lon(pts), g.to_lat_lon(pts[0], degrees=False)
    g.arc_to_chord(0.5), g.chord_to_arc([0.1, 0.2]), g.great_circle(pts, pts[1]), g.great_circle(pts[0], pts[1])
    expect(ValueError, g.from_lat_lon, [1.0, 2.0], [1.0])
    expect(ValueError, g.great_circle, pts, [[1, 2, 3]])
    expect(TypeError, g.to_lat_lon, pts, degrees="yes")
    expect(TypeError, g.arc_to_chord, "x")


def foreign_receivers():
    v, q = Vec3d(1, 2, 3), Quat.identity()
    expect(TypeError, Vec3d.dot, q, v)
    expect(TypeError, Vec3d.__dict__["x"].__get__, q)
    expect(TypeError, Vec3d.__dict__["x"].__set__, q, 1.0)
    expect(TypeError, VecList.__len__, v)
    assert VecList.__rmul__(BIG_LIST, 2.0) is not NotImplemented
    assert Vec3d.__rsub__(v, v) is not NotImplemented
    assert Vec3d.__rtruediv__(v, 2) is NotImplemented
    expect(TypeError, setattr, v, "__class__", Quat)
    expect(TypeError, setattr, AngleRadians(1), "__class__", AngleDegrees)


def border():
    """numpy in and out, pickling and copying, their error paths included."""
    lst = VecList(SOURCE[:16])
    view = memoryview(lst)
    expect(RuntimeError, lst.append, Vec3d.zero())
    view.release()
    lst.append(Vec3d.zero())
    VecList.from_array(lst.to_array())
    expect(TypeError, VecList.from_array, [[1, 2, "x"]])
    expect(ValueError, VecList.from_array, [[1, 2]])
    expect(ValueError, VecList.from_array, Seq([[1, 2, 3]] * 4, 2))
    expect(TypeError, VecList.from_array, "abc")
    if np is not None:
        arr = np.asarray(lst)
        VecList.from_array(arr), VecList.from_array(np.asfortranarray(arr)[::-1]), VecList.from_array(arr.astype(np.float32))
        del arr
        expect(TypeError, VecList.from_array, np.zeros((4, 3), np.int64))
        expect(ValueError, VecList.from_array, np.zeros((4, 4)))
    for obj in (lst, Vec3d(1, 2, 3), Quat.identity(), AngleRadians(1), AngleDegrees(2), Plane.xy(),
                Circle.none()):
        for protocol in (2, 5):
            pickle.loads(pickle.dumps(obj, protocol))
        copy.copy(obj), copy.deepcopy(obj)
    buffers = []
    data = pickle.dumps(lst, 5, buffer_callback=buffers.append)
    pickle.loads(data, buffers=buffers)
    buffers[0].release()
    expect(TypeError, pickle.dumps, iter(lst))
    expect(ValueError, kestrum_py._unpickle, "Vec3d", 2, bytes(24))
    expect(ValueError, kestrum_py._unpickle, "VecList", 1, bytes(25))
    expect(ValueError, kestrum_py._unpickle, "Nope", 1, b"")
    expect(TypeError, kestrum_py._unpickle, "Vec3d", 1, 24)


def kd_tree():
    """Every KdTree entry, its result arrays (also wrapped by numpy), pickles
    in and out of band, and its error paths."""
    pts = BIG_LIST
    tree = KdTree(pts)
    p = Vec3d(0.5, -1.0, 2.0)
    tree.nearest(p), len(tree), repr(tree), tree.points
    idx, dist = tree.nearest_many(pts, 3)
    idx.tolist(), bytes(dist)
    if np is not None:
        np.asarray(idx), np.asarray(dist)
    tree.within(p, 5.0).tolist()
    offsets, indices = tree.within_many([[0, 0, 0], [1, 2, 3]], 4.0)
    offsets.tolist(), indices.tolist()
    tree.nearest_many(pts, 2, 0.5), tree.within_many(pts, [4.0] * len(pts), 2), tree.count_within(p, 4.0).tolist()
    tree.pairs_within(1.0).tolist()
    expect(ValueError, tree.within_many, pts, [1.0, 2.0])
    expect(ValueError, tree.within_many, pts, 1.0, 0)
    expect(TypeError, tree.count_within, pts, "x")
    for protocol in (2, 5):
        pickle.loads(pickle.dumps(tree, protocol))
    buffers = []
    data = pickle.dumps(tree, 5, buffer_callback=buffers.append)
    pickle.loads(data, buffers=buffers)
    buffers[0].release()
    copy.copy(tree), copy.deepcopy(tree)
    expect(ValueError, tree.nearest_many, pts, 0)
    expect(ValueError, KdTree, [[1, 2]])
    expect(TypeError, tree.within_many, "abc", 1.0)
    expect(ValueError, tree.within, p, Raises(ValueError))
    expect(TypeError, tree.nearest, "abc")
    expect(ValueError, tree.nearest, [1, 2])
    expect(ValueError, tree.nearest_many, [[1, 2]], 1)
    expect(ValueError, kestrum_py._unpickle, "KdTree", 1, bytes(48))


def mat3():
    m = Quat(0.5, 0.5, -0.5, 0.5).as_matrix()
    v = Vec3d(1, 2, 3)
    len(m), m[1], m[-1, 0], list(m), m.tolist(), m.transpose(), m @ v, m @ m, repr(m)
    m == m, m != m.tolist(), m == (1, 2), m == 3, Mat3(m), Mat3(m.tolist()), Quat.from_matrix(m)
    view = memoryview(m)
    view.tolist(), view.release()
    pickle.loads(pickle.dumps(m)), copy.copy(m), copy.deepcopy(m)
    expect(IndexError, m.__getitem__, 3)
    expect(IndexError, m.__getitem__, (0, -4))
    expect(TypeError, m.__getitem__, (0, 1, 2))
    expect(TypeError, m.__getitem__, "0")
    expect(TypeError, lambda: m @ 2.0)
    expect(ValueError, Mat3, [[1, 2, 3]])
    expect(TypeError, Mat3, [[1, 2, 3], [4, 5, 6], [7, 8, "9"]])
    expect(ValueError, kestrum_py._unpickle, "Mat3", 1, bytes(64))


def arrays():
    """Every Array entry on 1-, 2- and 3-D results: parts that share and parts
    copied, iteration, text, ==, the buffer, and the error paths."""
    idx, dist = KdTree(BIG_LIST).nearest_many([[0, 0, 0], [1, 2, 3], [4, 5, 6], [7, 8, 9], [1, 1, 1]], 3)
    mats = kestrum_py.QuatList([Quat(0.5, 0.5, -0.5, 0.5)] * 2).as_matrix()
    for r in (idx, dist, mats, idx[0]):
        len(r), r.shape, r.strides, r.ndim, r.format, r.nbytes, r.tobytes(), r.tolist(), list(r), repr(r)
        r[0], r[-1], r[1:], r[::-1], r == r, r != r.tolist(), r == 3, memoryview(r).release()
    idx[1, 2], idx[:, 0], dist[2, -1], mats[1, :, 0], mats[1, 2, 0], idx == dist
    expect(IndexError, idx.__getitem__, 5)
    expect(IndexError, idx.__getitem__, (0, -4))
    expect(IndexError, idx.__getitem__, (0, 1, 2))
    expect(TypeError, idx.__getitem__, "0")
    expect(TypeError, idx.__getitem__, (0, None))
    expect(TypeError, idx.__getitem__, [0])


SCENARIOS = [vec3d_ok, binding_errors, conversion_errors, setter_errors, not_implemented,
             borrow_conflicts, panics, iterators, veclist_construction_failures, veclist_bulk,
             quat_and_angles, geometry_all, geo_all, foreign_receivers, border, kd_tree, mat3, arrays]


def fuzz_replay():
    """The same seeded fuzz batch, from a fresh fuzzer each time: everything the
    fuzzer reaches, hostile and re-entrant calls included."""
    fz = fuzz_api.Fuzzer(seed=99).run(150)
    assert fz.finding_count == 0, fuzz_api.format_report(fz.summary())


def run_rounds(scenario, warmup, iterations, rounds):
    for _ in range(warmup):
        scenario()
    first = measure()
    for _ in range(rounds):
        for _ in range(iterations):
            scenario()
    return growth(first, measure())


def check(delta, iterations, **bounds):
    bounds = {**BOUNDS, **bounds}
    over = {k: v for k, v in delta.items() if v > bounds.get(k, REF_BOUND)}
    assert not over, f"grew over {iterations} iterations: {over} (all: {delta})"


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda f: f.__name__)
def test_no_growth(scenario):
    check(run_rounds(scenario, WARMUP, ITERATIONS, ROUNDS), ROUNDS * ITERATIONS)


def test_no_growth_replaying_a_fuzz_batch():
    # The interpreter's attribute cache fills slowly with the fuzzer's many
    # names, a few blocks per batch for a while; a leak per call would be
    # one block or more in each of the 7500 calls.
    check(run_rounds(fuzz_replay, 20, 25, 2), 50 * 150, blocks=1500)


def test_the_measure_sees_a_leak():
    """A scenario that keeps one instance and one array per iteration must fail."""
    kept = []

    def leaky():
        kept.append(VecList(SOURCE))

    delta = run_rounds(leaky, 10, 500, 1)
    with pytest.raises(AssertionError):
        check(delta, 500)
    assert delta["refs(VecList)"] >= 500
    if HEAP:
        assert delta["heap"] >= 500 * BIG * 24


# -- running out of memory -------------------------------------------------------------------
#
# A child process caps its own address space a little above what it uses. An
# allocation failure anywhere, on a pool worker too, must arrive as
# MemoryError, leave the receiver and the arguments as they were, and keep no
# reference. ASan reserves terabytes of shadow memory, so no cap is possible
# under it.

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

MEMORY_CHILD = r"""
import gc, resource, struct, sys
from kestrum_py import Quat, Vec3d, VecList
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
def vmsize():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
def capped(mb, fn):
    resource.setrlimit(resource.RLIMIT_AS, (vmsize() + (mb << 20), hard))
    try:
        fn()
        return "ok"
    except MemoryError:
        return "MemoryError"
    except BaseException as e:
        return f"{type(e).__name__}: {e}"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
VecList([])  # the pool's threads exist before any cap
outcomes = set()

# Construction from six million references to one vector: the buffer grows
# past the cap.
item = Vec3d(1, 2, 3)
src = [item] * 6_000_000
refs = sys.getrefcount(src), sys.getrefcount(item)
outcomes.add(capped(100, lambda: VecList(src)))
gc.collect()
assert (sys.getrefcount(src), sys.getrefcount(item)) == refs, "constructor kept references"
del src

# Bulk work on 4.1 million elements; repr builds its texts on the workers.
v = VecList([Vec3d(i * 0.1, -i, 1e-300 * i) for i in range(4_100_000)])
def digest():
    picks = [v[i] for i in (0, 1, len(v) // 3, len(v) - 1)]
    return len(v), struct.pack("<12d", *(c for e in picks for c in (e.x, e.y, e.z)))
before = digest()
q = Quat(0.5, 0.5, -0.5, 0.5)
for mb in (5, 20, 40, 80, 120):
    outcomes.add(capped(mb, lambda: repr(v)))
    outcomes.add(capped(mb, lambda: (v.normalize(), v.magnitude(), v.to_array())))
    assert digest() == before, mb
    rotated = capped(mb, lambda: v.rotate(q))
    outcomes.add(rotated)
    if rotated == "ok":  # a finished rotation is fine
        before = digest()
    assert digest() == before, mb
print(sorted(outcomes))
"""


@pytest.mark.skipif(UNDER_ASAN, reason="no address-space cap under AddressSanitizer")
def test_out_of_memory_is_memory_error_and_changes_nothing():
    import subprocess

    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "RAYON_NUM_THREADS": "2"}
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcomes = eval(proc.stdout)
    assert "MemoryError" in outcomes
    assert set(outcomes) <= {"ok", "MemoryError"}, outcomes


# -- resident memory over long loops ------------------------------------------------------
#
# Large element blocks come from a cache of recently freed blocks, which holds
# at most the larger of 64 MiB and the bytes of the large lists alive. A long
# loop of bulk operations must keep the resident size flat, and freeing lists
# must give everything above that limit back to the system.

RSS_CHILD = r"""
import os, sys
from kestrum_py import Quat, Vec3d, VecList
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
MiB = 1 << 20
p, q = Vec3d(0.25, -1.5, 3.0), Quat(0.5, 0.5, -0.5, 0.5)
# Below the cache's threshold, inside the cap, and one list bigger than the cap.
lists = [VecList.from_array([[i * 0.5, -i, 1.0] for i in range(n)]) for n in (3_000, 40_000, 1_000_000, 3_500_000)]
def loop(rounds):
    for _ in range(rounds):
        for v in lists:
            r = v * 2.0; r = r / 3.0; r = r + p; r = r - p; r = r.collapse(1)
            r = v.normalize(); r = v.cross(p); v.rotate(q); del r
            v.minimum_distance_to(p, 7)
loop(3)
settled = rss()
loop(60)
grown = rss() - settled
# Lists of a size the cache cannot hold all of, freed at once while only
# their 24 MiB source is alive: the limit is then the 64 MiB floor.
source = lists[2]
del lists
held = [source * float(k) for k in range(12)]
before_free = rss()
del held
freed = before_free - rss()
print(repr((grown / MiB, freed / MiB)))
"""


def _rss_child():
    import subprocess

    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.run([sys.executable, "-c", RSS_CHILD], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return eval(proc.stdout)


@pytest.mark.skipif(SANITIZED or UNDER_ASAN, reason="the sanitizer owns the heap and keeps freed memory")
def test_bulk_loops_keep_rss_flat_and_give_memory_back():
    grown, freed = _rss_child()
    assert grown < 8, f"resident size grew {grown:.1f} MiB over 60 rounds"
    # Twelve 24 MiB results were live; at most the 64 MiB floor (plus one
    # block's rounding) may stay resident after they are freed.
    assert freed >= 12 * 22.9 - 64 - 2, f"only {freed:.1f} MiB went back"
