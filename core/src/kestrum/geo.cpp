// Positions on a sphere (geo.hpp). Out of line on purpose: the single values
// and every bulk loop run this same code.
#include "kestrum/geo.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace kestrum::geo {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRadPerDeg = kPi / 180.0;
constexpr double kDegPerRad = 180.0 / kPi;
constexpr double kDefaultNan = std::bit_cast<double>(0xFFF8000000000000ull);

double quiet(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) | 0x0008000000000000ull); }

// The first NaN of xs, quieted, or else the default NaN if any is infinite;
// 0 when all are finite (then `found` is false).
template <class... D>
double bad_argument(bool& found, D... xs) {
    found = true;
    for (const double x : {xs...})
        if (x != x) return quiet(x);
    for (const double x : {xs...})
        if (std::isinf(x)) return kDefaultNan;
    found = false;
    return 0.0;
}

struct SinCos {
    double s, c;
};

// sin and cos of x degrees: x - 90 q is exact for the nearest multiple 90 q,
// so only the remaining angle of at most 45 degrees is rounded into radians.
// Exact zeros: cos gives +0, sin the sign of x (sin(-180) = -0).
SinCos sincos_degrees(double x) {
    const double r = std::remainder(x, 360.0);  // exact, in [-180, 180]
    const double q = std::nearbyint(r / 90.0);
    const double t = (r - 90.0 * q) * kRadPerDeg;  // the subtraction is exact
    const double s = std::sin(t), c = std::cos(t);
    SinCos out{};
    switch (static_cast<int>(q) & 3) {
        case 0: out = {s, c}; break;
        case 1: out = {c, -s}; break;
        case 2: out = {-s, -c}; break;
        default: out = {-c, s}; break;
    }
    out.c = out.c + 0.0;
    if (out.s == 0.0) out.s = std::copysign(0.0, x);
    return out;
}

Vec3d on_sphere(SinCos lat, SinCos lon) { return {lat.c * lon.c, lat.c * lon.s, lat.s}; }

// The exponent of the largest |component| (0 for the zero vector), and the
// vector scaled exactly by 2^-e, so that component lies in [1, 2).
int exponent(Vec3d v) {
    const double m = std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
    return m == 0.0 ? 0 : std::ilogb(m);
}
Vec3d scaled(Vec3d v, int e) { return {std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e)}; }

// a*b = p + e exactly (Dekker), for |a|, |b| < 4: the splits cannot overflow.
struct Product {
    double p, e;
};
Product two_product(double a, double b) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double p = a * b;
    const double ta = kSplit * a, tb = kSplit * b;
    const double ah = ta - (ta - a), bh = tb - (tb - b);
    const double al = a - ah, bl = b - bh;
    const double e = (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
    return {p, e};
}

// a*b - c*d with both products exact until the last two roundings: a
// cancelling difference keeps its digits.
double det2(double a, double b, double c, double d) {
    const Product x = two_product(a, b), y = two_product(c, d);
    return (x.p - y.p) + (x.e - y.e);
}

}  // namespace

Vec3d from_lat_lon_degrees(double lat, double lon) {
    bool bad = false;
    const double n = bad_argument(bad, lat, lon);
    if (bad) return {n, n, n};
    return on_sphere(sincos_degrees(lat), sincos_degrees(lon));
}

Vec3d from_lat_lon_radians(double lat, double lon) {
    bool bad = false;
    const double n = bad_argument(bad, lat, lon);
    if (bad) return {n, n, n};
    return on_sphere({std::sin(lat), std::cos(lat)}, {std::sin(lon), std::cos(lon)});
}

// atan2 and hypot take any magnitudes, infinities included.
LatLon to_lat_lon_radians(Vec3d p) {
    for (const double x : {p.x, p.y, p.z})
        if (x != x) return {quiet(x), quiet(x)};
    return {std::atan2(p.z, std::hypot(p.x, p.y)), std::atan2(p.y, p.x)};
}

LatLon to_lat_lon_degrees(Vec3d p) {
    const LatLon r = to_lat_lon_radians(p);
    return {r.lat * kDegPerRad, r.lon * kDegPerRad};
}

double arc_to_chord(double angle) {
    bool bad = false;
    const double n = bad_argument(bad, angle);
    if (bad) return n;
    return 2.0 * std::sin(angle * 0.5);
}

double chord_to_arc(double chord) {
    if (chord != chord) return quiet(chord);
    const double h = std::fabs(chord) > 2.0 ? std::copysign(1.0, chord) : chord * 0.5;
    return 2.0 * std::asin(h);
}

double great_circle(Vec3d a, Vec3d b) {
    bool bad = false;
    const double n = bad_argument(bad, a.x, a.y, a.z, b.x, b.y, b.z);
    if (bad) return n;
    const Vec3d u = scaled(a, exponent(a)), v = scaled(b, exponent(b));
    const Vec3d c{det2(u.y, v.z, u.z, v.y), det2(u.z, v.x, u.x, v.z), det2(u.x, v.y, u.y, v.x)};
    const int e = exponent(c);
    const Vec3d w = scaled(c, e);
    const double sine = std::ldexp(std::sqrt((w.x * w.x + w.y * w.y) + w.z * w.z), e);
    const double cosine = (u.x * v.x + u.y * v.y) + u.z * v.z;
    return std::atan2(sine, cosine);
}

}  // namespace kestrum::geo
