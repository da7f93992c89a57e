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


def single_blas_thread() -> None:
    """numpy's matrix products (rotate, dot) run on OpenBLAS's own threads,
    which busy-wait between calls and fight this library's pool for the same
    cores: with both in one process `a @ m` varied forty-fold between runs.
    Every other numpy operation benchmarked is single-threaded anyway, so BLAS
    gets one thread too unless the caller chose otherwise (--blas-default
    keeps OpenBLAS's own default). Read when numpy loads."""
    if "OPENBLAS_NUM_THREADS" not in os.environ and "--blas-default" not in sys.argv:
        os.environ["OPENBLAS_NUM_THREADS"] = "1"
