"""KdTree against scipy's cKDTree and pykdtree
===========================================

Build and query times of the three trees on the same points and queries, and
the time of one query, drawn into docs/kdtree_bench.png::

    python3 -m pip install -r bench/requirements.txt   # numpy, scipy, pykdtree, matplotlib
    python3 bench/plots/plot_kdtree.py [--from results.json] [--n 1000000] [--repeats 3]
                                       [--out docs/kdtree_bench.png]

With --from, the figures of an earlier `bench_kdtree.py --json FILE` run are
drawn. Without it, bench_kdtree.py runs first (at --n points, without its
child processes for memory and pool scaling) and writes the JSON beside the
plot. The cases, seeds and repeats are those of bench_kdtree.py; each bar is
the best of its repeats, and the label over a group is kestrum_py's time over
the faster peer's (below 1: faster), with the target it is held to.
"""

import json
import os
import subprocess
import sys

# The docs gallery runs this file without __file__, from its own directory.
HERE = os.path.dirname(os.path.abspath(globals().get("__file__", "plot_kdtree.py")))
sys.path.insert(0, os.path.dirname(HERE))  # bench/, for common
from common import ROOT, cli  # noqa: E402

COLOURS = {"kestrum_py": "tab:blue", "cKDTree": "tab:orange", "pykdtree": "tab:green"}


def series(case):
    """(group labels, {library: [ms per group]}, [(ratio, target) or None per group]) of one case.

    The groups are the build and one query batch per k; a case timed as build
    plus query (the airports) carries its ratio on the query groups."""
    libs = list(case["build_s"])
    groups = ["build"] + [f"query k={kr['k']}" for kr in case["k"]]
    ms = {lib: [case["build_s"][lib] * 1e3] + [kr["query_s"][lib] * 1e3 for kr in case["k"]] for lib in libs}
    build = None if case.get("build_ratio") is None else (case["build_ratio"], case["build_target"])
    ratios = [build] + [None if kr["ratio"] is None else (kr["ratio"], kr["target"]) for kr in case["k"]]
    return groups, ms, ratios


def single_series(results):
    """(labels, {library: [ns]}) for one query: each case's batch per query, then one nearest() call."""
    labels, ns = [], {}
    for case in results["cases"]:
        for kr in case["k"]:
            labels.append(f"{case['name']}\nk={kr['k']} batch")
            for lib, v in kr["ns_per_query"].items():
                ns.setdefault(lib, []).append(v)
    single = results.get("single")
    if single:
        labels.append(f"one call\n{single['points']:,} pts")
        for lib in ns:
            ns[lib].append(single["ns_per_call"].get(lib))
    return labels, ns


def bars(ax, groups, values, log_label):
    libs = list(values)
    width = 0.8 / max(len(libs), 1)
    for i, lib in enumerate(libs):
        xs = [g + (i - (len(libs) - 1) / 2) * width for g in range(len(groups))]
        pts = [(x, v) for x, v in zip(xs, values[lib]) if v is not None]
        if pts:
            ax.bar(*zip(*pts), width, color=COLOURS.get(lib, "0.5"), label=lib)
    ax.set_yscale("log")
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels(groups, fontsize=8)
    ax.set_ylabel(log_label)
    ax.grid(True, axis="y", which="major", alpha=0.5)
    ax.grid(True, axis="y", which="minor", alpha=0.15)


def plot(results, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = results["cases"]
    rows = (len(cases) + 2) // 2
    fig, axes = plt.subplots(rows, 2, figsize=(14, 5.2 * rows), squeeze=False)
    axes = list(axes.flat)
    for ax in axes[len(cases) + 1:]:
        ax.set_visible(False)
    for ax, case in zip(axes, cases):
        groups, ms, ratios = series(case)
        bars(ax, groups, ms, "time (ms), best of the repeats")
        top = max(v for vs in ms.values() for v in vs)
        for g, r in enumerate(ratios):
            if r is not None:
                ratio, target = r
                what = "build+query" if case["combined"] and g else ""
                ax.annotate(f"{ratio:.2f}x {what}\n(target {target:.2f}: {'met' if ratio <= target else 'MISSED'})",
                            (g, top * 1.6), ha="center", fontsize=7)
        ax.set_ylim(top=top * 6)
        ax.set_title(f"{case['name']}: {case['points']:,} points, {case['queries']:,} queries\n"
                     f"load average {case['load'][0]:.1f}", fontsize=10)
        ax.legend(fontsize=8, loc="upper left")
    last = axes[len(cases)]
    labels, ns = single_series(results)
    bars(last, labels, ns, "ns per query")
    last.set_ylim(top=max(v for vs in ns.values() for v in vs if v is not None) * 3)
    last.set_title("time of one query: in a batch, and one nearest() call", fontsize=10)
    last.legend(fontsize=8, loc="upper left")
    meta = results["meta"]
    v = meta.get("versions") or {}
    fig.suptitle(
        "KdTree vs scipy cKDTree (workers=-1) vs pykdtree: lower is better; label: kestrum_py / faster peer\n"
        f"{meta['cpu']}, {meta['cpus']} CPUs, pool threads {meta.get('rayon_num_threads') or 'default'}; "
        f"big clouds n = {meta['n']:,}, best of {meta['repeats']}\nPython {v.get('python')}, numpy {v.get('numpy')}, "
        f"scipy {v.get('scipy')}, pykdtree {v.get('pykdtree')}; load average "
        f"{meta['load_start'][0]:.1f} before, {meta.get('load_end', [float('nan')])[0]:.1f} after (shared machine)",
        fontsize=10,
    )
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out, dpi=100)
    plt.close(fig)
    print(f"wrote {out}")


def main(argv):
    ap = cli.parser(__doc__, repeat=3)
    ap.add_argument("--from", dest="src", metavar="FILE", help="draw this JSON of bench_kdtree.py instead of running it")
    ap.add_argument("--out", default=str(ROOT / "docs" / "kdtree_bench.png"), help="the PNG (default docs/kdtree_bench.png)")
    ap.add_argument("--n", type=int, default=1_000_000, help="points of the big clouds when running the benchmark")
    args = ap.parse_args(argv)
    out, src = os.path.normpath(args.out), args.src
    if src is None:
        src = os.path.splitext(out)[0] + ".json"
        os.makedirs(os.path.dirname(src), exist_ok=True)
        subprocess.run([sys.executable, str(ROOT / "bench" / "peers" / "bench_kdtree.py"), "--n", str(args.n),
                        "--repeat", str(args.repeat), "--skip-scaling", "--json", src], check=True)
    with open(src) as f:
        results = json.load(f)
    plot(results, out)


if __name__ == "__main__":
    main(sys.argv[1:])
