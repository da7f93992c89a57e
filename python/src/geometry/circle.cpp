// Python class geometry.Circle.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::geometry::Circle;
using B = Binder<Circle>;

bool eq(const Circle& a, const Circle& b) { return a == b; }

PyMethodDef methods[] = {
    B::static_method<"none", &Circle::none>(),
    B::method<"get_plane", &Circle::get_plane>(),
    B::method<"in_same_plane", &Circle::in_same_plane, "other">(),
    B::method<"is_degenerate", &Circle::is_degenerate>(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"center", &Circle::center>(),
    B::field<"radius", &Circle::radius>(),
    B::field<"normal", &Circle::normal>(),
    B::property<"area", &Circle::area>(),
    {},
};

// Only equality; ordering is refused and the type stays unhashable.
const PyType_Slot slots[] = {
    {Py_tp_richcompare,
     reinterpret_cast<void*>(&B::compare<nullptr, nullptr, &eq, nullptr, nullptr>)},
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Circle>::def() {
    static const TypeDef def =
        make_type<Circle>(B::constructor<&Circle::make, "center", "radius", "normal">(),
                slots, methods, properties);
    return def;
}

}  // namespace kp
