"""Independent pure-Python evaluation of the library's formulas.

Python floats are IEEE doubles with one rounding per operation and no fused
multiply-add, and math.sqrt is correctly rounded, so transcribing each
formula in the same order yields the exact bits the extension must produce.
Vectors are plain (x, y, z) tuples. Keep every expression in the documented
order: (a + b) + c is not a + (b + c) here.
"""

import math
from decimal import Decimal

from oracle import EPSILON, bits, dot, from_bits, ieee_div, same_all, same_double  # noqa: F401 (re-exported)


def same_vec(a, b):
    return len(a) == len(b) == 3 and same_all(a, b)


# -- shortest positional decimal ------------------------------------------------

def fmt_double(v):
    """Shortest round-trip digits laid out positionally, no exponent.

    float.__repr__ already yields the shortest (and closest) digit string;
    Decimal re-lays it out positionally without any binary arithmetic.
    """
    if math.isnan(v):
        return "NaN"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    if math.isinf(v):
        return sign + "inf"
    if v == 0.0:
        return sign + "0"
    d = Decimal(repr(abs(v))).normalize()
    return sign + format(d, "f")


def vec_repr(v):
    return "Vec3d(" + ", ".join(fmt_double(c) for c in v) + ")"


# -- Vec3d -----------------------------------------------------------------

def add(a, b):
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def mul(a, c):
    return (a[0] * c, a[1] * c, a[2] * c)


def div(a, c):
    return (ieee_div(a[0], c), ieee_div(a[1], c), ieee_div(a[2], c))


def neg(a):
    return (-a[0], -a[1], -a[2])


def cross(s, o):
    return (s[1] * o[2] - s[2] * o[1],
            s[2] * o[0] - s[0] * o[2],
            s[0] * o[1] - s[1] * o[0])


def magnitude(s):
    return math.sqrt((s[0] * s[0] + s[1] * s[1]) + s[2] * s[2])


def normalize(s):
    m = magnitude(s)
    return (ieee_div(s[0], m), ieee_div(s[1], m), ieee_div(s[2], m))


def is_unit(s):
    return abs(magnitude(s) - 1.0) < EPSILON


def distance_squared(s, o):
    dx = s[0] - o[0]
    dy = s[1] - o[1]
    dz = s[2] - o[2]
    return (dx * dx + dy * dy) + dz * dz


def distance_to(s, o):
    return math.sqrt(distance_squared(s, o))


def new_from_to(frm, to):
    return (to[0] - frm[0], to[1] - frm[1], to[2] - frm[2])


def distance_to_line(s, a, b):
    d = sub(b, a)
    w = sub(s, a)
    t = ieee_div(dot(d, w), dot(d, d))
    p = (a[0] + d[0] * t, a[1] + d[1] * t, a[2] + d[2] * t)
    e = sub(s, p)
    return math.sqrt((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2])


def project_onto_line(s, line_r, line_q):
    d = sub(line_r, line_q)
    u = sub(line_q, s)
    t = ieee_div(dot(d, u), dot(d, d))
    return (line_q[0] - d[0] * t, line_q[1] - d[1] * t, line_q[2] - d[2] * t)


def project_onto_plane(s, normal):
    k = dot(s, normal)
    return (s[0] - normal[0] * k, s[1] - normal[1] * k, s[2] - normal[2] * k)


def scalar_triple_product(s, b, c):
    q = (b[1] * c[2] - b[2] * c[1],
         b[2] * c[0] - b[0] * c[2],
         b[0] * c[1] - b[1] * c[0])
    return (s[0] * q[0] + s[1] * q[1]) + s[2] * q[2]
