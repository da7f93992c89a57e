"""Pure-Python re-evaluation of the plane, circle and intersection formulas.

Python floats are IEEE doubles with one rounding per operation and a
correctly rounded math.sqrt, so writing each formula in the documented order
reproduces the extension's bits. Vectors are (x, y, z) tuples, planes
(normal, distance), circles (center, radius, normal).
"""

import math

from oracle import EPSILON as EPS, PI, dot, ieee_div as fdiv, same_all as same_vec, same_double  # noqa: F401


def fsqrt(x):
    return math.nan if x < 0.0 else math.sqrt(x)


def normalised(v):
    m = fsqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])
    return (fdiv(v[0], m), fdiv(v[1], m), fdiv(v[2], m))


# -- Plane ---------------------------------------------------------------------

def plane_new(normal, distance):
    return (normalised(normal), distance)


def plane_from_point(normal, point):
    return (normalised(normal), -dot(normal, point))


def plane_from_points(p1, p2, p3):
    u = (p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2])
    v = (p3[0] - p1[0], p3[1] - p1[1], p3[2] - p1[2])
    n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    return plane_from_point(n, p1)


def plane_distance_to_point(plane, point):
    normal, distance = plane
    return distance + dot(normal, point)


def plane_contains_point(plane, point):
    return plane_distance_to_point(plane, point) < EPS


# -- Circle --------------------------------------------------------------------

def circle_new(center, radius, normal):
    return (center, math.fabs(radius), normalised(normal))


def circle_area(c):
    return (c[1] * c[1]) * PI


def circle_offset(c):
    return dot(c[2], c[0])


def circle_get_plane(c):
    return plane_from_point(c[2], c[0])


def parallel(a, b):
    same = abs(a[0] - b[0]) < EPS and abs(a[1] - b[1]) < EPS and abs(a[2] - b[2]) < EPS
    opposite = abs(a[0] + b[0]) < EPS and abs(a[1] + b[1]) < EPS and abs(a[2] + b[2]) < EPS
    return same or opposite


def circle_in_same_plane(a, b):
    return parallel(a[2], b[2]) and abs(circle_offset(b) - circle_offset(a)) < EPS


def circle_is_degenerate(c):
    return c[1] == 0.0


def circle_eq(a, b):
    return (all(abs(a[0][i] - b[0][i]) < EPS for i in range(3))
            and a[1] == b[1] and parallel(a[2], b[2]))


# -- intersections ---------------------------------------------------------------

def plane_line(plane, a, b):
    n, d = plane
    v = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
    denom = (v[0] * n[0] + v[1] * n[1]) + v[2] * n[2]
    numer = -(d + ((n[0] * a[0] + n[1] * a[1]) + n[2] * a[2]))
    t = fdiv(numer, denom)
    return (a[0] + v[0] * t, a[1] + v[1] * t, a[2] + v[2] * t)


def circle_point_unchecked(c, point, inner):
    center, r, _ = c
    dx, dy, dz = point[0] - center[0], point[1] - center[1], point[2] - center[2]
    dist = fsqrt((dx * dx + dy * dy) + dz * dz)
    if inner and dist < r:
        return True
    return abs(dist - r) < EPS


def circle_point(c, point, inner):
    m = normalised(c[2])
    if not dot(m, point) - circle_offset(c) < EPS:
        return False
    return circle_point_unchecked(c, point, inner)


def circle_circle(circle1, circle2):
    if circle_eq(circle1, circle2):
        return None
    if not parallel(circle1[2], circle2[2]):
        return None
    if not abs(circle_offset(circle2) - circle_offset(circle1)) < EPS:
        return None
    (c1, r1, _), (c2, r2, n2) = circle1, circle2
    ex, ey, ez = c1[0] - c2[0], c1[1] - c2[1], c1[2] - c2[2]
    w = fsqrt((ex * ex + ey * ey) + ez * ez)
    if w > r1 + r2 or w < abs(r1 - r2):
        return None
    dx, dy, dz = c2[0] - c1[0], c2[1] - c1[1], c2[2] - c1[2]
    u = fdiv(r1 * r1 - r2 * r2, w * w + w * w) + 0.5
    qx = n2[2] * dy - n2[1] * dz
    qy = n2[0] * dz - dx * n2[2]
    qz = dx * n2[1] - n2[0] * dy
    length = fsqrt((qx * qx + qy * qy) + qz * qz)
    h = fsqrt(r1 * r1 - (w * w) * (u * u))
    m = (c1[0] + dx * u, c1[1] + dy * u, c1[2] + dz * u)
    off = (fdiv(qx, length) * h, fdiv(qy, length) * h, fdiv(qz, length) * h)
    return ((m[0] + off[0], m[1] + off[1], m[2] + off[2]),
            (m[0] - off[0], m[1] - off[1], m[2] - off[2]))


# -- seeded inputs ----------------------------------------------------------------

SPECIALS = (0.0, -0.0, 1.0, -1.0, 0.5, EPS, -EPS, 5e-324, 1e-300, 1e300,
            math.inf, -math.inf, math.nan)


def rand_double(rng, specials=0.04):
    k = rng.random()
    if k < specials:
        return rng.choice(SPECIALS)
    if k < 0.25:
        return float(rng.randint(-4, 4))
    return rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-5, 5)


def rand_vec(rng, specials=0.04):
    return (rand_double(rng, specials), rand_double(rng, specials), rand_double(rng, specials))
