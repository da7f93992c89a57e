#pragma once
// The module's classes: which core value each Python class wraps. Kept in one
// header (not one per class) so python/src never shadows a core header name.

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string_view>
#include <variant>
#include <vector>

#include "frame.hpp"
#include "kestrum/angle.hpp"
#include "kestrum/geometry/circle.hpp"
#include "kestrum/geometry/plane.hpp"
#include "kestrum/matrix.hpp"
#include "kestrum/quat.hpp"
#include "kestrum/rigid.hpp"
#include "kestrum/vec3d.hpp"
#include "memory/block_cache.hpp"
#include "memory/uninit_allocator.hpp"
#include "spatial/icp.hpp"
#include "spatial/kd_tree.hpp"

namespace kp {

// What every wrapped class declares; `def()` lives in the class's unit.
template <Name ClassName>
struct Wrap {
    static constexpr bool wrapped = true;
    static constexpr const char* name = ClassName.s;
};

template <>
struct Class<kestrum::Vec3d> : Wrap<"Vec3d"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::AngleRadians> : Wrap<"AngleRadians"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::AngleDegrees> : Wrap<"AngleDegrees"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::Quat> : Wrap<"Quat"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::Matrix3> : Wrap<"Mat3"> {
    static const TypeDef& def();
};
// Every function taking a 3x3 matrix reads a Mat3 (immutable) directly.
template <>
struct HeldBy<kestrum::Mat3> {
    using type = kestrum::Matrix3;
    static const kestrum::Mat3& of(const kestrum::Matrix3& m) noexcept { return m.rows; }
};

template <>
struct Class<kestrum::geometry::Plane> : Wrap<"Plane"> {
    static const TypeDef& def();
};

template <>
struct Class<kestrum::geometry::Circle> : Wrap<"Circle"> {
    static const TypeDef& def();
};

// VecList owns one contiguous array of core vectors; its iterator owns a
// private copy taken when iteration began. The allocator leaves new elements
// uninitialised, since every bulk result is written in full by the pool.
using kestrum::memory::UninitAllocator;
template <class T>
using ElementArray = std::vector<T, UninitAllocator<T>>;
using VecArray = ElementArray<kestrum::Vec3d>;

// A list class over elements E (a fixed run of doubles): VecList, QuatList.
// The shared pieces (construction, access, export, pickling, repr, bulk
// loops) are in element_list.hpp.
template <class E>
struct ElementList {
    ElementArray<E> items;
};
template <class E>
struct ElementListIter {
    ElementArray<E> items;
    std::size_t cursor = 0;
};
using VecListValue = ElementList<kestrum::Vec3d>;
using VecListIterValue = ElementListIter<kestrum::Vec3d>;
using QuatListValue = ElementList<kestrum::Quat>;
using QuatListIterValue = ElementListIter<kestrum::Quat>;

template <>
struct Class<VecListValue> : Wrap<"VecList"> {
    static const TypeDef& def();
};

template <>
struct Class<VecListIterValue> : Wrap<"VecListIterator"> {
    static const TypeDef& def();
};

template <>
struct Class<QuatListValue> : Wrap<"QuatList"> {
    static const TypeDef& def();
};

// An (n, 3) table copied into a new list (VecList.from_array's body).
VecListValue vec_list_from_rows(const Rows3& rows);

template <>
struct Class<kestrum::spatial::KdTree> : Wrap<"KdTree"> {
    static const TypeDef& def();
};
// Pickled as the tree's own block (see kd_tree.hpp).
template <>
struct Pickled<kestrum::spatial::KdTree> {
    static PyObject* state(PyObject* self, const kestrum::spatial::KdTree& value, std::uint64_t protocol);
    static kestrum::spatial::KdTree load(Bytes state);
};

template <>
struct Class<QuatListIterValue> : Wrap<"QuatListIterator"> {
    static const TypeDef& def();
};

// Pickled as the element block (see Pickled in frame/pickle.hpp).
template <class E>
struct Pickled<ElementList<E>> {
    static PyObject* state(PyObject* self, const ElementList<E>& value, std::uint64_t protocol);
    static ElementList<E> load(Bytes state);
};

// Quat.then's body: one rotation followed by a Quat or by each of a QuatList.
std::variant<kestrum::Quat, QuatListValue> quat_then(const kestrum::Quat& q,
                                                     const OneOf<kestrum::Quat, QuatListValue>& p);

template <>
struct Class<kestrum::RigidTransform> : Wrap<"RigidTransform"> {
    static const TypeDef& def();
};
template <>
struct Class<kestrum::spatial::IcpResult> : Wrap<"IcpResult"> {
    static const TypeDef& def();
};
// The module functions of rigid_transform.cpp (icp), null-terminated.
PyMethodDef* rigid_functions();

// An Euler sequence argument ("xyz", "ZYX", ...); anything else is a ValueError.
kestrum::EulerSeq euler_seq(std::string_view text);

// The other values pickle as their own bytes: plain doubles, no padding.
static_assert(sizeof(kestrum::Vec3d) == 3 * sizeof(double));
static_assert(sizeof(kestrum::Quat) == 4 * sizeof(double));
static_assert(sizeof(kestrum::Matrix3) == 9 * sizeof(double));
static_assert(sizeof(kestrum::RigidTransform) == 7 * sizeof(double));
static_assert(sizeof(kestrum::AngleRadians) == sizeof(double));
static_assert(sizeof(kestrum::AngleDegrees) == sizeof(double));
static_assert(sizeof(kestrum::geometry::Plane) == 4 * sizeof(double));
static_assert(sizeof(kestrum::geometry::Circle) == 7 * sizeof(double));

// The geometry submodule's functions, in registration order (null-terminated).
PyMethodDef* geometry_functions();
// The geo submodule's functions, likewise.
PyMethodDef* geo_functions();

// A sequence of instances of T (Vec3d, Quat), copied out in iteration order.
template <Wrapped T>
struct FromPy<std::vector<T>> {
    std::vector<T> v;
    bool load(PyObject* o);
    const std::vector<T>& get() const noexcept { return v; }
    static std::string py_type() { return std::string("Sequence[") + Class<T>::name + "]"; }
};

// A sequence of instances of T, copied out in iteration order.
template <Wrapped T>
bool FromPy<std::vector<T>>::load(PyObject* o) {
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
    // A list's iterator runs no Python code, so Ctrl-C is looked for here.
    // Nothing is built that the collector could see: it is left running (0).
    ResultLoop signals(0);
    std::size_t step = 0;
    while (const Ref item{PyIter_Next(it.get())}) {
        if (!signals.poll(++step)) return false;
        Shared<T> borrow;  // held only while the components are copied
        if (!borrow.acquire(item.get())) return false;
        v.push_back(borrow.value());
    }
    return !PyErr_Occurred();
}

}  // namespace kp
