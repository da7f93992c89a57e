"""Array, the library's array result, against numpy reading the same buffer:
indexing, iteration, tolist and == give numpy's numbers bit for bit, without
numpy; errors are clear; parts keep their storage alive."""

import gc
import pickle
import sys

import numpy as np
import pytest

from kestrum_py import Array, KdTree, QuatList, Vec3d


def results(seed):
    rng = np.random.default_rng(seed)
    pts = rng.normal(size=(40, 3))
    pts[3] = pts[7]  # ties
    tree = KdTree(pts)
    idx, dist = tree.nearest_many(rng.normal(size=(9, 3)), 4)
    q = rng.normal(size=(7, 4))
    q[2, 1] = np.nan
    ql = QuatList.from_array(q)
    return {"1-D float": ql.magnitude(), "2-D int64": idx, "2-D float": dist,
            "3-D float": ql.as_matrix(), "empty (0, k)": tree.nearest_many(np.zeros((0, 3)), 5)[0]}


def as_numpy(x, dtype):
    """An item of an Array as numpy holds it: an Array through its buffer, a
    number as the one Python type its dtype gives."""
    if isinstance(x, Array):
        return np.asarray(x)
    assert type(x) is (float if dtype == np.float64 else int)
    return np.asarray(x, dtype=dtype)


def same(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def random_key(rng, shape):
    parts = []
    for n in shape[:rng.integers(1, len(shape) + 1)]:
        if rng.random() < 0.4:
            parts.append(int(rng.integers(-n - 2, n + 2)))  # out of range now and then
        else:
            def bound():
                return None if rng.random() < 0.3 else int(rng.integers(-n - 3, n + 3))
            parts.append(slice(bound(), bound(), [None, 1, 2, -1, -3][rng.integers(5)]))
    return parts[0] if len(parts) == 1 and rng.random() < 0.5 else tuple(parts)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_array_reads_what_numpy_reads(seed):
    rng = np.random.default_rng(seed)
    made = results(seed)
    for name, r in made.items():
        ref = np.asarray(r)
        assert type(r) is Array and not ref.flags.writeable, name
        assert ref.size == 0 or np.shares_memory(ref, np.asarray(r)), name
        assert (r.shape, r.ndim, len(r), r.strides, r.nbytes) == (ref.shape, ref.ndim, len(ref), ref.strides,
                                                                  ref.nbytes), name
        assert (r.format, r.itemsize, r.readonly) == (ref.dtype.char, 8, True), name
        assert r.tobytes() == bytes(r) == ref.tobytes(), name
        assert same(np.array(r.tolist(), dtype=ref.dtype).reshape(ref.shape), ref), name
        items = list(r)
        assert len(items) == len(ref) and all(same(as_numpy(x, ref.dtype), y) for x, y in zip(items, ref)), name
        for _ in range(300):
            key = random_key(rng, ref.shape)
            try:
                want = ref[key]
            except IndexError:
                with pytest.raises(IndexError):
                    r[key]
                continue
            got = r[key]
            assert same(as_numpy(got, ref.dtype), np.asarray(want)), (name, key)
            if isinstance(got, Array) and want.flags.c_contiguous and want.size > 1:
                assert np.shares_memory(np.asarray(got), ref), (name, key)  # rows and runs of rows are views
        # == is numpy's array_equal, and a list compares as tolist() does.
        others = [r, r[::-1], r[::-1][::-1], made["2-D int64"]]
        for other in others:
            o = np.asarray(other)
            assert (r == other) is bool(ref.shape == o.shape and (ref == o).all()), (name, o.shape)
            assert (r != other) is not (r == other)
        has_nan = bool(np.isnan(ref).any()) if ref.dtype == np.float64 else False
        assert (r == r.tolist()) is (not has_nan) and (r != ref.tolist()) is has_nan, name


def number_text(x):
    return repr(Vec3d(x, 0, 0))[len("Vec3d("):].split(",")[0]  # the library's own number text


def test_repr_shows_values_in_the_library_number_text():
    mag = results(4)["1-D float"]
    head = mag[:5]
    assert repr(head) == "Array([" + ", ".join(number_text(x) for x in head) + "], float64)"
    assert "NaN" in repr(head)
    idx = results(4)["2-D int64"]
    rows = idx.tolist()
    assert repr(idx[:2]) == f"Array({rows[:2]}, int64)"
    cut = ", ".join(str(row) for row in rows[:3]) + ", ..., " + ", ".join(str(row) for row in rows[-3:])
    assert repr(idx) == f"Array([{cut}], shape=(9, 4), int64)"
    assert repr(results(4)["empty (0, k)"]) == "Array([], shape=(0, 5), int64)"


def test_bad_keys_and_writes_raise_clearly():
    idx = results(5)["2-D int64"]
    with pytest.raises(IndexError, match=r"^index 9 is out of range for axis 0 with length 9$"):
        idx[9]
    with pytest.raises(IndexError, match=r"^index -5 is out of range for axis 1 with length 4$"):
        idx[0, -5]
    with pytest.raises(IndexError, match="too many indices for a 2-D Array: 3"):
        idx[0, 1, 2]
    for key in ("0", 1.5, None, [0], (0, "x"), Ellipsis):
        with pytest.raises(TypeError, match="Array indices must be integers, slices or tuples of them"):
            idx[key]
    with pytest.raises(TypeError):
        idx[0] = 1
    with pytest.raises(AttributeError):
        idx.shape = (4, 9)
    with pytest.raises(ValueError):
        np.asarray(idx).flags.writeable = True
    with pytest.raises(TypeError):
        Array()
    with pytest.raises(TypeError):
        hash(idx)


def test_parts_and_buffers_keep_their_storage_alive():
    made = results(6)
    idx = made.pop("2-D int64")
    want = np.array(idx)
    row, col, it, arr = idx[2], idx[:, 1], iter(idx), np.asarray(idx[-1])
    del idx, made
    gc.collect()
    assert row.tolist() == want[2].tolist() and col.tolist() == want[:, 1].tolist()
    assert [r.tolist() for r in it] == want.tolist() and arr.tolist() == want[-1].tolist()
    # A protocol-5 pickle lends the tree's own block: the Array under the
    # buffer holds the tree until the last view of it goes.
    tree = KdTree(np.random.default_rng(6).normal(size=(50, 3)))
    alone = sys.getrefcount(tree)
    buffers = []
    data = pickle.dumps(tree, 5, buffer_callback=buffers.append)
    view = memoryview(buffers[0])
    assert sys.getrefcount(tree) == alone + 1
    twin = pickle.loads(data, buffers=[view])
    assert np.asarray(twin.points).tobytes() == np.asarray(tree.points).tobytes()
    del buffers
    view.release()
    gc.collect()
    assert sys.getrefcount(tree) == alone
