"""examples/tour.py, the first thing a newcomer runs, runs clean on this build."""

import subprocess
import sys
from pathlib import Path

TOUR = Path(__file__).resolve().parents[2] / "examples" / "tour.py"


def test_tour_runs_every_section():
    r = subprocess.run([sys.executable, str(TOUR)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    headers = [line for line in r.stdout.splitlines() if line.startswith("== ")]
    assert headers == ["== Vectors", "== Angles", "== Quaternions",
                       "== Rotations: forward kinematics, interpolation, conversions, alignment",
                       "== Vector lists (bulk ops on the worker pool)", "== Many rotations (QuatList)",
                       "== Geometry"]
    assert "skipped" not in r.stdout
    # The outputs that alarm a first-time reader carry their explanation.
    lines = r.stdout.splitlines()
    for surprising in ("Vec3d(-0, -0, -0)", "-2.000000000000001", "Plane.yz().normal"):
        at = next(i for i, line in enumerate(lines) if surprising in line)
        assert lines[at + 1].strip().startswith("# "), lines[at: at + 2]
