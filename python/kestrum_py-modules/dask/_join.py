"""knn_join and within_join: each query block is answered cell by cell, then merged.

k nearest, per query block: route each query to its home cell and ask that
cell's tree; the k-th d2 found there bounds the ball that can hold the true
answer, so only the cells whose boxes reach that ball are asked next; the
candidates are merged by (d2, global index), the order one tree of all
points keeps. Radius: the cells whose boxes reach the ball are asked, and
their indices merged in ascending order.
"""

import contextlib
import operator

import dask
import dask.array as da
import numpy as np

from ._cells import DEFAULT_CHUNK, as_float64, as_points, box_d2, distributed_client, on_worker


def futures_of(x):
    from distributed import futures_of as of

    return of(x)


def _pinned(partitioned):
    """Per cell, a context that keeps its tasks on the worker holding it.

    Dask would otherwise move a cell (tens of MB) to an idle worker to run a
    millisecond task there. The restriction is loose: once that worker is
    lost, the rebuilt cell's tasks run wherever it is.
    """
    client = distributed_client()
    futures = [futures_of(c) for c in partitioned.cells] if client else []
    if not futures or not all(len(f) == 1 for f in futures):
        return [contextlib.nullcontext] * partitioned.partitions
    holders = client.who_has([f[0] for f in futures])
    return [lambda w=holders.get(f[0].key): on_worker(w[0] if w else None) for f in futures]  # noqa: B008 - bound now


def _ask_all(partitioned, pinned, fn, pieces, *args, skip_dead=False):
    # Indexed here, outside the pinning: a piece is cut where its tuple was made.
    pieces = [pieces[j] for j in range(partitioned.partitions)]
    out = []
    for j in range(partitioned.partitions):
        if skip_dead and not partitioned.live[j]:
            continue
        with pinned[j]():
            out.append(dask.delayed(fn)(partitioned.cells[j], pieces[j], *args))
    return out


def _rows_by_cell(cell_of_row, q, parts):
    """(rows, queries) per cell for a cell number per row (-1: none)."""
    order = np.argsort(cell_of_row, kind="stable")
    bounds = np.searchsorted(cell_of_row[order], np.arange(parts + 1))
    return tuple((order[a:b], q[order[a:b]]) for a, b in zip(bounds[:-1], bounds[1:]))


def _route_home(block, splits):
    q = as_float64(block)
    return _rows_by_cell(splits.route(q), q, splits.parts)


def _ask_cell(cell, piece, k, n_total):
    rows, q = piece
    return (rows, *cell.nearest(q, k, n_total))


def _plan(block, k, n_total, lo, hi, live, *homes):
    """The best k of the home cells, and per cell the queries whose ball reaches it."""
    q = as_float64(block)
    m, parts = len(q), len(lo)
    best_g = np.full((m, k), n_total, np.int64)
    best_d2 = np.full((m, k), np.inf)
    best_dist = np.full((m, k), np.inf)
    home = np.full(m, -1, np.int64)
    for j, (rows, g, d2, dist) in enumerate(homes):
        best_g[rows], best_d2[rows], best_dist[rows] = g, d2, dist
        home[rows] = j
    kth = best_d2[:, k - 1]
    # A query with a NaN coordinate finds nothing anywhere: its home padding stands.
    askable = ~np.isnan(q).any(axis=1)
    probes = []
    for j in range(parts):
        if not live[j]:
            probes.append((np.empty(0, np.int64), np.empty((0, 3))))
            continue
        # not (box > kth): a NaN bound asks the cell rather than risk missing it.
        rows = np.flatnonzero(askable & (home != j) & ~(box_d2(q, lo[j], hi[j]) > kth))
        probes.append((rows, q[rows]))
    return ((best_g, best_d2, best_dist), *probes)


def _merge(k, best, *asked):
    """Merges each probe's candidates into the best k by (d2, global index)."""
    best_g, best_d2, best_dist = (np.array(a) for a in best)
    for rows, g, d2, dist in asked:
        if len(rows) == 0:
            continue
        cg = np.concatenate([best_g[rows], g], axis=1)
        cd2 = np.concatenate([best_d2[rows], d2], axis=1)
        cdist = np.concatenate([best_dist[rows], dist], axis=1)
        # Each point is in one cell and each cell is asked once per query:
        # no candidate comes twice.
        order = np.lexsort((cg, cd2), axis=-1)[:, :k]
        best_g[rows] = np.take_along_axis(cg, order, axis=1)
        best_d2[rows] = np.take_along_axis(cd2, order, axis=1)
        best_dist[rows] = np.take_along_axis(cdist, order, axis=1)
    return best_g, best_dist


