#pragma once
// Bulk results do not depend on the floating-point environment of whichever
// thread happens to use or start the pool: workers compute in the default one
// (round to nearest, no flush-to-zero, no denormals-are-zero), and the parts
// of an operation that run on the calling thread sit inside this guard, which
// switches to the default environment and back when the caller's differs.
#include <cfenv>

namespace kestrum::parallel {

class DefaultFpEnv {
public:
    DefaultFpEnv() noexcept;
    ~DefaultFpEnv();
    DefaultFpEnv(const DefaultFpEnv&) = delete;
    DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;

private:
    std::fenv_t saved_;
    bool changed_;
};

}  // namespace kestrum::parallel
