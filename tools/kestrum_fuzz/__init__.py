"""The API fuzzer of kestrum_py as an importable tool.

    python -m kestrum_fuzz --calls 1000000 [--seed S] [--jobs 2]    (with tools/ on PYTHONPATH)
    python tools/kestrum_fuzz/fuzz_api.py --calls 1000000            (the same, as a script)

The tests import it as `from kestrum_fuzz import fuzz_api`; pytest puts
tools/ on sys.path (pyproject.toml).
"""
