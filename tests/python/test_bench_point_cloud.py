"""bench_point_cloud.py runs tiny: every case timed, every verdict recorded."""

import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "peers", "bench_point_cloud.py")


def test_benchmark_runs_tiny_and_records_its_verdicts(tmp_path):
    pytest.importorskip("numpy")
    out = tmp_path / "pc.json"
    run = subprocess.run([sys.executable, BENCH, "--n", "2000", "--m", "3000", "--repeat", "1", "--json", str(out)],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    res = json.loads(out.read_text())
    assert res["meta"]["cpu"] and (res["meta"]["n"], res["meta"]["m"]) == (2000, 3000)
    assert [c["name"].split(",")[0] for c in res["cases"]] == ["normals k=16", "distance_to_points", "Plane.fit"]
    assert all(c["seconds"]["kestrum_py"] > 0 for c in res["cases"])
    if "agree" in res["cases"][0]:  # Open3D present: its normals are ours up to sign
        assert res["cases"][0]["agree"] > 0.95
    summary = [ln for ln in run.stdout.splitlines() if "targets met" in ln][-1]
    assert summary.startswith(f"{sum(t['met'] for t in res['targets'])} of {len(res['targets'])} targets met")
