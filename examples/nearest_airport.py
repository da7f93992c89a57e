#!/usr/bin/env python3
"""Nearest airport
===============

The nearest airport for each of many positions on Earth, with kestrum_py.

The ~28,000 airports of the `airportsdata` package become unit vectors on the
sphere, indexed by a `KdTree`; each block of query positions is matched to its
nearest airports with one `KdTree.nearest_many` call, and the answer is reported
as a great-circle distance (`geo.great_circle` times the Earth's radius) and the
initial bearing from the query to the airport, read in the query's local
east-north-up frame (two `Quat` rotations). Positions become unit vectors with
`geo.from_lat_lon`, and a radius in kilometres becomes the tree's chord with
`geo.arc_to_chord`::

    python examples/nearest_airport.py                  # 20,000 seeded queries, one process
    python examples/nearest_airport.py -n 1000 --queries my.csv --plot map.png
    python examples/nearest_airport.py --dask           # LocalCluster of worker processes
    python examples/nearest_airport.py --dask --scheduler tcp://HOST:8786
    python examples/nearest_airport.py --dask --partitions 8   # also: airports spread over 8 cells
    python examples/nearest_airport.py --processes 2    # concurrent.futures, spawn
    python examples/nearest_airport.py --radius 50      # also: every airport within 50 km

Needs `pip install kestrum_py[examples]` (and `[dask]` for --dask). Every run
also answers the queries with a numpy brute-force search that forms the same
squared distances in the same order, so the nearest index and the chord
distance (and, with --radius, the set of airports found) must agree bit for bit; a distributed or multi-process run must
reproduce the single-process results bit for bit. The exit status is 1 when
any of these checks fails.
"""

import argparse
import csv
import logging
import math
import multiprocessing
import os
import pickle
import sys
import time

import numpy as np

import kestrum_py as kp

EARTH_RADIUS_KM = 6371.0088  # IUGG mean radius: kestrum_py.geo works on the unit sphere

# Columns of a query block and of a result block.
QUERY_COLUMNS = ("x", "y", "z", "lat_rad", "lon_rad")
RESULT_COLUMNS = ("index", "chord", "km", "bearing_deg")


# --- data ------------------------------------------------------------------------

def load_airports():
    """(codes, names, lat/lon in degrees as an (n, 2) array), in the package's order."""
    import airportsdata

    table = airportsdata.load()  # keyed by ICAO code
    codes = list(table)
    names = [table[c]["name"] for c in codes]
    latlon = np.array([(table[c]["lat"], table[c]["lon"]) for c in codes], dtype=np.float64)
    return codes, names, latlon


def unit_vectors(latlon_deg):
    """(n, 3) C-contiguous unit vectors for an (n, 2) array of latitude, longitude in degrees."""
    return np.asarray(kp.geo.from_lat_lon(latlon_deg[:, 0], latlon_deg[:, 1]))


def random_queries(n, seed):
    """n positions spread uniformly over the sphere (uniform in sin(latitude) and longitude)."""
    rng = np.random.default_rng(seed)
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, n)))
    lon = rng.uniform(-180.0, 180.0, n)
    return np.column_stack([lat, lon])


def read_queries(path):
    """lat,lon per line in degrees; a first line that is not all numbers is taken as a header."""
    rows = []
    with open(path, newline="") as f:
        for lineno, row in enumerate(csv.reader(f), 1):
            if not row or not "".join(row).strip():
                continue
            try:
                numbers = [float(field) for field in row]
            except ValueError:
                if lineno == 1:
                    continue
                numbers = []
            if len(numbers) != 2:
                raise SystemExit(f"{path}:{lineno}: expected two numbers lat,lon, got {row!r}")
            lat, lon = numbers
            if not (math.isfinite(lat) and math.isfinite(lon) and -90.0 <= lat <= 90.0):
                raise SystemExit(f"{path}:{lineno}: latitude must lie in [-90, 90] and both be finite")
            rows.append((lat, lon))
    if not rows:
        raise SystemExit(f"{path}: no queries")
    return np.array(rows, dtype=np.float64)


def query_block(latlon_deg):
    """The (n, 5) float64 block the solvers take: unit vector, latitude and longitude in radians.

    Vectors and angles are computed here, once, so every worker starts from the
    same bits whatever its own numpy would compute.
    """
    return np.column_stack([unit_vectors(latlon_deg), np.radians(latlon_deg)])


# --- the job ---------------------------------------------------------------------

