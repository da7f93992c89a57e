"""KdTree against numpy brute force: every index and distance bit for bit.

The oracle evaluates the library's own d2 = (dx*dx + dy*dy) + dz*dz with
numpy's elementwise IEEE operations, orders by (d2, index) and drops NaN
distances; missing neighbours are (len(tree), inf).
"""

import collections
import copy
import itertools
import json
import operator
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import kestrum_py
from kestrum_py import KdTree, Vec3d, VecList

INF = float("inf")


def d2_table(points, queries):
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    q = np.asarray(queries, dtype=np.float64).reshape(-1, 3)
    with np.errstate(all="ignore"):
        dx = q[:, None, 0] - p[None, :, 0]
        dy = q[:, None, 1] - p[None, :, 1]
        dz = q[:, None, 2] - p[None, :, 2]
        return (dx * dx + dy * dy) + dz * dz


def brute_nearest(points, queries, k):
    d2 = d2_table(points, queries)
    n = d2.shape[1]
    idx = np.full((d2.shape[0], k), n, dtype=np.int64)
    dist = np.full((d2.shape[0], k), INF)
    for r, row in enumerate(d2):
        ok = np.nonzero(~np.isnan(row))[0]
        order = ok[np.lexsort((ok, row[ok]))][:k]
        idx[r, :len(order)] = order
        dist[r, :len(order)] = np.sqrt(row[order])
    return idx, dist


def brute_within(points, queries, radius):
    d2 = d2_table(points, queries)
    with np.errstate(invalid="ignore"):
        return [np.nonzero(np.sqrt(row) <= radius)[0] for row in d2]


def same_bits(a, b):
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def check_tree(points, queries, ks=(1, 3, 17), radii=(0.0, 0.05, 0.3)):
    tree = KdTree(points)
    n = len(tree)
    for k in ks:
        idx, dist = tree.nearest_many(queries, k)
        want_idx, want_dist = brute_nearest(points, queries, k)
        assert same_bits(np.asarray(idx), want_idx), k
        assert same_bits(np.asarray(dist), want_dist), k
    one_idx, one_dist = brute_nearest(points, queries, 1)
    for r, q in enumerate(np.asarray(queries, dtype=np.float64).reshape(-1, 3)):
        i, d = tree.nearest(Vec3d(*q))
        assert (i, np.float64(d).tobytes()) == (one_idx[r, 0], one_dist[r, 0].tobytes())
        if i < n:  # the distance is Vec3d.distance_to, bit for bit
            assert np.float64(Vec3d(*q).distance_to(Vec3d(*np.asarray(points)[i]))).tobytes() == \
                np.float64(d).tobytes()
    for radius in radii:
        offsets, indices = tree.within_many(queries, radius)
        offsets, indices = np.asarray(offsets), np.asarray(indices)
        want = brute_within(points, queries, radius)
        assert offsets.tolist() == np.cumsum([0] + [len(w) for w in want]).tolist()
        assert indices.tolist() == [int(i) for w in want for i in w]
        for r, q in enumerate(np.asarray(queries, dtype=np.float64).reshape(-1, 3)[:20]):
            assert np.asarray(tree.within(Vec3d(*q), radius)).tolist() == want[r].tolist()
    return tree


RNG = np.random.default_rng(20261207)


def clouds():
    n = 3000
    uniform = RNG.random((n, 3))
    centres = RNG.random((6, 3)) * 100
    clustered = centres[RNG.integers(0, 6, n)] + RNG.normal(scale=0.01, size=(n, 3))
    dupes = RNG.integers(0, 4, (n, 3)).astype(np.float64)  # 64 distinct points, many ties
    g = np.arange(15, dtype=np.float64)
    grid = np.stack(np.meshgrid(g, g, g, indexing="ij"), -1).reshape(-1, 3) * 0.25
    t = RNG.random(n)
    line = np.stack([t * 3.0, t * -2.0, np.full(n, 7.0)], -1)
    return {"uniform": uniform, "clustered": clustered, "duplicates": dupes, "grid": grid, "line": line}


