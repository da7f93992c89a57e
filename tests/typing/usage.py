"""Typed use of the whole public surface.

mypy checks this file against the installed stubs (every assert_type pins a
result type), and run_stubtest.sh also executes it, so each call written here
is known to work at runtime as well.
"""

import copy
import pickle
from typing import Any, assert_type

import kestrum_py
from kestrum_py import AngleDegrees, AngleRadians, Array, Mat3, Quat, QuatList, Vec3d, VecList, geometry

# The submodule is an attribute, not an importable module: bind its classes
# from the attribute (`from kestrum_py.geometry import ...` fails at runtime).
Circle = geometry.Circle
Plane = geometry.Plane


class Half:
    """A non-float number: float parameters take anything with __float__."""

    def __float__(self) -> float:
        return 0.5


def vectors() -> None:
    v = Vec3d(1, 2.5, Half())
    assert_type(v.x, float)
    v.y = 3
    v.z = Half()
    assert v.z == 0.5
    assert_type(Vec3d.i(), Vec3d)
    assert_type(Vec3d.zero() + Vec3d.k() - Vec3d.j(), Vec3d)
    assert_type(Vec3d.new_from_to(v, Vec3d.i()), Vec3d)
    assert_type(Vec3d.new_from_to(v, to=Vec3d.i()), Vec3d)
    assert_type(v.dot(other=v), float)
    assert_type(v.cross(v), Vec3d)
    assert_type(v.magnitude(), float)
    assert_type(v.normalize(), Vec3d)
    assert_type(v.is_unit(), bool)
    assert_type(v.distance_to(v), float)
    assert_type(v.distance_squared(v), float)
    assert_type(v.distance_to_line(a=Vec3d.zero(), b=Vec3d.i()), float)
    assert_type(v.project_onto_line(line_r=Vec3d.zero(), line_q=Vec3d.i()), Vec3d)
    assert_type(v.project_onto_plane(normal=Vec3d.k()), Vec3d)
    assert_type(v.scalar_triple_product(b=Vec3d.i(), c=Vec3d.j()), float)
    assert_type(v.to_array(), list[float])
    assert_type(v.angle_to(Vec3d.i()), AngleRadians)
    assert_type(v.to_quat(), Quat)
    assert_type(v * 2, Vec3d)
    assert_type(2.0 * v, Vec3d)
    assert_type(True * v, Vec3d)
    assert_type(v / Half(), Vec3d)
    assert_type(-v, Vec3d)
    assert_type(v[0], float)
    v += Vec3d.i()  # rebinds to a new object; no in-place slot is needed
    assert_type(v, Vec3d)


def vector_lists() -> None:
    vl = VecList([Vec3d(1, 0, 0), Vec3d(0, 2, 0)])
    VecList((Vec3d.zero(),))
    vl.append(vec=Vec3d.k())
    vl.extend(other=VecList.empty())
    assert_type(len(vl), int)
    assert_type(vl[1], Vec3d)
    assert_type(vl.list, list[Vec3d])
    assert_type(vl.to_array(), list[list[float]])
    assert_type(vl.magnitude(), list[float])
    assert_type(vl.normalize(), VecList)
    assert_type(vl.is_unit(), list[bool])
    assert_type(vl.dot(Vec3d.i()), list[float])
    assert_type(vl.cross(Vec3d.i()), VecList)
    assert_type(vl.distance_to(Vec3d.i()), list[float])
    index, distance = vl.minimum_distance_to(other=Vec3d.zero(), stride=1)
    assert_type(index, int)
    assert_type(distance, float)
    assert_type(vl.collapse(axis=2), VecList)
    assert_type(vl.rotate(quat=Quat.identity()), None)
    assert_type(vl + Vec3d.i(), VecList)
    assert_type(vl - Vec3d.i(), VecList)
    assert_type(vl * 2, VecList)
    assert_type(3 * vl, VecList)
    assert_type(vl / 2.0, VecList)
    it = iter(vl)
    assert_type(next(it), Vec3d)
    assert iter(it) is it
    total = Vec3d.zero()
    for item in vl:
        assert_type(item, Vec3d)
        total = total + item
    assert_type([w.x for w in vl], list[float])


