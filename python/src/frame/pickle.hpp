#pragma once
// Pickling and copying: the reduction every class shares and the one
// reconstructor, kestrum_py._unpickle.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "frame/args.hpp"
#include "frame/results.hpp"

namespace kp {

// ---------------------------------------------------------------------------
// Pickling and copying
//
// Every class reduces to a call of kestrum_py._unpickle(cls, version, state).
// The classes report __module__ "builtins", where pickle could never find
// them, so the reconstructor is a real attribute of kestrum_py (left out of
// __all__): pickle stores it as "kestrum_py _unpickle" and a fresh process
// finds it by importing kestrum_py. copy.copy and copy.deepcopy go the same
// way through __reduce_ex__.
//
// The pickled form, version 1 (a later library keeps reading every version
// it ever wrote):
//   cls      the class name: "Vec3d", "Quat", "AngleRadians", "AngleDegrees",
//            "VecList", "Plane", "Circle", "KdTree", "QuatList", "Mat3" or
//            "RigidTransform"
//   version  1
//   state    the stored doubles as little-endian IEEE-754 binary64, bit for
//            bit, in this order:
//              Vec3d         x y z
//              Quat          w i j k
//              AngleRadians, AngleDegrees   angle
//              Plane         normal.x normal.y normal.z distance
//              Circle        center.x center.y center.z radius normal.x normal.y normal.z
//              VecList       x y z of each element in order (24 bytes each);
//                            protocol 5 hands over the elements as one
//                            out-of-band-capable PickleBuffer, others as bytes
//              KdTree        the tree's block as laid out in
//                            core/src/spatial/kd_tree.cpp (little-endian
//                            words; checked in full when loaded); protocol 5
//                            as a PickleBuffer, others as bytes
//              QuatList      w i j k of each element in order (32 bytes each),
//                            handed over as VecList's are
//              Mat3          the nine entries row by row
//              RigidTransform  rotation w i j k, then translation x y z
inline constexpr std::uint64_t kPickleVersion = 1;
static_assert(std::endian::native == std::endian::little, "the pickled state is the values' own bytes, little-endian");

// kestrum_py._unpickle (borrowed; set once at import).
PyObject* unpickler() noexcept;
void set_unpickler(PyObject* fn) noexcept;

// The state of one value. A value that is a fixed run of doubles (checked by
// each class's static_assert in classes.hpp) is pickled as its own bytes.
template <class C>
struct Pickled {
    static_assert(std::is_trivially_copyable_v<C> && sizeof(C) % sizeof(double) == 0);
    static PyObject* state(PyObject*, const C& value, std::uint64_t) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&value), sizeof value);
    }
    static C load(Bytes state) {
        if (state.size != sizeof(C))
            raise(PyExc_ValueError, std::string("pickled ") + Class<C>::name + " state must be " +
                                        std::to_string(sizeof(C)) + " bytes, got " + std::to_string(state.size));
        C value;
        std::memcpy(static_cast<void*>(&value), state.data, sizeof value);
        return value;
    }
};

template <class C>
PyObject* unpickle_as(std::uint64_t version, Bytes state) {
    if (version == 0 || version > kPickleVersion)
        raise(PyExc_ValueError, "unsupported pickle format version " + std::to_string(version) + " of " +
                                    Class<C>::name + " (this kestrum_py reads version " +
                                    std::to_string(kPickleVersion) + ")");
    return to_py(Pickled<C>::load(state));
}

// Body of kestrum_py._unpickle over the classes Cs: a new object of the class
// named `cls`, from the state of a version this library reads.
template <class... Cs>
PyObject* unpickle(std::string_view cls, std::uint64_t version, Bytes state) {
    PyObject* out = nullptr;
    const bool known = ((cls == Class<Cs>::name && (out = unpickle_as<Cs>(version, state), true)) || ...);
    if (!known) raise(PyExc_ValueError, "unknown class '" + std::string(cls) + "' in pickled kestrum_py data");
    return out;
}

}  // namespace kp