def solve_block(tree, block):
    """Nearest airport for each row of a query block -> (m, 4) float64 result block.

    Shipped to Dask workers and spawned processes, so it names the classes
    through the module (kp.VecList): the classes report __module__ "builtins",
    and a class imported by name would be rebuilt as a broken copy there.
    """
    queries = kp.VecList.from_array(block[:, :3])  # a strided view is fine
    found, chords = tree.nearest_many(queries, 1)  # one call for the whole block
    found, chords = np.asarray(found)[:, 0], np.asarray(chords)[:, 0]
    airports = tree.points
    nearest = kp.VecList.from_array(np.asarray(airports)[found])
    # Element-wise, exact to a few ulps from 0 to pi: metres keep their digits.
    kms = np.asarray(kp.geo.great_circle(queries, nearest)) * EARTH_RADIUS_KM
    k, j = kp.Vec3d.k(), kp.Vec3d.j()
    out = np.empty((len(block), 4))
    for r, q in enumerate(queries):
        index, chord, km = int(found[r]), chords[r], kms[r]
        airport = airports[index]
        # Into the query's east-north-up frame: turn its meridian onto x = 0
        # (about k by -lon), then its position onto the x axis (about j by +lat);
        # east is then +y, north +z.
        lat, lon = block[r, 3], block[r, 4]
        t = kp.Quat.from_axis_angle(k, kp.AngleRadians(-lon)).rotate(airport - q)
        t = kp.Quat.from_axis_angle(j, kp.AngleRadians(lat)).rotate(t)
        bearing = math.degrees(math.atan2(t.y, t.z)) % 360.0
        out[r] = (index, chord, km, bearing)
    return out


def solve_single(tree, blocks, progress):
    parts = []
    for block in blocks:
        parts.append(solve_block(tree, block))
        progress.update(len(block))
    return np.concatenate(parts)


def split(block, chunk):
    return [block[i:i + chunk] for i in range(0, len(block), chunk)]


def brute_force_numpy(airport_vecs, block, chunk=32):
    """Index and chord distance of the nearest airport, by numpy over all airports.

    The squared distance is formed as ((dx*dx + dy*dy) + dz*dz) with d = airport
    - query, like minimum_distance_to, and argmin keeps the lowest index among
    equals, so both must agree bit for bit.
    """
    ax, ay, az = (np.ascontiguousarray(airport_vecs[:, c]) for c in range(3))
    index = np.empty(len(block), dtype=np.int64)
    chord = np.empty(len(block))
    for s in range(0, len(block), chunk):
        q = block[s:s + chunk]
        dx = ax[None, :] - q[:, 0:1]
        dy = ay[None, :] - q[:, 1:2]
        dz = az[None, :] - q[:, 2:3]
        key = dx * dx
        key += dy * dy
        key += dz * dz
        best = np.argmin(key, axis=1)
        index[s:s + chunk] = best
        chord[s:s + chunk] = np.sqrt(key[np.arange(len(q)), best])
    return index, chord


def chord_for_km(km):
    """The straight-line distance between unit vectors that lie `km` apart on the sphere."""
    return kp.geo.arc_to_chord(min(km / EARTH_RADIUS_KM, math.pi))


def within_numpy(airport_vecs, block, chord, chunk=32):
    """CSR (offsets, indices) of the airports at chord distance <= chord, by numpy."""
    ax, ay, az = (np.ascontiguousarray(airport_vecs[:, c]) for c in range(3))
    counts, found = [0], []
    for s in range(0, len(block), chunk):
        q = block[s:s + chunk]
        dx = ax[None, :] - q[:, 0:1]
        dy = ay[None, :] - q[:, 1:2]
        dz = az[None, :] - q[:, 2:3]
        inside = np.sqrt((dx * dx + dy * dy) + dz * dz) <= chord
        for row in inside:
            hits = np.nonzero(row)[0]
            found.append(hits)
            counts.append(len(hits))
    return np.cumsum(counts), np.concatenate(found) if found else np.zeros(0, np.int64)


def great_circle_numpy(query_latlon_deg, airport_latlon_deg):
    """Distance (km) and initial bearing (degrees) by the textbook spherical formulas."""
    p1, l1 = np.radians(query_latlon_deg).T
    p2, l2 = np.radians(airport_latlon_deg).T
    dl = l2 - l1
    a = np.sin((p2 - p1) / 2) ** 2 + np.cos(p1) * np.cos(p2) * np.sin(dl / 2) ** 2
    km = 2 * np.arcsin(np.sqrt(np.minimum(a, 1.0))) * EARTH_RADIUS_KM
    y = np.sin(dl) * np.cos(p2)
    x = np.cos(p1) * np.sin(p2) - np.sin(p1) * np.cos(p2) * np.cos(dl)
    return km, np.degrees(np.arctan2(y, x)) % 360.0


