"""Wrong uses of the module, each of which the stubs must reject.

mypy runs on this file with --warn-unused-ignores, so every `type: ignore[code]`
below must match a real error of exactly that code: a stub that became too
lax fails the check. run_stubtest.sh also executes the file, and each wrong
use must then fail at runtime with the exception named beside it, so the
stubs never reject something that actually works.
"""

from collections.abc import Callable, Hashable

import kestrum_py
from kestrum_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

CHECKED = 0


def fails(exc: type[BaseException], call: Callable[[], object]) -> None:
    global CHECKED
    try:
        call()
    except exc:
        CHECKED += 1
        return
    raise AssertionError(f"expected {exc.__name__} from {call}")


def hash_of(value: Hashable) -> int:
    return hash(value)


v = Vec3d(1, 2, 3)
vl = VecList([v])
a = AngleRadians(1.0)
q = Quat.identity()
c = geometry.Circle(Vec3d.zero(), 1.0, Vec3d.k())

# Operand combinations the number slots answer with NotImplemented.
fails(TypeError, lambda: v + 1)  # type: ignore[operator]
fails(TypeError, lambda: 1.0 - v)  # type: ignore[operator]
fails(TypeError, lambda: 1.0 / v)  # type: ignore[operator]
fails(TypeError, lambda: v * v)  # type: ignore[operator]
fails(TypeError, lambda: v + vl)  # type: ignore[operator]
fails(TypeError, lambda: vl + 1.0)  # type: ignore[operator]
fails(TypeError, lambda: 2.0 / vl)  # type: ignore[operator]
fails(TypeError, lambda: -vl)  # type: ignore[operator]
fails(TypeError, lambda: 2.0 * a)  # type: ignore[operator]
fails(TypeError, lambda: a + 1.0)  # type: ignore[operator]
fails(TypeError, lambda: a * a)  # type: ignore[operator]
fails(TypeError, lambda: a < 1.0)  # type: ignore[operator]
fails(TypeError, lambda: AngleDegrees(1) < AngleDegrees(2))  # type: ignore[operator]
fails(TypeError, lambda: AngleDegrees(1) + AngleDegrees(2))  # type: ignore[operator]
fails(TypeError, lambda: q * q)  # type: ignore[operator]
fails(TypeError, lambda: -q)  # type: ignore[operator]
fails(TypeError, lambda: c < c)  # type: ignore[operator]
fails(TypeError, lambda: geometry.Plane.xy() + geometry.Plane.xy())  # type: ignore[operator]

# Unhashable classes: rich comparison without a hash.
fails(TypeError, lambda: hash_of(a))  # type: ignore[arg-type]
fails(TypeError, lambda: hash_of(c))  # type: ignore[arg-type]

# No sequence protocol on a vector, no slicing anywhere.
fails(TypeError, lambda: len(v))  # type: ignore[arg-type]
fails(TypeError, lambda: v[0:2])  # type: ignore[index]
fails(TypeError, lambda: vl[0:1])  # type: ignore[index]
fails(TypeError, lambda: v[1.0])  # type: ignore[index]

# Argument types.
fails(TypeError, lambda: Vec3d("1", 2, 3))  # type: ignore[arg-type]
fails(TypeError, lambda: VecList("abc"))  # type: ignore[arg-type]
fails(TypeError, lambda: VecList(w for w in [v]))  # type: ignore[arg-type]
fails(TypeError, lambda: VecList([1.0]))  # type: ignore[list-item]
fails(TypeError, lambda: vl.extend([v]))  # type: ignore[arg-type]
fails(TypeError, lambda: vl.rotate(a))  # type: ignore[arg-type]
fails(TypeError, lambda: vl.collapse(1.0))  # type: ignore[arg-type]
fails(TypeError, lambda: vl.minimum_distance_to(v, stride=1.5))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_axis_angle(Vec3d.k(), AngleDegrees(90)))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_axis_angle(Vec3d.k(), 1.0))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_axis_angle((0, 0, 1), a))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_euler("xyz", a, 0.5, a))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_rotvec(5))  # type: ignore[arg-type]
fails(TypeError, lambda: q.then(v))  # type: ignore[call-overload]
fails(TypeError, lambda: Quat.align([v], [v]))  # type: ignore[arg-type]
fails(TypeError, lambda: Quat.from_matrix(3.0))  # type: ignore[arg-type]
fails(TypeError, lambda: geometry.circle_point(c, v, inner=1))  # type: ignore[arg-type]
fails(TypeError, lambda: geometry.plane_line(c, v, v))  # type: ignore[arg-type]
fails(TypeError, lambda: c.in_same_plane(geometry.Plane.xy()))  # type: ignore[arg-type]

# Argument counts and names.
fails(TypeError, lambda: Quat(1, 2, 3))  # type: ignore[call-arg]
fails(TypeError, lambda: v.dot())  # type: ignore[call-arg]
fails(TypeError, lambda: v.magnitude(v))  # type: ignore[call-arg]
fails(TypeError, lambda: v.dot(vec=v))  # type: ignore[call-arg]
fails(TypeError, lambda: Vec3d.new_from_to(from_=v, to=v))  # type: ignore[call-arg]
fails(TypeError, lambda: geometry.circle_circle(c))  # type: ignore[call-arg]

# Attributes that do not exist on that class.
fails(AttributeError, lambda: AngleDegrees(1).sin())  # type: ignore[attr-defined]
fails(AttributeError, lambda: a.to_radians())  # type: ignore[attr-defined]
fails(AttributeError, lambda: geometry.Plane.xy().area)  # type: ignore[attr-defined]
fails(AttributeError, lambda: kestrum_py.Plane)  # type: ignore[attr-defined]
fails(AttributeError, lambda: kestrum_py.PanicException)  # type: ignore[attr-defined]


# The result of circle_circle may be None.
def first_crossing() -> Vec3d:
    return geometry.circle_circle(c, c)[0]  # type: ignore[index]


fails(TypeError, first_crossing)


# Read-only properties and setter value types.
def set_area() -> None:
    c.area = 1.0  # type: ignore[misc]


def set_list() -> None:
    vl.list = [v]  # type: ignore[misc]


def set_normal_to_tuple() -> None:
    geometry.Plane.xy().normal = (0.0, 0.0, 1.0)  # type: ignore[assignment]


def set_x_to_text() -> None:
    v.x = "1"  # type: ignore[assignment]


fails(AttributeError, set_area)
fails(AttributeError, set_list)
fails(TypeError, set_normal_to_tuple)
fails(TypeError, set_x_to_text)


# from_array wants a buffer or rows of numbers.
fails(TypeError, lambda: VecList.from_array(5))  # type: ignore[arg-type]
fails(TypeError, lambda: VecList.from_array([["1", "2", "3"]]))  # type: ignore[list-item]
fails(TypeError, lambda: vl.__reduce_ex__("4"))  # type: ignore[arg-type]


# Every class is final.
def subclass_vec3d() -> None:
    class Sub(Vec3d):  # type: ignore[misc]
        pass


def subclass_circle() -> None:
    class Sub(geometry.Circle):  # type: ignore[misc]
        pass


fails(TypeError, subclass_vec3d)
fails(TypeError, subclass_circle)


# geometry is an attribute of kestrum_py, not a submodule anyone can import.
def import_geometry_by_dotted_name() -> None:
    import kestrum_py.geometry  # type: ignore[import-not-found]  # noqa: F401


fails(ModuleNotFoundError, import_geometry_by_dotted_name)

if __name__ == "__main__":
    print(f"misuse.py: {CHECKED} wrong uses failed at runtime as expected")
