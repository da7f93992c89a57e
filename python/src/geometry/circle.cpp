// Python class geometry.Circle.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::geometry::Circle;
using B = Binder<Circle>;

bool eq(const Circle& a, const Circle& b) { return a == b; }

PyMethodDef methods[] = {
    B::static_method<"none", &Circle::none>("The degenerate circle that stands for no circle."),
    B::method<"get_plane", &Circle::get_plane>("The plane the circle lies in."),
    B::method<"in_same_plane", &Circle::in_same_plane, "other">("Whether `other` lies in the same plane."),
    B::method<"is_degenerate", &Circle::is_degenerate>("Whether this is the degenerate circle."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"center", &Circle::center>("The center point."),
    B::field<"radius", &Circle::radius>("The radius."),
    B::field<"normal", &Circle::normal>("The unit normal of the circle's plane."),
    B::property<"area", &Circle::area>("The enclosed area."),
    {},
};

// Only equality; ordering is refused and the type stays unhashable.
const PyType_Slot slots[] = {
    B::comparison<nullptr, nullptr, &eq, nullptr, nullptr>("Equal when every field is equal."),
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Circle>::def() {
    static const TypeDef def =
        make_type<Circle>(B::constructor<&Circle::make, "center", "radius", "normal">("The circle around `center` with `radius` in the plane with `normal`."),
                slots, methods, properties);
    return def;
}

}  // namespace kp
