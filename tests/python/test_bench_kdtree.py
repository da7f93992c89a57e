"""bench_kdtree.py --json and plot_kdtree.py, which draws the docs' figure from that file:
the plot must read what the benchmark writes, or the recorded figure could not be redrawn."""

import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path.insert(0, os.path.join(BENCH, "plots"))


def test_benchmark_json_is_what_the_plot_draws(tmp_path):
    pytest.importorskip("numpy")
    out = tmp_path / "kd.json"
    run = subprocess.run(
        [sys.executable, os.path.join(BENCH, "peers", "bench_kdtree.py"), "--n", "3000", "--repeats", "1", "--skip-scaling",
         "--json", str(out)],
        capture_output=True, text=True, timeout=600,
    )
    assert run.returncode == 0, run.stderr
    res = json.loads(out.read_text())
    libs = res["meta"]["libraries"]
    assert libs[0] == "kestrum_py" and res["meta"]["n"] == 3000
    big = {c["name"]: c for c in res["cases"] if c["name"] in ("uniform", "clustered")}
    assert set(big) == {"uniform", "clustered"}
    for case in big.values():
        assert (case["points"], case["queries"]) == (3000, 3000)
        assert [kr["k"] for kr in case["k"]] == [1, 16]
        assert all(set(kr["query_s"]) == set(libs) for kr in case["k"])
    # every verdict printed is recorded, and in the same count
    summary = [ln for ln in run.stdout.splitlines() if "targets met" in ln][-1]
    assert summary.startswith(f"{sum(t['met'] for t in res['targets'])} of {len(res['targets'])} targets met")

    pytest.importorskip("matplotlib")
    import plot_kdtree as PK

    groups, ms, ratios = PK.series(big["uniform"])
    assert groups == ["build", "query k=1", "query k=16"]
    assert ms["kestrum_py"][2] == pytest.approx(big["uniform"]["k"][1]["query_s"]["kestrum_py"] * 1e3)
    assert (ratios[0] is None) == (len(libs) == 1)  # no peer, no ratio
    png = tmp_path / "kd.png"
    PK.main(["--from", str(out), "--out", str(png)])
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_single_query_panel_leaves_gaps_for_peers_without_a_figure():
    import plot_kdtree as PK

    case = {"name": "uniform", "points": 10, "queries": 10, "combined": False, "load": [1.0],
            "build_s": {"kestrum_py": 1.0, "cKDTree": 2.0, "pykdtree": 3.0}, "build_ratio": 0.5, "build_target": 0.5,
            "k": [{"k": 1, "query_s": {}, "ns_per_query": {"kestrum_py": 5.0, "cKDTree": 9.0, "pykdtree": 7.0},
                   "ratio": 5 / 7, "target": 1 / 3}]}
    single = {"points": 10, "load": [1.0], "ns_per_call": {"kestrum_py": 800.0, "cKDTree": 9000.0}}
    labels, ns = PK.single_series({"cases": [case], "single": single})
    assert labels == ["uniform\nk=1 batch", "one call\n10 pts"]
    assert ns == {"kestrum_py": [5.0, 800.0], "cKDTree": [9.0, 9000.0], "pykdtree": [7.0, None]}
