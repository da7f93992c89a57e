#include "spatial/icp.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <limits>
#include <vector>

#include "parallel/fp_env.hpp"
#include "spatial/rigid_fit.hpp"

namespace kestrum::spatial {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // above every tree index (kMaxPoints - 1)

// Counts are kept as doubles so the whole sum is doubles (chunked_sum).
struct Matched {
    double count, d2;
};

struct Icp {
    const Vec3d* src;
    std::size_t n;
    const KdTree& tree;
    const Vec3d* tp;
    const Vec3d* normals;
    const IcpOptions& opt;
    parallel::Pool& pool;
    parallel::Stop* stop;
    std::vector<std::uint32_t> match;

    // Pairs every moved source point with its partner (or none) and sums the
    // squared distances of the pairs.
    Matched correspond(const RigidTransform& t) {
        std::uint32_t* m = match.data();
        return chunked_sum<Matched>(
            pool, n,
            [this, &t, m](auto arith, std::size_t lo, std::size_t hi) {
                using A = decltype(arith);
                Matched s{0.0, 0.0};
                for (std::size_t i = lo; i < hi; ++i) {
                    const Vec3d y = t.apply(src[i]);
                    // Last iteration's partner, still close, bounds the search.
                    const std::uint32_t prev = m[i];
                    const KdTree::Hit h = prev == kNone ? tree.nearest(y, opt.max_distance)
                                                        : tree.nearest(y, opt.max_distance, prev,
                                                                       formula::distance_squared<Plain>(y, tp[prev]));
                    if (h.index >= tree.size()) {
                        m[i] = kNone;
                        continue;
                    }
                    m[i] = static_cast<std::uint32_t>(h.index);
                    s.count = A::add(s.count, 1.0);
                    s.d2 = A::add(s.d2, formula::distance_squared<Plain>(y, tp[h.index]));
                }
                return s;
            },
            [](Matched l, Matched r) {
                return Matched{kestrum::add(l.count, r.count), kestrum::add(l.d2, r.d2)};
            },
            64, stop);
    }

    struct Pairs {
        const Icp* icp;
        bool use(std::size_t i) const { return icp->match[i] != kNone; }
        Vec3d a(std::size_t i) const { return icp->src[i]; }
        Vec3d b(std::size_t i) const { return icp->tp[icp->match[i]]; }
        double w(std::size_t) const { return 1.0; }
    };

    // The upper triangle of J^T J row by row, then J^T r.
    struct Normal6 {
        std::array<double, 21> a;
        std::array<double, 6> b;
    };

    // One Gauss-Newton step after t; false when the system is singular.
    bool plane_step(RigidTransform& t) const {
        const Normal6 s = chunked_sum<Normal6>(
            pool, n,
            [this, &t](auto arith, std::size_t lo, std::size_t hi) {
                using A = decltype(arith);
                Normal6 acc{};
                for (std::size_t i = lo; i < hi; ++i) {
                    if (match[i] == kNone) continue;
                    const Vec3d y = t.apply(src[i]), p = tp[match[i]], nv = normals[match[i]];
                    const Vec3d d{A::sub(y.x, p.x), A::sub(y.y, p.y), A::sub(y.z, p.z)};
                    const double r = formula::dot<A>(d, nv);
                    const Vec3d c = formula::cross<A>(y, nv);
                    const double j[6] = {c.x, c.y, c.z, nv.x, nv.y, nv.z};
                    for (int row = 0, e = 0; row < 6; ++row) {
                        for (int col = row; col < 6; ++col, ++e) acc.a[e] = A::add(acc.a[e], A::mul(j[row], j[col]));
                        acc.b[row] = A::add(acc.b[row], A::mul(j[row], r));
                    }
                }
                return acc;
            },
            [](const Normal6& l, const Normal6& r) {
                Normal6 o;
                for (int e = 0; e < 21; ++e) o.a[e] = kestrum::add(l.a[e], r.a[e]);
                for (int e = 0; e < 6; ++e) o.b[e] = kestrum::add(l.b[e], r.b[e]);
                return o;
            },
            16, stop);
        std::array<double, 6> x;
        if (!solve6(s, x)) return false;
        t = t.then(RigidTransform{Quat::from_rotvec({x[0], x[1], x[2]}), {x[3], x[4], x[5]}});
        return true;
    }

