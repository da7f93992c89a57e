"""kestrum_py.dask: joins on a LocalCluster of processes give one tree's answers bit for bit.

Needs the `dask` extra; skips without it unless KESTRUM_REQUIRE_EXAMPLES=1.
"""

import os
import signal
import subprocess
import sys
import time

import pytest

import kestrum_py as kp

if os.environ.get("KESTRUM_REQUIRE_EXAMPLES") != "1":
    pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

from kestrum_py import dask as kd  # noqa: E402


def test_the_submodule_leaves_the_module_as_it_was():
    script = (
        "import sys, pickle, kestrum_py, kestrum_py.dask\n"
        "from kestrum_py import dask as kd\n"
        "assert kd is sys.modules['kestrum_py.dask'] and kd.knn_join\n"
        "assert kestrum_py.KdTree.__module__ == 'builtins' and kestrum_py.KdTree.__qualname__ == 'KdTree'\n"
        "assert pickle.loads(pickle.dumps(kestrum_py.Vec3d(1, 2, 3))).to_array() == [1, 2, 3]\n"
        "sys.modules.pop('kestrum_py.dask'); sys.modules['dask'] = None\n"
        "try:\n"
        "    import kestrum_py.dask\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "pip install 'kestrum_py[dask]'" in out.stdout


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}, silence_logs=50) as cluster, Client(cluster) as c:
        yield c


def point_sets(rng):
    blobs = rng.standard_normal((12, 3)) * 5
    clustered = blobs[rng.integers(0, 12, 900)] + rng.standard_normal((900, 3)) * 0.05
    dup = np.round(rng.standard_normal((700, 3)), 0)  # few distinct points: ties everywhere
    dup[rng.random(700) < 0.9] = dup[0]  # mostly one point: some cells get nothing
    nan = rng.uniform(-1, 1, (600, 3))
    nan[rng.integers(0, 600, 30), rng.integers(0, 3, 30)] = np.nan
    nan[:25] = np.nan  # NaN points first: the first global indices never qualify
    return {"clustered": clustered, "duplicates": dup, "nan": nan}


def queries_for(points, rng):
    ok = points[~np.isnan(points).any(axis=1)]
    return np.concatenate([ok[rng.integers(0, len(ok), 60)],  # on points: exact ties at d2 = 0
                           ok[rng.integers(0, len(ok), 60)] + rng.standard_normal((60, 3)) * 0.3,
                           rng.standard_normal((20, 3)) * 40,  # far out: balls reach every cell
                           [[np.nan, 0, 0], [1e300, 0, 0]]])


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def check_set(points, q, parts, rng, scheduler=None):
    """One set on one layout against one tree: k small, large and beyond any cell; radii."""
    tree = kp.KdTree(points)
    arr = da.from_array(points, chunks=(int(rng.integers(100, 500)), 3))
    with dask.config.set(scheduler=scheduler) if scheduler else dask.config.set({}):
        p = kd.partition(arr, partitions=parts)
        assert p.partitions == parts and p.counts.sum() == len(points)
        qarr = da.from_array(q, chunks=(int(rng.integers(30, 150)), 3))
        ks, radii = (1, 6, int(p.counts.max()) + 3), (0.0, 0.2, 1.5, -1.0)
        # One submission for every join of this layout.
        got = dask.compute([kd.knn_join(p, qarr, k) for k in ks], [kd.within_join(p, qarr, r) for r in radii])
    for k, pair in zip(ks, got[0]):
        want = tree.nearest_many(q, k)
        assert same_bits(pair[0], want[0]) and same_bits(pair[1], want[1]), (parts, k)
    for r, pair in zip(radii, got[1]):
        want = tree.within_many(q, r)
        assert same_bits(pair[0], want[0]) and same_bits(pair[1], want[1]), (parts, r)
    return p


def test_joins_equal_one_tree_for_every_layout(client):
    rng = np.random.default_rng(31)
    empty_cells = 0
    for _name, points in point_sets(rng).items():
        q = queries_for(points, rng)
        for parts in (1, 7):
            p = check_set(points, q, parts, rng)
            empty_cells += int((p.counts == 0).sum())
        check_set(points, q, 4, rng, "sync")  # one process, no cluster
    assert empty_cells > 0, "no layout had an empty cell"


def test_bad_arguments_raise(client):
    p = kd.partition(np.zeros((10, 3)), partitions=2)
    with pytest.raises(ValueError, match="k must be at least 1"):
        kd.knn_join(p, np.zeros((3, 3)), 0)
    with pytest.raises(ValueError, match=r"shape \(n, 3\)"):
        kd.knn_join(p, np.zeros((3, 2)), 1)
    with pytest.raises(ValueError, match="partitions must be at least 1"):
        kd.partition(np.zeros((10, 3)), partitions=0)
    with pytest.raises(TypeError, match="numbers"):
        kd.partition(np.array([["a", "b", "c"]]))
    got = dask.compute(*kd.knn_join(p, np.zeros((0, 3)), 2))
    assert got[0].shape == (0, 2) and got[1].shape == (0, 2)


def test_a_worker_killed_mid_join_changes_nothing(client):
    rng = np.random.default_rng(7)
    points = rng.standard_normal((150_000, 3))
    q = rng.standard_normal((60_000, 3))
    tree = kp.KdTree(points)
    p = kd.partition(da.from_array(points, chunks=(20_000, 3)), partitions=6)
    idx, dist = kd.knn_join(p, da.from_array(q, chunks=(5_000, 3)), 4)
    pids = client.run(os.getpid)
    keys = {c.key for c in p.cells}
    victim = next(pids[w] for w, held in sorted(client.has_what().items()) if keys & set(held))
    futures = client.compute([idx, dist])
    time.sleep(0.5)
    assert not all(f.done() for f in futures), "the join ended before the kill: the test needs more work"
    os.kill(victim, signal.SIGKILL)
    got = client.gather(futures)
    want = tree.nearest_many(q, 4)
    assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
    assert victim not in client.run(os.getpid).values()


def test_candidates_rank_by_squared_distance_where_distances_tie():
    # |A| and |B| both round to 1.0, but A's d2 is 1 + 2**-52 and B's 1: one
    # tree answers B although A has the lower index, so must the join.
    rng = np.random.default_rng(3)
    a, b = [1.0, 2.0**-26, 0.0], [-1.0, 0.0, 0.0]
    points = np.concatenate([[a], rng.uniform(-20, 20, (300, 3)), [b]])
    q = np.zeros((1, 3))
    with dask.config.set(scheduler="sync"):
        p = kd.partition(points, partitions=2)
        assert len(set(p.splits.route(np.array([a, b])).tolist())) == 2
        got = dask.compute(*kd.knn_join(p, q, 2))
    want = kp.KdTree(points).nearest_many(q, 2)
    assert np.asarray(want[0]).tolist() == [[301, 0]] and np.asarray(want[1]).tolist() == [[1.0, 1.0]]
    assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
