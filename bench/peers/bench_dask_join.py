"""Exact k-nearest joins on a Dask LocalCluster against one process's KdTree.

    python3 -m pip install '.[dask]'
    python3 bench/peers/bench_dask_join.py                 # 1e8 points, 1e7 queries, k = 8
    python3 bench/peers/bench_dask_join.py --small         # 2e6 points, 2e5 queries: a minute

Points and queries are uniform in the unit cube, generated chunk by chunk on
the workers (dask.array.random): the client never holds them. Three runs:

1. one process: KdTree(points[:single]).nearest_many(queries[:single_q], k),
   the points gathered first (the largest size this process is to hold);
2. the cluster at that same size, checked bit for bit against run 1, so the
   two times are a side-by-side ratio;
3. the cluster at the full size: the results are digested on the workers
   (a CRC per block), not gathered.

For each cluster run: partition and join times, the bytes the workers sent
each other (Worker.transfer_outgoing_bytes_total: the shuffle of partition,
then the join's), and each worker process's peak resident memory (its
VmHWM, which spans the whole run, generation and shuffle included).
"""

import logging
import resource
import sys
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import cli  # noqa: E402

import numpy as np  # noqa: E402

import kestrum_py as kp  # noqa: E402

TREE_BYTES_PER_POINT = 34  # the spatial index guide: the tree's one block, points included
BUILD_PEAK_PER_POINT = 70


def peak_rss_bytes():
    """This process's peak resident memory (VmHWM: unlike ru_maxrss, not inherited from a parent)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def sent_bytes(dask_worker):
    return dask_worker.transfer_outgoing_bytes_total


def crc_block(block):
    return np.array([zlib.crc32(np.ascontiguousarray(block).tobytes())], np.int64)


def data(n, m, chunk, qchunk, seed):
    import dask.array as da

    points = da.random.default_rng(seed).random((n, 3), chunks=(chunk, 3))
    queries = da.random.default_rng(seed + 1).random((m, 3), chunks=(qchunk, 3))
    return points, queries


def gib(b):
    return f"{b / 2**30:.2f} GiB"


def one_process(points, queries, k):
    t = time.perf_counter()
    pts, q = points.compute(scheduler="threads"), queries.compute(scheduler="threads")
    gen = time.perf_counter() - t
    t = time.perf_counter()
    tree = kp.KdTree(pts)
    build = time.perf_counter() - t
    t = time.perf_counter()
    idx, dist = (np.asarray(a) for a in tree.nearest_many(q, k))
    join = time.perf_counter() - t
    del tree, pts
    return idx, dist, gen, build, join


def cluster_run(client, points, queries, k, partitions, gather):
    import dask
    import dask.array as da

    from kestrum_py import dask as kd

    base = sum(client.run(sent_bytes).values())
    t = time.perf_counter()
    p = kd.partition(points, partitions=partitions)
    part_s = time.perf_counter() - t
    shuffled = sum(client.run(sent_bytes).values()) - base
    idx, dist = kd.knn_join(p, queries, k)
    t = time.perf_counter()
    if gather:
        out = dask.compute(idx, dist, optimize_graph=False)
    else:
        out = dask.compute(da.map_blocks(crc_block, idx, chunks=(1,), drop_axis=1, dtype=np.int64),
                           da.map_blocks(crc_block, dist, chunks=(1,), drop_axis=1, dtype=np.int64),
                           optimize_graph=False)
    join_s = time.perf_counter() - t
    # Counts what the client gathers too: the results (16 k B/query) when gathered.
    moved = sum(client.run(sent_bytes).values()) - base - shuffled
    peaks = client.run(peak_rss_bytes)
    del p
    return out, part_s, join_s, shuffled, moved, peaks


def report(label, n, m, part_s, join_s, shuffled, moved, peaks):
    print(f"{label}: {n:,} points in cells {part_s:.1f} s, {m:,} queries joined {join_s:.1f} s"
          f" ({m / join_s:,.0f} queries/s)")
    print(f"  bytes between workers: partition {gib(shuffled)} ({shuffled / n:.1f} B/point),"
          f" join {gib(moved)} ({moved / m:.1f} B/query)")
    print(f"  peak RSS per worker: {', '.join(gib(v) for v in sorted(peaks.values()))}"
          f"; one tree of all points: {gib(TREE_BYTES_PER_POINT * n)}, its build peak"
          f" ~{gib(BUILD_PEAK_PER_POINT * n)}")


def main():
    ap = cli.parser(__doc__)
    ap.add_argument("--points", type=float, default=1e8)
    ap.add_argument("--queries", type=float, default=1e7)
    ap.add_argument("-k", type=int, default=8)
    ap.add_argument("--single", type=float, default=2e7, help="points for the one-process run (default 2e7)")
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--partitions", type=int, default=None, help="cells (default: about 2**20 points each)")
    ap.add_argument("--chunk", type=int, default=1 << 21, help="points generated per task")
    ap.add_argument("--query-chunk", type=int, default=1 << 18)
    ap.add_argument("--memory-limit", default="0", help="per worker, as LocalCluster takes it (0: none)")
    ap.add_argument("--seed", type=int, default=8)
    ap.add_argument("--small", action="store_true", help="2e6 points, 2e5 queries, the same for one process")
    args = ap.parse_args()
    if args.small:
        args.points, args.queries, args.single = 2e6, 2e5, 2e6
        args.chunk, args.query_chunk = 1 << 18, 1 << 15
    n, m, single = int(args.points), int(args.queries), int(min(args.single, args.points))
    single_q = max(1, m * single // n)
    print(cli.machine_line())
    print(cli.load_text())

    from dask.distributed import Client, LocalCluster

    points, queries = data(n, m, args.chunk, args.query_chunk, args.seed)
    idx1, dist1, gen, build, join1 = one_process(points[:single], queries[:single_q], args.k)
    print(f"one process: {single:,} points gathered {gen:.1f} s, KdTree built {build:.1f} s,"
          f" {single_q:,} queries {join1:.1f} s ({single_q / join1:,.0f} queries/s);"
          f" peak RSS {gib(peak_rss_bytes())}")

    env = {"RAYON_NUM_THREADS": "1", "MALLOC_TRIM_THRESHOLD_": "65536"}

    def cluster():
        # A fresh cluster per run: its workers' peak memory is that run's alone.
        return LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, env=env,
                            memory_limit=args.memory_limit, dashboard_address=None,
                            silence_logs=logging.ERROR)

    print(f"LocalCluster: {args.workers} worker processes x 1 thread, pool threads 1 each")
    with cluster() as c, Client(c) as client:
        out, part_s, join_s, shuffled, moved, peaks = cluster_run(
            client, points[:single], queries[:single_q], args.k, args.partitions, gather=True)
    same = out[0].tobytes() == idx1.tobytes() and out[1].tobytes() == dist1.tobytes()
    del out, idx1, dist1
    report("cluster, same size", single, single_q, part_s, join_s, shuffled, moved, peaks)
    print(f"  results {'bit-identical to' if same else 'DIFFER from'} the one-process tree;"
          f" time ratio cluster/one process: build {part_s / build:.2f}, join {join_s / join1:.2f}")
    if n > single:
        with cluster() as c, Client(c) as client:
            _, part_s, join_s, shuffled, moved, peaks = cluster_run(
                client, points, queries, args.k, args.partitions, gather=False)
        report("cluster, full size", n, m, part_s, join_s, shuffled, moved, peaks)
    print(cli.load_text())
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
