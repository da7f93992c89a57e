#pragma once
// Shortest round-trip decimal, always positional (never an exponent), as
// every text form of the library prints numbers: 1.0 -> "1", -0.0 -> "-0",
// 1e-7 -> "0.0000001", NaN -> "NaN".
#include <string>

namespace kestrum {

void append_double(std::string& out, double v);
std::string format_double(double v);

}  // namespace kestrum