def angles() -> None:
    a = AngleRadians(angle=1)
    a.angle = Half()
    assert_type(a.angle, float)
    assert_type(AngleRadians.pi() + AngleRadians.half_pi() - AngleRadians.zero(), AngleRadians)
    for make in (AngleRadians.two_pi, AngleRadians.third_pi,
                 AngleRadians.quarter_pi, AngleRadians.sixth_pi):
        assert_type(make(), AngleRadians)
    assert_type(a * 2, AngleRadians)
    assert_type(a / 2, AngleRadians)
    assert_type(-a, AngleRadians)
    assert_type(a < AngleRadians.pi(), bool)
    assert_type(a >= AngleRadians.pi(), bool)
    assert_type(a == 3.0, bool)
    assert_type(a != AngleDegrees(1), bool)
    assert_type(a.to_degrees(), AngleDegrees)
    for trig in (a.sin, a.cos, a.tan, a.sec, a.csc, a.cot):
        assert_type(trig(), float)
    d = AngleDegrees(90)
    d.angle = 45
    assert_type(d.to_radians(), AngleRadians)
    assert_type(sorted([AngleRadians.pi(), a]), list[AngleRadians])
    assert_type({d}, set[AngleDegrees])  # AngleDegrees keeps identity hashing


def quaternions() -> None:
    q = Quat(w=1, i=0, j=0, k=0)
    q.i = 0.5
    assert_type(q.w, float)
    assert_type(Quat.from_axis_angle(axis=Vec3d.k(), angle=AngleRadians.half_pi()), Quat)
    assert_type(q.conjugate(), Quat)
    assert_type(q.magnitude(), float)
    assert_type(q.normalize(), Quat)
    assert_type(q.is_unit(), bool)
    assert_type(q.to_vec3d(), tuple[float, float, float])
    axis, angle = q.to_axis_angle()
    assert_type(axis, Vec3d)
    assert_type(angle, AngleRadians)
    assert_type(q.to_rotation_matrix(), list[list[float]])
    assert_type(q.rotate(v=Vec3d.i()), Vec3d)
    r = AngleRadians(0.25)
    assert_type(q.then(p=q), Quat)
    assert_type(q.inverse(), Quat)
    assert_type(q.slerp(p=Quat.identity(), t=0.5), Quat)
    assert_type(q.angle_to(p=q), AngleRadians)
    m = q.as_matrix()
    assert_type(m, Mat3)
    assert_type(m[0], list[float])
    assert_type(m[-1, 2], float)
    assert_type(m[:2], list[list[float]])
    assert_type(m.tolist(), list[list[float]])
    assert_type(m @ Vec3d(1, 2, 3), Vec3d)
    assert_type(m @ m.transpose(), Mat3)
    assert_type([row for row in m], list[list[float]])
    assert_type(Mat3(m), Mat3)
    assert_type(Mat3([[1, 0, 0], [0, 1, 0], [0, 0, 1]]) == m, bool)
    assert_type(Quat.from_matrix(m), Quat)
    assert m == copy.deepcopy(m) and pickle.loads(pickle.dumps(m)) == m
    assert_type(q.as_rotvec(), Vec3d)
    assert_type(q.as_euler(seq="ZYX"), tuple[AngleRadians, AngleRadians, AngleRadians])
    assert_type(Quat.from_matrix(m=[[1, 0, 0], [0, 1, 0], [0, 0, 1]]), Quat)
    assert_type(Quat.from_matrix(memoryview(bytes(72)).cast("d", (3, 3))), Quat)
    assert_type(Quat.from_rotvec(v=Vec3d(0, 0, 0.5)), Quat)
    assert_type(Quat.from_euler(seq="xyz", a=r, b=r, c=r), Quat)
    assert_type(Quat.between(a=Vec3d.i(), b=Vec3d.j()), Quat)
    pts = VecList([Vec3d.i(), Vec3d.j()])
    assert_type(Quat.align(a=pts, b=pts), tuple[Quat, float])


def planes_and_circles() -> None:
    p: geometry.Plane = geometry.Plane.xy()
    assert_type(kestrum_py.geometry.Plane.xz(), Plane)
    assert_type(Plane.yz(), Plane)
    assert_type(Plane(Vec3d.k(), distance=-5), Plane)
    assert_type(Plane.from_point(normal=Vec3d.k(), point=Vec3d.zero()), Plane)
    assert_type(Plane.from_points(point1=Vec3d.zero(), point2=Vec3d.i(), point3=Vec3d.j()), Plane)
    assert_type(p.normal, Vec3d)
    assert_type(p.distance, float)
    p.normal = Vec3d(0, 0, 2)
    p.distance = 1
    assert_type(p.contains_point(point=Vec3d.zero()), bool)
    assert_type(p.distance_to_point(Vec3d.k()), float)

    c = Circle(center=Vec3d.zero(), radius=5, normal=Vec3d.k())
    c.center = Vec3d.i()
    c.radius = -2.0
    c.normal = Vec3d.j()
    assert_type(c.center, Vec3d)
    assert_type(c.radius, float)
    assert_type(c.area, float)
    assert_type(Circle.none(), Circle)
    assert_type(c.get_plane(), Plane)
    assert_type(c.in_same_plane(other=Circle.none()), bool)
    assert_type(c.is_degenerate(), bool)
    assert_type(c == 5, bool)
    assert_type(c != Circle.none(), bool)