def _check_k(k):
    k = operator.index(k)
    if k < 1:
        raise ValueError("k must be at least 1")
    return k


def knn_join(partitioned, queries, k):
    """(indices, distances), Dask arrays of shape (m, k): for each query its k nearest points.

    Bit for bit `KdTree(all_points).nearest_many(queries, k)`: ties to the
    lower global index, missing neighbours padded with index len(points) and
    distance inf. Queries: a Dask array (m, 3), or a VecList/numpy array.

    On a distributed Client each cell's tasks are pinned to the worker
    holding it; graph optimisation drops that, so compute the result with
    `dask.compute(..., optimize_graph=False)` to keep the cells in place.
    """
    k = _check_k(k)
    qarr = as_points(queries, "queries", DEFAULT_CHUNK)
    pt = partitioned
    parts, n = pt.partitions, pt.n
    idx_blocks, dist_blocks = [], []
    pins = _pinned(pt)
    for block, m in zip(qarr.to_delayed().ravel(), qarr.chunks[0]):
        home = dask.delayed(_route_home, nout=parts)(block, pt.splits)
        homes = _ask_all(pt, pins, _ask_cell, home, k, n)
        plan = dask.delayed(_plan, nout=parts + 1)(block, k, n, pt.lo, pt.hi, pt.live, *homes)
        asked = _ask_all(pt, pins, _ask_cell, [plan[j + 1] for j in range(parts)], k, n, skip_dead=True)
        merged = dask.delayed(_merge, nout=2)(k, plan[0], *asked)
        idx_blocks.append(da.from_delayed(merged[0], (m, k), np.int64))
        dist_blocks.append(da.from_delayed(merged[1], (m, k), np.float64))
    if not idx_blocks:
        return da.zeros((0, k), dtype=np.int64), da.zeros((0, k), dtype=np.float64)
    return da.concatenate(idx_blocks), da.concatenate(dist_blocks)


# --- radius ------------------------------------------------------------------------

def _route_ball(block, lo, hi, live, radius):
    q = as_float64(block)
    parts = len(lo)
    askable = ~np.isnan(q).any(axis=1)
    out = []
    for j in range(parts):
        if not (live[j] and radius >= 0.0):  # a negative or NaN radius finds nothing
            rows = np.empty(0, np.int64)
        else:
            with np.errstate(invalid="ignore"):
                far = np.sqrt(box_d2(q, lo[j], hi[j])) > radius
            rows = np.flatnonzero(askable & ~far)
        out.append((rows, q[rows]))
    return tuple(out)


def _ask_ball(cell, piece, radius):
    rows, q = piece
    counts, found = cell.within(q, radius)
    return rows, counts, found


def _merge_ball(m, *asked):
    """Per-query counts and the indices found, ascending within each query."""
    rows = [np.repeat(r, c) for r, c, _ in asked]
    found = [f for _, _, f in asked]
    rows = np.concatenate(rows) if rows else np.empty(0, np.int64)
    found = np.concatenate(found) if found else np.empty(0, np.int64)
    order = np.lexsort((found, rows))
    return np.bincount(rows, minlength=m).astype(np.int64), found[order]


def within_join(partitioned, queries, radius):
    """(offsets, indices), Dask arrays in CSR form: query r's points are indices[offsets[r]:offsets[r + 1]].

    Bit for bit `KdTree(all_points).within_many(queries, radius)`: the
    indices at distance <= radius, ascending. Block b of the queries has its
    counts in np.diff(offsets) and its indices in `indices.blocks[b]`.
    Compute with optimize_graph=False, as for knn_join.
    """
    radius = float(radius)
    qarr = as_points(queries, "queries", DEFAULT_CHUNK)
    pt = partitioned
    parts = pt.partitions
    count_blocks, index_blocks = [], []
    pins = _pinned(pt)
    for block, m in zip(qarr.to_delayed().ravel(), qarr.chunks[0]):
        route = dask.delayed(_route_ball, nout=parts)(block, pt.lo, pt.hi, pt.live, radius)
        asked = _ask_all(pt, pins, _ask_ball, route, radius, skip_dead=True)
        merged = dask.delayed(_merge_ball, nout=2)(m, *asked)
        count_blocks.append(da.from_delayed(merged[0], (m,), np.int64))
        index_blocks.append(da.from_delayed(merged[1], (np.nan,), np.int64))
    if not count_blocks:
        return da.zeros(1, dtype=np.int64, chunks=1), da.zeros(0, dtype=np.int64)
    counts = da.concatenate(count_blocks)
    offsets = da.concatenate([da.zeros(1, dtype=np.int64, chunks=1), da.cumsum(counts)])
    return offsets, da.concatenate(index_blocks)
