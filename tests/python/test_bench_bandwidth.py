"""The benchmark's floor parsing, floor model and target rules (bench/common/bandwidth.py),
on synthetic figures: a wrong rule here would print a target as met that is not."""

import ast
import json
import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.path[:0] = [BENCH, os.path.join(BENCH, "plots")]
from common import bandwidth as BW  # noqa: E402


def row(kind, regime, where, n, ns, threads=2):
    b = 48 if kind == "copy" else 24
    return {"kind": kind, "regime": regime, "where": where, "threads": threads if where == "pool" else 1, "n": n,
            "bytes_per_element": b, "ns_per_call": ns, "ns_per_element": ns / n, "gbps": b * n / ns if ns else 0.0}


META = {"kind": "meta", "pool_threads": 2, "runnable": 2, "page_size": 4096, "thp": "madvise", "repeat": 3}


def program_text(rows):
    return "\n".join(json.dumps(r) for r in [META, *rows]) + "\n"


class TestParse:
    def test_reads_meta_and_rows(self):
        rows = [row("copy", "warm", "pool", 1000, 500.0), row("read", "warm", "caller", 1000, 200.0)]
        meta, got = BW.parse_floor_output(program_text(rows) + "\n")
        assert meta["pool_threads"] == 2
        assert got == rows

    @pytest.mark.parametrize(
        "text, why",
        [
            (json.dumps(META) + "\n" + '{"kind": "copy", "regime": "warm"', "not JSON"),
            (json.dumps(META) + "\n[1, 2]", "not an object"),
            (program_text([{**row("copy", "warm", "pool", 10, 5.0), "n": 10.5}]), "'n'"),
            (program_text([{**row("copy", "warm", "pool", 10, 5.0), "threads": True}]), "'threads'"),
            (program_text([{k: v for k, v in row("copy", "warm", "pool", 10, 5.0).items() if k != "regime"}]),
             "'regime'"),
            (program_text([row("copy", "warm", "pool", 10, 0.0)]), "positive"),
            (program_text([row("copy", "warm", "pool", 10, float("nan"))]), "positive"),
            (json.dumps(row("copy", "warm", "pool", 10, 5.0)), "no meta"),
            (json.dumps(META), "no rows"),
            (program_text([row("copy", "warm", "pool", 10, 5.0)]) + json.dumps(META), "second meta"),
        ],
    )
    def test_rejects_what_is_not_a_complete_run(self, text, why):
        with pytest.raises(BW.FloorError, match=why):
            BW.parse_floor_output(text)


class TestFloorModel:
    ROWS = [
        row("read", "warm", "pool", 100, 100.0),
        row("copy", "warm", "pool", 100, 300.0),
        row("copy", "fresh", "pool", 100, 1000.0),
        row("read", "warm", "caller", 100, 150.0),
        row("copy", "warm", "caller", 100, 120.0),  # noise: below its own read
    ]

    @pytest.mark.parametrize(
        "rw, regime, where, want",
        [
            ((24, 24), "warm", "pool", 300.0),
            ((24, 8), "warm", "pool", 100.0 + 200.0 / 3),
            ((24, 0), "warm", "pool", 100.0),
            ((24, 0), "fresh", "pool", 100.0),  # nothing written: the regime does not matter
            ((24, 24), "fresh", "pool", 1000.0),
            ((24, 24), "warm", "caller", 150.0),  # writing never costs less than nothing
        ],
    )
    def test_bytes_model(self, rw, regime, where, want):
        assert BW.floor_ns(self.ROWS, 100, *rw, regime, where) == pytest.approx(want)

    def test_missing_rows_give_none(self):
        assert BW.floor_ns(self.ROWS, 100, 24, 24, "fresh-huge", "pool") is None
        assert BW.floor_ns(self.ROWS, 1000, 24, 0) is None


