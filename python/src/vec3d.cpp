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
    B::static_method<"i", &Vec3d::i>(),
    B::static_method<"j", &Vec3d::j>(),
    B::static_method<"k", &Vec3d::k>(),
    B::static_method<"zero", &Vec3d::zero>(),
    B::static_method<"new_from_to", &Vec3d::new_from_to, "from", "to">(),
    B::method<"dot", &Vec3d::dot, "other">(),
    B::method<"cross", &Vec3d::cross, "other">(),
    B::method<"magnitude", &Vec3d::magnitude>(),
    B::method<"normalize", &Vec3d::normalize>(),
    B::method<"is_unit", &Vec3d::is_unit>(),
    B::method<"distance_to", &Vec3d::distance_to, "other">(),
    B::method<"distance_squared", &Vec3d::distance_squared, "other">(),
    B::method<"distance_to_line", &Vec3d::distance_to_line, "a", "b">(),
    B::method<"project_onto_line", &Vec3d::project_onto_line, "line_r", "line_q">(),
    B::method<"project_onto_plane", &Vec3d::project_onto_plane, "normal">(),
    B::method<"scalar_triple_product", &Vec3d::scalar_triple_product, "b", "c">(),
    B::method<"to_array", &to_array>(),
    B::method<"angle_to", &kestrum::angle_to, "other">(),
    B::method<"to_quat", &kestrum::Quat::from_vec3d>(),
    B::reduce(),
    {},
};

PyGetSetDef properties[] = {
    B::field<"x", &Vec3d::x>(),
    B::field<"y", &Vec3d::y>(),
    B::field<"z", &Vec3d::z>(),
    {},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&B::unary<&repr>)},
    {Py_nb_add, reinterpret_cast<void*>(&B::binary<&add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(&B::binary<&sub>)},
    {Py_nb_multiply, reinterpret_cast<void*>(&B::binary<&mul, &mul>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(&B::binary<&div>)},
    {Py_nb_negative, reinterpret_cast<void*>(&B::unary<&neg>)},
    {Py_mp_subscript, reinterpret_cast<void*>(&B::subscript<&item, "index">)},
    {0, nullptr},
};

}  // namespace

const TypeDef& Class<Vec3d>::def() {
    static const TypeDef def =
        make_type<Vec3d>(B::constructor<&make, "x", "y", "z">(), slots, methods, properties);
    return def;
}

bool FromPy<std::vector<Vec3d>>::load(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        // Only the target's name is wanted; no instance check is made.
        Ref abc(PyImport_ImportModule("collections.abc"));
        Ref seq(abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr);
        Ref qn(seq ? PyObject_GetAttrString(seq.get(), "__qualname__") : nullptr);
        const char* s = qn ? PyUnicode_AsUTF8(qn.get()) : nullptr;
        PyErr_Clear();
        set_cast_error(o, s ? s : "Sequence");
        return false;
    }
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0)
        PyErr_Clear();  // only a capacity hint
    else
        v.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1u << 20));
    const Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (const Ref item{PyIter_Next(it.get())}) {
        Shared<Vec3d> borrow;  // held only while the components are copied
        if (!borrow.acquire(item.get())) return false;
        v.push_back(borrow.value());
    }
    return !PyErr_Occurred();
}

}  // namespace kp
