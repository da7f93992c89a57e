// Python class geometry.Circle.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::Vec3d;
using kestrum::geometry::Circle;
using B = Binder<Circle>;

Vec3d get_center(const Circle& c) { return c.center; }
void set_center(Circle& c, Vec3d value) { c.center = value; }
double get_radius(const Circle& c) { return c.radius; }
void set_radius(Circle& c, double value) { c.radius = value; }
Vec3d get_normal(const Circle& c) { return c.normal; }
void set_normal(Circle& c, Vec3d value) { c.normal = value; }

bool eq(const Circle& a, const Circle& b) { return a == b; }

PyMethodDef methods[] = {
    B::static_method<"none", &Circle::none>(),
    B::method<"get_plane", &Circle::get_plane>(),
    B::method<"in_same_plane", &Circle::in_same_plane, "other">(),
    B::method<"is_degenerate", &Circle::is_degenerate>(),
    {},
};

PyGetSetDef properties[] = {
    B::property<"center", &get_center, &set_center>(),
    B::property<"radius", &get_radius, &set_radius>(),
    B::property<"normal", &get_normal, &set_normal>(),
    B::property<"area", &Circle::area>(),
    {},
};

// Only equality; ordering is refused and the type stays unhashable.
const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&B::ctor_new<&Circle::make, "center", "radius", "normal">)},
    {Py_tp_richcompare,
     reinterpret_cast<void*>(&B::compare<nullptr, nullptr, &eq, nullptr, nullptr>)},
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Circle>::def() {
    static const TypeDef def = make_type<Circle>(
        "Circle(center, radius, normal)\n--\n\n", slots, methods, properties,
        &B::ctor_vectorcall<&Circle::make, "center", "radius", "normal">);
    return def;
}

}  // namespace kp
