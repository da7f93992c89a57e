#include "kestrum/matrix.hpp"

#include "kestrum/format.hpp"

namespace kestrum {

std::string Matrix3::to_string() const {
    std::string out = "Mat3([";
    for (int r = 0; r < 3; ++r) {
        out += r ? ", [" : "[";
        for (int c = 0; c < 3; ++c) {
            if (c) out += ", ";
            append_double(out, rows[r][c]);
        }
        out += ']';
    }
    out += "])";
    return out;
}

}  // namespace kestrum
