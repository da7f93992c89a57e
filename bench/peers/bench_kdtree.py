"""KdTree against scipy's cKDTree (workers=-1), pykdtree and Open3D, side by side in one run.

    python3 -m pip install '.[bench]'      # scipy, pykdtree, open3d-cpu
    python3 bench/peers/bench_kdtree.py [--repeats 3] [--n 1000000] [--big N] [--skip-scaling] [--json FILE]

Cases: the airports of `airportsdata` (28k unit vectors, 20k queries on the
sphere, k = 1 and 8: the build alone and build + query), uniform and
clustered (Gaussian blobs) clouds of n points with n queries (k = 1 and 16,
build and query apart, the queries once as drawn and once given to every
library already sorted in Morton order), the same clouds at --big points
(default 10 n; 0 skips) with min(n, 1e6) Morton-sorted queries, a radius
batch against cKDTree (about 15.6 neighbours each), and a single
nearest(Vec3d) at n points. Open3D is two peers: its batched search
(`open3d.core.nns`, built with knn_index, queried with knn_search) and, for
builds only, `open3d.geometry.KDTreeFlann`. Each cell is the best of
--repeats runs; the load average is printed before every case, as the machine
is shared. Ratios are kestrum_py's time over the fastest peer's (below 1:
faster). Every target is printed with met or MISSED; the targets are the same
on AMD and Intel. Also: nanoseconds per query, nodes visited and (where perf
can count them) instructions per query, the tree's bytes per point and the
build's peak, and the query time on a pool of 1 thread over 2 (child
processes, RAYON_NUM_THREADS).

--json FILE also writes every figure printed (seconds, ratios, loads, sizes,
CPU model) to FILE; bench/plots/plot_kdtree.py draws docs/kdtree_bench.png from it.

kestrum_py's answers are exact (bit for bit the brute force); the peers'
distances are their own arithmetic, so only their indices are compared, on
queries whose nearest neighbour is unambiguous.
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common
from common import ROOT, cli  # noqa: E402
from common.blas_env import drop_openblas_overrides  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy

import numpy as np  # noqa: E402

import kestrum_py as kp  # noqa: E402

try:
    from scipy.spatial import cKDTree
except ImportError:  # pragma: no cover - the test extra provides it
    cKDTree = None
try:
    from pykdtree.kdtree import KDTree as PyKDTree
except ImportError:  # pragma: no cover
    PyKDTree = None
try:
    import open3d as o3d
except ImportError:  # pragma: no cover - open3d-cpu needs Debian's libusb-1.0-0
    o3d = None

def load():
    return "load {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def best_of(repeats, fn):
    times, result = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


# Each library: build(points) -> tree, query(tree, queries, k).
LIBS = {"kestrum_py": (kp.KdTree, lambda t, q, k: t.nearest_many(q, k))}
if cKDTree is not None:
    LIBS["cKDTree"] = (cKDTree, lambda t, q, k: t.query(q, k, workers=-1))
if PyKDTree is not None:
    LIBS["pykdtree"] = (PyKDTree, lambda t, q, k: t.query(q, k))
# Peers timed on builds only (no batched query).
BUILD_ONLY = {}
if o3d is not None:
    def o3d_build(points):
        nns = o3d.core.nns.NearestNeighborSearch(o3d.core.Tensor(np.ascontiguousarray(points)))
        nns.knn_index()
        return nns

    def o3d_query(nns, queries, k):
        idx, d2 = nns.knn_search(o3d.core.Tensor(np.ascontiguousarray(queries)), k)
        return d2.numpy(), idx.numpy()

    LIBS["open3d"] = (o3d_build, o3d_query)
    BUILD_ONLY["open3d.flann"] = lambda points: o3d.geometry.KDTreeFlann(o3d.utility.Vector3dVector(points))


def morton_order(queries, points):
    """The queries' order along a Morton curve of 10 bits per axis over the points' box."""
    lo, hi = points.min(0), points.max(0)
    cell = np.clip((queries - lo) / np.where(hi > lo, hi - lo, 1.0) * 1023.0, 0, 1023).astype(np.uint64)
    key = np.zeros(len(queries), dtype=np.uint64)
    for bit in range(10):
        for axis in range(3):
            key |= ((cell[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable")

verdicts = []
# Everything printed, for --json: what plot_kdtree.py draws.
RECORD = {"cases": [], "single": None, "scaling": None, "visits": None, "targets": []}


def verdict(label, ratio, target):
    ok = ratio <= target
    verdicts.append((label, ratio, target, ok))
    RECORD["targets"].append({"label": label, "ratio": ratio, "target": target, "met": ok})
    print(f"  target {label}: {ratio:.3f}x <= {target:.3g}x  {'met' if ok else 'MISSED'}")


def check_indices(ours, peer_idx, queries):
    """Share of queries with a clear nearest neighbour whose index the peer agrees on."""
    idx, dist = (np.asarray(a) for a in ours)
    peer_idx = np.asarray(peer_idx).reshape(len(queries), -1)[:, 0]
    clear = (dist.shape[1] < 2) or None
    agree = idx[:, 0] == peer_idx
    if clear is None:
        clear = dist[:, 1] - dist[:, 0] > 1e-9 * np.maximum(dist[:, 0], 1e-300)
        return float(agree[clear].mean()) if clear.any() else 1.0
    return float(agree.mean())


def case(name, points, queries, ks, repeats, combined, build_target, query_target, sorted_target=None,
         unsorted=True):
    print(f"\n{name}: {len(points):,} points, {len(queries):,} queries  [{load()}]")
    rec = {"name": name, "points": len(points), "queries": len(queries), "combined": combined,
           "load": list(os.getloadavg()), "build_s": {}, "build_only_s": {}, "k": [], "k_sorted": []}
    RECORD["cases"].append(rec)
    built = {}
    build_s = rec["build_s"]
    for _ in range(repeats):  # interleaved, so a burst of load hits every library alike
        for lib, (build, _) in LIBS.items():
            t, built[lib] = best_of(1, lambda: build(points))
            build_s[lib] = min(build_s.get(lib, t), t)
        for lib, build in BUILD_ONLY.items():
            t, _ = best_of(1, lambda: build(points))
            rec["build_only_s"][lib] = min(rec["build_only_s"].get(lib, t), t)
    peers = [lib for lib in LIBS if lib != "kestrum_py"]
    all_builds = dict(build_s, **rec["build_only_s"])
    print("  build " + "  ".join(f"{lib} {t * 1e3:.1f} ms" for lib, t in all_builds.items()))
    rec["build_ratio"], rec["build_target"] = None, build_target
    if peers and build_target is not None:
        best_b = min(t for lib, t in all_builds.items() if lib != "kestrum_py")
        rec["build_ratio"] = build_s["kestrum_py"] / best_b
        verdict(f"{name} build vs fastest peer", rec["build_ratio"], build_target)
    rows = [("k", queries, query_target)] if unsorted else []
    if sorted_target is not None:
        rows.append(("k_sorted", queries[morton_order(queries, points)], sorted_target))
    for key, qs, target in rows:
        label = "" if key == "k" else " Morton-sorted"
        for k in ks:
            query_s, answers = {}, {}
            for _ in range(repeats):
                for lib, (_, query) in LIBS.items():
                    t, answers[lib] = best_of(1, lambda: query(built[lib], qs, k))
                    query_s[lib] = min(query_s.get(lib, t), t)
            cells = "  ".join(f"{lib} {query_s[lib] * 1e3:8.1f} ms" for lib in LIBS)
            print(f" k={k:<2}{label} query {cells}")
            ours_q = query_s["kestrum_py"] / len(qs) * 1e9
            agreement = {p: check_indices(answers["kestrum_py"], answers[p][1], qs) for p in peers}
            print(f"      kestrum_py {ours_q:.0f} ns per query; "
                  + ", ".join(f"{p} index agreement {agreement[p]:.4f}" for p in peers))
            krec = {"k": k, "query_s": query_s,
                    "ns_per_query": {lib: t / len(qs) * 1e9 for lib, t in query_s.items()},
                    "agreement": agreement, "ratio": None, "target": target}
            rec[key].append(krec)
            if not peers:
                continue
            if combined:
                ours = build_s["kestrum_py"] + query_s["kestrum_py"]
                best = min(build_s[p] + query_s[p] for p in peers)
                krec["ratio"] = ours / best
                verdict(f"{name} k={k}{label} build+query vs fastest peer", ours / best, target)
            else:
                krec["ratio"] = query_s["kestrum_py"] / min(query_s[p] for p in peers)
                verdict(f"{name} k={k}{label} query vs fastest peer", krec["ratio"], target)
    return built


def radius_case(points, queries, repeats):
    """within_many against cKDTree.query_ball_point (no target: printed for the record)."""
    if cKDTree is None:
        return
    r = (15.6 / (4.0 / 3.0 * np.pi * len(points))) ** (1 / 3)  # about 15.6 neighbours in the unit cube
    print(f"\nradius {r:.4g} (about 15.6 neighbours), {len(points):,} points, {len(queries):,} queries  [{load()}]")
    ours, ck = kp.KdTree(points), cKDTree(points)
    t_ours = t_ck = float("inf")
    for _ in range(repeats):
        t_ours = min(t_ours, best_of(1, lambda: ours.within_many(queries, r))[0])
        t_ck = min(t_ck, best_of(1, lambda: ck.query_ball_point(queries, r, workers=-1))[0])
    RECORD["radius"] = {"radius": r, "kestrum_py_s": t_ours, "cKDTree_s": t_ck, "ratio": t_ours / t_ck}
    print(f"  kestrum_py {t_ours * 1e3:.1f} ms, cKDTree {t_ck * 1e3:.1f} ms: ratio {t_ours / t_ck:.3f} (no target)")


def counters():
    """Instructions per query from perf, or why there are none."""
    try:
        out = subprocess.run(["perf", "stat", "-x,", "-e", "instructions", "true"], capture_output=True, text=True,
                             timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, f"perf unavailable ({e.__class__.__name__})"
    line = next((ln for ln in out.stderr.splitlines() if "instructions" in ln), "")
    if not line or line.split(",")[0].strip() in ("<not supported>", "<not counted>", ""):
        return None, "perf cannot count instructions on this machine (no hardware counters)"
    return True, None


def instructions_per_query(n, k):
    """perf stat of a child answering n queries at n points, minus the same child that only builds."""
    code = ("import sys, numpy as np, kestrum_py as kp; n, k, ask = map(int, sys.argv[1:]); "
            "rng = np.random.default_rng(4); t = kp.KdTree(rng.random((n, 3))); q = rng.random((n, 3)); "
            "ask and t.nearest_many(q, k)")
    counts = []
    for ask in (0, 1):
        out = subprocess.run(["perf", "stat", "-x,", "-e", "instructions", sys.executable, "-c", code, str(n),
                              str(k), str(ask)], capture_output=True, text=True, check=True)
        counts.append(int(next(ln for ln in out.stderr.splitlines() if "instructions" in ln).split(",")[0]))
    return (counts[1] - counts[0]) / n


def sphere(n, rng):
    lat = np.arcsin(rng.uniform(-1.0, 1.0, n))
    lon = rng.uniform(-np.pi, np.pi, n)
    return np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])


BLOBS = np.random.default_rng(64)
CENTRES, SCALES = BLOBS.uniform(-100.0, 100.0, (64, 3)), BLOBS.uniform(0.05, 3.0, 64)


def blobs(n, rng):
    """Gaussian blobs of several sizes; points and queries come from the same blobs."""
    which = rng.integers(0, 64, n)
    return CENTRES[which] + rng.normal(size=(n, 3)) * SCALES[which, None]


def single_query(points, repeats):
    print(f"\nsingle nearest at {len(points):,} points  [{load()}]")
    tree = kp.KdTree(points)
    rng = np.random.default_rng(9)
    qs = rng.random((2000, 3))
    vs = [kp.Vec3d(*q) for q in qs]
    nearest = tree.nearest
    t_ours, _ = best_of(repeats, lambda: [nearest(v) for v in vs])
    ours_ns = t_ours / len(vs) * 1e9
    print(f"  kestrum_py tree.nearest(Vec3d): {ours_ns:.0f} ns per call")
    RECORD["single"] = {"points": len(points), "load": list(os.getloadavg()), "ns_per_call": {"kestrum_py": ours_ns}}
    if cKDTree is not None:
        ck = cKDTree(points)
        t_ck, _ = best_of(repeats, lambda: [ck.query(q) for q in qs[:500]])
        ck_ns = t_ck / 500 * 1e9
        RECORD["single"]["ns_per_call"]["cKDTree"] = ck_ns
        print(f"  cKDTree.query(point):           {ck_ns:.0f} ns per call")
        verdict("single nearest vs cKDTree.query(point)", ours_ns / ck_ns, 0.1)
    ok = ours_ns < 1000
    verdicts.append(("single nearest under 1 us", ours_ns / 1000, 1.0, ok))
    RECORD["targets"].append({"label": "single nearest under 1 us", "ratio": ours_ns / 1000, "target": 1.0, "met": ok})
    print(f"  target single nearest under 1 us: {ours_ns:.0f} ns  {'met' if ok else 'MISSED'}")


CHILD = r"""
import json, os, sys, time
import numpy as np
import kestrum_py as kp
def rss():
    with open("/proc/self/status") as f:
        d = dict(l.split(":", 1) for l in f)
    return int(d["VmRSS"].split()[0]) * 1024, int(d["VmHWM"].split()[0]) * 1024
