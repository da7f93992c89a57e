"""Runs stubtest on the geometry stub, the private stub module `_geometry`.

At run time the submodule is only an attribute of kestrum_py, so no import by
dotted name reaches it. Registering it in sys.modules as
`kestrum_py._geometry` for this process alone lets stubtest compare the stub
with the real objects. Arguments are stubtest's.
"""

import sys

import kestrum_py
from mypy import stubtest

sys.modules.setdefault("kestrum_py._geometry", kestrum_py.geometry)
sys.exit(stubtest.main())
