#!/usr/bin/env python3
"""LiDAR change detection on Dask
================================

Two LiDAR scans of the same terrain, neither ever whole in one process: for
each point of the second scan, its 8 nearest points of the first (the cloud
to cloud distance behind change detection), with `kestrum_py.dask`.

The reference scan is generated tile by tile on the workers of a
`LocalCluster` whose `memory_limit` per worker is below what one `KdTree` of
the whole scan needs to build; `partition` spreads it over cells, one tree
per cell on a worker, and `knn_join` answers the second scan::

    python examples/lidar_join.py                          # 1.2e7 points, 3 workers of 1 GiB
    python examples/lidar_join.py --points 2e6 --memory-limit 400MiB --queries 2e5

The answer for a seeded sample of queries is checked against a brute force
run over the reference scan block by block on the workers (numpy, the same
squared distances, merged by (d², index)): the nearest indices and distances
must agree bit for bit. Exit status 1 if they do not.

Needs `pip install kestrum_py[dask]`.
"""

import argparse
import logging
import sys
import time

import numpy as np

TILE = 1 << 20  # points generated per task


def terrain(block_id, n, seed):
    """One tile of scan points: rolling ground, box buildings, scattered vegetation (metres)."""
    rng = np.random.default_rng([seed, block_id])
    xy = rng.uniform(0.0, 2000.0, (n, 2))
    z = 3.0 * np.sin(xy[:, 0] / 150.0) + 2.0 * np.cos(xy[:, 1] / 90.0) + rng.normal(0.0, 0.03, n)
    # Buildings: a 40 m grid of blocks, roofs 6-20 m up, on some cells.
    cell = np.floor(xy / 40.0)
    roof = (np.sin(cell[:, 0] * 12.9898 + cell[:, 1] * 78.233) * 43758.5453) % 1.0
    inside = (roof > 0.7) & ((xy % 40.0) > 8.0).all(axis=1)
    z = np.where(inside, z + 6.0 + 14.0 * (roof - 0.7) / 0.3, z)
    tree = rng.random(n) < 0.1
    z = np.where(tree & ~inside, z + rng.gamma(2.0, 2.0, n), z)
    return np.column_stack([xy, z])


def scan(n, seed, chunk):
    """A Dask array (n, 3) of scan points, each tile generated on a worker."""
    import dask.array as da

    sizes = [min(chunk, n - s) for s in range(0, n, chunk)]
    blocks = [da.from_delayed(_tile(i, m, seed), (m, 3), np.float64) for i, m in enumerate(sizes)]
    return da.concatenate(blocks) if blocks else da.zeros((0, 3), chunks=(1, 3))


def _tile(i, m, seed):
    import dask

    return dask.delayed(terrain, pure=True)(i, m, seed)


def brute_force_block(points, start, q, k, step=1 << 14):
    """The k best (d2, global index) of one reference block for each query, by numpy."""
    best_d2, best_i = np.empty((len(q), 0)), np.empty((len(q), 0), np.int64)
    for s in range(0, len(points), step):  # a slice at a time: the worker's memory is limited
        d = points[None, s:s + step, :] - q[:, None, :]
        d2 = d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]
        d2 += d[..., 2] * d[..., 2]
        index = np.broadcast_to(np.arange(start + s, start + s + d2.shape[1]), d2.shape)
        d2, index = np.concatenate([best_d2, d2], axis=1), np.concatenate([best_i, index], axis=1)
        order = np.lexsort((index, d2), axis=-1)[:, :k]
        best_d2, best_i = np.take_along_axis(d2, order, axis=1), np.take_along_axis(index, order, axis=1)
    return best_d2, best_i


