"""Rotation trajectory
===================

A rigid body spinning about a tilted axis, one small rotation at a time.

The eight corners of a box are one `VecList`. Each step turns the whole list in
place by the same small `Quat` (`VecList.rotate`, one bulk call on the worker
pool); the corners' positions after every step draw their trajectories, circles
about the axis. Two checks run on the way: after the steps that add up to a
full turn the corners are back where they started (within rounding), and a
single rotation by the total angle lands where the steps do::

    python examples/rotation_trajectory.py                  # prints the checks
    python examples/rotation_trajectory.py --plot traj.png  # and draws the paths

Needs numpy and matplotlib (`pip install kestrum_py[examples]`) for the plot.
"""

import argparse
import os
import sys

import numpy as np

import kestrum_py as kp

STEPS = 72  # 5 degrees each


def box():
    corners = [kp.Vec3d(x, y, z) for x in (-1.0, 1.0) for y in (-0.5, 0.5) for z in (-0.25, 0.25)]
    return kp.VecList(corners)


def trajectory(axis, steps):
    """(steps + 1, 8, 3) corner positions: start, then after every step."""
    body = box()
    turn = kp.Quat.from_axis_angle(axis, kp.AngleRadians.two_pi() / steps)
    frames = [np.array(body)]
    for _ in range(steps):
        body.rotate(turn)
        frames.append(np.array(body))
    return np.stack(frames)


def plot(path, frames, axis):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(7, 6), dpi=100)
    ax = fig.add_subplot(projection="3d")
    for c in range(frames.shape[1]):
        ax.plot(frames[:, c, 0], frames[:, c, 1], frames[:, c, 2], lw=1)
    start = frames[0]
    ax.scatter(start[:, 0], start[:, 1], start[:, 2], c="black", s=12, label="corners at the start")
    a = np.array(axis.to_array()) * 1.4
    ax.plot([-a[0], a[0]], [-a[1], a[1]], [-a[2], a[2]], "k--", lw=1, label="rotation axis")
    ax.set_box_aspect((1, 1, 1))
    ax.set_title(f"Box corners turned {len(frames) - 1} times by {360 / (len(frames) - 1):g}° (VecList.rotate)")
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    p = argparse.ArgumentParser(description="A rigid body spinning about a tilted axis, one small rotation at a time.")
    p.add_argument("--plot", metavar="FILE.png", help="draw the trajectories")
    p.add_argument("--steps", type=int, default=STEPS, help=f"steps per full turn (default {STEPS})")
    args = p.parse_args(argv)

    axis = kp.Vec3d(1, 1, 2).normalize()
    frames = trajectory(axis, args.steps)
    drift = float(np.abs(frames[-1] - frames[0]).max())
    print(f"{args.steps} steps of one full turn about {axis}: corners back within {drift:.1e}")

    once = box()
    quarter = args.steps // 4
    once.rotate(kp.Quat.from_axis_angle(axis, kp.AngleRadians.two_pi() / args.steps * quarter))
    gap = float(np.abs(np.array(once) - frames[quarter]).max())
    print(f"one rotation by {quarter} steps' angle vs {quarter} small steps: max difference {gap:.1e}")

    # Distances to the axis never change under a rotation about it.
    radial = [np.linalg.norm(np.cross(f, axis.to_array()), axis=1) for f in frames]
    spread = float(np.ptp(np.array(radial), axis=0).max())
    print(f"distance of every corner to the axis constant within {spread:.1e}")
    if args.plot:
        plot(args.plot, frames, axis)
        print(f"trajectories drawn to {os.path.basename(args.plot)}")
    return 0 if max(drift, gap, spread) < 1e-12 else 1


if __name__ == "__main__":
    status = main()
    if status:  # see nearest_airport.py: exit only on failure
        sys.exit(status)
