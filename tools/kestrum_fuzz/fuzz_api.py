#!/usr/bin/env python3
"""Randomised robustness fuzzer for the kestrum_py extension.

Every binding row the extension exports (tools/stub_rows.py) is a target:
constructors, methods, static methods, properties, protocol slots and module
functions, with classes that only show up as results (the list iterators)
joining when they first appear. Each is called with random arguments: values
of its parameters' own kinds, read from the rows' types, and wrong types,
wrong counts, duplicate and unknown keywords, extreme ints and floats, numpy
scalars, containers, and hostile objects whose conversion hooks raise or call
back into the library. Interpreter operators (+, ==, len, pickle, ...) are
applied to instances too.

A call may end in a result, an error its row declares (the row's `raises`),
one of the frame's standard argument errors, or the very exception a hostile
argument raised; see kestrum_fuzz/oracle.py and kestrum_fuzz/fuzzer.py for
the checks after each call. Anything else is a finding, as are crashes, hangs
and sanitizer reports.

    python tools/kestrum_fuzz/fuzz_api.py --calls 1000000 [--seed S] [--jobs 2]
    python -m kestrum_fuzz --calls 1000000      (tools/ on PYTHONPATH)

The calls run in batches, each in a child process. `--in-process --seed S
--calls N` replays one batch in the current process. Under an ASan build, run
it with the sanitizer runtime preloaded as tests/run_all.sh does.
Exit status: 0 when nothing was found, 1 on a finding, 2 on a usage error.

The parts, one job each: catalogue (targets from the rows), values (a value
per parameter kind), hostile (misbehaving arguments), planner (one call),
oracle (allowed outcomes), fuzzer (running and checking), report, cli.
"""

import os
import sys

if __package__ in (None, ""):  # run as a script: tools/ holds the package and stub_rows
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from kestrum_fuzz.cli import main, run_batches  # noqa: E402
from kestrum_fuzz.fuzzer import Fuzzer  # noqa: E402
from kestrum_fuzz.report import format_report, merge  # noqa: E402

__all__ = ["Fuzzer", "format_report", "main", "merge", "run_batches"]

if __name__ == "__main__":
    sys.exit(main())
