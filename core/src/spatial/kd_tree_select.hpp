#pragma once
// The build's median selection. Each split is one pass from one buffer into
// the other: two pivots from a sample bracket the wanted rank, and every
// record goes, without a branch, below the first, above the second or into a
// small band between them, which is then searched the same way. The output
// depends only on the input order, so every pool size builds the same tree.
// Private to core/src/spatial.
#include "spatial/kd_tree_impl.hpp"

#include <vector>

namespace kestrum::spatial::detail {

// A point and its original index as the build moves them: 32 bytes, aligned,
// so a move is one or two vector loads and stores.
struct alignas(32) Rec {
    Vec3d p;
    std::uint32_t i;
};

using RecBuf = std::vector<Rec, memory::UninitAllocator<Rec>>;

template <unsigned A>
inline double key(const Rec& r) {
    if constexpr (A == 0) return r.p.x;
    else if constexpr (A == 1) return r.p.y;
    else return r.p.z;
}

template <unsigned A>
struct KeyLess {
    bool operator()(const Rec& a, const Rec& b) const { return key<A>(a) < key<A>(b); }
};

// Up to this many records std::nth_element on a copy is quicker than sampling.
inline constexpr std::size_t kSelectSmall = 96;
// A partition looks at the stop flag once per this many records.
inline constexpr std::size_t kCheckEvery = std::size_t{1} << 15;

// Splits src[0, n) into dst[0, lo) (key < p1), the band (p1 <= key <= p2,
// in input order, into `band`) and dst[hi, n) (key > p2); returns {lo, hi}.
// Every record is written to all three places and two cursors move, so the
// loop has no data-dependent branch.
template <unsigned A>
std::pair<std::size_t, std::size_t> partition3(const Rec* src, Rec* dst, std::size_t n, double p1, double p2,
                                               RecBuf& band, const pool::Stop* stop) {
    constexpr std::size_t kChunk = 1024;
    std::size_t lo = 0, hi = n, b = 0;
    for (std::size_t c = 0; c < n; c += kChunk) {
        const std::size_t e = std::min(n, c + kChunk);
        if (band.size() < b + (e - c)) band.resize(std::max(2 * band.size(), b + (e - c)));
        if (stop && c % kCheckEvery == 0) stop->check();
        Rec* bd = band.data();
        // Writes stay inside [lo, hi), which holds at least one free slot
        // while records remain.
        for (std::size_t i = c; i < e; ++i) {
            const Rec r = src[i];
            const double x = key<A>(r);
            const bool lt = x < p1, gt = x > p2;
            dst[lo] = r;
            dst[hi - 1] = r;
            bd[b] = r;
            lo += lt;
            hi -= gt;
            b += !(lt | gt);
        }
    }
    band.resize(b);
    return {lo, hi};
}

// Writes into dst a permutation of src[0, n) whose k-th record has the k-th
// smallest key A, with no larger key before it and no smaller one after it.
template <unsigned A>
void select_into(const Rec* src, Rec* dst, std::size_t n, std::size_t k, const pool::Stop* stop,
                 unsigned depth = 0) {
    if (n <= kSelectSmall || depth > 40) {  // the depth cap is a guard: each step shrinks the range
        std::copy(src, src + n, dst);
        std::nth_element(dst, dst + k, dst + n, KeyLess<A>{});
        return;
    }
    // s keys at evenly spaced positions; the pivots lie about three standard
    // deviations of the sample's rank on either side of k's, so the band
    // holds the k-th key nearly always and is about 1.5 n^(3/4) records.
    const std::size_t s = std::min<std::size_t>(n / 4, 4 * static_cast<std::size_t>(std::sqrt(double(n))));
    std::vector<double> keys(s);
    const std::size_t stride = n / s;
    for (std::size_t j = 0; j < s; ++j) keys[j] = key<A>(src[j * stride + stride / 2]);
    std::sort(keys.begin(), keys.end());
    const std::size_t r = std::min(s - 1, k / stride);
    const std::size_t delta = 2 + static_cast<std::size_t>(1.5 * std::sqrt(double(s)));
    double p1 = keys[r > delta ? r - delta : 0], p2 = keys[std::min(s - 1, r + delta)];
    RecBuf band;
    band.reserve(std::min(n, 4 * static_cast<std::size_t>(std::pow(double(n), 0.75)) + 1024));
    auto [lo, hi] = partition3<A>(src, dst, n, p1, p2, band, stop);
    if (lo == 0 && hi == n && p1 < p2) {
        // No progress (few distinct keys): split three ways at one sampled
        // key, whose band, all equal, is at least that one record.
        p1 = p2 = keys[r];
        std::tie(lo, hi) = partition3<A>(src, dst, n, p1, p2, band, stop);
    }
    if (lo <= k && k < hi && p1 < p2) {
        select_into<A>(band.data(), dst + lo, hi - lo, k - lo, stop, depth + 1);
        return;
    }
    std::copy(band.begin(), band.end(), dst + lo);  // equal keys if k is among them: any order splits
    if (k < lo) {
        RecBuf part(dst, dst + lo);
        select_into<A>(part.data(), dst, lo, k, stop, depth + 1);
    } else if (k >= hi) {
        RecBuf part(dst + hi, dst + n);
        select_into<A>(part.data(), dst + hi, n - hi, k - hi, stop, depth + 1);
    }
}

inline void select_into(unsigned axis, const Rec* src, Rec* dst, std::size_t n, std::size_t k,
                        const pool::Stop* stop) {
    switch (axis) {
        case 0: select_into<0>(src, dst, n, k, stop); break;
        case 1: select_into<1>(src, dst, n, k, stop); break;
        default: select_into<2>(src, dst, n, k, stop); break;
    }
}

}  // namespace kestrum::spatial::detail
