"""Runs a benchmark without the OpenBLAS overrides some machines here set.

OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE exist for old OpenBLAS builds and slow a
current numpy down. numpy reads them when it loads, so the process re-executes
itself without them before anything imports numpy. Benchmarks only: tests and
CI keep the environment as it is.
"""
import os
import sys

_BLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def drop_openblas_overrides() -> None:
    if any(v in os.environ for v in _BLAS_VARS) and "--keep-blas-env" not in sys.argv:
        for v in _BLAS_VARS:
            os.environ.pop(v, None)
        print(f"note: unset {' and '.join(_BLAS_VARS)} for the numpy columns", flush=True)
        os.execv(sys.executable, [sys.executable, *sys.argv, "--keep-blas-env"])
