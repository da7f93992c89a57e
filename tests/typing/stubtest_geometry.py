"""Runs stubtest with kestrum_py.geometry reachable under its dotted name.

The submodule is only an attribute of kestrum_py, so a plain stubtest run
cannot import `kestrum_py.geometry` and skips every check of geometry.pyi.
Registering the attribute in sys.modules for this process alone lets stubtest
compare the geometry stub with the real objects. Arguments are stubtest's.
"""

import sys

import kestrum_py
from mypy import stubtest

sys.modules.setdefault("kestrum_py.geometry", kestrum_py.geometry)
sys.exit(stubtest.main())
