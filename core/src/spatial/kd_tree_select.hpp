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

// Records as the block stores them: points and their original indices in
// two arrays, so the last level can be written straight into the tree.
struct Recs {
    Vec3d* p;
    std::uint32_t* i;
    Recs operator+(std::size_t k) const { return {p + k, i + k}; }
};

// Records owned, not initialised on allocation.
struct RecBuf {
    std::vector<Vec3d, memory::UninitAllocator<Vec3d>> p;
    std::vector<std::uint32_t, memory::UninitAllocator<std::uint32_t>> i;
    RecBuf() = default;
    explicit RecBuf(std::size_t n) : p(n), i(n) {}
    RecBuf(Recs r, std::size_t n) : p(r.p, r.p + n), i(r.i, r.i + n) {}
    std::size_t size() const { return p.size(); }
    void resize(std::size_t n) { p.resize(n), i.resize(n); }
    void reserve(std::size_t n) { p.reserve(n), i.reserve(n); }
    Recs data() { return {p.data(), i.data()}; }
};

template <unsigned A>
inline double key(const Vec3d& p) {
    if constexpr (A == 0)
        return p.x;
    else if constexpr (A == 1)
        return p.y;
    else
        return p.z;
}

// Up to this many records the k-th key is found among the keys alone, which
// is quicker than sampling.
inline constexpr std::size_t kSelectSmall = 2048;
// A partition looks at the stop flag once per this many records.
inline constexpr std::size_t kCheckEvery = std::size_t{1} << 15;

// Splits src[0, n) into dst[0, lo) (key < p1), the band (p1 <= key <= p2,
// in input order, into `band`) and dst[hi, n) (key > p2); returns {lo, hi}.
// The destination is picked without a branch, so a loop over unsorted keys
// mispredicts nothing (a branch on the class cost a third of the build).
template <unsigned A>
std::pair<std::size_t, std::size_t> partition3(Recs src, Recs dst, std::size_t n, double p1, double p2, RecBuf& band,
                                               const pool::Stop* stop) {
    constexpr std::size_t kChunk = 1024;
    std::size_t lo = 0, hi = n, b = 0;
    for (std::size_t c = 0; c < n; c += kChunk) {
        const std::size_t e = std::min(n, c + kChunk);
        if (band.size() < b + (e - c)) band.resize(std::max(2 * band.size(), b + (e - c)));
        if (stop && c % kCheckEvery == 0) stop->check();
        const Recs bd = band.data();
        for (std::size_t i = c; i < e; ++i) {
            const Vec3d v = src.p[i];
            const std::uint32_t ix = src.i[i];
            const double x = key<A>(v);
            // Masks, not conditions, so the compiler keeps it branch-free
            // (x < p1 and x > p2 exclude each other, as p1 <= p2).
            const std::size_t lt = x<p1, gt = x> p2, in = 1 - (lt | gt);
            const std::uintptr_t to_band = 0 - static_cast<std::uintptr_t>(in);
            auto* P = reinterpret_cast<Vec3d*>((reinterpret_cast<std::uintptr_t>(bd.p) & to_band) |
                                               (reinterpret_cast<std::uintptr_t>(dst.p) & ~to_band));
            auto* I = reinterpret_cast<std::uint32_t*>((reinterpret_cast<std::uintptr_t>(bd.i) & to_band) |
                                                       (reinterpret_cast<std::uintptr_t>(dst.i) & ~to_band));
            const std::size_t at = (b & (0 - in)) | (lo & (0 - lt)) | ((hi - 1) & (0 - gt));
            P[at] = v;
            I[at] = ix;
            lo += lt;
            hi -= gt;
            b += in;
        }
    }
    band.resize(b);
    return {lo, hi};
}

inline void copy_recs(Recs from, std::size_t n, Recs to) {
    std::copy(from.p, from.p + n, to.p);
    std::copy(from.i, from.i + n, to.i);
}

// The k-th smallest of a[0, n) (n <= kSelectSmall), reordering a, with the
// counts of keys below and equal to it: quickselect around the median of
// three spread samples, each pass branch-free from one array into the other
// (no swaps, so no chain through memory). Every key a pass sets aside is
// strictly below or above the answer, so only the last few are counted.
struct Kth {
    double v;
    std::size_t below, equal;
};
inline Kth kth_key(double* a, std::size_t n, std::size_t k) {
    std::size_t below = 0;
    double spare[kSelectSmall];
    double* const bufs[2] = {a, spare};
    unsigned in = 0;  // the range is in bufs[in], from cur
    double* cur = a;
    while (n > 8) {
        double* const other = bufs[1 - in];
        double x = cur[n / 4], y = cur[n / 2], z = cur[n - 1 - n / 4];
        if (x > y) std::swap(x, y);
        const double pivot = std::max(x, std::min(y, z));
        std::size_t l = 0, h = n;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = cur[i];
            const std::size_t lt = v < pivot;
            other[l] = v;
            other[h - 1] = v;
            l += lt;
            h -= 1 - lt;
        }
        if (l == 0) {  // the pivot is the least: set its copies apart
            h = n;
            for (std::size_t i = 0; i < n; ++i) {
                const double v = cur[i];
                const std::size_t le = v <= pivot;
                other[l] = v;
                other[h - 1] = v;
                l += le;
                h -= 1 - le;
            }
            if (k < l) return {pivot, below, l};
        }
        in = 1 - in;
        if (k < l) {
            cur = other, n = l;
        } else {
            cur = other + l, n -= l, k -= l, below += l;
        }
    }
    for (std::size_t i = 1; i < n; ++i)  // insertion sort of the last few
        for (std::size_t j = i; j > 0 && cur[j] < cur[j - 1]; --j) std::swap(cur[j], cur[j - 1]);
    const double v = cur[k];
    std::size_t equal = 0;
    for (std::size_t i = 0; i < n; ++i) below += cur[i] < v, equal += cur[i] == v;
    return {v, below, equal};
}

