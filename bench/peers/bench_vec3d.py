"""Per-call cost of Vec3d operations, side by side with a C-level floor,
PyGLM's dvec3 and numpy on 3-element float64 arrays.

    python3 -m pip install -r bench/requirements.txt   # numpy, PyGLM (optional columns)
    python3 bench/peers/bench_vec3d.py [--quick] [--legend]

"floor" is the cheapest builtin doing the same kind of call: one
`math.copysign(a, b)` for methods and construction, complex addition for `+`,
`complex.real` for a component read and `repr` of a complex for the text form.
Columns whose package is missing are left out. Further tables (Quat, VecList)
go into TABLES below, guarded by hasattr so the script runs on any build.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common.blas_env import drop_openblas_overrides  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy

from common import cli  # noqa: E402
from common.harness import Column, Row, Table, legend, loop_overhead, run_table  # noqa: E402

import kestrum_py  # noqa: E402


def ns_kestrum():
    V = kestrum_py.Vec3d
    ns = {"Vec3d": V, "a": V(1.0, 2.0, 3.0), "b": V(-4.0, 0.5, 2.0)}
    if hasattr(kestrum_py, "Quat"):
        ns["q"] = kestrum_py.Quat(1.0, 2.0, 3.0, 4.0)
    if hasattr(kestrum_py, "AngleRadians"):
        ns["r"] = kestrum_py.AngleRadians(0.5)
    return ns


def ns_floor():
    import math

    return {"copysign": math.copysign, "c1": complex(1.0, 2.0), "c2": complex(-4.0, 0.5), "x": 1.0, "y": -2.0}


def ns_glm():
    import glm

    return {"glm": glm, "dvec3": glm.dvec3, "ga": glm.dvec3(1.0, 2.0, 3.0), "gb": glm.dvec3(-4.0, 0.5, 2.0),
            "gq": glm.dquat(1.0, 2.0, 3.0, 4.0)}


def ns_numpy():
    import numpy as np

    return {
        "np": np,
        "array": np.array,
        "dot": np.dot,
        "cross": np.cross,
        "norm": np.linalg.norm,
        "na": np.array([1.0, 2.0, 3.0]),
        "nb": np.array([-4.0, 0.5, 2.0]),
    }


COLUMNS = [
    Column("kestrum", ns_kestrum),
    Column("floor", ns_floor),
    Column("glm", ns_glm),
    Column("numpy", ns_numpy),
]
RATIOS = [("kestrum", "floor"), ("kestrum", "glm"), ("kestrum", "numpy")]


def vec3d_table():
    def row(label, kestrum, floor, glm, numpy):
        return Row(label, {"kestrum": kestrum, "floor": floor, "glm": glm, "numpy": numpy})

    return Table(
        "Vec3d",
        COLUMNS,
        [
            row("construct", "Vec3d(1.0, 2.0, 3.0)", "copysign(x, y)", "dvec3(1.0, 2.0, 3.0)", "array([1.0, 2.0, 3.0])"),
            row("a + b", "a + b", "c1 + c2", "ga + gb", "na + nb"),
            row("a - b", "a - b", "c1 - c2", "ga - gb", "na - nb"),
            row("a * 2.0", "a * 2.0", "c1 * 2.0", "ga * 2.0", "na * 2.0"),
            row("2.0 * a", "2.0 * a", "2.0 * c1", "2.0 * ga", "2.0 * na"),
            row("a / 2.0", "a / 2.0", "c1 / 2.0", "ga / 2.0", "na / 2.0"),
            row("-a", "-a", "-c1", "-ga", "-na"),
            row("dot", "a.dot(b)", "copysign(x, y)", "glm.dot(ga, gb)", "dot(na, nb)"),
            row("cross", "a.cross(b)", "copysign(x, y)", "glm.cross(ga, gb)", "cross(na, nb)"),
            row("normalize", "a.normalize()", "copysign(x, y)", "glm.normalize(ga)", "na / norm(na)"),
            row("magnitude", "a.magnitude()", "copysign(x, y)", "glm.length(ga)", "norm(na)"),
            row("distance_to", "a.distance_to(b)", "copysign(x, y)", "glm.distance(ga, gb)", "norm(na - nb)"),
            row("a[1]", "a[1]", "c1.imag", "ga[1]", "na[1]"),
            row("read x", "a.x", "c1.real", "ga.x", "na[0]"),
            row("read y", "a.y", "c1.imag", "ga.y", "na[1]"),
            row("read z", "a.z", "c1.real", "ga.z", "na[2]"),
            # the first read is still held when the second is made
            row("a.x + a.x", "a.x + a.x", "c1.real + c1.real", "ga.x + ga.x", "na[0] + na[0]"),
            row("repr", "repr(a)", "repr(c1)", "repr(ga)", "repr(na)"),
        ],
        RATIOS,
    )


def components_table():
    def row(label, kestrum, floor, glm=None):
        return Row(label, {"kestrum": kestrum, "floor": floor, **({"glm": glm} if glm else {})})

    return Table(
        "Quat and angle components",
        COLUMNS[:3],
        [
            row("quat w", "q.w", "c1.real", "gq.w"),
            row("quat i", "q.i", "c1.imag", "gq.x"),
            row("angle", "r.angle", "c1.real"),
        ],
        RATIOS[:2],
    )


# Each entry: (names kestrum_py must have, table factory). Add VecList here.
TABLES = [
    (["Vec3d"], vec3d_table),
    (["Quat", "AngleRadians"], components_table),
]


def main(argv):
    args = cli.parser(__doc__, quick=True, legend=True).parse_args(argv)
    repeat, target = (5, 0.02) if args.quick else (15, 0.05)
    print("\n".join(cli.versions()))
    print(f"{cli.machine_line()}; timeit loop overhead {loop_overhead():.1f} ns (included below)\n")
    for needs, make in TABLES:
        missing = [n for n in needs if not hasattr(kestrum_py, n)]
        if missing:
            print(f"(skipping a table: this build has no {', '.join(missing)})")
            continue
        table = make()
        run_table(table, repeat=repeat, target=target)
        if args.legend:
            legend(table)
        print()


if __name__ == "__main__":
    main(sys.argv[1:])