def intersections() -> None:
    n0 = Vec3d.k()
    c1 = geometry.Circle(Vec3d(0, 0, 0), 5, n0)
    c2 = geometry.Circle(Vec3d(6, 0, 0), 5, n0)
    hit = geometry.circle_circle(circle1=c1, circle2=c2)
    assert_type(hit, tuple[Vec3d, Vec3d] | None)
    assert hit is not None
    p1, p2 = hit
    assert_type(p1.y - p2.y, float)
    assert_type(geometry.circle_point(c1, point=Vec3d(5, 0, 0), inner=False), bool)
    assert_type(geometry.circle_point_unchecked(circle=c1, point=n0, inner=True), bool)
    assert_type(geometry.plane_line(plane=geometry.Plane.xy(), a=n0, b=-n0), Vec3d)


def crossing_borders() -> None:
    vl = VecList.from_array([[1, 2.5, Half()], (0.0, True, 3)])
    assert_type(vl, VecList)
    assert_type(VecList.from_array(array=memoryview(vl)), VecList)
    view = memoryview(vl)
    assert view.shape == (2, 3)
    view.release()
    assert_type(copy.copy(vl), VecList)
    assert_type(copy.deepcopy(geometry.Plane.xy()), geometry.Plane)
    fn, args = Quat.identity().__reduce_ex__(2)
    assert_type(args, tuple[str, int, bytes | pickle.PickleBuffer])
    q = fn(*args)
    assert isinstance(q, Quat) and q.w == 1.0
    back = pickle.loads(pickle.dumps([Vec3d.i(), AngleDegrees(90), geometry.Circle.none()]))
    assert isinstance(back[0], Vec3d)


def many_rotations() -> None:
    ql = QuatList([Quat.identity(), Quat(0.5, 0.5, 0.5, 0.5)])
    assert_type(QuatList.from_array([[1, 0, 0, 0]]), QuatList)
    ql.append(Quat.identity())
    ql.extend(other=QuatList.empty())
    assert_type(ql[0], Quat)
    assert_type(len(ql), int)
    assert_type(ql.rotate(Vec3d.i()), VecList)
    assert_type(ql.rotate(VecList([Vec3d.i()] * 3)), VecList)
    assert_type(ql.then(Quat.identity()), QuatList)
    assert_type(ql.then(p=ql), QuatList)
    assert_type(Quat.identity().then(ql), QuatList)
    assert_type(ql.inverse().conjugate().normalize(), QuatList)
    assert_type(ql.magnitude(), Array)
    assert_type(ql.angle_to(Quat.identity()), Array)
    m = ql.as_matrix()
    assert_type(m.shape, tuple[int, ...])
    assert_type(len(m), int)
    assert_type(m.tolist(), list[Any])
    assert_type(m[0][1, 2] + m[0, 1, 2] + sum(m[:, 0, 0]), Any)
    assert_type(m == m.tolist(), bool)
    assert_type(ql.slerp(ql, 0.5), QuatList)
    assert_type(QuatList.slerp_path(Quat.identity(), Quat(0, 1, 0, 0), [0.0, 0.5, 1]), QuatList)
    assert_type(QuatList.from_matrix(ql.as_matrix()), QuatList)
    assert_type(QuatList.from_rotvec(ql.as_rotvec()), QuatList)
    assert_type(QuatList.from_euler("xyz", ql.as_euler("xyz")), QuatList)
    assert_type(ql.mean(), Quat)
    assert_type([q.w for q in ql], list[float])
    assert_type(copy.deepcopy(ql), QuatList)


def annotated(v: Vec3d, vl: VecList, c: geometry.Circle, p: geometry.Plane) -> tuple[float, int]:
    """Every class can be named in annotations, the geometry ones through the submodule."""
    return v.x + p.distance + c.radius, len(vl)


if __name__ == "__main__":
    vectors()
    vector_lists()
    angles()
    quaternions()
    planes_and_circles()
    intersections()
    crossing_borders()
    many_rotations()
    annotated(Vec3d.zero(), VecList.empty(), geometry.Circle.none(), geometry.Plane.xy())
    print("usage.py ran")
