// Python class geometry.Plane.
#include "point_cloud.hpp"

namespace kp {
namespace {

using kestrum::geometry::Plane;
using B = Binder<Plane>;

PyMethodDef methods[] = {
    B::static_method<"from_point", &Plane::from_point, "normal", "point">(
        "The plane with `normal` through `point`; a non-unit `normal` scales the offset by its length."),
    B::static_method<"from_points", &Plane::from_points, "point1", "point2", "point3">(
        "The plane through three points, normal along (point2 - point1) x (point3 - point1)."),
    B::static_method<"fit", &plane_fit, "points">(
        "The least-squares plane through the centroid of the finite `points`; normal with its largest component "
        "positive. Fewer than 3 finite points or collinear ones: ValueError.",
        Raises{"ValueError: Plane.fit"}),
    B::static_method<"xy", &Plane::xy>("The plane z = 0, normal (0, 0, 1)."),
    B::static_method<"xz", &Plane::xz>("The plane z = 0, as xy() (not y = 0)."),
    B::static_method<"yz", &Plane::yz>("The plane z = 0, as xy() (not x = 0)."),
    B::method<"contains_point", &Plane::contains_point, "point">(
        "Whether distance_to_point(point) < 2**-52: one-sided, every point behind the plane counts."),
    B::method<"distance_to_point", &Plane::distance_to_point, "point">(
        "Signed distance to `point`, positive on the normal's side (times |normal| if set non-unit)."),
    B::method<"distance_to_points", &plane_distance_to_points, "points">(
        "distance_to_point of each of `points`, as a float64 buffer."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"normal", &Plane::normal>("The normal: unit from the constructor, stored unchanged by the setter."),
    B::field<"distance", &Plane::distance>("The offset d in normal . p + d = 0 (the plane z = 5 has -5)."),
    {},
};

const PyType_Slot slots[] = {
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Plane>::def() {
    static const TypeDef def =
        make_type<Plane>(B::constructor<&Plane::make, "normal", "distance">(
                             "The plane normal . p + distance = 0, `normal` normalised; == is identity."),
                         slots, methods, properties);
    return def;
}

}  // namespace kp
