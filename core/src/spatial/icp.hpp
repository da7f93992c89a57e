#pragma once
// Iterative closest point: the rigid transform that brings a source cloud
// onto a target held in a KdTree, the whole loop on the pool.
#include <cstddef>
#include <cstdint>
#include <span>

#include "kestrum/rigid.hpp"
#include "parallel/pool.hpp"
#include "parallel/stop.hpp"
#include "spatial/kd_tree.hpp"

namespace kestrum::spatial {

struct IcpOptions {
    double max_distance;     // correspondences farther than this are dropped
    std::size_t iterations;  // most updates of the transform
    double tolerance;        // on the changes of fitness and rmse
    bool point_to_plane;     // else point to point
};

struct IcpResult {
    RigidTransform transform;
    double rmse;     // of the last correspondences; NaN when there were none
    double fitness;  // their share of the source points
    std::uint64_t iterations;
    bool converged;
};

// Each iteration pairs every source point, moved by the current transform,
// with its nearest target point within max_distance (KdTree::nearest with a
// bound), then updates the transform: point to point, the rigid fit of the
// source points onto their partners (align_pairs), which is the whole new
// transform; point to plane, one Gauss-Newton step on sum ((T s - p) . n)^2,
// linearised in a small rotation vector w and a translation u (the 6x6
// normal equations solved by LDL^T in a fixed order), applied after the
// current transform as from_rotvec(w) then u.
//
// Converged: after an update, both the fitness and the rmse of the new
// correspondences differ from the previous ones by less than `tolerance`
// (absolute changes, as Open3D's relative_fitness and relative_rmse are
// compared). The loop also ends, unconverged, at `iterations` updates, with
// too few pairs for a fit (3, or 6 point to plane), or with a singular
// point-to-plane system. The result's rmse and fitness are those of the
// final transform.
//
// `target_points` are the tree's points in their original order and
// `target_normals` (point to plane only) aligned with them. `stop` is checked
// between iterations and inside every pass.
IcpResult icp(std::span<const Vec3d> source, const KdTree& target, std::span<const Vec3d> target_points,
              const Vec3d* target_normals, const RigidTransform& init, const IcpOptions& options, parallel::Pool& pool,
              parallel::Stop* stop = nullptr);

}  // namespace kestrum::spatial
