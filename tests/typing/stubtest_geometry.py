"""Runs stubtest on the submodules' stubs, the private stub modules
`_geometry` and `_geo`.

At run time the submodules are only attributes of kestrum_py, so no import by
dotted name reaches them. Registering them in sys.modules as
`kestrum_py._geometry` and `kestrum_py._geo` for this process alone lets
stubtest compare the stubs with the real objects. Arguments are stubtest's.
"""

import sys

import kestrum_py
from mypy import stubtest

sys.modules.setdefault("kestrum_py._geometry", kestrum_py.geometry)
sys.modules.setdefault("kestrum_py._geo", kestrum_py.geo)
sys.exit(stubtest.main())
