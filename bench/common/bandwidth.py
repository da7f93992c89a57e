"""The bandwidth floor beside the VecList benchmark, and the targets read off one run.

Plain Python, no numpy and no kestrum_py, so the parsing and the target rules
are tested on their own (tests/python/test_bench_bandwidth.py).

The floor program (bench/internals/bandwidth_floor.cpp, built by CMake with
-DKESTRUM_BUILD_BENCH=ON) prints JSON lines: one "meta" line, then one row per
(kind, regime, where) and size. `floor_ns` turns its `copy` (read 24 + write 24
bytes per element) and `read` (read 24) rows into the floor of an operation
that reads r and writes w bytes per element:

    t(r, w) = t_read * r / 24 + (t_copy - t_read) * w / 24

that is, reading costs what the read-only loop pays, and writing costs what the
copy loop pays on top of it, both measured at the same size, on the same
threads, the writes into the same output regime.
"""

from __future__ import annotations

import glob
import json
import math
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.path.join("bench", "internals", "bandwidth_floor.cpp")  # relative to ROOT
PROGRAM = "bandwidth_floor"

# Bytes read and written per element by each benchmarked operation, for its floor.
# Results that become a Python list count the 8-byte doubles the loop writes,
# not the float objects built from them afterwards.
BYTES = {
    "v * 2.0": (24, 24),
    "v / 2.0": (24, 24),
    "v + p": (24, 24),
    "v - p": (24, 24),
    "collapse(2)": (24, 24),
    "normalize": (24, 24),
    "cross(p)": (24, 24),
    "rotate(q)": (24, 24),  # computed into a new array that replaces the old one
    "dot(p)": (24, 8),
    "magnitude()": (24, 8),
    "distance_to(p)": (24, 8),
    "minimum_distance_to(p, 1)": (24, 0),
}
BYTES_LEGEND = (
    "bytes per element (read+write) behind the floor ratios: 24+24 for *, /, +, -, collapse, normalize, cross,"
    " rotate (rotate writes a new array that replaces the old); 24+8 for dot, magnitude, distance_to (the doubles"
    " the loop writes; building the Python list of floats from them is not in the floor); 24+0 for"
    " minimum_distance_to (stride 1). Floor of r+w bytes = t_read*r/24 + (t_copy - t_read)*w/24 from the floor"
    " program's rows at the same size, threads and output regime."
)

# The targets, ratios taken in one run.
TARGET_SIZES = (100_000, 1_000_000, 10_000_000)
BANDWIDTH_OPS = ("v * 2.0", "v / 2.0", "v + p", "v - p", "collapse(2)")
FLOOR_LIMIT = 1.25
HALF_NUMPY_OPS = ("normalize", "cross(p)", "rotate(q)", "minimum_distance_to(p, 1)")
HALF_NUMPY_LIMIT = 0.5
SCALING_OP = "rotate"
SCALING_LIMIT = 1.7
ALL_OPS_SIZE = 10_000_000


# --------------------------------------------------------------------------
# The floor program


class FloorError(RuntimeError):
    pass


def build_hint() -> str:
    return (
        "build it with\n"
        "  cmake -S . -B build-bench -DKESTRUM_BUILD_EXTENSION=OFF -DKESTRUM_BUILD_BENCH=ON\n"
        f"  cmake --build build-bench -j2 --target {PROGRAM}\n"
        "(or any build dir configured with -DKESTRUM_BUILD_BENCH=ON), or pass --floor PATH;"
        " --no-floor runs without it"
    )


def find_floor_program(explicit: str | None = None, root: str = ROOT) -> str:
    """The floor program: `explicit` if given, else the newest build*/bandwidth_floor
    (or one directory deeper, e.g. build-ci/cpp) under `root`."""
    if explicit:
        if os.path.isfile(explicit) and os.access(explicit, os.X_OK):
            return explicit
        raise FloorError(f"--floor {explicit}: not an executable file; {build_hint()}")
    found = [
        p
        for pattern in (f"build*/{PROGRAM}", f"build*/*/{PROGRAM}")
        for p in glob.glob(os.path.join(root, pattern))
        if os.path.isfile(p) and os.access(p, os.X_OK)
    ]
    if not found:
        raise FloorError(f"{PROGRAM} not found under {root}/build*/; {build_hint()}")
    return max(found, key=os.path.getmtime)


