"""Nearest-airport queries per second, side by side in one run: numpy brute force,
kestrum_py in one process, spawned processes and Dask LocalClusters of 1 and 2 workers.

    python3 -m pip install '.[examples,dask]'
    python3 bench/peers/bench_nearest_airport.py [-n 20000] [--repeats 3] [--chunk 1000]

The job and every solver are those of examples/nearest_airport.py. The worker
processes and clusters are started once, before timing; their start-up and the
one-off transfer of the airports' KdTree (Client.scatter, or the executor's initializer)
are reported apart. A timed run goes from handing over the queries to holding
all results in order. Each repeat runs every configuration once, in turn, so a
noisy stretch on the shared machine hits all alike; the best and worst
queries/s over the repeats are shown, with the load average seen before each
repeat. Every run's results are checked bit for bit against the first
one-process run. Ratios are queries/s over numpy's (above 1: faster).
"""

import logging
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import ROOT, cli  # noqa: E402
from common.blas_env import drop_openblas_overrides  # noqa: E402

sys.path.insert(0, str(ROOT / "examples"))  # spawned children inherit sys.path

drop_openblas_overrides()  # before anything imports numpy

import pickle  # noqa: E402

import numpy as np  # noqa: E402

import kestrum_py as kp  # noqa: E402
import nearest_airport as na  # noqa: E402


class Processes:
    """A spawn ProcessPoolExecutor holding the airports, each process with `threads` pool threads."""

    def __init__(self, airports, count, threads, chunk):
        self.label = f"spawned processes: {count} x {threads} thread{'s' * (threads > 1)}"
        self.chunk = chunk
        t = time.perf_counter()
        self.pool = ProcessPoolExecutor(count, mp_context=get_context("spawn"), initializer=na._init_process,
                                        initargs=(pickle.dumps(airports, 5), threads))
        # Make every process start and unpickle the airports before timing.
        list(self.pool.map(time.sleep, [0.2] * count))
        self.setup = f"start + airports {time.perf_counter() - t:.2f} s"

    def run(self, block):
        return np.concatenate(list(self.pool.map(na._solve_in_process, na.split(block, self.chunk))))

    def close(self):
        self.pool.shutdown()


class DaskCluster:
    def __init__(self, airports, workers, threads, chunk):
        from dask.distributed import Client, LocalCluster

        self.label = f"Dask LocalCluster: {workers} worker{'s' * (workers > 1)} x {threads} thread{'s' * (threads > 1)}"
        self.chunk = chunk
        t = time.perf_counter()
        self.cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                    env={"RAYON_NUM_THREADS": str(threads)}, dashboard_address=":0",
                                    silence_logs=logging.ERROR)
        self.client = Client(self.cluster)
        self.client.wait_for_workers(workers)
        started = time.perf_counter() - t
        t = time.perf_counter()
        self.airports = self.client.scatter(airports, broadcast=True)
        self.setup = f"start {started:.2f} s, scatter {(time.perf_counter() - t) * 1e3:.0f} ms"

    def run(self, block):
        import dask.array as da

        queries = da.from_array(block, chunks=(self.chunk, block.shape[1]))
        results = da.map_blocks(na.solve_block, self.airports, queries, chunks=(queries.chunks[0], (4,)),
                                dtype=np.float64)
        return self.client.compute(results).result()

    def close(self):
        # Shutdown chatter (INFO lines, closed-stream tracebacks) would bury the table.
        for name in list(logging.root.manager.loggerDict):
            if name.startswith("distributed"):
                logging.getLogger(name).setLevel(logging.CRITICAL)
        self.client.close()
        self.cluster.close()


def main():
    p = cli.parser(__doc__, repeat=3)
    p.add_argument("-n", type=int, default=20000, help="queries (default 20000)")
    p.add_argument("--chunk", type=int, default=1000, help="queries per task (default 1000)")
    p.add_argument("--seed", type=int, default=2024)
    args = p.parse_args()
    print(cli.machine_line())

    import cloudpickle

    # Dask workers cannot import the example by name: ship its functions by value.
    cloudpickle.register_pickle_by_value(na)
    cores = os.cpu_count() or 1
    _, _, airport_latlon = na.load_airports()
    airport_vecs = na.unit_vectors(airport_latlon)
    airports = kp.KdTree(airport_vecs)
    block = na.query_block(na.random_queries(args.n, args.seed))
    print(f"{len(airports):,} airports, {args.n:,} queries, chunks of {args.chunk}, {cores} cores, "
          f"kestrum pool of this process: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")

    configs = [("numpy brute force (one thread)", None, lambda b: na.brute_force_numpy(airport_vecs, b)),
               ("kestrum_py, this process", None, lambda b: na.solve_block(airports, b))]
    pools = [Processes(airports, 1, 1, args.n), Processes(airports, 1, cores, args.n),
             Processes(airports, 2, max(1, cores // 2), args.chunk),
             DaskCluster(airports, 1, cores, args.chunk), DaskCluster(airports, 2, max(1, cores // 2), args.chunk)]
    configs += [(pool.label, pool.setup, pool.run) for pool in pools]

    seconds = {label: [] for label, _, _ in configs}
    identical = {label: True for label, _, _ in configs}
    loads = []
    reference = None
    try:
        for _ in range(args.repeat):
            loads.append(os.getloadavg()[0])
            for label, _, run in configs:
                t = time.perf_counter()
                out = run(block)
                seconds[label].append(time.perf_counter() - t)
                if label.startswith("numpy"):
                    continue
                if reference is None:
                    reference = out
                identical[label] &= out.tobytes() == reference.tobytes()
    finally:
        for pool in pools:
            pool.close()

    base = args.n / min(seconds[configs[0][0]])
    print(f"load average (1 min) before each repeat: {', '.join(f'{x:.2f}' for x in loads)}\n")
    print(f"{'configuration':<42} {'queries/s best':>14} {'worst':>9} {'vs numpy':>8}  bits  one-off cost")
    for label, setup, _ in configs:
        best, worst = args.n / min(seconds[label]), args.n / max(seconds[label])
        same = "-" if label.startswith("numpy") else ("same" if identical[label] else "DIFF")
        print(f"{label:<42} {best:>14,.0f} {worst:>9,.0f} {best / base:>8.2f}  {same:<4}  {setup or ''}")
    return 0 if all(identical.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