# --- running elsewhere -------------------------------------------------------------

def worker_threads(workers):
    return max(1, (os.cpu_count() or 1) // workers)


def solve_partitioned(tree, block, args):
    """The nearest airport by kestrum_py.dask: airports spread over cells on the workers.

    Returns (index, chord, seconds to partition, seconds to join); no worker
    holds the whole tree, and the answer must still be the tree's, bit for bit.
    """
    import dask

    from kestrum_py import dask as kd

    t0 = time.perf_counter()
    cells = kd.partition(np.asarray(tree.points), partitions=args.partitions)
    t1 = time.perf_counter()
    found, chords = kd.knn_join(cells, block[:, :3], 1)
    found, chords = dask.compute(found, chords, optimize_graph=False)  # keeps each cell's work in place
    return found[:, 0], chords[:, 0], t1 - t0, time.perf_counter() - t1


def solve_dask(tree, block, args):
    """Returns (results, seconds for cluster start, scatter, compute, the partitioned path's answer)."""
    import dask.array as da
    from dask.distributed import Client, LocalCluster, progress

    t0 = time.perf_counter()
    cluster = None
    if args.scheduler:
        client = Client(args.scheduler, timeout=args.timeout)
    else:
        # Each worker process gets its share of the cores for its own pool.
        env = {"RAYON_NUM_THREADS": str(args.worker_threads or worker_threads(args.workers))}
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               env=env, dashboard_address=None, silence_logs=logging.ERROR)
        client = Client(cluster, timeout=args.timeout)
    try:
        client.wait_for_workers(1, timeout=args.timeout)
        t1 = time.perf_counter()
        # The tree is sent once, by pickle, to every worker; the tasks only
        # carry a key to it.
        tree_f = client.scatter(tree, broadcast=True)
        t2 = time.perf_counter()
        queries = da.from_array(block, chunks=(args.chunk, block.shape[1]))
        results = da.map_blocks(solve_block, tree_f, queries, chunks=(queries.chunks[0], (4,)),
                                dtype=np.float64)
        future = client.compute(results)
        if args.progress:
            progress(future)
        out = future.result()
        t3 = time.perf_counter()
        partitioned = solve_partitioned(tree, block, args) if args.partitions else None
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return out, (t1 - t0, t2 - t1, t3 - t2), partitioned


_worker_tree = None


def _init_process(tree_pickle, threads):
    global _worker_tree
    # Before the first bulk operation starts this process's pool.
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    _worker_tree = pickle.loads(tree_pickle)


def _solve_in_process(block):
    return solve_block(_worker_tree, block)


def solve_processes(tree, block, args):
    from concurrent.futures import ProcessPoolExecutor

    t0 = time.perf_counter()
    context = multiprocessing.get_context("spawn")
    threads = args.worker_threads or worker_threads(args.processes)
    with ProcessPoolExecutor(args.processes, mp_context=context, initializer=_init_process,
                             initargs=(pickle.dumps(tree, 5), threads)) as pool:
        out = np.concatenate(list(pool.map(_solve_in_process, split(block, args.chunk))))
    return out, time.perf_counter() - t0


# --- output ------------------------------------------------------------------------

def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def first_difference(a, b):
    rows = np.nonzero((a.view(np.uint64) != b.view(np.uint64)).any(axis=1))[0]
    return int(rows[0]) if len(rows) else None


def print_table(latlon, result, codes, names, count):
    if count <= 0:
        return
    print(f"{'#':>5}  {'lat':>8} {'lon':>9}  {'airport':<8} {'name':<40} {'km':>9} {'bearing':>8}")
    for r in range(min(count, len(result))):
        i = int(result[r, 0])
        print(f"{r:>5}  {latlon[r, 0]:>8.3f} {latlon[r, 1]:>9.3f}  {codes[i]:<8} {names[i][:40]:<40}"
              f" {result[r, 2]:>9.2f} {result[r, 3]:>7.1f}°")