def brute_force(reference, q, k):
    """Exact k nearest of q over the whole reference scan, block by block on the workers."""
    import dask

    starts = np.concatenate([[0], np.cumsum(reference.chunks[0])])
    parts = dask.compute(*[dask.delayed(brute_force_block)(b, s, q, k)
                           for b, s in zip(reference.to_delayed().ravel(), starts)])
    d2 = np.concatenate([p[0] for p in parts], axis=1)
    index = np.concatenate([p[1] for p in parts], axis=1)
    order = np.lexsort((index, d2), axis=-1)[:, :k]
    return np.take_along_axis(index, order, axis=1), np.sqrt(np.take_along_axis(d2, order, axis=1))


def peak_rss():
    """This process's peak resident memory (VmHWM: unlike ru_maxrss, not inherited from its parent)."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def main(argv=None):
    doc = (__doc__ or "").split("\n\n")  # the gallery runs it without its docstring
    p = argparse.ArgumentParser(description=doc[1] if len(doc) > 1 else None,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--points", type=float, default=1.2e7, help="reference scan points (default 1.2e7)")
    p.add_argument("--queries", type=float, default=1e6, help="second scan points (default 1e6)")
    p.add_argument("-k", type=int, default=8)
    p.add_argument("--workers", type=int, default=3)
    p.add_argument("--memory-limit", default="1GiB", help="per worker (default 1GiB)")
    p.add_argument("--partitions", type=int, default=None, help="cells (default: about 2**20 points each)")
    p.add_argument("--check", type=int, default=20, help="queries checked by brute force (default 20)")
    p.add_argument("--seed", type=int, default=5)
    args = p.parse_args(argv)
    try:
        import dask
        from dask.distributed import Client, LocalCluster
        from dask.utils import format_bytes, parse_bytes

        from kestrum_py import dask as kd
    except ImportError as e:
        raise SystemExit(f"{e}") from None

    n, m, k = int(args.points), int(args.queries), args.k
    limit = parse_bytes(args.memory_limit)
    one_tree = 34 * n + 80
    print(f"reference scan: {n:,} points, {format_bytes(24 * n)} of coordinates; one KdTree of it "
          f"{format_bytes(one_tree)}, ~{format_bytes(70 * n)} while it builds; worker limit {format_bytes(limit)}")
    env = {"RAYON_NUM_THREADS": "1", "MALLOC_TRIM_THRESHOLD_": "65536"}
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit=limit,
                      env=env, dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        reference = scan(n, args.seed, TILE)
        second = scan(m, args.seed + 1, TILE // 4)
        second = second + np.array([0.0, 0.0, 0.05])  # the second pass sits 5 cm higher
        t = time.perf_counter()
        cells = kd.partition(reference, partitions=args.partitions)
        part_s = time.perf_counter() - t
        print(f"partition: {cells.partitions} cells of {cells.counts.min():,} to {cells.counts.max():,} points"
              f" in {part_s:.1f} s")
        t = time.perf_counter()
        idx, dist = kd.knn_join(cells, second, k)
        nearest = dist[:, 0]
        stats = dask.compute(nearest.mean(), (nearest > 0.5).sum(), idx[:args.check], dist[:args.check],
                             second[:args.check], optimize_graph=False)
        join_s = time.perf_counter() - t
        mean, changed, check_idx, check_dist, check_q = stats
        print(f"knn_join, k = {k}: {m:,} queries in {join_s:.1f} s; mean distance to the reference "
              f"{mean:.3f} m, {int(changed):,} points farther than 0.5 m (changed)")
        peaks = client.run(peak_rss)
        print(f"peak RSS per worker: {', '.join(format_bytes(v) for v in sorted(peaks.values()))}")
        want_idx, want_dist = brute_force(reference, check_q, k)
    same = want_idx.tobytes() == check_idx.tobytes() and want_dist.tobytes() == check_dist.tobytes()
    print(f"{args.check} queries against the brute force: {'bit-identical' if same else 'DIFFER'}")
    return 0 if same else 1


if __name__ == "__main__":
    status = main()
    if status:  # the docs gallery runs this file in its own interpreter: no SystemExit(0)
        sys.exit(status)