@pytest.mark.parametrize("kind", ["uniform", "clustered", "duplicates", "grid", "line"])
def test_clouds_match_brute_force(kind):
    pts = clouds()[kind]
    lo, hi = pts.min(0), pts.max(0)
    queries = np.concatenate([pts[RNG.integers(0, len(pts), 150)],  # exact hits and ties
                              lo + (hi - lo + 1.0) * RNG.random((150, 3)) - 0.5])
    check_tree(pts, queries, radii=(0.0, 0.01, 0.26, 1.0))


@pytest.mark.parametrize("n", [2049, 4097, 16385, 32769, 65537])
def test_builds_across_the_split_paths(n):
    # Sizes on either side of where a node's median is found by sampling or
    # among its keys, where levels give way to depth-first subtrees, and
    # where the build goes to the pool; few distinct values on one axis (the
    # band of equal keys) and NaN rows set apart.
    pts = RNG.random((n, 3))
    pts[:, 1] = RNG.integers(0, 5, n) * 0.25
    pts[RNG.integers(0, n, 40), RNG.integers(0, 3, 40)] = np.nan
    pts[: n // 8] = pts[n // 8: n // 4]  # exact duplicates
    queries = np.concatenate([pts[RNG.integers(0, n, 100)], RNG.random((100, 3))])
    tree = KdTree(pts)
    idx, dist = tree.nearest_many(queries, 2)
    want_idx, want_dist = brute_nearest(pts, queries, 2)
    assert same_bits(np.asarray(idx), want_idx) and same_bits(np.asarray(dist), want_dist)
    assert same_bits(np.asarray(tree.points), pts)
    assert bytes(pickle.loads(pickle.dumps(tree, 4)).nearest_many(queries, 2)[0]) == bytes(idx)


def test_degenerate_values_in_points_and_queries():
    special = [np.nan, -np.nan, INF, -INF, 1e200, -1e200, 0.0, -0.0, 5e-324, 1.0]
    pts = RNG.choice(special, (600, 3))
    pts[:200] = RNG.random((200, 3))  # and some ordinary points
    queries = RNG.choice(special, (200, 3))
    queries[:50] = RNG.random((50, 3))
    tree = check_tree(pts, queries, ks=(1, 4, 700), radii=(0.0, 1.0, 1e200, INF, -1.0, np.nan))
    # A NaN query finds nothing, and says so with padding.
    assert tree.nearest(Vec3d(np.nan, 0, 0)) == (600, INF)
    # The points come back bit for bit, NaN payloads and signed zeros included.
    assert same_bits(np.asarray(tree.points), pts)


def test_sizes_padding_and_the_empty_tree():
    pts = RNG.random((10, 3))
    q = RNG.random((7, 3))
    for n in (0, 1, 2, 9, 10):
        check_tree(pts[:n], q, ks=(1, 5, 12), radii=(0.5, INF))
    empty = KdTree([])
    assert len(empty) == 0 and repr(empty) == "KdTree(0 points)"
    assert empty.nearest(Vec3d(1, 2, 3)) == (0, INF)
    idx, dist = empty.nearest_many(q, 2)
    assert np.asarray(idx).tolist() == [[0, 0]] * 7 and np.asarray(dist).tolist() == [[INF, INF]] * 7
    idx, dist = KdTree(pts).nearest_many(np.zeros((0, 3)), 3)
    assert (idx.shape, dist.shape, idx.tolist()) == ((0, 3), (0, 3), [])
    off, ind = KdTree(pts).within_many(np.zeros((0, 3)), 1.0)
    assert off.tolist() == [0] and ind.tolist() == []


def test_radius_boundary_is_the_rounded_distance():
    pts = RNG.random((500, 3))
    tree = KdTree(pts)
    q = Vec3d(0.5, 0.5, 0.5)
    for i in RNG.integers(0, 500, 40):
        d = q.distance_to(Vec3d(*pts[i]))
        assert i in np.asarray(tree.within(q, d)).tolist()
        assert i not in np.asarray(tree.within(q, np.nextafter(d, 0.0))).tolist()
        assert i in np.asarray(tree.within(q, np.nextafter(d, INF))).tolist()
    assert np.asarray(tree.within(q, -0.0)).tolist() == []
    assert np.asarray(tree.within(q, -1e-300)).tolist() == []


def test_inputs_results_and_immutability():
    pts = RNG.random((100, 3))
    # Any input from_array takes, and a VecList; the tree keeps its own copy.
    src = pts.copy()
    trees = [KdTree(src), KdTree(VecList.from_array(pts)), KdTree(pts.tolist()),
             KdTree(np.asfortranarray(pts)), KdTree(pts.astype(np.float32).astype(np.float64))]
    src[:] = 0.0
    q = RNG.random((30, 3))
    want = brute_nearest(pts, q, 2)
    for t in trees[:4]:
        idx, dist = t.nearest_many(q, 2)
        assert same_bits(np.asarray(idx), want[0]) and same_bits(np.asarray(dist), want[1])
    f32 = pts.astype(np.float32)
    assert same_bits(np.asarray(KdTree(f32).points), f32.astype(np.float64))
    assert same_bits(np.asarray(KdTree(f32).nearest_many(f32[::-1], 1)[0]),
                     np.asarray(KdTree(f32).nearest_many(f32.astype(np.float64)[::-1], 1)[0]))
    # Results: read-only, C-contiguous "q"/"d" buffers numpy wraps in place.
    idx, dist = trees[0].nearest_many(q, 3)
    assert (idx.format, dist.format, idx.shape, idx.readonly, idx.c_contiguous) == ("q", "d", (30, 3), True, True)
    a = np.asarray(idx)
    assert a.base is not None and not a.flags.writeable and np.shares_memory(a, np.asarray(idx))
    with pytest.raises(TypeError):
        idx[0, 0] = 1
    assert isinstance(idx.tolist()[0][0], int) and isinstance(dist.tolist()[0][0], float)
    # Immutable: no attribute can be set, and points is a fresh list each time.
    with pytest.raises(AttributeError):
        trees[0].points = VecList.empty()
    p1 = trees[0].points
    p1.append(Vec3d(1, 2, 3))
    assert len(trees[0].points) == 100 and len(trees[0]) == 100
    assert repr(trees[0]) == "KdTree(100 points)"
    assert KdTree.__text_signature__ == "(points)"
    assert kestrum_py.__all__[kestrum_py.__all__.index("geometry") + 1] == "KdTree"


def test_bad_arguments_raise_and_change_nothing():
    tree = KdTree(RNG.random((50, 3)))
    with pytest.raises(ValueError, match="k must be at least 1"):
        tree.nearest_many([[0, 0, 0]], 0)
    with pytest.raises(OverflowError):
        tree.nearest_many([[0, 0, 0]], -1)
    for m, k in ((4, 2 ** 62), (0, 2 ** 63), (0, 2 ** 61)):  # an empty result's shape must fit too
        with pytest.raises(MemoryError):
            tree.nearest_many(np.zeros((m, 3)), k)
    # a k far past the tree whose padded result exceeds the machine's memory
    # and swap is refused at once; filling it would end in the OOM killer
    # (run in a child, so a regression kills the child, not the test run)
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import numpy as np
        from kestrum_py import KdTree
        kib = dict(line.split()[:2] for line in open("/proc/meminfo") if line.startswith(("MemTotal", "SwapTotal")))
        k = (int(kib["MemTotal:"]) + int(kib["SwapTotal:"])) * 1024 // 16 + 1
        try:
            KdTree(np.random.rand(40, 3)).nearest_many([[0.0, 0.0, 0.0]], k)
        except MemoryError:
            print("MemoryError")
        """)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0 and child.stdout.strip() == "MemoryError", (child.returncode, child.stderr[-500:])
    for bad in (np.zeros((4, 2)), np.zeros(4)):
        with pytest.raises(ValueError, match=r"^argument 'points': .*shape \(3,\) or \(n, 3\)"):
            KdTree(bad)
        with pytest.raises(ValueError):
            tree.nearest_many(bad, 1)
    for bad in (np.zeros((4, 3), dtype=np.int64), "abc", 5, [[1, 2, "x"]]):
        with pytest.raises(TypeError):
            KdTree(bad)
        with pytest.raises(TypeError):
            tree.within_many(bad, 1.0)
    with pytest.raises(ValueError, match=r"^argument 'point': expected 3 numbers, got 2"):
        tree.nearest([0, 0])
    with pytest.raises(TypeError):
        KdTree()
    assert len(tree) == 50


# -- pool sizes, pickling, Ctrl-C ---------------------------------------------------

POOL_CHILD = textwrap.dedent(r"""
    import hashlib, pickle, sys
    import numpy as np
    import kestrum_py as kp
    rng = np.random.default_rng(5)
    pts = np.concatenate([rng.random((40000, 3)), rng.normal(size=(30000, 3)) * 1e-3,
                          rng.integers(0, 3, (20000, 3)) * 0.5, [[np.nan, 1, 2]] * 7])
    q = rng.random((70000, 3))  # enough for the batch to be answered in Morton order
    t = kp.KdTree(pts)
    h = hashlib.sha256(pickle.dumps(t, 4))
    for a in t.nearest_many(q, 5) + t.within_many(q, 0.02):
        h.update(bytes(a))
    print(h.hexdigest())
""")


def test_pool_sizes_give_identical_bytes():
    digests = set()
    for threads in ("1", "2", "3", "7"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", POOL_CHILD], env=env, capture_output=True,
                             text=True, timeout=300, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1, digests


def test_big_batches_answer_as_small_ones_and_as_brute_force():
    # From 65536 queries on a tree as large, queries are answered in a
    # locality order: the rows must still be each query's own.
    pts = np.concatenate([RNG.random((60000, 3)), RNG.normal(size=(10000, 3)) * 1e-2 + 0.5])
    q = np.concatenate([RNG.random((69000, 3)), [[np.nan, 0, 0], [INF, 0, 0]] * 500])
    tree = KdTree(pts)
    idx, dist = (np.asarray(a) for a in tree.nearest_many(q, 3))
    parts = [tree.nearest_many(q[s:s + 20000], 3) for s in range(0, len(q), 20000)]
    assert same_bits(idx, np.concatenate([np.asarray(p[0]) for p in parts]))
    assert same_bits(dist, np.concatenate([np.asarray(p[1]) for p in parts]))
    rows = np.concatenate([RNG.integers(0, len(q), 200), [69000, 69001]])
    want_idx, want_dist = brute_nearest(pts, q[rows], 3)
    assert same_bits(idx[rows], want_idx) and same_bits(dist[rows], want_dist)


def test_pickle_copy_and_a_spawned_child():
    pts = np.concatenate([RNG.random((2000, 3)), [[np.nan, 0, 0], [INF, 1, 2]]])
    tree = KdTree(pts)
    q = RNG.random((100, 3))
    want = [bytes(a) for a in tree.nearest_many(q, 4) + tree.within_many(q, 0.1)]

    def answers(t):
        return [bytes(a) for a in t.nearest_many(q, 4) + t.within_many(q, 0.1)]

    for proto in range(2, 6):
        assert answers(pickle.loads(pickle.dumps(tree, proto))) == want
    assert answers(copy.copy(tree)) == want and answers(copy.deepcopy(tree)) == want
    bufs = []
    data = pickle.dumps(tree, 5, buffer_callback=bufs.append)
    assert len(bufs) == 1 and len(data) < 200 and bufs[0].raw().nbytes > 2000 * 24
    assert answers(pickle.loads(data, buffers=bufs)) == want
    # A spawned child (a fresh interpreter) answers the same.
    code = ("import pickle, sys; import kestrum_py, numpy as np; t, q = pickle.load(sys.stdin.buffer); "
            "sys.stdout.write(pickle.dumps([bytes(a) for a in t.nearest_many(q, 4) + t.within_many(q, 0.1)], 4).hex())")
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps((tree, q), 5),
                         capture_output=True, timeout=120, check=True)
    assert pickle.loads(bytes.fromhex(out.stdout.decode())) == want


def test_corrupt_pickled_state_is_refused():
    tree = KdTree(RNG.random((300, 3)))
    good = bytearray(pickle.dumps(tree, 4))
    fn, (cls, version, state) = tree.__reduce_ex__(4)
    assert fn is kestrum_py._unpickle and cls == "KdTree" and version == 1
    words = np.frombuffer(state, dtype=np.uint64).copy()
    pts_at = 3
    cases = {
        "short": state[:-8],
        "count": np.concatenate([[10**12], words[1:]]).tobytes(),
        "depth": np.concatenate([words[:2], [words[2] + 1], words[3:]]).tobytes(),
    }
    swapped = words.view(np.float64).copy()
    swapped[pts_at], swapped[pts_at + 3 * 299] = swapped[pts_at + 3 * 299], swapped[pts_at]
    cases["box"] = swapped.tobytes()
    idx = bytearray(state)
    box_words = 3 * (2 << int(words[2]))
    at = (pts_at + 3 * 300 + box_words) * 8
    idx[at:at + 4] = idx[at + 4:at + 8]  # a repeated index
    cases["index"] = bytes(idx)
    nan = words.view(np.float64).copy()
    nan[pts_at + 1] = np.nan
    cases["nan"] = nan.tobytes()
    for _name, bad in cases.items():
        with pytest.raises(ValueError, match="pickled KdTree state"):
            kestrum_py._unpickle("KdTree", 1, bad)
    assert pickle.loads(bytes(good)).nearest(Vec3d(0, 0, 0)) == tree.nearest(Vec3d(0, 0, 0))


INTERRUPT_CHILD = textwrap.dedent(r"""
    import json, signal, sys, time
    import numpy as np
    import kestrum_py as kp
    signal.signal(signal.SIGINT, signal.default_int_handler)
    which = sys.argv[1]
    rng = np.random.default_rng(3)
    pts = rng.random((2_000_000, 3))
    tree = kp.KdTree(pts[:200_000])
    q = rng.random((1_000_000, 3))
    ops = {"build": lambda: kp.KdTree(pts), "nearest_many": lambda: tree.nearest_many(q, 8),
           "within_many": lambda: tree.within_many(q, 0.02), "count_within": lambda: tree.count_within(q, 0.04),
           "pairs_within": lambda: tree.pairs_within(0.01)}
    t0 = time.monotonic()
    ops[which]()
    full = time.monotonic() - t0
    events = []

    def hook(frame, event, arg):  # methods only: a type call is not reported
        if event in ("c_return", "c_exception") and getattr(arg, "__name__", "") == which:
            events.append(event)

    print(json.dumps({"full": full}), flush=True)
    sys.stdin.readline()
    sys.setprofile(hook)
    t0 = time.monotonic()
    try:
        ops[which]()
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    caught = time.monotonic()
    sys.setprofile(None)
    # No worker is left busy: the pool answers at once, and correctly.
    ok = tree.nearest(kp.Vec3d(*q[0]))[0] == int(np.argmin(((pts[:200_000] - q[0]) ** 2).sum(1)))
    small = tree.nearest_many(q[:1000], 1)
    print(json.dumps({"outcome": outcome, "caught": caught, "ran": caught - t0, "ok": ok,
                      "events": events[-1:]}), flush=True)
""")


@pytest.mark.parametrize("which", ["build", "nearest_many", "within_many", "count_within", "pairs_within"])
def test_sigint_stops_builds_and_batched_queries(which):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPT_CHILD, which],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        full = json.loads(child.stdout.readline())["full"]
        child.stdin.write("\n")
        child.stdin.flush()
        # A build is signalled early, while its biggest nodes are split.
        time.sleep(min(0.02 if which == "build" else 0.1, full / 4))
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    r = json.loads(out)
    assert r["outcome"] == "interrupted", r
    assert r["ok"], r
    # Out of the call itself, before it would have ended on its own. The
    # latency is printed, not asserted: a loaded machine delays any process.
    assert which == "build" or r["events"] == ["c_exception"], r
    assert r["ran"] < full, (r, full)
    # Bounded steps between stop checks: out well before the rest would run
    # (relative, as a loaded machine slows both alike).
    assert which != "build" or r["caught"] - sent < max(0.1, full / 3), (r, full)
    print(which, "stopped", round(r["caught"] - sent, 4), "s after SIGINT; the whole call takes", round(full, 3))


# -- the caller's array rewritten by Python code while a call runs -------------------

def during_the_call(change, f, *args):
    """f(*args), with change() run once by a signal handler at one of the
    call's own signal polls; None when the call polled too late or never.
    The timer ticks all along and the handler acts once armed. Arming, the
    call and keeping its result are one C-level chain, so no Python code runs
    between them, and the handler sees whether the call had returned."""
    armed, done, inside = [], [], []

    def handler(signum, frame):
        if armed:
            armed.clear()
            inside.append(len(done) == 1)  # done[1] is the call's result
            change()

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        chain = itertools.starmap(operator.call, [(armed.append, True), (f, *args)])
        collections.deque(map(done.append, chain), maxlen=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    return done[1] if inside == [True] else None


@pytest.mark.parametrize("which", ["build", "nearest_many", "within_many"])
def test_an_array_rewritten_mid_call_changes_nothing(which):
    # Each row is read once, before the first point where a handler can run,
    # so the result is the one for the array as the call found it: for the
    # tree, the same bytes (a point turned finite mid-build stays NaN and out
    # of every query, and the pickle loads).
    rng = np.random.default_rng(27)
    tree = KdTree(rng.random((1 << 17, 3)))
    call = {"build": lambda a: (KdTree, a), "nearest_many": lambda a: (tree.nearest_many, a[: len(a) // 4], 2),
            "within_many": lambda a: (tree.within_many, a[: len(a) // 4], 0.003)}[which]
    for n in (1 << 20, 1 << 22, 1 << 24):  # until a call lasts past a poll
        arr = rng.random((n, 3))
        arr[[7, 99, n - 1]] = np.nan
        before = arr.copy()

        def change():
            arr[7] = [0.25, 0.5, 0.75]
            arr[11] = np.nan
            arr[12:] += 0.5

        got = during_the_call(change, *call(arr))
        if got is not None:
            break
    assert got is not None, "no signal handler ran inside the call"
    f, *args = call(before)
    if which == "build":
        assert pickle.dumps(got) == pickle.dumps(f(*args))
        assert len(pickle.loads(pickle.dumps(got))) == n
    else:
        assert all(map(same_bits, got, f(*args)))
    # and the helper tells a call that never polls: its handler runs after it
    assert during_the_call(lambda: None, VecList.from_array, arr) is None


FORK_CHILD = textwrap.dedent(r"""
    import hashlib, json, os, pickle, signal, sys, time
    import numpy as np
    import kestrum_py as kp
    which = sys.argv[1]
    rng = np.random.default_rng(4)
    pts = rng.random((1_000_000, 3))
    tree = kp.KdTree(pts[:200_000])
    q = rng.random((1_000_000, 3))
    ops = {"build": lambda: pickle.dumps(kp.KdTree(pts)),
           "nearest_many": lambda: b"".join(map(bytes, tree.nearest_many(q, 8))),
           "within_many": lambda: b"".join(map(bytes, tree.within_many(q, 0.02)))}
    read, write = os.pipe()
    forked = {}

    def fork_here(signum, frame):  # the child returns into the interrupted call
        forked["at"] = time.monotonic()
        forked["pid"] = os.fork()

    signal.signal(signal.SIGALRM, fork_here)
    # Early in the call: a build of a million points now ends in about 0.1 s.
    signal.setitimer(signal.ITIMER_REAL, 0.02 if which == "build" else 0.1)
    t0 = time.monotonic()
    try:
        result, outcome = ops[which](), "returned"
    except RuntimeError as e:
        result, outcome = b"", str(e)
    t1 = time.monotonic()
    if forked["pid"] == 0:  # the child: a call made afresh runs on a pool of its own
        again = hashlib.sha256(ops[which]()).hexdigest()
        os.write(write, json.dumps({"child": outcome, "again": again}).encode())
        os._exit(0)
    deadline = time.monotonic() + 20
    while os.waitpid(forked["pid"], os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(forked["pid"], signal.SIGKILL)
            os.waitpid(forked["pid"], 0)
            sys.exit("the child hung")
        time.sleep(0.05)
    r = json.loads(os.read(read, 1 << 16))
    print(json.dumps({"inside": t0 < forked["at"] < t1, "parent": outcome, "child": r["child"],
                      "same": r["again"] == hashlib.sha256(result).hexdigest()}))
""")


@pytest.mark.parametrize("which", ["build", "nearest_many", "within_many"])
def test_a_child_forked_by_a_signal_handler_mid_call_raises_not_hangs(which):
    run = subprocess.run([sys.executable, "-c", FORK_CHILD, which], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    r = json.loads(run.stdout)
    assert r["inside"] and r["parent"] == "returned" and r["same"], r
    assert "forked during a parallel operation" in r["child"], r
