#include "spatial/rigid_fit.hpp"

namespace kestrum::spatial {

Vec3d mean(std::span<const Vec3d> points, const double* weights, parallel::Pool& pool) {
    const Vec3d* p = points.data();
    struct Sum {
        double w;
        Vec3d s;
    };
    const Sum t = chunked_sum<Sum>(
        pool, points.size(),
        [p, weights](auto arith, std::size_t lo, std::size_t hi) {
            using A = decltype(arith);
            Sum acc{0.0, {0.0, 0.0, 0.0}};
            if (weights) {
                for (std::size_t i = lo; i < hi; ++i) {
                    acc.w = A::add(acc.w, weights[i]);
                    acc.s = formula::sum<A>(acc.s, formula::scale<A>(p[i], weights[i]));
                }
            } else {
                for (std::size_t i = lo; i < hi; ++i) acc.s = formula::sum<A>(acc.s, p[i]);
                acc.w = static_cast<double>(hi - lo);
            }
            return acc;
        },
        [](const Sum& l, const Sum& r) {
            return Sum{kestrum::add(l.w, r.w), formula::sum<NanOrdered>(l.s, r.s)};
        });
    const parallel::DefaultFpEnv fp;
    return {t.s.x / t.w, t.s.y / t.w, t.s.z / t.w};
}

Alignment align(std::span<const Vec3d> a, std::span<const Vec3d> b, const double* weights, parallel::Pool& pool) {
    struct Pairs {
        const Vec3d *pa, *pb;
        const double* pw;
        bool use(std::size_t) const { return true; }
        Vec3d a(std::size_t i) const { return pa[i]; }
        Vec3d b(std::size_t i) const { return pb[i]; }
        double w(std::size_t i) const { return pw ? pw[i] : 1.0; }
    };
    return align_pairs(Pairs{a.data(), b.data(), weights}, a.size(), pool);
}

}  // namespace kestrum::spatial
