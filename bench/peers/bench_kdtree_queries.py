"""KdTree's bounded, per-radius, counting, pair and capped queries beside the
peer call each one stands in for, timed side by side in one run.

    python bench/peers/bench_kdtree_queries.py [--points N] [--queries M] [--repeats R]

Each row times kestrum_py and the peer on the same points and queries
(uniform in the unit cube, radius for about 16 neighbours), best of R with
the calls interleaved, and prints the ratio kestrum / peer. Peers get the
queries both as given and sorted along a Morton curve (kestrum sorts its
own). scipy's cKDTree runs with workers=-1 where it has them (query_pairs
has none); Open3D's hybrid search is its batched nanoflann search.
"""

import argparse
import os
import platform
import time

import numpy as np

import kestrum_py as kp

try:
    from scipy.spatial import cKDTree
except ImportError:
    cKDTree = None
try:
    import open3d.core as o3c
except ImportError:  # open3d-cpu needs Debian's libusb-1.0-0
    o3c = None


def morton_sorted(q):
    lo, span = q.min(0), np.ptp(q, 0)
    cell = np.clip(((q - lo) / np.where(span > 0, span, 1) * 1023).astype(np.int64), 0, 1023)
    key = np.zeros(len(q), np.int64)
    for bit in range(10):
        for axis in range(3):
            key |= ((cell[:, axis] >> bit) & 1) << (3 * bit + axis)
    return q[np.argsort(key, kind="stable")]


def interleaved(repeats, calls):
    """Best time of each named call, the calls taken in turn each round."""
    best = {name: float("inf") for name in calls}
    for _ in range(repeats):
        for name, fn in calls.items():
            t = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t)
    return best


def rows(n, m, repeats, seed=7):
    """(label, kestrum seconds, {peer label: seconds}) per query."""
    rng = np.random.default_rng(seed)
    pts, q = rng.random((n, 3)), rng.random((m, 3))
    qs = morton_sorted(q)
    r = (16 / (4 / 3 * np.pi * n)) ** (1 / 3)
    radii = r * (0.5 + rng.random(m))
    pair_r = r / 2  # about 2 neighbours a point: n pairs
    tree = kp.KdTree(pts)
    ck = cKDTree(pts) if cKDTree else None
    o3 = None
    if o3c is not None:
        o3 = o3c.nns.NearestNeighborSearch(o3c.Tensor(pts))
        o3.hybrid_index(r)
    cases = [
        ("nearest_many k=16, max_distance", lambda: tree.nearest_many(q, 16, r),
         ck and {"cKDTree.query(distance_upper_bound)": lambda x: ck.query(x, 16, distance_upper_bound=r, workers=-1)}),
        ("within_many, radius per query", lambda: tree.within_many(q, radii),
         ck and {"cKDTree.query_ball_point(r array)": lambda x: ck.query_ball_point(x, radii, workers=-1)}),
        ("count_within", lambda: tree.count_within(q, r),
         ck and {"cKDTree.query_ball_point(return_length)":
                 lambda x: ck.query_ball_point(x, r, return_length=True, workers=-1)}),
        ("within_many max_neighbours=16", lambda: tree.within_many(q, r, max_neighbours=16),
         o3 and {"Open3D hybrid_search": lambda x: o3.hybrid_search(o3c.Tensor(x), r, 16)}),
    ]
    out = []
    for label, ours, peers in cases:
        calls = {"kestrum": ours}
        for name, fn in (peers or {}).items():
            calls[name] = lambda fn=fn: fn(q)
            calls[name + ", Morton-sorted"] = lambda fn=fn: fn(qs)
        best = interleaved(repeats, calls)
        out.append((label, best.pop("kestrum"), best))
    if ck is not None:
        best = interleaved(repeats, {"kestrum": lambda: tree.pairs_within(pair_r),
                                     "cKDTree.query_pairs(ndarray)": lambda: ck.query_pairs(pair_r, output_type="ndarray")})
        out.append((f"pairs_within ({len(tree.pairs_within(pair_r)):,} pairs)", best.pop("kestrum"), best))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--queries", type=int, default=200_000)
    ap.add_argument("--repeats", type=int, default=3)
    a = ap.parse_args()
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, load "
          + " ".join(f"{x:.1f}" for x in os.getloadavg()))
    print(f"{a.points:,} points, {a.queries:,} queries, best of {a.repeats}")
    for label, ours, peers in rows(a.points, a.queries, a.repeats):
        print(f"{label}: kestrum {ours * 1e3:.1f} ms")
        for name, t in peers.items():
            print(f"    {name}: {t * 1e3:.1f} ms  ratio {ours / t:.3f}")


if __name__ == "__main__":
    main()