// Puts src[0, n) into dst by key: below kth.v, equal to it, above it, each
// in input order, at the offsets its counts give.
template <unsigned A>
void partition_at(Recs src, Recs dst, std::size_t n, Kth kth) {
    const double v = kth.v;
    const std::size_t below = kth.below, equal = kth.equal;
    std::size_t f = 0, e = below, g = below + equal;  // the three cursors, in registers
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3d p = src.p[i];
        const double x = key<A>(p);
        const std::size_t lt = x<v, gt = x> v, eq = 1 - lt - gt;
        const std::size_t to = (f & (0 - lt)) | (e & (0 - eq)) | (g & (0 - gt));
        dst.p[to] = p;
        dst.i[to] = src.i[i];
        f += lt, e += eq, g += gt;
    }
}

// Writes into dst a permutation of src[0, n) whose k-th record has the k-th
// smallest key A, with no larger key before it and no smaller one after it.
template <unsigned A>
void select_into(Recs src, Recs dst, std::size_t n, std::size_t k, const pool::Stop* stop, unsigned depth = 0) {
    if (n <= kSelectSmall || depth > 40) {  // the depth cap is a guard: each step shrinks the range
        // The k-th key among plain doubles, and how many keys are below and
        // equal to it: then one pass puts every record in its final region.
        double keys[kSelectSmall];
        if (n > kSelectSmall) {
            std::vector<double> many(n);
            for (std::size_t i = 0; i < n; ++i) many[i] = key<A>(src.p[i]);
            std::nth_element(many.begin(), many.begin() + static_cast<std::ptrdiff_t>(k), many.end());
            Kth kth{many[k], 0, 0};
            for (const double x : many) kth.below += x < kth.v, kth.equal += x == kth.v;
            partition_at<A>(src, dst, n, kth);
        } else {
            for (std::size_t i = 0; i < n; ++i) keys[i] = key<A>(src.p[i]);
            partition_at<A>(src, dst, n, kth_key(keys, n, k));
        }
        return;
    }
    RecBuf band;
    // s keys at evenly spaced positions; the pivots lie about three standard
    // deviations of the sample's rank on either side of k's, so the band
    // holds the k-th key nearly always and is about 1.5 n^(3/4) records.
    const std::size_t s = 4 * static_cast<std::size_t>(std::sqrt(double(n)));
    std::vector<double> keys(s);
    const std::size_t stride = n / s;
    for (std::size_t j = 0; j < s; ++j) keys[j] = key<A>(src.p[j * stride + stride / 2]);
    const std::size_t r = std::min(s - 1, k / stride);
    const std::size_t delta = 2 + static_cast<std::size_t>(1.5 * std::sqrt(double(s)));
    const std::size_t r1 = r > delta ? r - delta : 0, r2 = std::min(s - 1, r + delta);
    const auto at = [&keys](std::size_t i) { return keys.begin() + static_cast<std::ptrdiff_t>(i); };
    std::nth_element(keys.begin(), at(r), keys.end());
    std::nth_element(keys.begin(), at(r1), at(r));
    std::nth_element(at(r), at(r2), keys.end());
    double p1 = keys[r1], p2 = keys[r2];
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
    copy_recs(band.data(), band.size(), dst + lo);  // equal keys if k is among them: any order splits
    if (k < lo) {
        RecBuf part(dst, lo);
        select_into<A>(part.data(), dst, lo, k, stop, depth + 1);
    } else if (k >= hi) {
        RecBuf part(dst + hi, n - hi);
        select_into<A>(part.data(), dst + hi, n - hi, k - hi, stop, depth + 1);
    }
}

inline void select_into(unsigned axis, Recs src, Recs dst, std::size_t n, std::size_t k, const pool::Stop* stop) {
    switch (axis) {
        case 0: select_into<0>(src, dst, n, k, stop); break;
        case 1: select_into<1>(src, dst, n, k, stop); break;
        default: select_into<2>(src, dst, n, k, stop); break;
    }
}

}  // namespace kestrum::spatial::detail
