#pragma once
// Sums, differences and products whose NaN result does not depend on the
// compiler's operand order.
//
// C++ leaves NaN payloads and signs unspecified, and compilers use that
// freedom: they emit a commutative `a + b` with either operand first (an SSE
// add or multiply of two NaNs returns the first source), differently in a
// vectorised loop body, its scalar remainder and a lone scalar call; and they
// move a negation across a product or difference (clang turns
// `x - (-i) * v` into `x + i * v`, then commutes the sum), which changes the
// sign of a NaN passing through. NanOrdered therefore never lets the hardware
// choose a NaN: a NaN result is selected explicitly, the left operand's
// (quieted) if it is a NaN, else the right one's, else (inf - inf, 0 * inf)
// the x86 default NaN; the selects and the integer quieting are exact, so
// every emission order and every value-preserving rewrite gives these bits.
// They are the bits SSE gives for the operation as written. Non-NaN results
// are the plain IEEE results, bit for bit.
//
// Formulas are written once over an arithmetic A. NanOrdered is what every
// result is defined by. Plain gives the same bits for every result that is not
// a NaN (a NaN operand is never absorbed, so a non-NaN result saw no NaN on its
// way, and non-NaN results do not depend on order or rewrites). Bulk loops
// evaluate a stretch with Plain, which vectorises at full speed, and evaluate
// it again with NanOrdered only if a result came out NaN; single values do the
// same through nan_ordered() below.
//
// A formula may also make its Plain result NaN on purpose, for arguments only
// its NanOrdered path handles (huge, tiny, inf or NaN arguments to the
// branch-free kernels): a Plain evaluation, which must stay branch-free for
// bulk loops, turns a `mark` from +0 to NaN (formula::redo_mark) and adds it
// where the formula would add +0 anyway (x + +0 and +0 - x are what they
// were), so the redo computes them. Either way the result is a function of
// the arguments alone.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kestrum {

struct NanOrdered {
    static double add(double a, double b) { return pick(a, b, a + b); }
    static double sub(double a, double b) { return pick(a, b, a - b); }
    static double mul(double a, double b) { return pick(a, b, a * b); }

    // The result of `a op b` given r, its value as computed.
    static double pick(double a, double b, double r) {
        const auto quiet = [](double x) {
            return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) | 0x0008000000000000ull);
        };
        constexpr double kDefaultNan = std::bit_cast<double>(0xFFF8000000000000ull);
        if (r == r) [[likely]]
            return r;
        return a != a ? quiet(a) : b != b ? quiet(b) : kDefaultNan;
    }
};

struct Plain {
    static double add(double a, double b) { return a + b; }
    static double sub(double a, double b) { return a - b; }
    static double mul(double a, double b) { return a * b; }
};

// Whether any of p[0, n) is a NaN; branch-free, so it vectorises.
inline bool any_nan(const double* p, std::size_t n) {
    // |bits| + (2^52 - 1) reaches the sign bit exactly for |bits| above inf.
    const auto nan_bit = [](double x) {
        return (std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFFull) + 0x000FFFFFFFFFFFFFull;
    };
    std::uint64_t acc[4] = {0, 0, 0, 0};  // independent chains
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (std::size_t k = 0; k < 8; ++k) acc[k & 3] |= nan_bit(p[i + k]);
    for (; i < n; ++i) acc[0] |= nan_bit(p[i]);
    return ((acc[0] | acc[1] | acc[2] | acc[3]) >> 63) != 0;
}

// Whether any double of a result made of doubles (a double, Vec3d, Quat ...)
// is a NaN.
template <class R>
bool has_nan(const R& r) {
    static_assert(std::is_trivially_copyable_v<R> && sizeof(R) % sizeof(double) == 0, "results are doubles");
    double d[sizeof(R) / sizeof(double)];
    std::memcpy(d, &r, sizeof r);
    bool nan = false;
    for (const double x : d) nan |= x != x;  // no early exit: one branch in all
    return nan;
}

// One value of a formula written over an arithmetic, `f(arith)`, e.g.
//   nan_ordered([&](auto a) { return formula::dot<decltype(a)>(u, v); })
// Plain first; only a NaN result is evaluated again with NanOrdered. Every
// result is the NanOrdered one, bit for bit, at Plain's cost unless a NaN
// came out.
// The NaN-ordered pass is out of line and cold, so the plain one inlines
// into the caller (an out-of-line nan_ordered passed every value through
// memory).
template <class F>
[[gnu::noinline, gnu::cold]] auto nan_ordered_again(const F& f) {
    return f(NanOrdered{});
}

template <class F>
[[gnu::always_inline]] inline auto nan_ordered(const F& f) {
    const auto r = f(Plain{});
    if (has_nan(r)) [[unlikely]]
        return nan_ordered_again(f);
    return r;
}

inline double add(double a, double b) { return NanOrdered::add(a, b); }
inline double mul(double a, double b) { return NanOrdered::mul(a, b); }

}  // namespace kestrum
