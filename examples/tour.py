"""A short tour of kestrum_py
===========================

Every line printed is computed by the library.

Run after installing the module:  .venv/bin/python examples/tour.py

To add a section, write a function and list it in SECTIONS. Where an output
would surprise a first-time reader, a `#` line under it says why it is right.
"""

import math

import kestrum_py as kp

Vec3d = kp.Vec3d


def show(label, value, note=None):
    print(f"  {label:<46} {value!r}")
    if note:
        print(f"  {'':<46} # {note}")


def vectors():
    a = Vec3d(1.0, 2.0, 3.0)
    b = Vec3d(x=-2, y=0.5, z=4)  # ints and keywords are fine
    show("a", a)
    show("b", b)
    show("a + b", a + b)
    show("a - b", a - b)
    show("2 * a", 2 * a)
    show("a / 4", a / 4)
    show("-Vec3d.zero()", -Vec3d.zero(), "-0 is IEEE negative zero: it equals 0 and keeps its sign")
    show("a.dot(b)", a.dot(b))
    show("a.cross(b)", a.cross(b))
    show("a.magnitude()", a.magnitude())
    show("a.normalize()", a.normalize())
    show("a.normalize().is_unit()", a.normalize().is_unit())
    show("a.distance_to(b)", a.distance_to(b))
    show("a.distance_to_line(Vec3d.zero(), Vec3d.i())", a.distance_to_line(Vec3d.zero(), Vec3d.i()))
    show("a.project_onto_plane(Vec3d.k())", a.project_onto_plane(Vec3d.k()))
    show("a.scalar_triple_product(b, Vec3d.k())", a.scalar_triple_product(b, Vec3d.k()))
    show("a[2], a.to_array()", (a[2], a.to_array()))

    print("  -- awkward values never raise; reprs are shortest round-trip decimals")
    show("Vec3d(0.1, -0.0, 1e20)", Vec3d(0.1, -0.0, 1e20))
    show("Vec3d(0.1 + 0.2, 1/3, 1e-7)", Vec3d(0.1 + 0.2, 1 / 3, 1e-7))
    show("Vec3d(0, 1, -1) / 0", Vec3d(0, 1, -1) / 0)
    show("Vec3d.zero().normalize()", Vec3d.zero().normalize())
    show("Vec3d(math.inf, 0, 0).magnitude()", Vec3d(math.inf, 0, 0).magnitude())


def angles():
    right = kp.AngleDegrees(90)
    show("AngleDegrees(90)", right)
    show("  .to_radians()", right.to_radians())
    show("AngleRadians.sixth_pi().sin()", kp.AngleRadians.sixth_pi().sin())
    show("AngleRadians.third_pi().to_degrees()", kp.AngleRadians.third_pi().to_degrees())
    show("Vec3d.i().angle_to(Vec3d(1, 1, 0))", Vec3d.i().angle_to(Vec3d(1, 1, 0)))
    show("Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2))", Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2)))


def quaternions():
    q = kp.Quat.from_axis_angle(Vec3d.k(), kp.AngleRadians.half_pi())
    show("q = Quat.from_axis_angle(k, half_pi)", q,
         "vector part negated: the conjugate of PyGLM's or scipy's (docs/guide/rotations.md)")
    show("q.rotate(Vec3d.i())", q.rotate(Vec3d.i()),
         "x is 2.2e-16, not 0: cos and sin of 45 degrees are rounded doubles")
    show("q.is_unit()", q.is_unit())
    show("q.to_axis_angle()", q.to_axis_angle(), "the axis comes back negated, from the stored conjugate")
    show("q.conjugate().rotate(Vec3d.j())", q.conjugate().rotate(Vec3d.j()))


def rotations():
    # Forward kinematics of a 6-joint arm: each joint turns about its own
    # axis, then the link carries on. Chaining with `then` composes the
    # turns in the order they happen (base first).
    joints = [(Vec3d.k(), 0.5), (Vec3d.j(), -0.3), (Vec3d.j(), 0.8), (Vec3d.i(), 0.2), (Vec3d.j(), -0.6), (Vec3d.i(), 1.0)]
    link = Vec3d(0.0, 0.0, 0.25)  # each link, in its joint's frame
    orientation = kp.Quat.identity()
    tip = Vec3d.zero()
    for axis, angle in joints:
        # the joint's turn happens in the frame built so far: joint first, then the chain
        orientation = kp.Quat.from_axis_angle(axis, kp.AngleRadians(angle)).then(orientation)
        tip = tip + orientation.rotate(link)
    show("arm tip after 6 joints", tip)
    show("tool orientation as_rotvec()", orientation.as_rotvec())
    show("tool orientation as_euler('ZYX')", orientation.as_euler("ZYX"))
    show("from_matrix(as_matrix()).angle_to(it)", kp.Quat.from_matrix(orientation.as_matrix()).angle_to(orientation),
         "the round trip through the matrix is exact to rounding")
    start = kp.Quat.identity()
    show("halfway there: identity.slerp(tool, 0.5)", start.slerp(orientation, 0.5))
    show("  its angle_to(tool), tool's angle", (start.slerp(orientation, 0.5).angle_to(orientation),
                                                start.angle_to(orientation)))
    show("Quat.between(i, j).rotate(i)", kp.Quat.between(Vec3d.i(), Vec3d.j()).rotate(Vec3d.i()))
    seen = kp.VecList([Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1), Vec3d(1, 1, 1)])
    moved = kp.VecList([orientation.rotate(p) for p in seen])
    best, rmsd = kp.Quat.align(seen, moved)
    show("Quat.align(seen, moved): angle_to(tool), rmsd", (best.angle_to(orientation), rmsd))


