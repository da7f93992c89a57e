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
    B::static_method<"identity", &Quat::identity>("The identity rotation (1, 0, 0, 0)."),
    B::static_method<"from_axis_angle", &Quat::from_axis_angle, "axis", "angle">("The rotation by `angle` about `axis` (used as given): (cos(angle/2), -sin(angle/2) * axis), the conjugate of PyGLM's."),
    B::method<"conjugate", &Quat::conjugate>("The conjugate (w, -i, -j, -k)."),
    B::method<"magnitude", &Quat::magnitude>("Euclidean norm."),
    B::method<"normalize", &Quat::normalize>("This quaternion divided by its norm."),
    B::method<"is_unit", &Quat::is_unit>("Whether abs(norm - 1) < 2**-52, strictly."),
    B::method<"to_vec3d", &to_vec3d>("The vector part (i, j, k) as a tuple."),
    B::method<"to_axis_angle", &to_axis_angle>("The rotation's axis and angle; ((1, 0, 0), 0) when w is within 2**-52 of 1."),
    B::method<"to_rotation_matrix", &Quat::to_rotation_matrix>("The 3x3 rotation matrix, row by row."),
    B::method<"rotate", &Quat::rotate, "v">("`v` rotated: conj(q) * v * q, counterclockwise for from_axis_angle; a non-unit q also scales by |q|**2."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"w", &Quat::w>("The scalar part."),
    B::field<"i", &Quat::i>("The i component."),
    B::field<"j", &Quat::j>("The j component."),
    B::field<"k", &Quat::k>("The k component."),
    {},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&Quat::to_string>)},
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Quat>::def() {
    static const TypeDef def =
        make_type<Quat>(B::constructor<&make, "w", "i", "j", "k">("A quaternion from its four components, scalar first; == is identity."), slots, methods, properties);
    return def;
}

}  // namespace kp
