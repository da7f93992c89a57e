#pragma once
// The public bulk algorithms, each one Pool::reduce with its own piece
// function and ordered combine: ordered map, first minimum, ordered join.
// Every one has a form on a given pool and one on the process-wide pool.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrum/panic.hpp"
#include "parallel/pool.hpp"

namespace kestrum::parallel {

// IEEE-754 totalOrder as a signed integer: -NaN < -inf < ... < -0 < +0 < ...
// < +inf < +NaN. Negative values flip their magnitude bits so that larger
// magnitudes sort lower.
inline std::int64_t total_order_key(double d) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(d);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

namespace detail {

// Slots [lo, lo + len) written by the ordered map.
struct Filled {
    std::size_t lo;
    std::size_t len;
};
// Adjacent runs merge; a gap keeps only the left run, so the final count
// falls short and the map reports it.
inline Filled merge_filled(Filled l, Filled r) noexcept {
    if (l.lo + l.len == r.lo) return {l.lo, l.len + r.len};
    return l;
}

struct Best {
    bool found = false;
    std::size_t index = 0;
    std::int64_t key = 0;
};
// Keeps the left unless the right is strictly smaller.
inline Best better(Best l, Best r) noexcept {
    if (!l.found) return r;
    if (r.found && r.key < l.key) return r;
    return l;
}

inline std::string concat(std::vector<std::string>& chunks) {
    if (chunks.size() == 1) return std::move(chunks.front());
    std::size_t total = 0;
    for (const auto& c : chunks) total += c.size();
    std::string out;
    out.reserve(total);
    for (const auto& c : chunks) out += c;
    return out;
}

}  // namespace detail

// How wide a piece's loop may go. `scalar`: its arithmetic does not
// vectorise across elements (a long formula such as as_matrix), so it runs
// the AVX2 copy even where AVX-512 exists: on Intel cores a 512-bit
// instruction in flight (here only the NaN scan) closes a vector port to the
// scalar arithmetic (QuatList.as_matrix on one thread: 7.3 against 5.4 ns an
// element). Results are the same bits either way.
enum class Lanes { widest, scalar };

namespace detail {

// Element loops are compiled for the base instruction set and again for AVX2
// and AVX-512, and each piece runs the widest the CPU offers. Results are the
// same bits: every vector lane performs the same single-rounding IEEE
// operation, with the first operand's NaN winning as in SSE, and no FMA is
// ever formed (-ffp-contract=off).
enum class Isa { base, avx2, avx512 };

// Marks a piece function (the lambda given to map_ranges): it must be inlined
// into those copies, or it runs its base-ISA code only (the compiler left the
// long rotate loop out of line, at twice the time).
#define KESTRUM_PIECE_LOOP __attribute__((always_inline))

#if defined(__x86_64__) && defined(__GNUC__)
inline Isa widest_isa() noexcept {
    static const Isa isa = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
        if (__builtin_cpu_supports("avx2")) return Isa::avx2;
        return Isa::base;
    }();
    return isa;
}
template <class G>
[[gnu::target("avx512f")]] void run_avx512(const G& g, std::size_t lo, std::size_t hi) {
    g(lo, hi);
}
template <class G>
[[gnu::target("avx2")]] void run_avx2(const G& g, std::size_t lo, std::size_t hi) {
    g(lo, hi);
}
template <Lanes L, class G>
void run_widest(const G& g, std::size_t lo, std::size_t hi) {
    switch (widest_isa()) {
        case Isa::avx512:
            if constexpr (L == Lanes::scalar)
                return run_avx2(g, lo, hi);
            else
                return run_avx512(g, lo, hi);
        case Isa::avx2: return run_avx2(g, lo, hi);
        default: return g(lo, hi);
    }
}
#else
template <Lanes L, class G>
void run_widest(const G& g, std::size_t lo, std::size_t hi) {
    g(lo, hi);
}
#endif

}  // namespace detail

// g(lo, hi) assigns out[lo, hi) for each piece; together the pieces assign
// every slot exactly once. `weight`: see Pool::reduce.
template <Lanes L = Lanes::widest, class Out, class G>
void map_ranges(Pool& pool, std::span<Out> out, const G& g, std::size_t weight = 1) {
    struct Op {
        const G* g;
        detail::Filled seq(std::size_t lo, std::size_t hi) const {
            detail::run_widest<L>(*g, lo, hi);
            return {lo, hi - lo};
        }
        detail::Filled combine(detail::Filled l, detail::Filled r) const { return detail::merge_filled(l, r); }
    };
    const detail::Filled filled = pool.reduce(out.size(), Op{&g}, weight);
    if (filled.lo != 0 || filled.len != out.size()) {
        throw Panic("expected " + std::to_string(out.size()) + " total writes, but got " + std::to_string(filled.len));
    }
}

