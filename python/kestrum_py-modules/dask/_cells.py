"""Spatial cells: a split tree chosen from a sample, and one KdTree per cell.

Each cell keeps its points in ascending global index, so a cell tree's own
tie-break (the lower local index) is the global one, and its answers map to
global indices by one lookup.
"""

import contextlib
import math
import operator

import dask
import dask.array as da
import numpy as np

import kestrum_py as kp

# Cells of about this many points by default: a tree of 2**20 points builds
# in well under a second and weighs ~70 MB with its points and indices.
DEFAULT_CELL_POINTS = 1 << 20
DEFAULT_CHUNK = 1 << 18
# Sample points per cell for choosing the splits.
SAMPLE_PER_CELL = 256
MIN_SAMPLE = 20000


def as_points(x, what, chunk=DEFAULT_CHUNK):
    """An (n, 3) Dask array with one column chunk and known row chunks."""
    if isinstance(x, da.Array):
        arr = x
    else:
        arr = np.asarray(x)
        if arr.dtype.kind not in "fiu":
            raise TypeError(f"{what} must be numbers, not {arr.dtype}")
        arr = da.from_array(arr, chunks=(max(1, chunk), -1))
    if arr.ndim != 2 or arr.shape[1] != 3:
        raise ValueError(f"{what} must have shape (n, 3), not {arr.shape}")
    if arr.dtype.kind not in "fiu":
        raise TypeError(f"{what} must be numbers, not {arr.dtype}")
    arr = arr.rechunk({1: -1})
    if any(math.isnan(c) for c in arr.chunks[0]):
        arr = arr.compute_chunk_sizes()
    return arr


def block_starts(arr):
    return np.concatenate([[0], np.cumsum(arr.chunks[0])]).astype(np.int64)


def as_float64(block):
    return np.ascontiguousarray(block, dtype=np.float64)


# --- the split tree ----------------------------------------------------------------

