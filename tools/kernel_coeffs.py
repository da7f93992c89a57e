"""Coefficients and constants of core/src/kestrum/kernels.hpp.

Prints them as C++ (hex floats). Each polynomial is a Chebyshev fit
(mpmath.chebyfit, near-minimax) of the smooth remainder after the leading
terms, in z = x^2, then rounded to double:
  sin x = x + x^3 S(z)            on |x| <= pi/4 (+ margin)
  cos x = 1 - z/2 + z^2 C(z)      on the same range
  atan u = u + u^3 A(z)           on |u| <= 7/16 (+ margin)
The constant pi/2 is split into parts of `CW_BITS` bits (so k * part is exact
for |k| < 2^(53 - CW_BITS)) and a last full double.

    /work/venv/bin/python tools/kernel_coeffs.py
"""
import mpmath as mp

mp.mp.dps = 60

CW_BITS = 33  # bits of each of the first three parts of pi/2
SIN_DEG = 6
ATAN_DEG = 12
R_MAX = mp.pi / 4 * (1 + mp.mpf(2) ** -20)
U_MAX = mp.mpf(7) / 16 * (1 + mp.mpf(2) ** -20)


def series_safe(f, series):
    """f(z) for z away from 0, the Taylor series near it (cancellation)."""
    return lambda z: series(z) if z < mp.mpf(10) ** -12 else f(z)


def s_rem(z):
    x = mp.sqrt(z)
    return (mp.sin(x) - x) / (x * z)


def c_rem(z):
    return (mp.cos(mp.sqrt(z)) - 1 + z / 2) / (z * z)


def a_rem(z):
    u = mp.sqrt(z)
    return (mp.atan(u) - u) / (u * z)


S = series_safe(s_rem, lambda z: -mp.mpf(1) / 6 + z / 120 - z * z / 5040)
C = series_safe(c_rem, lambda z: mp.mpf(1) / 24 - z / 720 + z * z / 40320)
A = series_safe(a_rem, lambda z: -mp.mpf(1) / 3 + z / 5 - z * z / 7)


def fit(f, hi, deg):
    poly, err = mp.chebyfit(f, [0, hi], deg + 1, error=True)
    return [float(c) for c in reversed(poly)], err  # constant term first


def split(value, bits, parts):
    """`parts` doubles of at most `bits` significant bits each, then the rest
    rounded to a double."""
    out = []
    rest = value
    for _ in range(parts):
        e = mp.floor(mp.log(abs(rest), 2))
        scale = mp.mpf(2) ** (bits - 1 - e)
        p = mp.floor(rest * scale) / scale  # truncated: exact in `bits` bits
        out.append(float(p))
        assert mp.mpf(out[-1]) == p
        rest -= p
    out.append(float(rest))
    return out, rest - mp.mpf(out[-1])


def hilo(value):
    hi = float(value)
    return hi, float(value - mp.mpf(hi))


def emit(name, xs):
    body = ", ".join(x.hex() for x in xs)
    print(f"inline constexpr double {name}[] = {{{body}}};")


def main():
    s, es = fit(S, R_MAX ** 2, SIN_DEG)
    c, ec = fit(C, R_MAX ** 2, SIN_DEG)
    a, ea = fit(A, U_MAX ** 2, ATAN_DEG)
    print(f"// fit errors: S {mp.nstr(es, 3)}, C {mp.nstr(ec, 3)}, A {mp.nstr(ea, 3)}")
    emit("kSin", s)
    emit("kCos", c)
    emit("kAtan", a)
    parts, rest = split(mp.pi / 2, CW_BITS, 3)
    print(f"// pi/2 left after the four parts: {mp.nstr(rest, 3)}")
    emit("kPio2", parts)
    print(f"inline constexpr double kTwoOverPi = {float(2 / mp.pi).hex()};")
    for name, v in [("kAtanHalf", mp.atan(mp.mpf(1) / 2)), ("kPio4", mp.pi / 4), ("kPio2Sum", mp.pi / 2),
                    ("kPio2MinusAtanHalf", mp.pi / 2 - mp.atan(mp.mpf(1) / 2))]:
        hi, lo = hilo(v)
        print(f"inline constexpr double {name}[] = {{{hi.hex()}, {lo.hex()}}};")


if __name__ == "__main__":
    main()