def results_for(k_over_floor, k_over_numpy, speedup, small_ratio):
    """Synthetic results at the target sizes: every op's time is set from the wanted ratios."""
    rows = []
    for n in BW.TARGET_SIZES:
        rows += [row("read", "warm", "pool", n, 1.0 * n), row("copy", "warm", "pool", n, 2.0 * n),
                 row("read", "warm", "caller", n, 1.5 * n), row("copy", "warm", "caller", n, 3.0 * n)]
    ops = []
    for label in BW.BYTES:
        for n in BW.TARGET_SIZES:
            k = k_over_floor.get((label, n), 1.0) * BW.floor_ns(rows, n, *BW.BYTES[label])
            ops.append({"op": label, "n": n, "kestrum_ns": k, "numpy_ns": k / k_over_numpy.get((label, n), 0.4),
                        "numpy_q_ns": None})
    return {
        "floor": {"meta": META, "rows": rows},
        "ops": ops,
        "threads": {"1": {"rotate": 1000.0 * speedup}, "2": {"rotate": 1000.0}},
        "thread_n": 1_000_000,
        "small": [{"op": "v + p", "n": 16, "kestrum_ns": 500.0 * small_ratio, "numpy_ns": 500.0}],
    }


def status_of(targets, start):
    found = [t for t in targets if t["target"].startswith(start)]
    assert len(found) == 1, (start, [t["target"] for t in targets])
    return found[0]["status"], found[0]["value"]


class TestTargets:
    def test_each_rule_against_its_limit(self):
        res = results_for(
            {("v * 2.0", 100_000): 1.25, ("v * 2.0", 1_000_000): 1.26, ("collapse(2)", 10_000_000): 0.9},
            {("v - p", 1_000_000): 1.01, ("normalize", 100_000): 0.5, ("cross(p)", 10_000_000): 0.51,
             ("dot(p)", 10_000_000): 1.2},
            speedup=1.69, small_ratio=1.0,
        )
        t = BW.evaluate_targets(res)
        assert status_of(t, "v * 2.0, n=100,000: kestrum / warm floor") == ("met", pytest.approx(1.25))
        assert status_of(t, "v * 2.0, n=1,000,000: kestrum / warm floor") == ("MISSED", pytest.approx(1.26))
        assert status_of(t, "collapse(2), n=10,000,000: kestrum / warm floor")[0] == "met"
        assert status_of(t, "v - p, n=1,000,000: kestrum / numpy <= 1.0") == ("MISSED", pytest.approx(1.01))
        assert status_of(t, "normalize, n=100,000: kestrum / numpy <= 0.5")[0] == "met"
        assert status_of(t, "cross(p), n=10,000,000: kestrum / numpy <= 0.5")[0] == "MISSED"
        # the all-operations rule at 1e7 covers ops outside the other groups
        assert status_of(t, "dot(p), n=10,000,000: kestrum / numpy <= 1.0")[0] == "MISSED"
        assert status_of(t, "magnitude(), n=10,000,000: kestrum / numpy <= 1.0")[0] == "met"
        assert status_of(t, "rotate, n=1,000,000: time on 1 pool thread / time on 2") == (
            "MISSED", pytest.approx(1.69))
        assert status_of(t, "v + p, 16 elements")[0] == "met"
        counted = BW.format_targets(t)[-1]
        assert counted == (f"targets: {sum(x['status'] == 'met' for x in t)} met, "
                           f"{sum(x['status'] == 'MISSED' for x in t)} missed, 0 not measured")

    def test_floor_is_the_pool_row_not_the_calling_thread(self):
        # kestrum at 1.2x the pool floor is 0.8x the (slower) caller floor: only the pool row counts.
        t = BW.evaluate_targets(results_for({("v + p", 1_000_000): 1.2}, {}, 2.0, 0.5))
        assert status_of(t, "v + p, n=1,000,000: kestrum / warm floor")[1] == pytest.approx(1.2)

    def test_absent_figures_are_not_measured_never_met(self):
        res = results_for({}, {}, 2.0, 0.5)
        res["ops"] = [r for r in res["ops"] if r["n"] != 10_000_000]
        res["floor"] = None
        res["threads"] = res["thread_n"] = None  # as with --no-threads
        res["small"] = []
        t = BW.evaluate_targets(res)
        assert status_of(t, "v * 2.0, n=1,000,000: kestrum / warm floor on all pool threads")[0] == "not measured"
        assert status_of(t, "v * 2.0, n=1,000,000: kestrum / numpy")[0] == "met"
        assert status_of(t, "normalize, n=10,000,000: kestrum / numpy")[0] == "not measured"
        assert status_of(t, "rotate: time on 1 pool thread")[0] == "not measured"
        assert status_of(t, "16-element operations")[0] == "not measured"
        assert status_of(t, "every operation, n=10,000,000")[0] == "not measured"


