#pragma once
// Sums over many points on the pool with the same bits for every pool size,
// and the fits built on them: the weighted centroid and the least-squares
// rigid transform of matched pairs (centroids, then the Wahba rotation of
// kestrum/formula/fit).
//
// Every sum runs over fixed chunks of kChunk points, each in index order,
// and the chunk sums are added in chunk order on the calling thread, so no
// result depends on which worker summed which chunk. A chunk is summed with
// Plain arithmetic and again NaN-ordered only when its sum is NaN (a NaN
// anywhere in a chain of sums reaches its end).
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "kestrum/formula/fit.hpp"
#include "kestrum/panic.hpp"
#include "kestrum/rigid.hpp"
#include "parallel/pool.hpp"

namespace kestrum::spatial {

inline constexpr std::size_t kChunk = 256;

// g(lo, hi) over pieces of [0, n) on the pool; `stop` as in Pool::reduce.
template <class G>
void for_pieces(parallel::Pool& pool, std::size_t n, const G& g, std::size_t weight = 1,
                parallel::Stop* stop = nullptr) {
    struct Op {
        const G* g;
        std::size_t seq(std::size_t lo, std::size_t hi) const {
            (*g)(lo, hi);
            return hi - lo;
        }
        std::size_t combine(std::size_t l, std::size_t r) const { return l + r; }
    };
    const std::size_t done = pool.reduce(n, Op{&g}, weight, stop);
    if (done != n) panic("ran " + std::to_string(done) + " of " + std::to_string(n) + " pieces");
}

// f(arith, lo, hi) for every chunk, Plain and NaN-ordered again on a NaN,
// then added in chunk order with add(l, r) (NaN-ordered). Out is doubles.
template <class Out, class F, class Add>
Out chunked_sum(parallel::Pool& pool, std::size_t n, const F& f, const Add& add, std::size_t weight = 1,
                parallel::Stop* stop = nullptr) {
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    if (chunks == 0) return f(NanOrdered{}, std::size_t{0}, std::size_t{0});
    std::vector<Out> part(chunks);
    Out* o = part.data();
    for_pieces(
        pool, chunks,
        [o, n, &f, stop](std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                if (stop) stop->check();
                const std::size_t a = c * kChunk, b = std::min(n, a + kChunk);
                o[c] = f(Plain{}, a, b);
                if (has_nan(o[c])) o[c] = f(NanOrdered{}, a, b);
            }
        },
        weight * kChunk, stop);
    const parallel::DefaultFpEnv fp;  // the rest runs here, on the calling thread
    Out total = part[0];
    for (std::size_t c = 1; c < chunks; ++c) total = add(total, part[c]);
    return total;
}

// Sum of w, of w a and of w b over the pairs used.
struct Moments {
    double w = 0.0;
    Vec3d a{0.0, 0.0, 0.0}, b{0.0, 0.0, 0.0};
};
template <class A>
void add_moment(Moments& m, double w, Vec3d a, Vec3d b) {
    m.w = A::add(m.w, w);
    m.a = formula::sum<A>(m.a, formula::scale<A>(a, w));
    m.b = formula::sum<A>(m.b, formula::scale<A>(b, w));
}
inline Moments add_moments(const Moments& l, const Moments& r) {
    return {kestrum::add(l.w, r.w), formula::sum<NanOrdered>(l.a, r.a), formula::sum<NanOrdered>(l.b, r.b)};
}

// The fit and its weighted root-mean-square residual
// sqrt(sum w |T a - b|^2 / sum w).
struct Alignment {
    RigidTransform transform;
    double rmsd;
};

// Matched pairs as a fit reads them: `n` candidates, pairs.use(i) whether
// candidate i is a pair, pairs.a(i), pairs.b(i) its points, pairs.w(i) its
// weight. With weights of 1 the products by w are exact, so the unweighted
// fit is this one with no separate path.
template <class Pairs>
Alignment align_pairs(const Pairs& p, std::size_t n, parallel::Pool& pool, parallel::Stop* stop = nullptr) {
    const Moments m = chunked_sum<Moments>(
        pool, n,
        [&p](auto arith, std::size_t lo, std::size_t hi) {
            using A = decltype(arith);
            Moments s;
            for (std::size_t i = lo; i < hi; ++i)
                if (p.use(i)) add_moment<A>(s, p.w(i), p.a(i), p.b(i));
            return s;
        },
        add_moments, 1, stop);
    const parallel::DefaultFpEnv fp;
    const Vec3d ca{m.a.x / m.w, m.a.y / m.w, m.a.z / m.w};
    const Vec3d cb{m.b.x / m.w, m.b.y / m.w, m.b.z / m.w};
    const formula::WahbaSums s = chunked_sum<formula::WahbaSums>(
        pool, n,
        [&p, ca, cb](auto arith, std::size_t lo, std::size_t hi) {
            using A = decltype(arith);
            formula::WahbaSums acc;
            for (std::size_t i = lo; i < hi; ++i)
                if (p.use(i)) {
                    const Vec3d a = p.a(i), b = p.b(i);
                    const Vec3d da{A::sub(a.x, ca.x), A::sub(a.y, ca.y), A::sub(a.z, ca.z)};
                    const Vec3d db{A::sub(b.x, cb.x), A::sub(b.y, cb.y), A::sub(b.z, cb.z)};
                    formula::add_pair<A>(acc, formula::scale<A>(da, p.w(i)), db);
                }
            return acc;
        },
        [](const formula::WahbaSums& l, const formula::WahbaSums& r) { return formula::add_sums<NanOrdered>(l, r); }, 2,
        stop);
    const Quat q = wahba_rotation(s);
    const Vec3d rc = q.rotate(ca);
    const RigidTransform t{q, {cb.x - rc.x, cb.y - rc.y, cb.z - rc.z}};
    const double r2 = chunked_sum<double>(
        pool, n,
        [&p, &t](auto arith, std::size_t lo, std::size_t hi) {
            using A = decltype(arith);
            double acc = 0.0;
            for (std::size_t i = lo; i < hi; ++i)
                if (p.use(i))
                    acc =
                        A::add(acc, A::mul(p.w(i), formula::distance_squared<A>(formula::apply<A>(t, p.a(i)), p.b(i))));
            return acc;
        },
        [](double l, double r) { return kestrum::add(l, r); }, 2, stop);
    return {t, std::sqrt(r2 / m.w)};
}

// The weighted mean of the points (weights null: all 1), summed in chunks as
// above; NaN components when the points or weights hold a NaN, and for no
// points or a zero weight sum.
Vec3d mean(std::span<const Vec3d> points, const double* weights, parallel::Pool& pool);

// The least-squares rigid transform taking a[i] onto b[i] (weights null: all
// 1). The caller checks lengths, emptiness and the weights.
Alignment align(std::span<const Vec3d> a, std::span<const Vec3d> b, const double* weights, parallel::Pool& pool);

}  // namespace kestrum::spatial
