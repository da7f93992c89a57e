// Python class geometry.Circle.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::geometry::Circle;
using B = Binder<Circle>;

bool eq(const Circle& a, const Circle& b) { return a == b; }

PyMethodDef methods[] = {
    B::static_method<"none", &Circle::none>(
        "The placeholder circle: radius 0, NaN normal; equal to no circle, itself included."),
    B::method<"get_plane", &Circle::get_plane>("The circle's plane, Plane.from_point(normal, center)."),
    B::method<"in_same_plane", &Circle::in_same_plane, "other">(
        "Whether the normals are parallel (either sense) and normal . center agree within 2**-52; opposite normals so "
        "only through the origin."),
    B::method<"is_degenerate", &Circle::is_degenerate>("Whether the radius is 0."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"center", &Circle::center>("The center point."),
    B::field<"radius", &Circle::radius>(
        "The radius: abs(radius) from the constructor, stored unchanged by the setter."),
    B::field<"normal", &Circle::normal>(
        "The plane's normal: unit from the constructor, stored unchanged by the setter."),
    B::property<"area", &Circle::area>("(radius * radius) * pi."),
    {},
};

// Only equality; ordering is refused and the type stays unhashable.
const PyType_Slot slots[] = {
    B::comparison<nullptr, nullptr, &eq, nullptr, nullptr>(
        "Equal: centers within 2**-52 per component, radii exactly, normals parallel either way; unhashable."),
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Circle>::def() {
    static const TypeDef def =
        make_type<Circle>(B::constructor<&Circle::make, "center", "radius", "normal">(
                              "The circle around `center` with abs(`radius`) in the plane with `normal` (normalised)."),
                          slots, methods, properties);
    return def;
}

}  // namespace kp
