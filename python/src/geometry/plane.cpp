// Python class geometry.Plane.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::geometry::Plane;
using B = Binder<Plane>;

PyMethodDef methods[] = {
    B::static_method<"from_point", &Plane::from_point, "normal", "point">(),
    B::static_method<"from_points", &Plane::from_points, "point1", "point2", "point3">(),
    B::static_method<"xy", &Plane::xy>(),
    B::static_method<"xz", &Plane::xz>(),
    B::static_method<"yz", &Plane::yz>(),
    B::method<"contains_point", &Plane::contains_point, "point">(),
    B::method<"distance_to_point", &Plane::distance_to_point, "point">(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"normal", &Plane::normal>(),
    B::field<"distance", &Plane::distance>(),
    {},
};

const PyType_Slot slots[] = {
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Plane>::def() {
    static const TypeDef def =
        make_type<Plane>(B::constructor<&Plane::make, "normal", "distance">(),
                slots, methods, properties);
    return def;
}

}  // namespace kp
