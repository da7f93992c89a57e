#include "spatial/icp.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel/fp_env.hpp"
#include "spatial/rigid_fit.hpp"

namespace kestrum::spatial {

namespace {

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
        return chunked_sum<Matched>(pool, n, [this, &t, m](auto arith, std::size_t lo, std::size_t hi) {
            using A = decltype(arith);
            Matched s{0.0, 0.0};
            for (std::size_t i = lo; i < hi; ++i) {
                const Vec3d y = t.apply(src[i]);
                const KdTree::Hit h = tree.nearest(y, opt.max_distance);
                if (h.index >= tree.size()) {
                    m[i] = kNone;
                    continue;
                }
                m[i] = static_cast<std::uint32_t>(h.index);
                s.count = A::add(s.count, 1.0);
                s.d2 = A::add(s.d2, formula::distance_squared<Plain>(y, tp[h.index]));
            }
            return s;
        }, [](Matched l, Matched r) { return Matched{kestrum::add(l.count, r.count), kestrum::add(l.d2, r.d2)}; },
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
        const Normal6 s = chunked_sum<Normal6>(pool, n, [this, &t](auto arith, std::size_t lo, std::size_t hi) {
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
        }, [](const Normal6& l, const Normal6& r) {
            Normal6 o;
            for (int e = 0; e < 21; ++e) o.a[e] = kestrum::add(l.a[e], r.a[e]);
            for (int e = 0; e < 6; ++e) o.b[e] = kestrum::add(l.b[e], r.b[e]);
            return o;
        }, 16, stop);
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

}  // namespace

IcpResult icp(std::span<const Vec3d> source, const KdTree& target, std::span<const Vec3d> target_points,
              const Vec3d* target_normals, const RigidTransform& init, const IcpOptions& options,
              parallel::Pool& pool, parallel::Stop* stop) {
    if (target_points.size() != target.size()) panic("icp: the target points are not the tree's");
    Icp run{source.data(), source.size(), target, target_points.data(), target_normals, options, pool, stop,
            std::vector<std::uint32_t>(source.size())};
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
        out.converged = std::fabs(fit - out.fitness) < options.tolerance && std::fabs(err - out.rmse) < options.tolerance;
        out.transform = t;
        out.fitness = fit;
        out.rmse = err;
        if (out.converged) break;
    }
    return out;
}

}  // namespace kestrum::spatial
