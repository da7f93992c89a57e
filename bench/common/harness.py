"""Small table-driven timing harness for the per-call benchmarks.

A table has columns (implementations, each with a setup that builds the
namespace its statements run in, or raises ImportError when unavailable) and
rows (one operation, one statement per column that has it). Every cell is
timed with timeit; the repeats of one row are interleaved across its columns
so that a noisy stretch on the machine hits all of them alike, and the minimum
over the repeats is reported, in nanoseconds per call. The numbers include
timeit's loop overhead, which `loop_overhead()` measures for reference.
"""

from __future__ import annotations

import timeit
from dataclasses import dataclass, field
from collections.abc import Callable


@dataclass
class Column:
    name: str
    setup: Callable[[], dict]  # namespace for the statements; ImportError = column absent


@dataclass
class Row:
    label: str
    stmts: dict[str, str]  # column name -> statement


@dataclass
class Table:
    title: str
    columns: list[Column]
    rows: list[Row]
    # (numerator column, denominator column) pairs to print as ratios
    ratios: list[tuple[str, str]] = field(default_factory=list)


def _loops_for(timer: timeit.Timer, target: float) -> int:
    """Smallest power-of-ten-ish loop count whose run takes at least `target` seconds."""
    number = 1
    while True:
        for mult in (1, 2, 5):
            n = number * mult
            if timer.timeit(n) >= target:
                return n
        number *= 10


def ns_per_call(stmt: str, namespace: dict, repeat: int = 5, target: float = 0.02) -> float:
    """Best of `repeat` timings of stmt, in ns per call, each loop at least `target` s."""
    t = timeit.Timer(stmt, globals=namespace)
    t.timeit(3)
    number = 1
    while t.timeit(number) < target:
        number *= 4
    return min(t.repeat(repeat, number)) / number * 1e9


def time_row(row: Row, namespaces: dict[str, dict], repeat: int, target: float) -> dict[str, float]:
    timers = {}
    loops = {}
    for col, stmt in row.stmts.items():
        ns = namespaces.get(col)
        if ns is None:
            continue
        t = timeit.Timer(stmt, globals=ns)
        loops[col] = _loops_for(t, target)
        timers[col] = t
    best = {col: float("inf") for col in timers}
    for _ in range(repeat):
        for col, t in timers.items():
            best[col] = min(best[col], t.timeit(loops[col]) / loops[col])
    return {col: sec * 1e9 for col, sec in best.items()}


def loop_overhead(repeat: int = 15, target: float = 0.05) -> float:
    t = timeit.Timer("pass")
    n = _loops_for(t, target)
    return min(t.timeit(n) / n for _ in range(repeat)) * 1e9


def prepare(columns: list[Column]) -> tuple[dict[str, dict], list[str]]:
    namespaces, notes = {}, []
    for col in columns:
        try:
            namespaces[col.name] = col.setup()
        except ImportError as exc:
            notes.append(f"{col.name}: not available ({exc})")
    return namespaces, notes


def run_table(table: Table, repeat: int = 15, target: float = 0.05) -> list[str]:
    """Times the table and returns its printed lines (also prints them as it goes)."""
    namespaces, notes = prepare(table.columns)
    present = [c.name for c in table.columns if c.name in namespaces]
    ratios = [(a, b) for a, b in table.ratios if a in namespaces and b in namespaces]

    label_w = max(len(r.label) for r in table.rows)
    head = f"{'operation':<{label_w}} " + "".join(f"{c:>10}" for c in present)
    if ratios:
        head += " |" + "".join(f"{a + '/' + b:>14}" for a, b in ratios)
    lines = [f"## {table.title}  (ns per call, min of {repeat})", head, "-" * len(head)]
    for line in lines:
        print(line, flush=True)
    for row in table.rows:
        ns = time_row(row, namespaces, repeat, target)
        cells = "".join(f"{ns[c]:>10.1f}" if c in ns else f"{'—':>10}" for c in present)
        line = f"{row.label:<{label_w}} {cells}"
        if ratios:
            line += " |" + "".join(
                f"{ns[a] / ns[b]:>14.3g}" if a in ns and b in ns else f"{'—':>14}" for a, b in ratios
            )
        lines.append(line)
        print(line, flush=True)
    for note in notes:
        lines.append(f"  ({note})")
        print(lines[-1])
    return lines


def legend(table: Table) -> None:
    """Prints the exact statement timed in every cell."""
    print(f"\nstatements timed in '{table.title}':")
    for row in table.rows:
        print(f"  {row.label}")
        for col, stmt in row.stmts.items():
            print(f"    {col:<8} {stmt}")
