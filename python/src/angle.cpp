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
    B::static_method<"zero", &AngleRadians::zero>("The angle 0."),
    B::static_method<"pi", &AngleRadians::pi>("The angle pi."),
    B::static_method<"two_pi", &AngleRadians::two_pi>("The angle 2 pi."),
    B::static_method<"half_pi", &AngleRadians::half_pi>("The angle pi / 2."),
    B::static_method<"third_pi", &AngleRadians::third_pi>("The angle pi / 3."),
    B::static_method<"quarter_pi", &AngleRadians::quarter_pi>("The angle pi / 4."),
    B::static_method<"sixth_pi", &AngleRadians::sixth_pi>("The angle pi / 6."),
    B::method<"to_degrees", &AngleRadians::to_degrees>("The same angle in degrees."),
    B::method<"sin", &AngleRadians::sin>("Sine."),
    B::method<"cos", &AngleRadians::cos>("Cosine."),
    B::method<"tan", &AngleRadians::tan>("Tangent."),
    B::method<"sec", &AngleRadians::sec>("Secant."),
    B::method<"csc", &AngleRadians::csc>("Cosecant."),
    B::method<"cot", &AngleRadians::cot>("Cotangent."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"angle", &AngleRadians::angle>("The angle in radians."),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&AngleRadians::to_string>(),
    B::number<Py_nb_add, &add>("Sum of two angles."),
    B::number<Py_nb_subtract, &sub>("Difference of two angles."),
    B::number<Py_nb_multiply, &mul>("Scaled by a number on the right (2 * a is a TypeError)."),
    B::number<Py_nb_true_divide, &div>("Divided by a number; by 0 gives inf or NaN, no error."),
    B::negative<&neg>("The opposite angle."),
    B::comparison<&lt, &le, &eq, &gt, &ge>(
        "Compares the values exactly (NaN unordered, 0 == -0); so angles are unhashable."),
    {0, nullptr},
};
}  // namespace rad

// ---- AngleDegrees ----------------------------------------------------------
namespace deg {
using B = Binder<AngleDegrees>;

AngleDegrees make(double angle) { return {angle}; }

PyMethodDef methods[] = {
    B::method<"to_radians", &AngleDegrees::to_radians>("The same angle in radians."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"angle", &AngleDegrees::angle>("The angle in degrees."),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&AngleDegrees::to_string>(),
    {0, nullptr},
};
}  // namespace deg

}  // namespace

const TypeDef& Class<AngleRadians>::def() {
    static const TypeDef def = make_type<AngleRadians>(rad::B::constructor<&rad::make, "angle">("An angle in radians."),
                                                       rad::slots, rad::methods, rad::properties);
    return def;
}

const TypeDef& Class<AngleDegrees>::def() {
    static const TypeDef def = make_type<AngleDegrees>(
        deg::B::constructor<&deg::make, "angle">("An angle in degrees; == is identity, compare .angle."), deg::slots,
        deg::methods, deg::properties);
    return def;
}

}  // namespace kp
