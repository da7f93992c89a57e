"""Exact k-nearest and radius joins on Dask, for point sets no single process holds.

`partition` spreads a point set over spatial cells, one `KdTree` per cell,
kept where the cell's points live; `knn_join` and `within_join` answer a Dask
array of queries with the bits one machine's `KdTree(all).nearest_many` /
`within_many` would give, whatever the number of workers, cells or chunks.
"""

try:
    import dask  # noqa: F401
    import dask.array  # noqa: F401
    import numpy  # noqa: F401
except ImportError as e:  # an optional extra: the library itself never needs it
    raise ImportError(f"kestrum_py.dask needs Dask and numpy ({e}): "
                      "pip install 'kestrum_py[dask]'") from e

from ._cells import Partitioned, partition
from ._join import knn_join, within_join

__all__ = ["partition", "knn_join", "within_join", "Partitioned"]