    // (J^T J) x = -J^T r by LDL^T, every sum in index order. Singular when a
    // pivot is not above 2^-40 times the largest diagonal entry (a flat or
    // straight target leaves some motion unconstrained) or anything is not
    // finite.
    static bool solve6(const Normal6& s, std::array<double, 6>& x) {
        double a[6][6];
        for (int row = 0, e = 0; row < 6; ++row)
            for (int col = row; col < 6; ++col, ++e) a[row][col] = a[col][row] = s.a[e];
        double top = 0.0;
        for (int i = 0; i < 6; ++i) top = std::fmax(top, a[i][i]);
        if (!std::isfinite(top) || !(top > 0.0)) return false;
        double l[6][6] = {}, d[6];
        for (int j = 0; j < 6; ++j) {
            double v = a[j][j];
            for (int k = 0; k < j; ++k) v -= l[j][k] * l[j][k] * d[k];
            if (!(v > top * 0x1p-40) || !std::isfinite(v)) return false;
            d[j] = v;
            l[j][j] = 1.0;
            for (int i = j + 1; i < 6; ++i) {
                double u = a[i][j];
                for (int k = 0; k < j; ++k) u -= l[i][k] * l[j][k] * d[k];
                l[i][j] = u / v;
            }
        }
        double z[6];
        for (int i = 0; i < 6; ++i) {
            double v = -s.b[i];
            for (int k = 0; k < i; ++k) v -= l[i][k] * z[k];
            z[i] = v;
        }
        for (int i = 5; i >= 0; --i) {
            double v = z[i] / d[i];
            for (int k = i + 1; k < 6; ++k) v -= l[k][i] * x[k];
            x[i] = v;
        }
        for (double e : x)
            if (!std::isfinite(e)) return false;
        return true;
    }
};

// The points along a Morton curve over their box (NaN points last), so that
// consecutive queries walk the same tree nodes while they are in cache. The
// order is a function of the points alone.
std::vector<Vec3d> morton_order(std::span<const Vec3d> p) {
    double lo[3] = {kInfinity, kInfinity, kInfinity}, hi[3] = {-kInfinity, -kInfinity, -kInfinity};
    for (const Vec3d& v : p) {
        const double c[3] = {v.x, v.y, v.z};
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::fmin(lo[k], c[k]);
            hi[k] = std::fmax(hi[k], c[k]);
        }
    }
    double scale[3];
    for (int k = 0; k < 3; ++k) {
        const double span = hi[k] - lo[k];
        scale[k] = span > 0.0 && span < kInfinity ? 1023.0 / span : 0.0;
    }
    const auto spread = [](std::uint64_t v) {  // 10 bits to every third of 30
        v = (v | (v << 16)) & 0x030000FFu;
        v = (v | (v << 8)) & 0x0300F00Fu;
        v = (v | (v << 4)) & 0x030C30C3u;
        return (v | (v << 2)) & 0x09249249u;
    };
    std::vector<std::pair<std::uint64_t, std::uint32_t>> key(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        const double c[3] = {p[i].x, p[i].y, p[i].z};
        std::uint64_t code = 0;
        for (int k = 0; k < 3; ++k) {
            const double f = (c[k] - lo[k]) * scale[k];
            // NaN and out-of-box (infinite) coordinates go to the end.
            const std::uint64_t cell = f >= 0.0 && f <= 1023.0 ? static_cast<std::uint64_t>(f) : 1024;
            code |= cell > 1023 ? (std::uint64_t{1} << 40) : spread(cell) << k;
        }
        key[i] = {code, static_cast<std::uint32_t>(i)};
    }
    std::sort(key.begin(), key.end());
    std::vector<Vec3d> out(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) out[i] = p[key[i].second];
    return out;
}

}  // namespace

IcpResult icp(std::span<const Vec3d> source, const KdTree& target, std::span<const Vec3d> target_points,
              const Vec3d* target_normals, const RigidTransform& init, const IcpOptions& options, parallel::Pool& pool,
              parallel::Stop* stop) {
    if (target_points.size() != target.size()) panic("icp: the target points are not the tree's");
    if (source.size() > KdTree::kMaxPoints) throw std::length_error("icp: too many source points");
    // Every sum below runs over this order; the source's own order would
    // give the same transform to within rounding.
    const std::vector<Vec3d> ordered = morton_order(source);
    Icp run{ordered.data(),
            ordered.size(),
            target,
            target_points.data(),
            target_normals,
            options,
            pool,
            stop,
            std::vector<std::uint32_t>(ordered.size(), kNone)};
    const parallel::DefaultFpEnv fp;
    const double n = static_cast<double>(source.size());
    const auto rmse = [](const Matched& m) {
        return m.count > 0.0 ? std::sqrt(m.d2 / m.count) : std::numeric_limits<double>::quiet_NaN();
    };
    RigidTransform t = init;
    Matched now = run.correspond(t);
    IcpResult out{t, rmse(now), n > 0.0 ? now.count / n : 0.0, 0, false};
    const double need = options.point_to_plane ? 6.0 : 3.0;
    while (out.iterations < options.iterations && now.count >= need) {
        if (stop) {
            stop->poll();
            stop->check();
        }
        if (options.point_to_plane) {
            if (!run.plane_step(t)) break;
        } else {
            t = align_pairs(Icp::Pairs{&run}, run.n, pool, stop).transform;
        }
        ++out.iterations;
        now = run.correspond(t);
        const double fit = now.count / n, err = rmse(now);
        out.converged =
            std::fabs(fit - out.fitness) < options.tolerance && std::fabs(err - out.rmse) < options.tolerance;
        out.transform = t;
        out.fitness = fit;
        out.rmse = err;
        if (out.converged) break;
    }
    return out;
}

}  // namespace kestrum::spatial
