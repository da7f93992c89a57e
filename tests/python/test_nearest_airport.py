"""examples/nearest_airport.py: its geometry, and one process, a Dask LocalCluster and spawned
processes agreeing bit for bit.

Needs the `examples` and `dask` extras; without them the tests skip, unless
KESTRUM_REQUIRE_EXAMPLES=1 (set by tests/run_all.sh), where a missing extra fails.
"""

import importlib
import importlib.util
import math
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "nearest_airport.py"
CLUSTER_BOUND_S = 60


def need(module):
    if os.environ.get("KESTRUM_REQUIRE_EXAMPLES") == "1":
        return importlib.import_module(module)
    return pytest.importorskip(module)


np = need("numpy")
need("airportsdata")
need("tqdm")


@pytest.fixture(scope="module")
def na():
    found = importlib.util.spec_from_file_location("nearest_airport", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_distance_and_bearing_match_known_answers(na):
    import kestrum_py as kp

    airports = np.array([(0.0, 0.0), (0.0, 10.0), (60.0, 0.0), (-30.0, 100.0)])
    queries = np.array([
        (0.0, 1.0),      # due west of airport 0, one degree away
        (1.0, 10.0),     # north of airport 1: bearing south
        (0.0, 9.5),      # west of airport 1: bearing east
        (59.0, 0.0),     # south of airport 2: bearing north
        (90.0, 0.0),     # the pole: its frame comes from the longitude, airport 2 lies south
        (-30.0, 99.0),   # on a parallel: the great circle starts a little south of east
    ])
    result = na.solve_block(kp.KdTree(na.unit_vectors(airports)), na.query_block(queries))
    assert result.shape == (6, 4)
    assert result[:, 0].tolist() == [0, 1, 1, 2, 2, 3]
    degree_km = na.EARTH_RADIUS_KM * math.pi / 180
    expected_km = [degree_km, degree_km, degree_km / 2, degree_km, 30 * degree_km]
    assert result[:5, 2] == pytest.approx(expected_km, rel=1e-9)
    assert result[:5, 3] == pytest.approx([270, 180, 90, 0, 180], abs=1e-9)
    # The textbook spherical formulas agree everywhere, the parallel included.
    km, bearing = na.great_circle_numpy(queries, airports[result[:, 0].astype(int)])
    assert result[:, 2] == pytest.approx(km, rel=1e-9)
    assert result[:, 3] == pytest.approx(bearing, abs=1e-9)
    assert 90 < result[5, 3] < 91


def test_query_csv(na, tmp_path):
    good = tmp_path / "q.csv"
    good.write_text("lat,lon\n51.5,-0.12\n\n-33.9, 151.2\n")
    assert na.read_queries(good).tolist() == [[51.5, -0.12], [-33.9, 151.2]]
    for text, message in [("1,2\nx,3\n", ":2: expected two numbers"),
                          ("1,2,3\n", ":1: expected two numbers"),
                          ("91,0\n", ":1: latitude must lie"),
                          ("lat,lon\n", "no queries")]:
        bad = tmp_path / "bad.csv"
        bad.write_text(text)
        with pytest.raises(SystemExit, match=message):
            na.read_queries(bad)


def session_members(sid):
    """Pids of live processes in session sid (the example and everything it started)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat.rsplit(")", 1)[1].split()
        if fields[0] != "Z" and int(fields[3]) == sid:
            pids.append(int(entry))
    return pids


def run_example(args):
    """Runs the example in a session of its own, bounded in time; no process of it may outlive it."""
    proc = subprocess.Popen([sys.executable, str(EXAMPLE), *args], start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        out, _ = proc.communicate(timeout=CLUSTER_BOUND_S)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        pytest.fail(f"example still running after {CLUSTER_BOUND_S} s:\n{out}")
    # multiprocessing's resource tracker leaves when it sees the pipe close: allow it a moment.
    deadline = time.monotonic() + 10
    while (left := session_members(proc.pid)) and time.monotonic() < deadline:
        time.sleep(0.1)
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left, f"processes outlived the example: {left}\n{out}"
    return proc.returncode, out


def test_dask_cluster_and_spawned_processes_agree_bit_for_bit(tmp_path):
    need("dask.distributed")
    need("matplotlib")
    code, out = run_example(["-n", "400", "--seed", "7", "--chunk", "60", "--no-progress",
                             "--dask", "--workers", "2", "--worker-threads", "1", "--processes", "2",
                             "--partitions", "5",
                             "--save", str(tmp_path / "r.npz"), "--plot", str(tmp_path / "map.png")])
    assert code == 0, out
    assert "Dask results are bit-identical to the single-process run" in out
    assert "ProcessPoolExecutor results are bit-identical to the single-process run" in out
    assert "nearest index and chord bit-identical to the single-process run" in out
    assert re.search(r"speed ratio kestrum_py/numpy: \d+\.\d\dx", out), out  # numpy time / ours
    saved = np.load(tmp_path / "r.npz")
    single = saved["single"]
    assert single.shape == (400, 4)
    for path in ("dask", "processes"):
        assert saved[path].tobytes() == single.tobytes(), path
    assert saved["partitioned_index"].tolist() == single[:, 0].astype(int).tolist()
    assert saved["partitioned_chord"].tobytes() == np.ascontiguousarray(single[:, 1]).tobytes()
    assert saved["numpy_index"].tolist() == single[:, 0].astype(int).tolist()
    assert saved["numpy_chord"].tobytes() == np.ascontiguousarray(single[:, 1]).tobytes()
    # Nearest of ~28,000 airports: never farther than a quarter of the globe.
    assert np.all((single[:, 2] > 0) & (single[:, 2] < 10000))
    assert np.all((single[:, 3] >= 0) & (single[:, 3] < 360))
    assert (tmp_path / "map.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_radius_mode_matches_numpy(tmp_path):
    code, out = run_example(["-n", "300", "--seed", "3", "--no-progress", "--radius", "150",
                             "--save", str(tmp_path / "r.npz")])
    assert code == 0, out
    assert "airports within the radius identical" in out and "bit-identical" in out, out
    saved = np.load(tmp_path / "r.npz")
    offsets, indices = saved["radius_offsets"], saved["radius_indices"]
    assert offsets[0] == 0 and offsets[-1] == len(indices) and len(offsets) == 301
    # The nearest airport is inside the radius exactly when its distance is.
    for r in range(300):
        near = int(saved["single"][r, 0])
        inside = saved["single"][r, 2] <= 150 * (1 - 1e-9)
        if inside:
            assert near in indices[offsets[r]:offsets[r + 1]].tolist()
