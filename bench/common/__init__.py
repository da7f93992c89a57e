"""What the benchmark scripts share: the timing harness, the command line and
JSON plumbing, the bandwidth floor, the BLAS environment.

A script in bench/<group>/ finds this package with one line, the same in every
script, before importing from it:

    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # bench/, for common

(The plots put the parent of their own directory there instead: the docs
gallery runs them without __file__, from their directory.)
"""

from pathlib import Path

BENCH = Path(__file__).resolve().parents[1]  # bench/
ROOT = BENCH.parent
