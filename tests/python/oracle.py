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
    """A double whose NaN results are the extension's defined ones: the left
    operand's NaN (quieted) if it is one, else the right one's, else x86's
    default NaN; negation flips the sign bit. A formula of purepy_rot run on
    these gives the NaN of its written operand order, sign and payload."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    @staticmethod
    def _op(a, b, r):
        for x in (a, b):
            if math.isnan(x):
                return NanExact(from_bits(bits(x) | 1 << 51))
        return NanExact(from_bits(0xFFF8000000000000) if math.isnan(r) else r)

    def __add__(self, o): return self._op(self.v, _v(o), self.v + _v(o))
    def __sub__(self, o): return self._op(self.v, _v(o), self.v - _v(o))
    def __mul__(self, o): return self._op(self.v, _v(o), self.v * _v(o))
    def __radd__(self, a): return self._op(a, self.v, a + self.v)
    def __rsub__(self, a): return self._op(a, self.v, a - self.v)
    def __rmul__(self, a): return self._op(a, self.v, a * self.v)
    def __neg__(self): return NanExact(from_bits(bits(self.v) ^ 1 << 63))


def _v(x):
    return x.v if isinstance(x, NanExact) else x
