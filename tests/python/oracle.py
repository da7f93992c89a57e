"""What every pure-Python reference (purepy*.py) shares: bit-level
comparison of doubles and the IEEE operations Python does not give directly.

Python floats are IEEE doubles rounded once per operation, without fused
multiply-add, so a formula written out in its documented order reproduces the
extension's bits; only Python's habit of raising on a zero divisor needs
undoing.
"""

import math
import struct

EPSILON = 2.220446049250313e-16  # 2**-52
PI = 3.141592653589793


# -- bit-level comparison ----------------------------------------------------

def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def same_double(a, b):
    """Equal bit patterns; any two NaNs match (NaN payloads are not part of the contract)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def same_all(xs, ys):
    """Same length and same_double element by element."""
    xs, ys = list(xs), list(ys)
    return len(xs) == len(ys) and all(same_double(a, b) for a, b in zip(xs, ys))


def is_neg(x):
    return math.copysign(1.0, x) < 0


# -- IEEE semantics where Python raises ----------------------------------------

def ieee_div(a, c):
    """a / c with IEEE semantics for a zero divisor (Python raises instead)."""
    if c != 0.0:
        return a / c
    if math.isnan(a) or a == 0.0:
        return math.nan
    return -math.inf if is_neg(a) != is_neg(c) else math.inf


# -- the one formula every reference needs -------------------------------------

def dot(s, o):
    return (s[0] * o[0] + s[1] * o[1]) + s[2] * o[2]



class NanExact:
    """A double with the extension's NaN results: the left operand's NaN
    (quieted), else the right one's, else x86's default NaN; negation flips
    the sign bit. purepy formulas on these give the written order's NaN."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def _op(self, o, f, swap=False):
        a, b = (o, self.v) if swap else (self.v, getattr(o, "v", o))
        r = f(a, b)
        nan = next((bits(x) | 1 << 51 for x in (a, b) if math.isnan(x)), 0xFFF8000000000000)
        return NanExact(from_bits(nan) if math.isnan(r) else r)

    __add__ = lambda s, o: s._op(o, float.__add__)  # noqa: E731
    __sub__ = lambda s, o: s._op(o, float.__sub__)  # noqa: E731
    __mul__ = lambda s, o: s._op(o, float.__mul__)  # noqa: E731
    __radd__ = lambda s, o: s._op(o, float.__add__, True)  # noqa: E731
    __rsub__ = lambda s, o: s._op(o, float.__sub__, True)  # noqa: E731
    __rmul__ = lambda s, o: s._op(o, float.__mul__, True)  # noqa: E731
    __neg__ = lambda s: NanExact(from_bits(bits(s.v) ^ 1 << 63))  # noqa: E731
