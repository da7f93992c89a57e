"""Per-call cost of Quat and AngleRadians operations, side by side with a
C-level floor, PyGLM's dquat and scipy's Rotation.

    python3 -m pip install -r bench/requirements.txt   # numpy, PyGLM, scipy (optional columns)
    python3 bench/bench_rotations.py [--quick] [--legend]

"floor" is the cheapest builtin doing the same kind of call: one
`math.copysign(a, b)` for a method or factory call, plain float arithmetic
for the angle operators, and a nested list display of existing floats for the
3x3 matrix (the Python objects to_rotation_matrix has to hand back, without
any arithmetic). Every column rotates by the same quaternion (0.5 rad about
the normalised axis (1, 2, 3)). Columns whose package is missing are left out.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _blas_env import drop_openblas_overrides  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy

import math  # noqa: E402

from _harness import Column, Row, Table, legend, loop_overhead, machine_line, run_table  # noqa: E402
from bench_vec3d import versions  # noqa: E402

import kestrum_py  # noqa: E402

ANGLE = 0.5
_n = math.sqrt(1.0 + 4.0 + 9.0)
AXIS = (1.0 / _n, 2.0 / _n, 3.0 / _n)
VEC = (1.0, -2.0, 0.5)


def ns_kestrum():
    K = kestrum_py
    axis = K.Vec3d(*AXIS)
    angle = K.AngleRadians(ANGLE)
    return {
        "Quat": K.Quat,
        "from_axis_angle": K.Quat.from_axis_angle,
        "AngleRadians": K.AngleRadians,
        "axis": axis,
        "angle": angle,
        "q": K.Quat.from_axis_angle(axis, angle),
        "v": K.Vec3d(*VEC),
        "a": K.AngleRadians(0.25),
        "b": K.AngleRadians(-1.5),
    }


def ns_floor():
    return {"copysign": math.copysign, "x": 0.25, "y": -1.5}


def ns_glm():
    import glm

    gaxis = glm.dvec3(*AXIS)
    return {
        "glm": glm,
        "angleAxis": glm.angleAxis,
        "mat3_cast": glm.mat3_cast,
        "gaxis": gaxis,
        "gq": glm.angleAxis(ANGLE, gaxis),
        "gv": glm.dvec3(*VEC),
    }


def ns_scipy():
    import numpy as np
    from scipy.spatial.transform import Rotation

    rv = np.array(AXIS) * ANGLE
    return {
        "Rotation": Rotation,
        "from_rotvec": Rotation.from_rotvec,
        "rv": rv,
        "r": Rotation.from_rotvec(rv),
        "nv": np.array(VEC),
    }


COLUMNS = [
    Column("kestrum", ns_kestrum),
    Column("floor", ns_floor),
    Column("glm", ns_glm),
    Column("scipy", ns_scipy),
]
RATIOS = [("kestrum", "floor"), ("kestrum", "glm"), ("kestrum", "scipy")]


def check_same_rotation():
    """All columns must rotate VEC to the same point, or the table compares apples and pears."""
    ns = ns_kestrum()
    want = ns["q"].rotate(ns["v"])
    want = (want.x, want.y, want.z)
    got = {}
    try:
        g = ns_glm()
        r = g["gq"] * g["gv"]
        got["glm"] = (r.x, r.y, r.z)
    except ImportError:
        pass
    try:
        s = ns_scipy()
        got["scipy"] = tuple(float(c) for c in s["r"].apply(s["nv"]))
    except ImportError:
        pass
    for name, p in got.items():
        if max(abs(a - b) for a, b in zip(p, want)) > 1e-12:
            raise SystemExit(f"{name} rotates {VEC} to {p}, kestrum to {want}: not the same rotation")


def rotations_table():
    def row(label, **stmts):
        return Row(label, {k: v for k, v in stmts.items() if v is not None})

    return Table(
        "Quat and AngleRadians",
        COLUMNS,
        [
            row("q.rotate(v)", kestrum="q.rotate(v)", floor="copysign(x, y)", glm="gq * gv", scipy="r.apply(nv)"),
            row(
                "from_axis_angle",
                kestrum="Quat.from_axis_angle(axis, angle)",
                floor="copysign(x, y)",
                glm="glm.angleAxis(0.5, gaxis)",
                scipy="Rotation.from_rotvec(rv)",
            ),
            row(
                "from_axis_angle (bound)",
                kestrum="from_axis_angle(axis, angle)",
                floor="copysign(x, y)",
                glm="angleAxis(0.5, gaxis)",
                scipy="from_rotvec(rv)",
            ),
            row(
                "from_axis_angle + angle",
                kestrum="Quat.from_axis_angle(axis, AngleRadians(0.5))",
                floor="copysign(x, y)",
                glm="glm.angleAxis(0.5, gaxis)",
            ),
            row("q.normalize()", kestrum="q.normalize()", floor="copysign(x, y)", glm="glm.normalize(gq)"),
            row("q.conjugate()", kestrum="q.conjugate()", floor="copysign(x, y)", glm="glm.conjugate(gq)"),
            row("q.magnitude()", kestrum="q.magnitude()", floor="copysign(x, y)", glm="glm.length(gq)"),
            row("AngleRadians(x)", kestrum="AngleRadians(0.25)", floor="copysign(x, y)"),
            row("angle a.sin()", kestrum="a.sin()", floor="copysign(x, y)", glm="glm.sin(0.25)"),
            row("angle a.to_degrees()", kestrum="a.to_degrees()", floor="copysign(x, y)", glm="glm.degrees(0.25)"),
            row("angle a + b", kestrum="a + b", floor="x + y"),
            row("angle a * 2.0", kestrum="a * 2.0", floor="x * 2.0"),
            row(
                "to_rotation_matrix",
                kestrum="q.to_rotation_matrix()",
                floor="[[x, y, x], [y, x, y], [x, y, x]]",
                glm="mat3_cast(gq)",
                scipy="r.as_matrix()",
            ),
        ],
        RATIOS,
    )


def main(argv):
    quick = "--quick" in argv
    repeat, target = (5, 0.02) if quick else (15, 0.05)
    print("\n".join(versions()))
    try:
        import scipy

        print(f"scipy {scipy.__version__}")
    except ImportError:
        pass
    print(f"{machine_line()}; timeit loop overhead {loop_overhead():.1f} ns (included below)\n")
    check_same_rotation()
    table = rotations_table()
    run_table(table, repeat=repeat, target=target)
    if "--legend" in argv:
        legend(table)
    print()


if __name__ == "__main__":
    main(sys.argv[1:])
