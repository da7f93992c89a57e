#pragma once
// Positions on a sphere: latitude and longitude to unit vectors and back,
// arcs to chords and back, and the great-circle angle between directions.
// Angles are of arc on the unit sphere; the radius is the caller's.
//
// Each function is one out-of-line evaluation that the single values and the
// bulk loops both call, so their results are the same bits. A NaN argument
// gives the first NaN argument, quieted, in every component (the order of the
// parameters, x before y before z); other non-finite arguments give the
// default NaN where no value is meaningful.
#include "kestrum/vec3d.hpp"

namespace kestrum::geo {

struct LatLon {
    double lat;
    double lon;
};

// The unit vector at latitude `lat` and longitude `lon` (x towards lon 0 on
// the equator, z towards the north pole). In degrees, the angles are reduced
// exactly to within 45 degrees of a multiple of 90 before they are turned
// into radians, so multiples of 90 give exact components: (90, lon) is
// z = 1, lon 180 gives y = +0 and lon -180 y = -0. A latitude beyond 90 is
// taken as the angle it is (over the pole).
Vec3d from_lat_lon_degrees(double lat, double lon);
Vec3d from_lat_lon_radians(double lat, double lon);

// Latitude in [-90, 90] and longitude in [-180, 180] of the direction of `p`
// (its length does not matter); radians in [-pi/2, pi/2], [-pi, pi]. At the
// poles and for the zero vector the longitude is that of the signed zeros
// (0 or +-180).
LatLon to_lat_lon_degrees(Vec3d p);
LatLon to_lat_lon_radians(Vec3d p);

// 2 sin(angle / 2): the straight-line distance between two points of the
// unit sphere `angle` radians of arc apart. Odd in `angle`.
double arc_to_chord(double angle);
// 2 asin(chord / 2), its inverse on [-2, 2]; a chord beyond the diameter
// (rounding makes |a - b| of antipodal unit vectors exceed 2 by an ulp)
// gives +-pi. Odd in `chord`.
double chord_to_arc(double chord);

// The angle in [0, pi] between the directions of a and b: atan2(|a x b|, a.b)
// after exact power-of-two scaling, the cross product's 2x2 determinants
// evaluated with error-free products, so short separations keep their
// digits. Lengths do not matter; a zero vector gives 0 or pi (atan2 of
// signed zeros), an infinite component the default NaN.
double great_circle(Vec3d a, Vec3d b);

}  // namespace kestrum::geo
