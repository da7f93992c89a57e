"""icp against planted transforms, its refusals, and its bits over pool
sizes; examples/register_scans.py run small."""
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrum_py import KdTree, Quat, RigidTransform, VecList, icp

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "register_scans.py"


def corner(rng, n=3000, noise=0.001):
    """Three orthogonal unit squares (floor and two walls) and their normals:
    every motion is pinned down, point to point and point to plane."""
    u = rng.uniform(0, 1, (3, n // 3, 2))
    z = np.zeros(n // 3)
    pts = np.concatenate([np.c_[u[0], z], np.c_[z, u[1]], np.c_[u[2][:, 0], z, u[2][:, 1]]])
    nrm = np.repeat(np.eye(3)[[2, 0, 1]], n // 3, axis=0)
    return pts + rng.normal(scale=noise, size=pts.shape), nrm


def error(found, truth):
    d = found.then(truth.inverse())
    t = d.translation
    return 2 * math.degrees(math.acos(min(1.0, abs(d.rotation.w)))), math.hypot(t.x, t.y, t.z)


@pytest.mark.parametrize("plane", [False, True])
def test_icp_recovers_a_planted_transform(plane):
    rng = np.random.default_rng(5 + plane)
    for _ in range(3):
        target, normals = corner(rng)
        truth = RigidTransform(Quat.from_rotvec(rng.normal(size=3) * 0.03), rng.normal(scale=0.03, size=3))
        # Point to plane copes with a fresh sampling; point to point, whose
        # pairs slide along flat walls, is given the same points, re-noised.
        again = corner(rng)[0] if plane else target + rng.normal(scale=0.001, size=target.shape)
        source = truth.inverse().apply(rng.permutation(again))
        r = icp(source, KdTree(target), 0.2, iterations=60, point_to_plane=plane, target_normals=normals)
        degrees, metres = error(r.transform, truth)
        assert degrees < 0.05 and metres < 1e-3, (degrees, metres, r)
        assert r.converged and 0 < r.iterations < 60 and r.fitness > 0.99 and r.rmse < 0.03
        # Its fitness and rmse are those of brute-force nearest partners
        # under the transform it returns.
        y = np.asarray(r.transform.apply(source))
        d = np.sqrt(((y[:, None, :] - target[None, :, :]) ** 2).sum(-1).min(1))
        near = d <= 0.2
        assert r.fitness == near.mean() and r.rmse == pytest.approx(np.sqrt((d[near] ** 2).mean()), rel=1e-12)
        # The same points given as an array give the same bits.
        again = icp(source, target, 0.2, iterations=60, point_to_plane=plane, target_normals=VecList.from_array(normals))
        assert again.transform == r.transform and again.rmse == r.rmse


def test_icp_exact_pairs_and_limits():
    rng = np.random.default_rng(4)
    target, normals = corner(rng, noise=0.0)
    truth = RigidTransform(Quat.from_rotvec([0.01, -0.02, 0.015]), [0.01, 0.02, -0.01])
    r = icp(truth.inverse().apply(target), target, 0.5)
    assert error(r.transform, truth)[1] < 1e-12 and r.rmse < 1e-12 and r.fitness == 1.0
    r = icp(truth.inverse().apply(target), target, 0.5, iterations=0, init=truth)
    assert r.iterations == 0 and not r.converged and r.transform == truth
    far = icp(target + 10.0, target, 0.5)
    assert far.fitness == 0.0 and math.isnan(far.rmse) and far.iterations == 0
    assert "IcpResult(transform=RigidTransform(" in repr(far) and "converged=False" in repr(far)
    # A flat target leaves point to plane unconstrained: it stops, unconverged.
    flat = np.c_[rng.uniform(0, 1, (500, 2)), np.zeros(500)]
    r = icp(flat, flat, 0.1, point_to_plane=True, target_normals=np.tile([0.0, 0, 1], (500, 1)))
    assert r.iterations == 0 and not r.converged


def test_icp_refusals():
    pts = np.random.default_rng(1).normal(size=(50, 3))
    for kwargs, text in [({"point_to_plane": True}, "needs target_normals"),
                         ({"point_to_plane": True, "target_normals": pts[:10]}, "10 normals for 50"),
                         ({"tolerance": -1.0}, "tolerance")]:
        with pytest.raises(ValueError, match=text):
            icp(pts, pts, 1.0, **kwargs)
    for bad in (0.0, -1.0, math.nan):
        with pytest.raises(ValueError, match="max_distance"):
            icp(pts, pts, bad)
    with pytest.raises(TypeError):
        icp(pts, pts, 1.0, RigidTransform.identity())  # init is keyword-only
    with pytest.raises(TypeError, match="init"):
        icp(pts, pts, 1.0, init=Quat.identity())


ICP_CHILD = r"""
import hashlib, sys, numpy as np, kestrum_py as k
sys.path.insert(0, sys.argv[1])
from test_icp import corner
rng = np.random.default_rng(9)
target, normals = corner(rng, 30000)
truth = k.RigidTransform(k.Quat.from_rotvec([0.02, 0.01, -0.03]), [0.02, -0.01, 0.03])
source = truth.inverse().apply(corner(rng, 30000)[0])
h = hashlib.sha256()
for plane in (False, True):
    r = k.icp(source, target, 0.1, point_to_plane=plane, target_normals=normals)
    h.update(np.asarray(r.transform.as_matrix()).tobytes() + np.array([r.rmse, r.fitness, r.iterations]).tobytes())
print(h.hexdigest())
"""


def test_icp_is_identical_for_every_pool_size():
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    base["PYTHONPATH"] = os.pathsep.join(sys.path)
    digests = set()
    for threads in ("1", "2", "3", "7"):
        proc = subprocess.run([sys.executable, "-c", ICP_CHILD, str(Path(__file__).parent)],
                              env={**base, "RAYON_NUM_THREADS": threads}, capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1 and len(digests.pop()) == 64


def test_register_scans_example_runs_small():
    r = subprocess.run([sys.executable, str(EXAMPLE), "--small"], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    errors = [line.split() for line in r.stdout.splitlines() if "rotation error" in line]
    assert len(errors) == 2
    for words in errors:  # rotation error D deg, translation error M m
        assert float(words[2]) < 0.1 and float(words[6]) < 0.005, words


def test_ctrl_c_stops_icp():
    child = r"""
import signal, time, numpy as np, kestrum_py as k
pts = np.random.default_rng(0).random((20000, 3))
def stop(*_):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, stop)  # the call holds the GIL: no Python thread could send it
signal.setitimer(signal.ITIMER_REAL, 0.5)
t = time.monotonic()
try:
    k.icp(pts, pts + 0.001, 0.1, iterations=10**9, tolerance=0.0)
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - t)
"""
    proc = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 0 and proc.stdout.startswith("interrupted"), proc.stderr
    assert float(proc.stdout.split()[1]) < 30