class Splits:
    """A k-d tree of cut planes chosen from a sample: node arrays, leaves loop on themselves.

    A coordinate below a node's cut goes left; NaN compares false and goes
    right, so every point, NaN ones included, has exactly one cell.
    """

    def __init__(self, sample, parts):
        self.axis, self.cut, self.child, self.cell = [], [], [], []
        self.depth = 0
        self._grow(sample, parts, 0, [0])
        self.axis = np.array(self.axis, np.int64)
        self.cut = np.array(self.cut, np.float64)
        self.child = np.array(self.child, np.int64).reshape(-1, 2)
        self.cell = np.array(self.cell, np.int64)
        self.parts = parts

    def _grow(self, sample, parts, depth, next_cell):
        node = len(self.axis)
        self.axis.append(0)
        self.cut.append(0.0)
        self.child.append([node, node])
        self.cell.append(-1)
        self.depth = max(self.depth, depth)
        if parts == 1:
            self.cell[node] = next_cell[0]
            next_cell[0] += 1
            return node
        left = parts // 2
        if len(sample):
            with np.errstate(invalid="ignore"):
                width = np.nan_to_num(sample.max(axis=0) - sample.min(axis=0), nan=0.0, posinf=np.inf)
            axis = int(np.argmax(width))
            column = np.sort(sample[:, axis])
            cut = float(column[len(column) * left // parts])
            below = sample[:, axis] < cut
        else:
            axis, cut, below = 0, 0.0, np.zeros(0, bool)
        self.axis[node], self.cut[node] = axis, cut
        lo = self._grow(sample[below], left, depth + 1, next_cell)
        hi = self._grow(sample[~below], parts - left, depth + 1, next_cell)
        self.child[node] = [lo, hi]
        return node

    def route(self, q):
        """The cell of each row of q, an (m, 3) float64 array."""
        node = np.zeros(len(q), np.int64)
        rows = np.arange(len(q))
        for _ in range(self.depth):
            below = q[rows, self.axis[node]] < self.cut[node]
            node = np.where(below, self.child[node, 0], self.child[node, 1])
        return self.cell[node]


def box_d2(q, lo, hi):
    """The library's d2 formula over the gaps from each query to a box.

    Rounding is monotone, so this never exceeds the d2 of any point inside;
    a NaN (a query at an infinity the box reaches) means "maybe" to callers.
    """
    with np.errstate(invalid="ignore", over="ignore"):
        g = np.maximum(np.maximum(lo - q, q - hi), 0.0)
        d2 = g[:, 0] * g[:, 0] + g[:, 1] * g[:, 1]
        d2 += g[:, 2] * g[:, 2]
    return d2


# --- cells -------------------------------------------------------------------------

class Cell:
    """One cell's points (float64, ascending global index), their indices and their KdTree."""

    __slots__ = ("points", "index", "tree")

    def __init__(self, points, index):
        self.points, self.index = points, index
        self.tree = kp.KdTree(points)

    @classmethod
    def build(cls, *pieces):
        if pieces:
            points = np.concatenate([p for p, _ in pieces]) if len(pieces) > 1 else pieces[0][0]
            index = np.concatenate([i for _, i in pieces]) if len(pieces) > 1 else pieces[0][1]
        else:
            points, index = np.empty((0, 3)), np.empty(0, np.int64)
        return cls(np.ascontiguousarray(points), index)

    def __sizeof__(self):
        # What Dask weighs when it places work: the tree is one block of at
        # most 34 bytes a point (see the spatial index guide).
        return int(self.points.nbytes + self.index.nbytes + 34 * len(self.index) + 80)

    def summary(self):
        """(points, points without NaN, box lo, box hi) over the points without NaN."""
        ok = ~np.isnan(self.points).any(axis=1)
        live = self.points[ok]
        if len(live):
            return len(self.index), len(live), live.min(axis=0), live.max(axis=0)
        return len(self.index), 0, np.full(3, np.inf), np.full(3, -np.inf)

    def nearest(self, q, k, n_total):
        """The tree's k nearest as (global index, d2, distance), each (m, k); padding (n_total, inf, inf).

        d2 is formed as the tree forms it, ((dx*dx + dy*dy) + dz*dz), so
        merging by (d2, global index) orders as one tree of all points does.
        """
        m, n = len(q), len(self.index)
        if m == 0 or n == 0:
            full = np.full((m, k), np.inf)
            return np.full((m, k), n_total, np.int64), full, full.copy()
        local, dist = self.tree.nearest_many(q, k)
        local, dist = np.asarray(local), np.asarray(dist)
        valid = local < n
        at = np.where(valid, local, 0)
        g = np.where(valid, self.index[at], n_total)
        p = self.points[at]
        dx = q[:, None, 0] - p[..., 0]
        dy = q[:, None, 1] - p[..., 1]
        dz = q[:, None, 2] - p[..., 2]
        with np.errstate(invalid="ignore", over="ignore"):
            d2 = dx * dx + dy * dy
            d2 += dz * dz
        d2[~valid] = np.inf
        return g, d2, np.array(dist)

    def within(self, q, radius):
        """(counts per query, global indices ascending per query) of within_many."""
        if len(q) == 0 or len(self.index) == 0:
            return np.zeros(len(q), np.int64), np.empty(0, np.int64)
        offsets, found = self.tree.within_many(q, radius)
        return np.diff(np.asarray(offsets)), self.index[np.asarray(found)]


def distributed_client():
    """The distributed Client that dask.compute would use now, or None."""
    try:
        from distributed import get_client

        client = get_client()
    except (ImportError, ValueError):
        return None
    return client if dask.config.get("scheduler", None) in (None, "dask.distributed", client.get) else None


def on_worker(address):
    """Runs the tasks made inside on `address` while it lives (a loose restriction)."""
    return dask.annotate(workers=[address], allow_other_workers=True) if address else contextlib.nullcontext()


def _sample(block, start, stride):
    """Rows at global positions divisible by stride, without NaN."""
    first = (-start) % stride
    s = as_float64(block[first::stride])
    return s[~np.isnan(s).any(axis=1)]


def _split(block, start, splits):
    """The rows of one input block grouped by cell, with their global indices."""
    pts = as_float64(block)
    cell = splits.route(pts)
    order = np.argsort(cell, kind="stable")
    bounds = np.searchsorted(cell[order], np.arange(splits.parts + 1))
    index = np.arange(start, start + len(pts), dtype=np.int64)
    return tuple((pts[order[a:b]], index[order[a:b]]) for a, b in zip(bounds[:-1], bounds[1:]))


def _summary(cell):
    return cell.summary()


class Partitioned:
    """A point set spread over spatial cells, each with its KdTree on a worker.

    `cells` are Dask delayed values (persisted); `lo`/`hi` are the cells'
    (P, 3) bounding boxes over their points without NaN, `counts` their
    sizes, `live` whether a cell holds any point that can qualify.
    """

    def __init__(self, cells, splits, n, counts, live_counts, lo, hi):
        self.cells, self.splits, self.n = cells, splits, n
        self.counts, self.live_counts = counts, live_counts
        self.lo, self.hi = lo, hi
        self.live = live_counts > 0

    @property
    def partitions(self):
        return len(self.cells)

    def __len__(self):
        return self.n

    def __repr__(self):
        return f"Partitioned({self.n} points in {self.partitions} cells)"


def partition(points, *, partitions=None):
    """Spreads `points` ((n, 3): Dask array, VecList or numpy) over spatial cells of about equal size.

    By default a cell holds about 2**20 points, and every worker of a
    distributed Client gets a cell. The cells' cut planes come from a sample; each input block is split by
    cell where it lives, each cell gathers its pieces (in global order) and
    builds its KdTree there, and the result is persisted. Points with a NaN
    coordinate are kept with their global index (they never qualify).
    """
    arr = as_points(points, "points")
    n = int(arr.shape[0])
    client = distributed_client()
    workers = sorted(client.scheduler_info(n_workers=-1)["workers"]) if client else []
    if partitions is None:
        partitions = max(1, -(-n // DEFAULT_CELL_POINTS), min(len(workers), n))
    partitions = operator.index(partitions)
    if partitions < 1:
        raise ValueError("partitions must be at least 1")
    starts = block_starts(arr)
    blocks = arr.to_delayed().ravel()
    stride = max(1, n // max(MIN_SAMPLE, SAMPLE_PER_CELL * partitions))
    samples = dask.compute(*[dask.delayed(_sample)(b, s, stride) for b, s in zip(blocks, starts)])
    sample = np.concatenate(samples) if samples else np.empty((0, 3))
    splits = Splits(sample, partitions)
    pieces = [dask.delayed(_split, nout=partitions)(b, s, splits) for b, s in zip(blocks, starts)]
    # Indexed outside the placement below: a piece is cut where its block was split.
    shares = [[p[j] for p in pieces] for j in range(partitions)]
    cells = []
    for j in range(partitions):
        # Cells dealt round the workers, so each holds about the same share.
        with on_worker(workers[j % len(workers)] if workers else None):
            cells.append(dask.delayed(Cell.build)(*shares[j]))
    # Unoptimised: fusing the graph would drop the placement.
    cells = list(dask.persist(*cells, optimize_graph=False))
    summaries = dask.compute(*[dask.delayed(_summary)(c) for c in cells])
    counts = np.array([s[0] for s in summaries], np.int64)
    live = np.array([s[1] for s in summaries], np.int64)
    lo = np.array([s[2] for s in summaries], np.float64).reshape(-1, 3)
    hi = np.array([s[3] for s in summaries], np.float64).reshape(-1, 3)
    return Partitioned(cells, splits, n, counts, live, lo, hi)
