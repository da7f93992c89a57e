"""Pure-Python evaluation of the angle and quaternion formulas.

Python floats are IEEE doubles rounded once per operation, without fused
multiply-add, and math.sin/cos/tan/acos call the same C library as the
extension, so writing each formula out in its documented order reproduces
the extension's bits. Only two Python habits need undoing: division by zero
and out-of-domain math calls raise instead of giving inf/NaN.

Quaternions are (w, i, j, k) tuples, vectors (x, y, z) tuples.
"""

import math
import random

from oracle import EPSILON, PI, bits, dot, from_bits, ieee_div as div, is_neg, same_all, same_double as same  # noqa: F401


def _libm(fn):
    def call(x):
        try:
            return fn(x)
        except ValueError:  # C returns NaN (sin(inf), acos(2), ...)
            return math.nan
    return call


sin = _libm(math.sin)
cos = _libm(math.cos)
tan = _libm(math.tan)
acos = _libm(math.acos)
sqrt = _libm(math.sqrt)


# -- angles --------------------------------------------------------------------

def to_degrees(a):
    return (a * 180.0) / PI


def to_radians(d):
    return (d * PI) / 180.0


TRIG = {
    "sin": sin,
    "cos": cos,
    "tan": tan,
    "sec": lambda a: div(1.0, cos(a)),
    "csc": lambda a: div(1.0, sin(a)),
    "cot": lambda a: div(1.0, tan(a)),
}


vec_dot = dot


def vec_magnitude(s):
    return sqrt((s[0] * s[0] + s[1] * s[1]) + s[2] * s[2])


def angle_to(s, o):
    # Clamped by comparisons, so a NaN cosine stays NaN.
    c = div(vec_dot(s, o), vec_magnitude(s) * vec_magnitude(o))
    return acos(1.0 if c > 1.0 else -1.0 if c < -1.0 else c)


# -- quaternions -----------------------------------------------------------------

def hamilton(a, b):
    aw, ai, aj, ak = a
    bw, bi, bj, bk = b
    return (
        ((aw * bw - ai * bi) - aj * bj) - ak * bk,
        ((aw * bi + ai * bw) + aj * bk) - ak * bj,
        ((aw * bj + aj * bw) + ak * bi) - ai * bk,
        ((aw * bk + ak * bw) + ai * bj) - aj * bi,
    )


def conjugate(q):
    return (q[0], -q[1], -q[2], -q[3])


def rotate(q, v):
    t = hamilton(conjugate(q), (0.0, v[0], v[1], v[2]))
    r = hamilton(t, q)
    return r[1:]


def from_axis_angle(axis, theta):
    h = theta * -0.5
    s, c = sin(h), cos(h)
    return (c, s * axis[0], s * axis[1], s * axis[2])


def to_axis_angle(q):
    w, i, j, k = q
    if abs(w + -1.0) < EPSILON:
        return (1.0, 0.0, 0.0), 0.0
    a = acos(w)
    angle = a + a
    s = sin(angle * 0.5)
    return (div(i, s), div(j, s), div(k, s)), angle


def rotation_matrix(q):
    w, i, j, k = q
    return [
        [1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - w * k), 2.0 * (i * k + w * j)],
        [2.0 * (i * j + w * k), 1.0 - 2.0 * (i * i + k * k), 2.0 * (j * k - w * i)],
        [2.0 * (i * k - w * j), 2.0 * (j * k + w * i), 1.0 - 2.0 * (i * i + j * j)],
    ]


def magnitude(q):
    w, i, j, k = q
    return sqrt(((w * w + i * i) + j * j) + k * k)


def normalize(q):
    m = magnitude(q)
    return tuple(div(c, m) for c in q)


def is_unit(q):
    return abs(magnitude(q) + -1.0) < EPSILON


# -- seeded inputs -------------------------------------------------------------------

SPECIALS = (
    0.0, -0.0, math.inf, -math.inf, math.nan, 1.0, -1.0, 0.5, 2.0,
    5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
    1.7976931348623157e308, -1.7976931348623157e308,
    1.0000000000000002, 0.9999999999999999, PI, PI / 2,
)


class Inputs:
    """Seeded doubles mixing ordinary magnitudes, every binary exponent and specials."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def wide(self):
        # Uniform over the exponent field (0 = subnormal, 2047 excluded).
        sign = self.rng.getrandbits(1) << 63
        exp = self.rng.randrange(0, 2047) << 52
        return from_bits(sign | exp | self.rng.getrandbits(52))

    def moderate(self):
        return self.rng.uniform(-8.0, 8.0)

    def double(self):
        r = self.rng.random()
        if r < 0.1:
            return self.rng.choice(SPECIALS)
        if r < 0.45:
            return self.wide()
        return self.moderate()

    def unit_range(self):
        """Mostly in [-1, 1], crowding ±1 and the tolerance edges around them."""
        r = self.rng.random()
        if r < 0.2:
            edge = self.rng.choice((1.0, -1.0))
            return edge + self.rng.randint(-4, 4) * 2.0 ** -53
        if r < 0.3:
            return self.double()
        return self.rng.uniform(-1.0, 1.0)

    def vec(self):
        return (self.double(), self.double(), self.double())

    def quat(self):
        r = self.rng.random()
        if r < 0.4:
            # Near-unit rotations, where real use lives.
            axis = tuple(self.rng.uniform(-1.0, 1.0) for _ in range(3))
            return from_axis_angle(axis, self.rng.uniform(-7.0, 7.0))
        return (self.double(), self.double(), self.double(), self.double())
