// Python class Vec3d: table rows around the core vector.
#include "classes.hpp"

namespace kp {
namespace {

using kestrum::Vec3d;
using B = Binder<Vec3d>;

Vec3d make(double x, double y, double z) { return {x, y, z}; }

std::array<double, 3> to_array(const Vec3d& v) { return {v.x, v.y, v.z}; }

double item(const Vec3d& v, std::uint64_t index) {
    if (index > 2) raise(PyExc_IndexError, "Index out of bounds");
    return v[index];
}

Vec3d add(const Vec3d& a, const Vec3d& b) { return a + b; }
Vec3d sub(const Vec3d& a, const Vec3d& b) { return a - b; }
Vec3d mul(const Vec3d& v, double s) { return v * s; }
Vec3d div(const Vec3d& v, double s) { return v / s; }
Vec3d neg(const Vec3d& v) { return -v; }
std::string repr(const Vec3d& v) { return kestrum::to_text(v); }

PyMethodDef methods[] = {
    B::static_method<"i", &Vec3d::i>("The unit vector along x."),
    B::static_method<"j", &Vec3d::j>("The unit vector along y."),
    B::static_method<"k", &Vec3d::k>("The unit vector along z."),
    B::static_method<"zero", &Vec3d::zero>("The zero vector."),
    B::static_method<"new_from_to", &Vec3d::new_from_to, "from", "to">("The vector from point `from` to point `to`."),
    B::method<"dot", &Vec3d::dot, "other">("Dot product with `other`: (x*x' + y*y') + z*z', in that order."),
    B::method<"cross", &Vec3d::cross, "other">("Cross product with `other`."),
    B::method<"magnitude", &Vec3d::magnitude>("Euclidean length."),
    B::method<"normalize", &Vec3d::normalize>(
        "This vector divided by its length; a zero vector gives NaNs (sign bit set), no error."),
    B::method<"is_unit", &Vec3d::is_unit>(
        "Whether abs(length - 1) < 2**-52, strictly: about 2.7% of normalize() results fail it."),
    B::method<"distance_to", &Vec3d::distance_to, "other">("Euclidean distance to the point `other`."),
    B::method<"distance_squared", &Vec3d::distance_squared, "other">(
        "Squared Euclidean distance to the point `other`."),
    B::method<"distance_to_line", &Vec3d::distance_to_line, "a", "b">(
        "Distance to the infinite line through `a` and `b`."),
    B::method<"project_onto_line", &Vec3d::project_onto_line, "line_r", "line_q">(
        "Foot of the perpendicular onto the infinite line through `line_r` and `line_q`."),
    B::method<"project_onto_plane", &Vec3d::project_onto_plane, "normal">(
        "Projection onto the plane through the origin with `normal`; a true projection only for a unit normal."),
    B::method<"scalar_triple_product", &Vec3d::scalar_triple_product, "b", "c">("self . (b x c)."),
    B::method<"to_array", &to_array>("The components as [x, y, z]."),
    B::method<"angle_to", &kestrum::angle_to, "other">(
        "The angle to `other`, 0 to pi; the cosine is clamped to [-1, 1], a zero vector gives NaN."),
    B::method<"to_quat", &kestrum::Quat::from_vec3d>("The pure quaternion (0, x, y, z)."),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"x", &Vec3d::x>("The x component."),
    B::field<"y", &Vec3d::y>("The y component."),
    B::field<"z", &Vec3d::z>("The z component."),
    B::numpy_defers("Makes numpy give way: `np.float64(2) * v` is `v * 2.0`, `ndarray + v` a TypeError."),
    {},
};

const PyType_Slot slots[] = {
    B::repr<&repr>(),
    B::number<Py_nb_add, &add>("Vector sum."),
    B::number<Py_nb_subtract, &sub>("Vector difference."),
    B::number<Py_nb_multiply, &mul, &mul>("Scaled by a number, on either side."),
    B::number<Py_nb_true_divide, &div>("Divided by a number; by 0 gives inf or NaN, no error."),
    B::negative<&neg>("The opposite vector."),
    B::item<&item, "index">("Component 0, 1 or 2; a negative index raises OverflowError."),
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Vec3d>::def() {
    static const TypeDef def = make_type<Vec3d>(
        B::constructor<&make, "x", "y", "z">("A vector from its three components; == is identity, compare to_array()."),
        slots, methods, properties);
    return def;
}

}  // namespace kp
