"""VecList against numpy and the bandwidth floor
==============================================

Time per element against list size for VecList operations, their numpy
equivalents and the memory-bandwidth floor, drawn log-log into
docs/vec_list_scaling.png::

    python3 -m pip install -r bench/requirements.txt   # numpy, matplotlib
    python3 bench/plots/plot_vec_list.py [--from results.json] [--quick] [--sizes 1e2,1e3,...]
                                         [--floor PATH | --no-floor] [--blas-default]
                                         [--out docs/vec_list_scaling.png]

With --from, the figures of an earlier `bench_vec_list.py --json FILE` run are
drawn. Without it, bench_vec_list.py runs first (its throughput tables only, at
--sizes, default 1e2 to 1e7) and writes the JSON beside the plot. The statements,
the floor program and the bytes each operation is charged for are those of
bench_vec_list.py; each point is the minimum over interleaved repeats. The floor
lines are for the operation's bytes, on all pool threads (warm output, fresh
4 KiB pages, fresh 2 MiB-advised pages) and on the calling thread alone (warm).
"""

import json
import os
import subprocess
import sys

# The docs gallery runs this file without __file__, from its own directory.
HERE = os.path.dirname(os.path.abspath(globals().get("__file__", "plot_vec_list.py")))
sys.path.insert(0, os.path.dirname(HERE))  # bench/, for common
from common import ROOT, cli  # noqa: E402
from common import bandwidth as BW  # noqa: E402

PLOTTED = [
    "normalize", "rotate(q)", "cross(p)",
    "v + p", "v * 2.0", "v / 2.0",
    "collapse(2)", "dot(p)", "minimum_distance_to(p, 1)",
]
FLOOR_LINES = [  # regime, where, style, label
    ("warm", "pool", dict(color="0.25", ls="-", lw=1.2, marker="^", ms=4), "floor, warm output"),
    ("fresh", "pool", dict(color="0.45", ls=":", lw=1.4, marker="v", ms=4), "floor, fresh 4 KiB pages"),
    ("fresh-huge", "pool", dict(color="0.6", ls="-.", lw=1.2, marker="d", ms=4), "floor, fresh 2 MiB pages"),
    ("warm", "caller", dict(color="tab:green", ls="-", lw=0.8, alpha=0.6), "floor, warm, calling thread alone"),
]


def series(results, label):
    """(sizes, kestrum ns/elem, numpy ns/elem, {(regime, where): [(n, floor ns/elem)]}) of one operation."""
    recs = sorted((r for r in results["ops"] if r["op"] == label), key=lambda r: r["n"])
    sizes = [r["n"] for r in recs]
    k = [r["kestrum_ns"] / r["n"] for r in recs]
    np_ = [r["numpy_ns"] / r["n"] for r in recs]
    floors = {}
    rows = (results.get("floor") or {}).get("rows") or []
    rd, wr = BW.BYTES[label]
    for regime, where, _, _ in FLOOR_LINES:
        if wr == 0 and regime != "warm":
            continue  # nothing written: the output regime does not apply
        pts = [(n, BW.floor_ns(rows, n, rd, wr, regime, where)) for n in sizes]
        pts = [(n, t / n) for n, t in pts if t is not None]
        if pts:
            floors[(regime, where)] = pts
    return sizes, k, np_, floors


def plot(results, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    stmts = results.get("statements") or {}
    labels = [lb for lb in PLOTTED if any(r["op"] == lb for r in results["ops"])]
    fig, axes = plt.subplots(3, 3, figsize=(15, 12), sharex=True)
    for ax, label in zip(axes.flat, labels):
        sizes, k, np_, floors = series(results, label)
        st = stmts.get(label, {})
        k_stmt, np_stmt = st.get("kestrum", "kestrum"), st.get("numpy", "numpy")
        ax.loglog(sizes, k, "o-", color="tab:blue", lw=2, label=f"kestrum: {k_stmt}")
        ax.loglog(sizes, np_, "s--", color="tab:orange", lw=2, label=f"numpy: {np_stmt}"[:60])
        for regime, where, style, text in FLOOR_LINES:
            if (regime, where) in floors:
                xs, ys = zip(*floors[(regime, where)])
                ax.loglog(xs, ys, **style, label=text)
        rd, wr = BW.BYTES[label]
        ax.set_title(f"{label}   ({rd}+{wr} B/element)", fontsize=11)
        ax.grid(True, which="major", alpha=0.5)
        ax.grid(True, which="minor", alpha=0.15)
        ax.legend(fontsize=7, loc="upper right")
    for ax in axes.flat[len(labels):]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.set_xlabel("elements in the list")
    for ax in axes[:, 0]:
        ax.set_ylabel("time per element (ns)")
    meta = results["meta"]
    fmeta = (results.get("floor") or {}).get("meta") or {}
    threads = fmeta.get("pool_threads", meta.get("rayon_num_threads") or "?")
    la0, la1 = meta.get("load_start", [0]), meta.get("load_end", [0])
    fig.suptitle(
        "VecList vs numpy (n, 3) float64 vs bandwidth floor: time per element, lower is better\n"
        f"{meta['machine']}, {meta['cpus']} CPUs, pool threads {threads}, "
        f"OPENBLAS_NUM_THREADS={meta.get('openblas_num_threads') or 'default'}, THP {fmeta.get('thp', '?')}; "
        f"min of {meta.get('repeat')}; kestrum and numpy on whatever memory their allocators return; "
        f"load average {la0[0]:.1f} before, {la1[0]:.1f} after",
        fontsize=11,
    )
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out, dpi=100)
    print(f"wrote {out}")


def main(argv):
    ap = cli.parser(__doc__, sizes_default="", quick=True, floor=True, blas_threads=True)
    ap.add_argument("--from", dest="src", metavar="FILE", help="draw this JSON of bench_vec_list.py instead of running it")
    ap.add_argument("--out", default=str(ROOT / "docs" / "vec_list_scaling.png"),
                    help="the PNG (default docs/vec_list_scaling.png)")
    args = ap.parse_args(argv)
    out, src = os.path.normpath(args.out), args.src
    if src is None:
        sizes = args.sizes or cli.sizes("1e3,1e5,1e6" if args.quick else "1e2,1e3,1e4,1e5,1e6,1e7")
        src = os.path.splitext(out)[0] + ".json"
        os.makedirs(os.path.dirname(src), exist_ok=True)
        cmd = [sys.executable, str(ROOT / "bench" / "peers" / "bench_vec_list.py"), "--sizes",
               ",".join(map(str, sizes)), "--no-threads", "--no-memory", "--json", src]
        cmd += [flag for flag, on in (("--quick", args.quick), ("--no-floor", args.no_floor),
                                      ("--blas-default", args.blas_default)) if on]
        if args.floor:
            cmd += ["--floor", args.floor]
        subprocess.run(cmd, check=True)
    with open(src) as f:
        results = json.load(f)
    plot(results, out)


if __name__ == "__main__":
    main(sys.argv[1:])