n = int(sys.argv[1])
rng = np.random.default_rng(1)
pts = rng.random((n, 3)); q = rng.random((n, 3))
kp.KdTree(pts[:1000]).nearest_many(q[:1000], 1)  # the pool is up
before, _ = rss()
t = kp.KdTree(pts)
after, peak = rss()
best = min((lambda s: (t.nearest_many(q, 1), time.perf_counter() - s)[1])(time.perf_counter()) for _ in range(3))
print(json.dumps({"tree": (after - before) / n, "peak": (peak - before) / n,
                  "state": len(t.__reduce_ex__(4)[1][2]) / n, "query": best}))
"""


def visits_program(explicit):
    """bench/internals/kdtree_visits.cpp as built by CMake (-DKESTRUM_BUILD_BENCH=ON): `explicit`,
    else the newest build*/kdtree_visits under the checkout."""
    if explicit:
        return explicit
    root = ROOT
    found = [p for pattern in ("build*/kdtree_visits", "build*/*/kdtree_visits") for p in root.glob(pattern)
             if os.access(p, os.X_OK)]
    return str(max(found, key=os.path.getmtime)) if found else None


def child(n, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", CHILD, str(n)], env=env, capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout)


def main():
    ap = cli.parser(__doc__, repeat=3, json_for="read by plots/plot_kdtree.py")
    ap.add_argument("--n", type=int, default=1_000_000, help="points (and queries) of the big clouds")
    ap.add_argument("--big", type=int, default=None, help="points of the second pair of clouds (default 10 n; 0 skips)")
    ap.add_argument("--skip-scaling", action="store_true", help="no child processes for memory and scaling")
    ap.add_argument("--visits", metavar="PATH", help="the kdtree_visits program (default: build*/kdtree_visits)")
    args = ap.parse_args()
    big = 10 * args.n if args.big is None else args.big
    RECORD["meta"] = cli.meta(("numpy", "scipy", "pykdtree", "open3d"), libraries=list(LIBS), n=args.n,
                              repeats=args.repeat, skip_scaling=args.skip_scaling, big=big,
                              build_only=list(BUILD_ONLY))
    print(f"bench_kdtree: {cli.cpu_model()}, {os.cpu_count()} CPUs, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'default')}; libraries: {', '.join(LIBS)}"
          + (f"; builds only: {', '.join(BUILD_ONLY)}" if BUILD_ONLY else ""))
    print("targets (the same on AMD and Intel): build <= 1/2 of the fastest peer; queries <= 1/3 when every "
          "library gets the same Morton-sorted queries; airports build + k=1 <= 1/2")

    rng = np.random.default_rng(2026)
    try:
        import airportsdata
        table = airportsdata.load()
        lat = np.radians([a["lat"] for a in table.values()])
        lon = np.radians([a["lon"] for a in table.values()])
        airports = np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])
        case("airports", airports, sphere(20000, rng), (1, 8), args.repeat, True, 1 / 2, 1 / 2)
    except ImportError:
        print("\nairports: skipped (pip install airportsdata)")

    uniform = rng.random((args.n, 3))
    uniform_q = rng.random((args.n, 3))
    case("uniform", uniform, uniform_q, (1, 16), args.repeat, False, 1 / 2, 1 / 3, 1 / 3)
    clustered = blobs(args.n, rng)
    case("clustered", clustered, blobs(args.n, rng), (1, 16), args.repeat, False, 1 / 2, 1 / 3, 1 / 3)
    radius_case(uniform, uniform_q, args.repeat)
    single_query(uniform, args.repeat)
    if big:
        nq = min(args.n, 1_000_000)
        case(f"uniform {big:.0e}", rng.random((big, 3)), rng.random((nq, 3)), (1, 16), args.repeat, False, 1 / 2,
             None, 1 / 3, unsorted=False)
        case(f"clustered {big:.0e}", blobs(big, rng), blobs(nq, rng), (1, 16), args.repeat, False, 1 / 2, None,
             1 / 3, unsorted=False)

    if not args.skip_scaling:
        print(f"\nmemory and pool scaling at {args.n:,} points (child processes)  [{load()}]")
        one, two = child(args.n, 1), child(args.n, 2)
        print(f"  tree {two['state']:.1f} bytes per point (its block); RSS growth {two['tree']:.1f}, "
              f"build peak {two['peak']:.1f} bytes per point")
        ok = two["state"] <= 40
        verdicts.append(("tree at most 40 bytes per point", two["state"] / 40, 1.0, ok))
        RECORD["targets"].append({"label": "tree at most 40 bytes per point", "ratio": two["state"] / 40,
                                  "target": 1.0, "met": ok})
        RECORD["scaling"] = {"points": args.n, "load": list(os.getloadavg()), "threads_1": one, "threads_2": two}
        print(f"  target at most 40 bytes per point: {'met' if ok else 'MISSED'}")
        print(f"  k=1 query: 1 thread {one['query'] * 1e3:.1f} ms, 2 threads {two['query'] * 1e3:.1f} ms, "
              f"scaling {one['query'] / two['query']:.2f}x")

    program = visits_program(args.visits)
    if program:
        print(f"\nnodes visited per query ({program} {args.n}, same clouds, other seeds)  [{load()}]")
        out = subprocess.run([program, str(args.n)], capture_output=True, text=True, check=True).stdout
        RECORD["visits"] = {"program": program, "points": args.n, "load": list(os.getloadavg()), "rows": []}
        for line in out.splitlines():
            r = json.loads(line)
            RECORD["visits"]["rows"].append(r)
            print(f"  {r['cloud']:<9} k={r['k']:<2} {r['visited_per_query']:7.1f} nodes, "
                  f"{r['ns_per_query']:7.0f} ns per query (C++, no Python)")
    else:
        print("\nnodes visited per query: kdtree_visits not built (cmake -DKESTRUM_BUILD_BENCH=ON)")
    can_count, why = counters()
    if can_count:
        ipq = {k: instructions_per_query(args.n, k) for k in (1, 16)}
        RECORD["instructions_per_query"] = ipq
        print("instructions per query (perf, build subtracted): "
              + ", ".join(f"k={k} {v:.0f}" for k, v in ipq.items()))
    else:
        RECORD["instructions_per_query"] = None
        print(f"instructions per query: not measured: {why}")

    missed = [v for v in verdicts if not v[3]]
    print(f"\n{len(verdicts) - len(missed)} of {len(verdicts)} targets met  [{load()}]")
    for label, ratio, target, _ in missed:
        print(f"  MISSED {label}: {ratio:.3f} (target {target:.3g})")
    if args.json:
        cli.write_json(args.json, RECORD)


if __name__ == "__main__":
    main()