def test_target_ops_are_benchmarked():
    """Every op the targets and the floor model name is a row of bench_vec_list.OPS
    (read from the source: importing it would start the benchmark's environment
    handling), so a renamed row cannot turn a target into 'not measured' unnoticed."""
    tree = ast.parse(open(os.path.join(BENCH, "peers", "bench_vec_list.py")).read())
    ops = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "OPS" for t in node.targets)
    )
    labels = {op[0] for op in ops}
    assert labels == set(BW.BYTES)
    assert set(BW.BANDWIDTH_OPS) | set(BW.HALF_NUMPY_OPS) <= labels


class TestFindProgram:
    def make(self, path, mtime):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(path, 0o755)
        os.utime(path, (mtime, mtime))

    def test_newest_build_wins_and_missing_explains_the_build(self, tmp_path):
        with pytest.raises(BW.FloorError, match="KESTRUM_BUILD_BENCH=ON"):
            BW.find_floor_program(None, root=str(tmp_path))
        self.make(str(tmp_path / "build-dev" / "bandwidth_floor"), 1_000_000)
        self.make(str(tmp_path / "build-ci" / "cpp" / "bandwidth_floor"), 2_000_000)
        (tmp_path / "other").mkdir()
        self.make(str(tmp_path / "other" / "bandwidth_floor"), 3_000_000)  # not a build dir
        assert BW.find_floor_program(None, root=str(tmp_path)) == str(tmp_path / "build-ci" / "cpp" / "bandwidth_floor")
        with pytest.raises(BW.FloorError, match="--floor"):
            BW.find_floor_program(str(tmp_path / "nope"), root=str(tmp_path))


def test_plot_series():
    """plot_vec_list draws from bench_vec_list's JSON: per-element floors for each op's
    bytes, and no output-regime lines for an op that writes nothing."""
    import plot_vec_list as PL

    res = results_for({}, {}, 2.0, 0.5)
    sizes, k, np_, floors = PL.series(res, "v + p")
    assert sizes == list(BW.TARGET_SIZES)
    assert floors[("warm", "pool")] == [(n, pytest.approx(2.0)) for n in sizes]  # copy warm pool = 2 ns/elem
    assert floors[("warm", "caller")] == [(n, pytest.approx(3.0)) for n in sizes]
    assert ("fresh", "pool") not in floors  # not measured in this result
    _, _, _, floors = PL.series(res, "minimum_distance_to(p, 1)")
    assert set(floors) == {("warm", "pool"), ("warm", "caller")}


def test_plot_draws_from_json(tmp_path):
    pytest.importorskip("matplotlib")
    import plot_vec_list as PL

    res = results_for({}, {}, 2.0, 0.5)
    res["meta"] = {"machine": "x86_64", "cpus": 2, "repeat": 3, "load_start": [0.5], "load_end": [0.6]}
    out = tmp_path / "plot.png"
    PL.plot(json.loads(json.dumps(res)), str(out))  # through JSON, as the file is read
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
