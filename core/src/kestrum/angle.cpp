#include "kestrum/angle.hpp"

#include "kestrum/format.hpp"

namespace kestrum {

std::string AngleRadians::to_string() const {
    std::string out;
    append_double(out, angle);
    out += " radians";
    return out;
}

std::string AngleDegrees::to_string() const {
    std::string out;
    append_double(out, angle);
    out += "\xC2\xB0";
    return out;
}

}  // namespace kestrum