// out[i] = f(i) for every slot of `out`, each slot assigned exactly once.
template <class Out, class F>
void map_into(Pool& pool, std::span<Out> out, const F& f) {
    static_assert(std::is_assignable_v<Out&, std::invoke_result_t<const F&, std::size_t>>,
                  "f(i) must be assignable to an output slot");
    Out* o = out.data();
    map_ranges(pool, out, [o, &f](std::size_t lo, std::size_t hi) KESTRUM_PIECE_LOOP {
        for (std::size_t i = lo; i < hi; ++i) o[i] = f(i);
    });
}

// A new vector with out[i] = f(i), allocated once at length n.
template <class Out, class F>
std::vector<Out> map(Pool& pool, std::size_t n, const F& f) {
    static_assert(!std::is_same_v<Out, bool>,
                  "std::vector<bool> packs bits, so concurrent slot writes would race; map to a byte type");
    std::vector<Out> out(n);
    map_into(pool, std::span<Out>(out), f);
    return out;
}

// The candidate t in [0, m) with the smallest key(t) in IEEE totalOrder,
// lowest t among equals; nullopt when m == 0.
template <class Key>
std::optional<std::size_t> first_min(Pool& pool, std::size_t m, const Key& key) {
    static_assert(std::is_convertible_v<std::invoke_result_t<const Key&, std::size_t>, double>,
                  "key(t) must give a double");
    struct Op {
        const Key* key;
        detail::Best seq(std::size_t lo, std::size_t hi) const {
            detail::Best best;
            for (std::size_t t = lo; t < hi; ++t) {
                const std::int64_t k = total_order_key(static_cast<double>((*key)(t)));
                if (!best.found || k < best.key) best = {true, t, k};
            }
            return best;
        }
        detail::Best combine(detail::Best l, detail::Best r) const { return detail::better(l, r); }
    };
    const detail::Best best = pool.reduce(m, Op{&key});
    if (!best.found) return std::nullopt;
    return best.index;
}

// Over element indices 0, stride, 2*stride, ... < n (stride > 0).
template <class Key>
std::optional<std::size_t> first_min_strided(Pool& pool, std::size_t n, std::size_t stride, const Key& key) {
    if (stride == 0) throw Panic("assertion failed: stride != 0");
    // (n - 1) / stride + 1 rather than a rounded-up division, which could overflow.
    const std::size_t m = n == 0 ? 0 : (n - 1) / stride + 1;
    const auto t = first_min(pool, m, [&key, stride](std::size_t c) { return key(c * stride); });
    if (!t) return std::nullopt;
    return *t * stride;
}

// Over element indices lo <= i < hi.
template <class Key>
std::optional<std::size_t> first_min_range(Pool& pool, std::size_t lo, std::size_t hi, const Key& key) {
    if (hi < lo) hi = lo;
    const auto t = first_min(pool, hi - lo, [&key, lo](std::size_t c) { return key(lo + c); });
    if (!t) return std::nullopt;
    return lo + *t;
}

// text_of(out, i) appends element i's text; elements are separated by `sep`.
// Equals the sequential join.
template <class TextOf>
std::string join(Pool& pool, std::size_t n, const TextOf& text_of, std::string_view sep) {
    struct Op {
        const TextOf* text_of;
        std::string_view sep;
        std::vector<std::string> seq(std::size_t lo, std::size_t hi) const {
            std::string text;
            for (std::size_t i = lo; i < hi; ++i) {
                // Also before a piece's first element unless it is element 0,
                // so piece boundaries never show in the result.
                if (i != 0) text.append(sep);
                (*text_of)(text, i);
            }
            std::vector<std::string> chunks;
            chunks.push_back(std::move(text));
            return chunks;
        }
        std::vector<std::string> combine(std::vector<std::string> l, std::vector<std::string> r) const {
            l.insert(l.end(), std::make_move_iterator(r.begin()), std::make_move_iterator(r.end()));
            return l;
        }
    };
    std::vector<std::string> chunks = pool.reduce(n, Op{&text_of, sep});
    return detail::concat(chunks);
}

// The same on the process-wide pool.
template <Lanes L = Lanes::widest, class Out, class G>
void map_ranges(std::span<Out> out, const G& g, std::size_t weight = 1) {
    map_ranges<L>(global(), out, g, weight);
}
template <class Out, class F>
void map_into(std::span<Out> out, const F& f) {
    map_into(global(), out, f);
}
template <class Out, class F>
std::vector<Out> map(std::size_t n, const F& f) {
    return map<Out>(global(), n, f);
}
template <class Key>
std::optional<std::size_t> first_min(std::size_t m, const Key& key) {
    return first_min(global(), m, key);
}
template <class Key>
std::optional<std::size_t> first_min_strided(std::size_t n, std::size_t stride, const Key& key) {
    return first_min_strided(global(), n, stride, key);
}
template <class Key>
std::optional<std::size_t> first_min_range(std::size_t lo, std::size_t hi, const Key& key) {
    return first_min_range(global(), lo, hi, key);
}
template <class TextOf>
std::string join(std::size_t n, const TextOf& text_of, std::string_view sep) {
    return join(global(), n, text_of, sep);
}

}  // namespace kestrum::parallel
