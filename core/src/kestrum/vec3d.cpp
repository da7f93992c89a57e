#include "kestrum/vec3d.hpp"

#include "kestrum/format.hpp"

namespace kestrum {

void append_text(std::string& out, const Vec3d& v) {
    out += "Vec3d(";
    append_double(out, v.x);
    out += ", ";
    append_double(out, v.y);
    out += ", ";
    append_double(out, v.z);
    out += ')';
}

std::string to_text(const Vec3d& v) {
    std::string s;
    append_text(s, v);
    return s;
}

}  // namespace kestrum
