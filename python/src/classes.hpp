#pragma once
// The module's classes: which core value each Python class wraps. Kept in one
// header (not one per class) so python/src never shadows a core header name.
#include <vector>

#include "frame.hpp"
#include "vec3d.hpp"

namespace kp {

template <>
struct Class<kestrum::Vec3d> {
    static constexpr bool wrapped = true;
    static constexpr const char* name = "Vec3d";
    static const TypeDef& def();
};

// A sequence of Vec3d objects, copied out in iteration order.
template <>
struct Param<std::vector<kestrum::Vec3d>> {
    std::vector<kestrum::Vec3d> v;
    bool load(PyObject* o);
    const std::vector<kestrum::Vec3d>& get() const noexcept { return v; }
};

}  // namespace kp