def stale_note(program: str, root: str = ROOT) -> str | None:
    """A warning when the program is older than its source (a build not redone)."""
    src = os.path.join(root, SOURCE)
    if os.path.exists(src) and os.path.getmtime(program) < os.path.getmtime(src):
        return f"note: {program} is older than {SOURCE}; rebuild it"
    return None


ROW_KEYS = {
    "kind": str,
    "regime": str,
    "where": str,
    "threads": int,
    "n": int,
    "bytes_per_element": int,
    "ns_per_call": (int, float),
    "gbps": (int, float),
}


def parse_floor_output(text: str) -> tuple[dict, list[dict]]:
    """The meta line and the rows of the program's --json output. Anything that is
    not a complete row, a second meta line or a non-positive time is an error, so a
    changed program cannot feed the ratios half-read figures."""
    meta, rows = None, []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            obj = json.loads(line)
        except json.JSONDecodeError as exc:
            raise FloorError(f"floor output line {number} is not JSON: {line!r}") from exc
        if not isinstance(obj, dict):
            raise FloorError(f"floor output line {number} is not an object: {line!r}")
        if obj.get("kind") == "meta":
            if meta is not None:
                raise FloorError(f"floor output line {number}: a second meta line")
            meta = obj
            continue
        for key, typ in ROW_KEYS.items():
            if not isinstance(obj.get(key), typ) or isinstance(obj.get(key), bool):
                raise FloorError(f"floor output line {number}: missing or bad {key!r}: {line!r}")
        if not (obj["ns_per_call"] > 0 and math.isfinite(obj["ns_per_call"])):
            raise FloorError(f"floor output line {number}: ns_per_call must be positive: {line!r}")
        rows.append(obj)
    if meta is None:
        raise FloorError("floor output has no meta line")
    if not rows:
        raise FloorError("floor output has no rows")
    return meta, rows


def run_floor(program: str, sizes, repeat: int, env=None) -> tuple[dict, list[dict]]:
    sizes_arg = ",".join(str(int(n)) for n in sizes)
    proc = subprocess.run(
        [program, "--json", "--sizes", sizes_arg, "--repeat", str(repeat)],
        capture_output=True, text=True, env=env,
    )
    if proc.returncode != 0:
        raise FloorError(f"{program} exited {proc.returncode}: {proc.stderr.strip()}")
    return parse_floor_output(proc.stdout)


def floor_row(rows, kind: str, regime: str, where: str, n: int) -> dict | None:
    for r in rows:
        if r["kind"] == kind and r["regime"] == regime and r["where"] == where and r["n"] == n:
            return r
    return None


def floor_ns(rows, n: int, read: int, write: int, regime: str = "warm", where: str = "pool") -> float | None:
    """Floor time per call of an operation reading `read` and writing `write` bytes
    per element, its writes going into `regime` memory; None if not measured."""
    rd = floor_row(rows, "read", "warm", where, n)
    if rd is None:
        return None
    t = rd["ns_per_call"] * read / 24
    if write:
        cp = floor_row(rows, "copy", regime, where, n)
        if cp is None:
            return None
        # Under noise a copy can time below the read alone; writing never costs less than nothing.
        t += max(cp["ns_per_call"] - rd["ns_per_call"], 0.0) * write / 24
    return t


# --------------------------------------------------------------------------
# Targets


def _op(results, label, n):
    for r in results.get("ops", []):
        if r["op"] == label and r["n"] == n:
            return r
    return None


def fmt_ns(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} us"
    return f"{ns:.0f} ns"


def _target(name, value, limit, at_least=False, detail=""):
    if value is None or not math.isfinite(value):
        status = "not measured"
    elif (value >= limit) if at_least else (value <= limit):
        status = "met"
    else:
        status = "MISSED"
    return {"target": name, "value": value, "limit": limit, "at_least": at_least, "status": status, "detail": detail}


def _vs_numpy(results, label, n, limit, name):
    r = _op(results, label, n)
    if r is None or not r.get("numpy_ns"):
        return _target(name, None, limit)
    return _target(name, r["kestrum_ns"] / r["numpy_ns"], limit,
                   detail=f"kestrum {fmt_ns(r['kestrum_ns'])}, numpy {fmt_ns(r['numpy_ns'])}")


