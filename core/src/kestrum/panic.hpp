#pragma once
// Internal invariant failures of the core library. They never signal numeric
// trouble (that yields NaN/inf); they mark a broken precondition, and the
// Python layer turns them into PanicException with the same text.
#include <stdexcept>
#include <string>

namespace kestrum {

class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] inline void panic(const std::string& what) { throw Panic(what); }

}  // namespace kestrum
