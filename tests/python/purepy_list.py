"""Pure-Python evaluation of VecList's nearest-element search, seeded lists,
and the seeded workload whose digest must not depend on the pool size.

Vectors are plain (x, y, z) tuples. The squared distance is transcribed in
the library's order, so its bits (NaN sign included, as long as each vector's
NaN components share one sign) are the ones the extension compares.
"""

import hashlib
import math
import random
import struct

from purepy import distance_squared, from_bits
from purepy_rot import Inputs


def total_order(d):
    """Sort key of IEEE 754 totalOrder: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN."""
    b = struct.unpack("<q", struct.pack("<d", d))[0]
    return b if b >= 0 else -(b & 0x7FFFFFFFFFFFFFFF) - 1


def nearest_in(elems, p, indices):
    """Lowest index with the smallest key among `indices` (which are ascending)."""
    best = None
    best_key = None
    for i in indices:
        k = total_order(distance_squared(elems[i], p))
        if best is None or k < best_key:
            best, best_key = i, k
    return best


def minimum_distance(elems, p, stride):
    """(index, distance) of the coarse-then-fine search; None for an empty list."""
    n = len(elems)
    assert stride > 0
    if n == 0:
        return None
    c = nearest_in(elems, p, range(0, n, stride))
    start = c - stride if c >= stride else 0
    end = min(c + stride, n)
    j = nearest_in(elems, p, range(start, end))
    return j, math.sqrt(distance_squared(elems[j], p))


# -- seeded inputs -------------------------------------------------------------------

NAN_POS = (math.nan, from_bits(0x7FF8000000000001), from_bits(0x7FFC0000000ABCDE))
NAN_NEG = (-math.nan, from_bits(0xFFF8000000000001), from_bits(0xFFFC0000000ABCDE))


def random_vecs(seed, n):
    """n vectors of ordinary, huge, subnormal and special components (NaNs, ±0, ±inf)."""
    src = Inputs(seed)
    return [src.vec() for _ in range(n)]


def tie_heavy_vecs(rng, n):
    """Vectors drawn from a handful of points, so equal keys are common.

    Zero components come with either sign. All NaN components of one vector
    are the same NaN: when both operands of an addition are NaNs, which one
    propagates is up to the compiler's operand order, so mixed NaNs would
    give keys whose total order no evaluation can predict.
    """
    pool = [(rng.choice((1.0, 2.0, 3.0)), rng.choice((0.0, -1.0)), 0.5) for _ in range(3)]
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.08:
            nan = rng.choice(NAN_POS + NAN_NEG)
            out.append((nan, rng.choice((0.0, nan)), 1.0))
        elif r < 0.12:
            out.append((rng.choice((math.inf, -math.inf)), 0.0, 0.0))
        elif r < 0.3:
            out.append(tuple(rng.choice((0.0, -0.0)) for _ in range(3)))
        elif r < 0.75:
            x, y, z = rng.choice(pool)
            out.append((x, y, rng.choice((z, -z))))
        else:
            out.append((rng.uniform(-4, 4), rng.uniform(-4, 4), rng.uniform(-4, 4)))
    return out


# -- pool-size workload ----------------------------------------------------------------

def workload_digest(sizes):
    """sha256 over the bulk results of a seeded workload, one list per size."""
    from kestrum_py import Quat, Vec3d, VecList

    h = hashlib.sha256()

    def put_floats(xs):
        h.update(struct.pack(f"<{len(xs)}d", *xs))

    rng = random.Random(1234)
    p, q, origin = Vec3d(0.25, -1.5, 3.0), Quat(0.9, 0.1, -0.3, 0.2), Vec3d(0.0, 0.0, 0.0)
    zs = (0.0, -0.0, 1.0, math.nan, math.inf, 5e-324, -2.5)
    ties = [Vec3d(1.0, 0.0, 0.0), Vec3d(-1.0, -0.0, 0.0), Vec3d(0.0, 1.0, -0.0), Vec3d(3.0, 3.0, 3.0)]
    for n in sizes:
        # Moderate magnitudes with full mantissas: repr prints positionally, so
        # huge exponents would only add hundreds of zeros to hash.
        xs = [k / 7.0 for k in struct.unpack(f"<{n}i", rng.randbytes(4 * n))]
        v = VecList([Vec3d(x, (b - 128) / 16, zs[b % 7]) for x, b in zip(xs, rng.randbytes(n))])
        tied = VecList([ties[b & 3] for b in rng.randbytes(n)])
        results = [v, v.normalize(), v.cross(p), v.collapse(n % 3)]
        if n <= 1000:  # the operators on small lists only: large texts are slow to hash
            results += [v + p, v - p, v * -0.5, 0.5 * v, v / 3.0]
        for r in results:
            h.update(repr(r).encode())
        put_floats(v.magnitude() + v.dot(p) + v.distance_to(p))
        put_floats([x for row in v.to_array() for x in row])
        h.update(bytes(v.is_unit()))
        if n:
            for s in (1, 2, 7, 1000, 2**64 - 1):
                found = (v.minimum_distance_to(p, s), tied.minimum_distance_to(origin, s))
                h.update(repr(found).encode())
        v.rotate(q)
        h.update(repr(v).encode())
    return h.hexdigest()
