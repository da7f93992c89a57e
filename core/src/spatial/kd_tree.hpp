#pragma once
// An exact k-d tree over 3-D points. Every answer equals brute force bit for
// bit: distances are the library's own (d2 = (dx*dx + dy*dy) + dz*dz,
// distance = sqrt(d2)), neighbours are ordered by (d2, index), and a point at
// NaN distance never qualifies.
//
// Exact pruning: a subtree is skipped only when a lower bound on the rounded
// d2 of every point inside it exceeds the k-th best so far. The bound is the
// same formula over per-axis gaps g <= |p - q| to the node's box, computed as
// fl(lo - q); rounding is monotone, so fl(g*g) <= fl(dx*dx) and the sums keep
// the order.
//
// The tree is implicit: node t of level d covers tree positions
// [t*m >> d, (t+1)*m >> d) of the m points without a NaN coordinate, split at
// its middle position by a median along the widest axis of its cell. Only a box of floats
// (rounded outwards) is stored per node, so the whole tree (its copy of the
// points included) is one block of at most about 35 bytes per point, which is
// also its serialised form.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "kestrum/vec3d.hpp"
#include "memory/uninit_allocator.hpp"
#include "parallel/pool.hpp"

namespace kestrum::spatial {

class KdTree {
public:
    // Original indices are stored in 32 bits.
    static constexpr std::size_t kMaxPoints = 0xFFFFFFFFu;
    // Leaves hold at most this many points (at least half as many).
    static constexpr std::size_t kLeaf = 16;

    KdTree();                             // empty
    KdTree(KdTree&&) noexcept = default;  // the block moves, so the pointers stay valid
    KdTree& operator=(KdTree&&) noexcept = default;
    KdTree(const KdTree&) = delete;
    KdTree& operator=(const KdTree&) = delete;
    // Copies `points`, reading each once before `stop` is first polled, and
    // builds on `pool`; throws std::length_error beyond kMaxPoints and
    // parallel::Stopped if `stop` is requested.
    KdTree(std::span<const Vec3d> points, parallel::Pool& pool, parallel::Stop* stop = nullptr);

    // The serialised form (layout in kd_tree.cpp), and a tree from one. A
    // block that is not exactly such a tree throws std::invalid_argument.
    std::span<const std::byte> bytes() const noexcept;
    static KdTree from_bytes(std::span<const std::byte> bytes, parallel::Pool& pool, parallel::Stop* stop = nullptr);

    std::size_t size() const noexcept { return n_; }
    std::size_t memory_bytes() const noexcept { return block_.size() * sizeof(std::uint64_t); }
    // The points in their original order, into out[0, size()).
    void points_into(Vec3d* out, parallel::Pool& pool) const;

    // The nearest point: (index, distance), or (size(), inf) if none qualifies.
    struct Hit {
        std::uint64_t index;
        double distance;
    };
    Hit nearest(Vec3d q) const;
    // The nearest point at distance <= max_distance, else (size(), inf);
    // the bound prunes the search from the start.
    Hit nearest(Vec3d q, double max_distance) const;
    // The same, told that point `index` lies at d2 from q (the library's
    // squared distance to that point, bit for bit): the search starts from
    // that candidate and prunes most of the tree; the answer is unchanged.
    Hit nearest(Vec3d q, double max_distance, std::uint64_t index, double d2) const;
    // Row i of idx/dist (k entries each) for queries[i], nearest first;
    // missing neighbours, and those farther than max_distance, are (size(), inf).
    void nearest_many(std::span<const Vec3d> queries, std::size_t k, std::int64_t* idx, double* dist,
                      parallel::Pool& pool, parallel::Stop* stop = nullptr,
                      double max_distance = std::numeric_limits<double>::infinity()) const;
    // Indices of the points with distance <= radius, ascending. A NaN or
    // negative radius finds nothing, here and below.
    std::vector<std::int64_t> within(Vec3d q, double radius) const;
    // CSR: offsets[0, m] (given, m + 1 slots) and the indices, written where
    // `indices_for(total)` says once their number is known. `radii` holds one
    // radius for every query or one per query. With cap > 0 a row holds the
    // cap nearest, nearest first (by d2, then index); else all, ascending.
    void within_many(std::span<const Vec3d> queries, std::span<const double> radii, std::size_t cap,
                     std::int64_t* offsets, const std::function<std::int64_t*(std::size_t)>& indices_for,
                     parallel::Pool& pool, parallel::Stop* stop = nullptr) const;
    // counts[i]: the number of points within radii[i] (or radii[0]) of queries[i].
    void count_within(std::span<const Vec3d> queries, std::span<const double> radii, std::int64_t* counts,
                      parallel::Pool& pool, parallel::Stop* stop = nullptr) const;
    // Every pair (i, j), i < j, at distance <= radius, ascending, as 2p
    // numbers written where `pairs_for(p)` says.
    void pairs_within(double radius, const std::function<std::int64_t*(std::size_t)>& pairs_for, parallel::Pool& pool,
                      parallel::Stop* stop = nullptr) const;

    // Row i of normals (and of curvature, if given) for queries[i]: the plane
    // of its k nearest points (kestrum/formula/fit_plane), summed in
    // neighbour order; NaN for a query that is not finite, a neighbourhood of
    // fewer than 3 points (the tree has fewer without NaN) or one with no
    // separated normal. Oriented to face *toward (dot >= 0) if given, else by
    // orient_normal. In kd_tree_normals.cpp.
    void normals(std::span<const Vec3d> queries, std::size_t k, const Vec3d* toward, Vec3d* normals, double* curvature,
                 parallel::Pool& pool, parallel::Stop* stop = nullptr) const;

    // Nodes (inner and leaves) visited by every query so far, in all trees;
    // for the benchmark.
    static std::uint64_t visited_total() noexcept;

    template <class V>
    void search(Vec3d q, V& v) const;

    // A node's box: floats rounded outwards from its points' extremes.
    struct Box {
        float lo[3], hi[3];
    };

private:
    struct Layout;
    Layout layout() const noexcept;
    void attach();  // sets the array pointers into block_

    template <class V>
    void descend(const Vec3d& q, std::size_t node, unsigned d, V& v) const;
    double bound(const Vec3d& q, std::size_t node) const;
    double far_bound(const Vec3d& q, std::size_t node) const;
    std::vector<std::uint32_t> visit_order(std::span<const Vec3d> queries, parallel::Pool& pool,
                                           parallel::Stop* stop) const;

    // Written in full by the build or a load, so never zero-filled first.
    std::vector<std::uint64_t, memory::UninitAllocator<std::uint64_t>> block_;
    std::size_t n_ = 0;                     // all points
    std::size_t m_ = 0;                     // points without a NaN coordinate: the tree's
    unsigned depth_ = 0;                    // levels of inner nodes; leaves are at this level
    const Vec3d* pts_ = nullptr;            // tree order, then the NaN points by index
    const Box* box_ = nullptr;              // per node, heap order from 1
    const std::uint32_t* index_ = nullptr;  // original index of each stored point
};

}  // namespace kestrum::spatial
