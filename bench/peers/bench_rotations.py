"""Per-call cost of Quat and AngleRadians operations, side by side with a
C-level floor, PyGLM's dquat and scipy's Rotation; then Quat.align against
Rotation.align_vectors on long lists.

    python3 -m pip install -r bench/requirements.txt   # numpy, PyGLM, scipy (optional columns)
    python3 bench/peers/bench_rotations.py [--quick] [--legend]

"floor" is the cheapest builtin doing the same kind of call: one
`math.copysign(a, b)` for a method or factory call, plain float arithmetic
for the angle operators, and a nested list display of existing floats for the
3x3 matrix (the Python objects to_rotation_matrix has to hand back, without
any arithmetic). Every column rotates by the same quaternion (0.5 rad about
the normalised axis (1, 2, 3)); the second operand of composition and
interpolation is 1.5 rad about (-1, 0, 3). Columns whose package is missing
are left out. PyGLM's functions are called as users spell them,
`glm.slerp(...)`, like the class-qualified `Quat.from_matrix(m)`; the
"(bound)" rows call both through a name bound beforehand. The composition
table checks the targets: each operation at or below PyGLM's, at least 20x
faster than scipy's Rotation for one rotation; and Quat.align at 1e6 pairs at
most 0.5x Rotation.align_vectors.

    python3 bench/peers/bench_rotations.py [--quick] [--legend] [--align-n N]
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common.blas_env import drop_openblas_overrides  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy

import math  # noqa: E402
import os  # noqa: E402
import time  # noqa: E402

from common import cli  # noqa: E402
from common.harness import Column, Row, Table, legend, loop_overhead, run_table  # noqa: E402

import kestrum_py  # noqa: E402

ANGLE = 0.5
_n = math.sqrt(1.0 + 4.0 + 9.0)
AXIS = (1.0 / _n, 2.0 / _n, 3.0 / _n)
VEC = (1.0, -2.0, 0.5)
ANGLE2 = 1.5
_n2 = math.sqrt(1.0 + 9.0)
AXIS2 = (-1.0 / _n2, 0.0, 3.0 / _n2)


def ns_kestrum():
    K = kestrum_py
    axis = K.Vec3d(*AXIS)
    angle = K.AngleRadians(ANGLE)
    return {
        "Quat": K.Quat,
        "from_axis_angle": K.Quat.from_axis_angle,
        "from_matrix": K.Quat.from_matrix,
        "AngleRadians": K.AngleRadians,
        "axis": axis,
        "angle": angle,
        "q": K.Quat.from_axis_angle(axis, angle),
        "v": K.Vec3d(*VEC),
        "a": K.AngleRadians(0.25),
        "b": K.AngleRadians(-1.5),
        "p": K.Quat.from_axis_angle(K.Vec3d(*AXIS2), K.AngleRadians(ANGLE2)),
        "m": K.Quat.from_axis_angle(axis, angle).as_matrix(),
        "rv": K.Quat.from_axis_angle(axis, angle).as_rotvec(),
        "u": K.Vec3d(*AXIS),
        "w": K.Vec3d(*VEC),
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
        "gp": glm.angleAxis(ANGLE2, glm.dvec3(*AXIS2)),
        "gm": glm.mat3_cast(glm.angleAxis(ANGLE, gaxis)),
        "slerp": glm.slerp,
        "quat_cast": glm.quat_cast,
        "inverse": glm.inverse,
    }


def ns_scipy():
    import numpy as np
    from scipy.spatial.transform import Rotation, Slerp

    rv = np.array(AXIS) * ANGLE
    return {
        "Rotation": Rotation,
        "from_rotvec": Rotation.from_rotvec,
        "Rotation_from_matrix": Rotation.from_matrix,
        "rv": rv,
        "r": Rotation.from_rotvec(rv),
        "nv": np.array(VEC),
        "rp": Rotation.from_rotvec(np.array(AXIS2) * ANGLE2),
        "nm": Rotation.from_rotvec(rv).as_matrix(),
        "Slerp": Slerp,
        "key_times": [0.0, 1.0],
        "pair": Rotation.concatenate([Rotation.from_rotvec(rv), Rotation.from_rotvec(np.array(AXIS2) * ANGLE2)]),
        "na": np.array(AXIS),
        "nw": np.array(VEC),
        "euler": [0.1, 0.2, 0.3],
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


def composition_table():
    def row(label, **stmts):
        return Row(label, {k: v for k, v in stmts.items() if v is not None})

    return Table(
        "Quat composition and conversions",
        COLUMNS[:1] + COLUMNS[2:],
        [
            row("then (glm q1 * q2, scipy r2 * r1)", kestrum="q.then(p)", glm="gp * gq", scipy="rp * r"),
            row("inverse", kestrum="q.inverse()", glm="glm.inverse(gq)", scipy="r.inv()"),
            row("slerp t = 0.3", kestrum="q.slerp(p, 0.3)", glm="glm.slerp(gq, gp, 0.3)",
                scipy="Slerp(key_times, pair)(0.3)"),
            row("angle_to", kestrum="q.angle_to(p)", scipy="(r.inv() * rp).magnitude()"),
            row("as_matrix (glm mat3_cast)", kestrum="q.as_matrix()", glm="glm.mat3_cast(gq)", scipy="r.as_matrix()"),
            row("from_matrix (glm quat_cast)", kestrum="Quat.from_matrix(m)", glm="glm.quat_cast(gm)",
                scipy="Rotation.from_matrix(nm)"),
            row("from_matrix (bound)", kestrum="from_matrix(m)", glm="quat_cast(gm)",
                scipy="Rotation_from_matrix(nm)"),
            row("as_rotvec", kestrum="q.as_rotvec()", scipy="r.as_rotvec()"),
            row("from_rotvec", kestrum="Quat.from_rotvec(rv)", scipy="Rotation.from_rotvec(rv)"),
            row("as_euler('xyz')", kestrum="q.as_euler('xyz')", scipy="r.as_euler('xyz')"),
            row("from_euler('xyz', a, b, c)", kestrum="Quat.from_euler('xyz', a, b, a)",
                scipy="Rotation.from_euler('xyz', euler)"),
            row("between (scipy align_vectors of one pair)", kestrum="Quat.between(u, w)",
                scipy="Rotation.align_vectors([nw], [na])"),
        ],
        [("kestrum", "glm"), ("kestrum", "scipy")],
    )


def check_targets(lines):
    """Reads the composition table back: kestrum/glm <= 1 and kestrum/scipy <= 1/20 per row."""
    print("targets: each at or below PyGLM; at least 20x faster than scipy's Rotation")
    for line in lines[3:]:
        if "|" not in line:
            continue
        label = line.split("  ")[0]
        ratios = line.split("|")[1].split()
        checks = []
        for (name, limit), value in zip((("PyGLM", 1.0), ("scipy", 1 / 20)), ratios):
            if value != "—":
                checks.append(f"{name} {float(value):.3g} {'met' if float(value) <= limit else 'MISSED'}")
        print(f"  {label:<44} {'; '.join(checks)}")


def align_comparison(n, repeat):
    """Quat.align on n pairs against Rotation.align_vectors (target: at most 0.5x)."""
    import numpy as np
    from scipy.spatial.transform import Rotation

    rng = np.random.default_rng(1)
    a = rng.normal(size=(n, 3))
    truth = Rotation.from_rotvec([0.3, -0.2, 1.1])
    b = truth.apply(a) + rng.normal(size=(n, 3)) * 0.01
    va, vb = kestrum_py.VecList.from_array(a), kestrum_py.VecList.from_array(b)

    def best(fn):
        times = []
        for _ in range(repeat):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        return min(times) * 1e3

    q, rmsd = kestrum_py.Quat.align(va, vb)
    r, rssd = Rotation.align_vectors(b, a)
    x, y, z, w = r.as_quat().tolist()
    agree = min(max(abs(u - s * v) for u, v in zip((q.w, q.i, q.j, q.k), (w, -x, -y, -z))) for s in (1, -1))
    t_k = best(lambda: kestrum_py.Quat.align(va, vb))
    t_kc = best(lambda: kestrum_py.Quat.align(kestrum_py.VecList.from_array(a), kestrum_py.VecList.from_array(b)))
    t_s = best(lambda: Rotation.align_vectors(b, a))
    threads = os.environ.get("RAYON_NUM_THREADS") or f"default ({os.cpu_count()} CPUs)"
    print(f"## Quat.align against Rotation.align_vectors, {n} pairs  (ms, min of {repeat}; pool threads {threads})")
    print(f"  Quat.align(va, vb)                           {t_k:9.2f}")
    print(f"  Quat.align with VecList.from_array of both   {t_kc:9.2f}")
    print(f"  Rotation.align_vectors(b, a)                 {t_s:9.2f}")
    print(f"  kestrum/scipy {t_k / t_s:.3f} (with conversion {t_kc / t_s:.3f}); target <= 0.5: "
          f"{'met' if t_k / t_s <= 0.5 else 'MISSED'}")
    print(f"  same rotation: largest quaternion difference {agree:.2e}; rmsd {rmsd:.6g}, "
          f"scipy rssd/sqrt(n) {rssd / math.sqrt(n):.6g}")


def main(argv):
    ap = cli.parser(__doc__, quick=True, legend=True)
    ap.add_argument("--align-n", type=int, metavar="N", help="pairs for Quat.align (default 1e6, --quick 1e5)")
    args = ap.parse_args(argv)
    quick = args.quick
    repeat, target = (5, 0.02) if quick else (15, 0.05)
    print("\n".join(cli.versions()))
    try:
        import scipy

        print(f"scipy {scipy.__version__}")
    except ImportError:
        pass
    print(f"{cli.machine_line()}; timeit loop overhead {loop_overhead():.1f} ns (included below)\n")
    check_same_rotation()
    tables = [rotations_table(), composition_table()]
    for table in tables:
        lines = run_table(table, repeat=repeat, target=target)
        print()
    check_targets(lines)
    print()
    align_n = args.align_n or (10**5 if quick else 10**6)
    try:
        align_comparison(align_n, 3 if quick else 7)
    except ImportError as exc:
        print(f"(align comparison left out: {exc})")
    print(f"\nload average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    if args.legend:
        for table in tables:
            legend(table)
    print()


if __name__ == "__main__":
    main(sys.argv[1:])