def evaluate_targets(results: dict) -> list[dict]:
    """Every target with its measured figure and met / MISSED / not measured."""
    out = []
    rows = (results.get("floor") or {}).get("rows") or []
    pool_threads = (results.get("floor") or {}).get("meta", {}).get("pool_threads")
    threads = f"{pool_threads} " if pool_threads else ""
    for label in BANDWIDTH_OPS:
        read, write = BYTES[label]
        for n in TARGET_SIZES:
            r = _op(results, label, n)
            fl = floor_ns(rows, n, read, write, "warm", "pool")
            name = f"{label}, n={n:,}: kestrum / warm floor on all {threads}pool threads <= {FLOOR_LIMIT}"
            if r is None or fl is None:
                out.append(_target(name, None, FLOOR_LIMIT))
                continue
            one = floor_ns(rows, n, read, write, "warm", "caller")
            detail = f"kestrum {fmt_ns(r['kestrum_ns'])}, floor {fmt_ns(fl)}"
            if one is not None:
                detail += f" (calling thread alone: {fmt_ns(one)})"
            out.append(_target(name, r["kestrum_ns"] / fl, FLOOR_LIMIT, detail=detail))
        for n in TARGET_SIZES:
            out.append(_vs_numpy(results, label, n, 1.0, f"{label}, n={n:,}: kestrum / numpy <= 1.0"))
    for label in HALF_NUMPY_OPS:
        for n in TARGET_SIZES:
            out.append(_vs_numpy(results, label, n, HALF_NUMPY_LIMIT,
                                 f"{label}, n={n:,}: kestrum / numpy <= {HALF_NUMPY_LIMIT}"))

    sc = results.get("threads") or {}
    tn = results.get("thread_n")
    name = f"{SCALING_OP}, n={tn:,}: time on 1 pool thread / time on 2 >= {SCALING_LIMIT}" if tn else (
        f"{SCALING_OP}: time on 1 pool thread / time on 2 >= {SCALING_LIMIT}")
    t1, t2 = (sc.get("1") or {}).get(SCALING_OP), (sc.get("2") or {}).get(SCALING_OP)
    if t1 and t2:
        out.append(_target(name, t1 / t2, SCALING_LIMIT, at_least=True,
                           detail=f"1 thread {fmt_ns(t1)}, 2 threads {fmt_ns(t2)}"))
    else:
        out.append(_target(name, None, SCALING_LIMIT, at_least=True))

    small = results.get("small") or []
    if not small:
        out.append(_target("16-element operations: kestrum / numpy <= 1.0", None, 1.0))
    for r in small:
        if r.get("n") == 16 and r.get("numpy_ns"):
            out.append(_target(f"{r['op']}, 16 elements: kestrum / numpy <= 1.0", r["kestrum_ns"] / r["numpy_ns"],
                               1.0, detail=f"kestrum {fmt_ns(r['kestrum_ns'])}, numpy {fmt_ns(r['numpy_ns'])}"))

    at = [r for r in results.get("ops", []) if r["n"] == ALL_OPS_SIZE]
    if not at:
        out.append(_target(f"every operation, n={ALL_OPS_SIZE:,}: kestrum / numpy <= 1.0", None, 1.0))
    for r in at:
        out.append(_vs_numpy(results, r["op"], ALL_OPS_SIZE, 1.0, f"{r['op']}, n={ALL_OPS_SIZE:,}: kestrum / numpy <= 1.0"))
    return out


def format_targets(targets: list[dict]) -> list[str]:
    lines = [f"{'status':<13}{'figure':>9}{'limit':>9}  target (measured)"]
    for t in targets:
        fig = f"{t['value']:.2f}x" if t["value"] is not None and math.isfinite(t["value"]) else "—"
        lim = f"{'>=' if t['at_least'] else '<='}{t['limit']:g}x"
        lines.append(f"{t['status']:<13}{fig:>9}{lim:>9}  {t['target']}" + (f"  ({t['detail']})" if t["detail"] else ""))
    counts = {s: sum(t["status"] == s for t in targets) for s in ("met", "MISSED", "not measured")}
    lines.append(f"targets: {counts['met']} met, {counts['MISSED']} missed, {counts['not measured']} not measured")
    return lines
