// Python classes AngleRadians and AngleDegrees.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::AngleDegrees;
using kestrum::AngleRadians;

// ---- AngleRadians ----------------------------------------------------------
namespace rad {
using B = Binder<AngleRadians>;

AngleRadians make(double angle) { return {angle}; }

AngleRadians add(const AngleRadians& a, const AngleRadians& b) { return a + b; }
AngleRadians sub(const AngleRadians& a, const AngleRadians& b) { return a - b; }
AngleRadians mul(const AngleRadians& a, double s) { return a * s; }
AngleRadians div(const AngleRadians& a, double s) { return a / s; }
AngleRadians neg(const AngleRadians& a) { return -a; }

bool lt(const AngleRadians& a, const AngleRadians& b) { return a.angle < b.angle; }
bool le(const AngleRadians& a, const AngleRadians& b) { return a.angle <= b.angle; }
bool eq(const AngleRadians& a, const AngleRadians& b) { return a.angle == b.angle; }
bool gt(const AngleRadians& a, const AngleRadians& b) { return a.angle > b.angle; }
bool ge(const AngleRadians& a, const AngleRadians& b) { return a.angle >= b.angle; }

PyMethodDef methods[] = {
    B::static_method<"zero", &AngleRadians::zero>(),
    B::static_method<"pi", &AngleRadians::pi>(),
    B::static_method<"two_pi", &AngleRadians::two_pi>(),
    B::static_method<"half_pi", &AngleRadians::half_pi>(),
    B::static_method<"third_pi", &AngleRadians::third_pi>(),
    B::static_method<"quarter_pi", &AngleRadians::quarter_pi>(),
    B::static_method<"sixth_pi", &AngleRadians::sixth_pi>(),
    B::method<"to_degrees", &AngleRadians::to_degrees>(),
    B::method<"sin", &AngleRadians::sin>(),
    B::method<"cos", &AngleRadians::cos>(),
    B::method<"tan", &AngleRadians::tan>(),
    B::method<"sec", &AngleRadians::sec>(),
    B::method<"csc", &AngleRadians::csc>(),
    B::method<"cot", &AngleRadians::cot>(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"angle", &AngleRadians::angle>(),
    {},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&AngleRadians::to_string>)},
    {Py_nb_add, reinterpret_cast<void*>(&B::binary<&add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(&B::binary<&sub>)},
    {Py_nb_multiply, reinterpret_cast<void*>(&B::binary<&mul>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(&B::binary<&div>)},
    {Py_nb_negative, reinterpret_cast<void*>(&B::unary<&neg>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&B::compare<&lt, &le, &eq, &gt, &ge>)},
    {0, nullptr},
};
}  // namespace rad

// ---- AngleDegrees ----------------------------------------------------------
namespace deg {
using B = Binder<AngleDegrees>;

AngleDegrees make(double angle) { return {angle}; }

PyMethodDef methods[] = {
    B::method<"to_radians", &AngleDegrees::to_radians>(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"angle", &AngleDegrees::angle>(),
    {},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&AngleDegrees::to_string>)},
    {0, nullptr},
};
}  // namespace deg

}  // namespace

const TypeDef& Class<AngleRadians>::def() {
    static const TypeDef def =
        make_type<AngleRadians>(rad::B::constructor<&rad::make, "angle">(),
                rad::slots, rad::methods, rad::properties);
    return def;
}

const TypeDef& Class<AngleDegrees>::def() {
    static const TypeDef def =
        make_type<AngleDegrees>(deg::B::constructor<&deg::make, "angle">(),
                deg::slots, deg::methods, deg::properties);
    return def;
}

}  // namespace kp
