"""Time per element against list size for a few VecList operations and their
numpy equivalents, drawn log-log into docs/vec_list_scaling.png.

    python3 -m pip install -r bench/requirements.txt   # numpy, matplotlib
    python3 bench/plot_vec_list.py [--quick] [--blas-default] [--out docs/vec_list_scaling.png]

The statements are those of bench_vec_list.py (same data, same numpy
equivalents); each point is the minimum over interleaved repeats.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _blas_env import drop_openblas_overrides, single_blas_thread  # noqa: E402

drop_openblas_overrides()  # before anything imports numpy
single_blas_thread()

import platform  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
from _harness import Row, time_row  # noqa: E402
from bench_vec_list import OPS, namespaces_for  # noqa: E402

SIZES = [10, 100, 1_000, 10_000, 100_000, 1_000_000]
PLOTTED = ["normalize", "rotate(q)", "cross(p)", "v + p", "dot(p)", "minimum_distance_to(p, 1)"]


def measure(sizes, repeat, target):
    ops = {label: (k, n) for label, k, n, _ in OPS if label in PLOTTED}
    res = {label: {"kestrum": [], "numpy": []} for label in PLOTTED}
    for n in sizes:
        ns = namespaces_for(n)
        for label in PLOTTED:
            k_stmt, np_stmt = ops[label]
            t = time_row(Row(label, {"kestrum": k_stmt, "numpy": np_stmt}), ns, repeat, target)
            for col in ("kestrum", "numpy"):
                res[label][col].append(t[col] / n)
            print(f"n={n:>9,} {label:<26} kestrum {t['kestrum'] / n:9.2f} ns/elem   numpy {t['numpy'] / n:9.2f} ns/elem",
                  flush=True)
    return ops, res


def plot(sizes, ops, res, out, load):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 3, figsize=(13, 8), sharex=True)
    for ax, label in zip(axes.flat, PLOTTED):
        k_stmt, np_stmt = ops[label]
        ax.loglog(sizes, res[label]["kestrum"], "o-", color="tab:blue", lw=2, label=f"kestrum: {k_stmt}")
        ax.loglog(sizes, res[label]["numpy"], "s--", color="tab:orange", lw=2, label="numpy")
        ax.set_title(label, fontsize=12)
        ax.grid(True, which="major", alpha=0.5)
        ax.grid(True, which="minor", alpha=0.15)
        ax.legend(fontsize=9, loc="upper right")
    for ax in axes[-1]:
        ax.set_xlabel("elements in the list")
    for ax in axes[:, 0]:
        ax.set_ylabel("time per element (ns)")
    threads = os.environ.get("RAYON_NUM_THREADS") or f"{os.cpu_count()} (CPU count)"
    fig.suptitle(
        f"VecList vs numpy (n, 3) float64: time per element, lower is better\n"
        f"{platform.machine()}, {os.cpu_count()} CPUs, pool threads {threads}, "
        f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', 'default')}; "
        f"list results (dot) include numpy's .tolist(); load average {load[0]:.1f} before, {load[1]:.1f} after",
        fontsize=12,
    )
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


def main(argv):
    quick = "--quick" in argv
    repeat, target = (3, 0.01) if quick else (15, 0.03)
    out = argv[argv.index("--out") + 1] if "--out" in argv else os.path.join(HERE, "..", "docs", "vec_list_scaling.png")
    # Other processes on the machine delay the pool's wake-ups far more than
    # numpy's single thread, so the load goes into the figure.
    before = os.getloadavg()[0]
    print(f"load average {before:.2f}")
    ops, res = measure(SIZES, repeat, target)
    after = os.getloadavg()[0]
    print(f"load average {after:.2f}")
    plot(SIZES, ops, res, os.path.normpath(out), (before, after))


if __name__ == "__main__":
    main(sys.argv[1:])