def vector_lists():
    points = kp.VecList([Vec3d(float(i), float(i * i), 1.0) for i in range(5)])
    show("len(points)", len(points))
    show("points[3]", points[3])
    show("points.magnitude()", points.magnitude())
    show("points.dot(Vec3d(1, 0, -1))", points.dot(Vec3d(1, 0, -1)))
    show("(points - Vec3d(0, 0, 1)).to_array()", (points - Vec3d(0, 0, 1)).to_array())
    show("points.minimum_distance_to(Vec3d(2, 5, 1), 1)", points.minimum_distance_to(Vec3d(2, 5, 1), 1))
    turn = kp.Quat.from_axis_angle(Vec3d.k(), kp.AngleRadians.pi())
    points.rotate(turn)  # in place
    show("after rotate(pi about k): points[2]", points[2],
         "-2.000000000000001, not -2: cos(pi/2) is 6e-17, so a half-turn is off by an ulp")


def many_rotations():
    turn = kp.Quat.from_axis_angle(Vec3d.k(), kp.AngleRadians.half_pi())
    path = kp.QuatList.slerp_path(kp.Quat.identity(), turn, [0.0, 0.5, 1.0])
    show("QuatList.slerp_path(identity, turn, [0, .5, 1])[1]", path[1])
    show("path.angle_to(identity).tolist()", path.angle_to(kp.Quat.identity()).tolist(),
         "per-element numbers come back as read-only float64 Arrays")
    show("path.rotate(Vec3d.i())[1]", path.rotate(Vec3d.i())[1])
    # Two-joint arm, three poses: base about z, elbow lifting the forearm.
    base = kp.QuatList.from_rotvec([[0, 0, 0], [0, 0, 1.5707963267948966], [0, 0, 0]])
    elbow = kp.QuatList.from_rotvec([[0, 0, 0], [0, 0, 0], [0, -1.5707963267948966, 0]])
    tip = base.rotate(elbow.rotate(Vec3d(0.5, 0, 0)) + Vec3d(1, 0, 0))
    show("arm tips, one per pose", tip.to_array())
    show("elbow.then(base).mean()", elbow.then(base).mean(), "Markley's average, the same bits on any pool size")


def geometry():
    g = kp.geometry
    floor = g.Plane.xy()
    show("plane_line(xy, (1,2,5), (1,2,-5))", g.plane_line(floor, Vec3d(1, 2, 5), Vec3d(1, 2, -5)))
    show("plane_line(xy, line parallel to it)", g.plane_line(floor, Vec3d(0, 0, 1), Vec3d(1, 0, 1)),
         "no crossing point: the division by zero gives inf and NaN, it does not raise")
    show("Plane.yz().normal", g.Plane.yz().normal,
         "xy(), xz() and yz() are all the plane z = 0; make others with Plane(normal, 0)")
    up = Vec3d.k()
    c1 = g.Circle(Vec3d(0, 0, 0), 5, up)
    c2 = g.Circle(Vec3d(6, 0, 0), 5, up)
    show("c1.area", c1.area)
    show("circle_circle(c1, c2)", g.circle_circle(c1, c2))
    show("circle_point(c1, (3, 4, 0), inner=False)", g.circle_point(c1, Vec3d(3, 4, 0), False))
    show("circle_point(c1, (1, 1, 0), inner=True)", g.circle_point(c1, Vec3d(1, 1, 0), True))


SECTIONS = [
    ("Vectors", vectors),
    ("Angles", angles),
    ("Quaternions", quaternions),
    ("Rotations: forward kinematics, interpolation, conversions, alignment", rotations),
    ("Vector lists (bulk ops on the worker pool)", vector_lists),
    ("Many rotations (QuatList)", many_rotations),
    ("Geometry", geometry),
]


def main():
    for title, run in SECTIONS:
        print(f"\n== {title}")
        run()


if __name__ == "__main__":
    main()
