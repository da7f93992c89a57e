#include "parallel/fp_env.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace kestrum::parallel {

namespace {

bool in_default_fp_env() noexcept {
#if defined(__x86_64__)
    // Doubles use SSE only: MXCSR with its exception flags masked off must be
    // the power-on value (all exceptions masked, round to nearest, no FTZ/DAZ).
    return (_mm_getcsr() & ~0x3Fu) == 0x1F80u;
#else
    return false;  // no cheap test: always switch
#endif
}

}  // namespace

DefaultFpEnv::DefaultFpEnv() noexcept : saved_{}, changed_(!in_default_fp_env()) {
    if (changed_) {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
}

DefaultFpEnv::~DefaultFpEnv() {
    if (changed_) std::fesetenv(&saved_);
}

}  // namespace kestrum::parallel
