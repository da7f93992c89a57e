"""KdTree against scipy's cKDTree (workers=-1) and pykdtree, side by side in one run.

    python3 -m pip install '.[bench]'      # scipy, pykdtree
    python3 bench/peers/bench_kdtree.py [--repeats 3] [--n 1000000] [--skip-scaling] [--json FILE]

Cases: the airports of `airportsdata` (28k unit vectors, 20k queries on the
sphere, k = 1 and 8, build + query), uniform and clustered (Gaussian blobs)
clouds of n points with n queries (k = 1 and 16, build and query apart), and a
single nearest(Vec3d) at n points. Each cell is the best of --repeats runs;
the load average is printed before every case, as the machine is shared.
Ratios are kestrum_py's time over the faster peer's (below 1: faster). Every
target is printed with met or MISSED. Also: nanoseconds per query, the tree's
bytes per point and the build's peak, and the query time on a pool of 1
thread over 2 (child processes, RAYON_NUM_THREADS).

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




def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


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


def case(name, points, queries, ks, repeats, combined, build_target, query_target):
    print(f"\n{name}: {len(points):,} points, {len(queries):,} queries  [{load()}]")
    rec = {"name": name, "points": len(points), "queries": len(queries), "combined": combined,
           "load": list(os.getloadavg()), "build_s": {}, "k": []}
    RECORD["cases"].append(rec)
    built = {}
    build_s = rec["build_s"]
    for lib, (build, _) in LIBS.items():
        build_s[lib], built[lib] = best_of(repeats, lambda: build(points))
    peers = [lib for lib in LIBS if lib != "kestrum_py"]
    for k in ks:
        query_s, answers = {}, {}
        for lib, (_, query) in LIBS.items():
            query_s[lib], answers[lib] = best_of(repeats, lambda: query(built[lib], queries, k))
        cells = "  ".join(f"{lib} build {build_s[lib] * 1e3:8.1f} ms query {query_s[lib] * 1e3:8.1f} ms"
                          for lib in LIBS)
        print(f" k={k:<2} {cells}")
        ours_q = query_s["kestrum_py"] / len(queries) * 1e9
        agreement = {p: check_indices(answers["kestrum_py"], answers[p][1], queries) for p in peers}
        print(f"      kestrum_py {ours_q:.0f} ns per query; "
              + ", ".join(f"{p} index agreement {agreement[p]:.4f}" for p in peers))
        krec = {"k": k, "query_s": query_s, "ns_per_query": {lib: t / len(queries) * 1e9 for lib, t in query_s.items()},
                "agreement": agreement, "ratio": None, "target": query_target}
        rec["k"].append(krec)
        if not peers:
            continue
        if combined:
            ours = build_s["kestrum_py"] + query_s["kestrum_py"]
            best = min(build_s[p] + query_s[p] for p in peers)
            krec["ratio"] = ours / best
            verdict(f"{name} k={k} build+query vs faster peer", ours / best, query_target)
        else:
            best_q = min(query_s[p] for p in peers)
            krec["ratio"] = query_s["kestrum_py"] / best_q
            verdict(f"{name} k={k} query vs faster peer", query_s["kestrum_py"] / best_q, query_target)
    rec["build_ratio"], rec["build_target"] = None, build_target
    if not combined and peers:
        best_b = min(build_s[p] for p in peers)
        rec["build_ratio"] = build_s["kestrum_py"] / best_b
        verdict(f"{name} build vs faster peer", build_s["kestrum_py"] / best_b, build_target)
    return built


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
    ap.add_argument("--skip-scaling", action="store_true", help="no child processes for memory and scaling")
    ap.add_argument("--visits", metavar="PATH", help="the kdtree_visits program (default: build*/kdtree_visits)")
    args = ap.parse_args()
    RECORD["meta"] = cli.meta(("numpy", "scipy", "pykdtree"), libraries=list(LIBS), n=args.n, repeats=args.repeat,
                              skip_scaling=args.skip_scaling)
    print(f"bench_kdtree: {cli.cpu_model()}, {os.cpu_count()} CPUs, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'default')}; libraries: {', '.join(LIBS)}")

    rng = np.random.default_rng(2026)
    try:
        import airportsdata
        table = airportsdata.load()
        lat = np.radians([a["lat"] for a in table.values()])
        lon = np.radians([a["lon"] for a in table.values()])
        airports = np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])
        case("airports", airports, sphere(20000, rng), (1, 8), args.repeat, True, None, 1 / 3)
    except ImportError:
        print("\nairports: skipped (pip install airportsdata)")

    uniform = rng.random((args.n, 3))
    case("uniform", uniform, rng.random((args.n, 3)), (1, 16), args.repeat, False, 1 / 2, 1 / 3)
    clustered = blobs(args.n, rng)
    case("clustered", clustered, blobs(args.n, rng), (1, 16), args.repeat, False, 1 / 2, 1 / 3)
    single_query(uniform, args.repeat)

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

    missed = [v for v in verdicts if not v[3]]
    print(f"\n{len(verdicts) - len(missed)} of {len(verdicts)} targets met  [{load()}]")
    for label, ratio, target, _ in missed:
        print(f"  MISSED {label}: {ratio:.3f} (target {target:.3g})")
    if args.json:
        cli.write_json(args.json, RECORD)


if __name__ == "__main__":
    main()
