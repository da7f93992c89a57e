// Python class Quat.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::AngleRadians;
using kestrum::Quat;
using kestrum::Vec3d;
using B = Binder<Quat>;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

// A plain tuple, not a Vec3d.
std::tuple<double, double, double> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }
std::pair<Vec3d, AngleRadians> to_axis_angle(const Quat& q) {
    const kestrum::AxisAngle r = q.to_axis_angle();
    return {r.axis, r.angle};
}

PyMethodDef methods[] = {
    B::static_method<"identity", &Quat::identity>(),
    B::static_method<"from_axis_angle", &Quat::from_axis_angle, "axis", "angle">(),
    B::method<"conjugate", &Quat::conjugate>(),
    B::method<"magnitude", &Quat::magnitude>(),
    B::method<"normalize", &Quat::normalize>(),
    B::method<"is_unit", &Quat::is_unit>(),
    B::method<"to_vec3d", &to_vec3d>(),
    B::method<"to_axis_angle", &to_axis_angle>(),
    B::method<"to_rotation_matrix", &Quat::to_rotation_matrix>(),
    B::method<"rotate", &Quat::rotate, "v">(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"w", &Quat::w>(),
    B::field<"i", &Quat::i>(),
    B::field<"j", &Quat::j>(),
    B::field<"k", &Quat::k>(),
    {},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&Quat::to_string>)},
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Quat>::def() {
    static const TypeDef def =
        make_type<Quat>(B::constructor<&make, "w", "i", "j", "k">(), slots, methods, properties);
    return def;
}

}  // namespace kp