def plot_map(path, latlon, km, airport_latlon):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    fig, ax = plt.subplots(figsize=(12, 6.6), dpi=100)
    finite = km[np.isfinite(km)]
    norm = LogNorm(vmin=max(1.0, float(finite.min())) if len(finite) else 1.0,
                   vmax=float(finite.max()) if len(finite) else 10.0)
    points = ax.scatter(latlon[:, 1], latlon[:, 0], c=km, s=4, cmap="plasma", norm=norm,
                        linewidths=0, label=f"{len(latlon):,} queries")
    # On top, small and dark: the airports draw the continents.
    ax.scatter(airport_latlon[:, 1], airport_latlon[:, 0], s=0.15, c="black", alpha=0.5, linewidths=0,
               label=f"{len(airport_latlon):,} airports")
    fig.colorbar(points, ax=ax, fraction=0.025, pad=0.01, label="great-circle distance to the nearest airport (km)")
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_aspect("equal")
    ax.set_xticks(range(-180, 181, 60))
    ax.set_yticks(range(-90, 91, 30))
    ax.set_xlabel("longitude (°)")
    ax.set_ylabel("latitude (°)")
    ax.set_title("Nearest airport for each query position (kestrum_py KdTree.nearest_many)")
    ax.legend(loc="lower left", markerscale=6, fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def rate(n, seconds):
    return f"{n / seconds:>12,.0f} queries/s  ({seconds:.3f} s)"


# --- main ------------------------------------------------------------------------------

def parse_args(argv):
    p = argparse.ArgumentParser(description="The nearest airport for each of many positions on Earth, with kestrum_py.",
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-n", type=int, default=20000, help="number of seeded random queries (default 20000)")
    p.add_argument("--seed", type=int, default=2024, help="seed of the random queries (default 2024)")
    p.add_argument("--queries", metavar="FILE", help="CSV of lat,lon in degrees instead of random queries")
    p.add_argument("--show", type=int, default=10, help="rows of the result table (default 10)")
    p.add_argument("--chunk", type=int, default=1000, help="queries per task (default 1000)")
    p.add_argument("--no-numpy", dest="numpy", action="store_false", help="skip the numpy brute force")
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bars")
    p.add_argument("--plot", metavar="FILE.png", help="write a world map of the queries")
    p.add_argument("--save", metavar="FILE.npz", help="write queries and every path's results")
    p.add_argument("--radius", type=float, metavar="KM",
                   help="also find every airport within KM great-circle kilometres of each query")
    d = p.add_argument_group("other processes")
    d.add_argument("--dask", action="store_true", help="also run on Dask distributed")
    d.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="existing Dask scheduler (default: a LocalCluster)")
    d.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    d.add_argument("--partitions", type=int, default=0, metavar="N",
                   help="with --dask: also spread the airports over N cells (kestrum_py.dask.knn_join)")
    d.add_argument("--processes", type=int, default=0, metavar="N",
                   help="also run on a spawn ProcessPoolExecutor of N processes")
    d.add_argument("--worker-threads", type=int, default=0, metavar="T",
                   help="pool threads per worker process (default: cores / processes)")
    d.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for the cluster (default 60)")
    args = p.parse_args(argv)
    if args.radius is not None and not (args.radius >= 0.0):
        p.error("--radius must be a number of kilometres, at least 0")
    if args.partitions and not args.dask:
        p.error("--partitions needs --dask")
    if args.n < 1 or args.chunk < 1 or args.workers < 1 or args.processes < 0 or args.worker_threads < 0 \
            or args.partitions < 0:
        p.error("-n, --chunk and --workers must be positive; --processes and --worker-threads not negative")
    return args


def main(argv=None):
    args = parse_args(argv)
    from tqdm import tqdm

    t = time.perf_counter()
    codes, names, airport_latlon = load_airports()
    airport_vecs = unit_vectors(airport_latlon)
    tree = kp.KdTree(airport_vecs)
    setup = time.perf_counter() - t
    latlon = read_queries(args.queries) if args.queries else random_queries(args.n, args.seed)
    block = query_block(latlon)
    n = len(block)
    print(f"{len(tree):,} airports as unit vectors in a KdTree in {setup:.2f} s; {n:,} queries "
          f"({args.queries or f'seed {args.seed}'})")

    t = time.perf_counter()
    # disable=None: a bar only on a terminal
    quiet = not args.progress or n < 5000
    with tqdm(total=n, unit="q", disable=True if quiet else None, file=sys.stderr) as bar:
        result = solve_single(tree, split(block, args.chunk), bar)
    single_s = time.perf_counter() - t
    print()
    print_table(latlon, result, codes, names, args.show)
    print()
    print(f"kestrum_py, one process  {rate(n, single_s)}")

    ok = True
    saved = {"latlon": latlon, "single": result}
    nan_km = int(np.isnan(result[:, 2]).sum())
    if nan_km:
        print(f"note: {nan_km} great-circle distances are NaN: only a NaN query gives NaN")

    if args.numpy:
        t = time.perf_counter()
        np_index, np_chord = brute_force_numpy(airport_vecs, block)
        numpy_s = time.perf_counter() - t
        saved.update(numpy_index=np_index, numpy_chord=np_chord)
        same = (np.array_equal(np_index, result[:, 0].astype(np.int64))
                and same_bits(np_chord, np.ascontiguousarray(result[:, 1])))
        ok &= same
        km, bearing = great_circle_numpy(latlon, airport_latlon[np_index])
        turn = np.abs((bearing - result[:, 3] + 180.0) % 360.0 - 180.0)
        print(f"numpy brute force        {rate(n, numpy_s)}   speed ratio kestrum_py/numpy: {numpy_s / single_s:.2f}x")
        print(f"  nearest index and chord distance {'bit-identical' if same else 'DIFFER'}; "
              f"vs haversine: max |km diff| {np.nanmax(np.abs(km - result[:, 2])):.2e}, "
              f"max bearing diff {np.nanmax(turn):.2e}°")

    if args.dask:
        try:
            out, (start_s, scatter_s, compute_s), partitioned = solve_dask(tree, block, args)
        except ImportError as e:
            raise SystemExit(f"--dask needs dask[distributed] (pip install kestrum_py[dask]): {e}") from None
        saved["dask"] = out
        where = args.scheduler or f"LocalCluster, {args.workers} worker processes"
        print(f"Dask ({where})")
        print(f"  compute                {rate(n, compute_s)}   "
              f"({-(-n // args.chunk)} chunks of {args.chunk})")
        print(f"  {'connect' if args.scheduler else 'cluster start'} {start_s:.2f} s, "
              f"scatter of the tree {scatter_s * 1e3:.1f} ms")
        ok &= report_identity("Dask", out, result)
        if partitioned is not None:
            found, chords, part_s, join_s = partitioned
            saved.update(partitioned_index=found, partitioned_chord=chords)
            same = (np.array_equal(found, result[:, 0].astype(np.int64))
                    and same_bits(chords, np.ascontiguousarray(result[:, 1])))
            print(f"Dask, airports in {args.partitions} cells (kestrum_py.dask): partition {part_s:.2f} s")
            print(f"  knn_join               {rate(n, join_s)}")
            print(f"  nearest index and chord {'bit-identical to' if same else 'DIFFER from'} the single-process run")
            ok &= same

    if args.processes:
        out, seconds = solve_processes(tree, block, args)
        saved["processes"] = out
        print(f"ProcessPoolExecutor (spawn, {args.processes} processes)")
        print(f"  start + compute        {rate(n, seconds)}")
        ok &= report_identity("ProcessPoolExecutor", out, result)

    if args.radius is not None:
        ok &= radius_search(tree, airport_vecs, block, args, saved)

    if args.plot:
        plot_map(args.plot, latlon, result[:, 2], airport_latlon)
        print(f"map written to {os.path.basename(args.plot)}")
    if args.save:
        np.savez(args.save, **saved)
    return 0 if ok else 1


def radius_search(tree, airport_vecs, block, args, saved):
    """Every airport within args.radius km of each query: within_many with the chord for that arc."""
    chord = chord_for_km(args.radius)
    queries = block[:, :3]
    t = time.perf_counter()
    offsets, indices = tree.within_many(queries, chord)
    offsets, indices = np.asarray(offsets), np.asarray(indices)
    seconds = time.perf_counter() - t
    counts = np.diff(offsets)
    saved.update(radius_offsets=offsets, radius_indices=indices)
    print(f"within {args.radius:g} km (chord {chord:.6g}): {len(indices):,} airports found, "
          f"{int((counts > 0).sum()):,} of {len(counts):,} queries have at least one, "
          f"at most {int(counts.max()) if len(counts) else 0}")
    print(f"kestrum_py within_many    {rate(len(counts), seconds)}")
    if not args.numpy:
        return True
    t = time.perf_counter()
    np_offsets, np_indices = within_numpy(airport_vecs, queries, chord)
    numpy_s = time.perf_counter() - t
    same = np.array_equal(np_offsets, offsets) and np.array_equal(np_indices, indices)
    print(f"numpy brute force        {rate(len(counts), numpy_s)}   kestrum_py/numpy: {numpy_s / seconds:.2f}")
    print(f"  airports within the radius {'identical' if same else 'DIFFER'}")
    return same


def report_identity(label, out, single):
    if same_bits(out, single):
        print(f"  {label} results are bit-identical to the single-process run")
        return True
    row = first_difference(out, single) if out.shape == single.shape else None
    print(f"  {label} results DIFFER from the single-process run"
          + (f" (first at query {row})" if row is not None else f" (shape {out.shape})"))
    return False


if __name__ == "__main__":
    # Exit only on failure: the docs gallery runs this file in its own
    # interpreter, where SystemExit(0) would end the whole build.
    status = main()
    if status:
        sys.exit(status)
