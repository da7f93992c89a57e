// Python class geometry.Plane.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::geometry::Plane;
using B = Binder<Plane>;

PyMethodDef methods[] = {
    B::static_method<"from_point", &Plane::from_point, "normal", "point">("The plane with `normal` through `point`."),
    B::static_method<"from_points", &Plane::from_points, "point1", "point2", "point3">("The plane through three points."),
    B::static_method<"xy", &Plane::xy>("The plane z = 0."),
    B::static_method<"xz", &Plane::xz>("The plane y = 0."),
    B::static_method<"yz", &Plane::yz>("The plane x = 0."),
    B::method<"contains_point", &Plane::contains_point, "point">("Whether `point` lies on the plane."),
    B::method<"distance_to_point", &Plane::distance_to_point, "point">("Signed distance from the plane to `point`."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"normal", &Plane::normal>("The unit normal."),
    B::field<"distance", &Plane::distance>("The distance from the origin along the normal."),
    {},
};

const PyType_Slot slots[] = {
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Plane>::def() {
    static const TypeDef def =
        make_type<Plane>(B::constructor<&Plane::make, "normal", "distance">("The plane with `normal` at `distance` from the origin."),
                slots, methods, properties);
    return def;
}

}  // namespace kp
