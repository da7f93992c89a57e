"""The members beyond the core set take a point, points or matrices in every
plain form, with the same bits as from the canonical Vec3d, VecList or Mat3."""

import struct

import numpy as np
import pytest

from kestrum_py import Array, KdTree, Mat3, Quat, QuatList, Vec3d, VecList

rng = np.random.default_rng(27)
P = rng.uniform(-2, 2, (5, 3))
P[1, 2] = -0.0
P[3, 0] = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_DEAD_BEEF))[0]  # a NaN with payload and sign
Q = rng.uniform(-2, 2, (5, 3))
M = np.stack([np.asarray(Quat(*q).normalize().as_matrix()) for q in rng.normal(size=(4, 4))])
TREE = KdTree(rng.uniform(-2, 2, (50, 3)))
QL = QuatList.from_array(rng.normal(size=(5, 4)))
QL1 = QuatList.from_array(rng.normal(size=(1, 4)))


def strided(a):
    """The same values behind a non-contiguous view, negative steps included."""
    wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],))[..., ::-1].copy()
    wide[..., ::-2][..., ::-1] = a
    return wide[..., ::-2][..., ::-1]


def flat(r):
    """Every number of a result, as bytes: floats by bit pattern."""
    if isinstance(r, (Vec3d, Quat)):
        return flat(tuple(r.to_array()) if isinstance(r, Vec3d) else (r.w, r.i, r.j, r.k))
    if isinstance(r, (VecList, QuatList, Array, Mat3)):
        return np.ascontiguousarray(np.asarray(r)).tobytes()
    if isinstance(r, tuple):
        return b"|".join(flat(x) for x in r)
    return struct.pack("<d", r) if isinstance(r, float) else repr(r).encode()


def point_forms(p):
    f32 = p.astype(np.float32)
    return [(Vec3d(*p), p), (list(p), p), (tuple(p), p), (p.copy(), p), (strided(p[None])[0], p),
            (f32, f32.astype(np.float64))]


def points_forms(a):
    f32 = a.astype(np.float32)
    return [(VecList.from_array(a), a), (a.tolist(), a), (tuple(map(tuple, a)), a), (a.copy(), a),
            (strided(a), a), (a[::-1].copy()[::-1], a), (f32, f32.astype(np.float64)),
            (Vec3d(*a[0]), a[:1]), (list(a[0]), a[:1]), (a[0].copy(), a[:1])]


def matrices_forms(m):
    f32 = m.astype(np.float32)
    return [(m.copy(), m), (strided(m), m), (f32, f32.astype(np.float64)),
            ([Mat3(x) for x in m], m), ([x.tolist() for x in m], m),
            ([Mat3(m[0]), m[1].tolist(), m[2].copy(), strided(m[3:])[0]], m),
            (Mat3(m[0]), m[:1]), (m[0].tolist(), m[:1]), (m[0].copy(), m[:1])]


POINT = {
    "KdTree.nearest": lambda p: TREE.nearest(p),
    "KdTree.within": lambda p: TREE.within(p, 1.5),
    "Quat.between": lambda p: (Quat.between(p, Vec3d(*Q[0])), Quat.between(Vec3d(*Q[0]), p)),
    "Quat.from_rotvec": Quat.from_rotvec,
    "QuatList.rotate": QL.rotate,
}
POINTS = {  # f(points, their count)
    "KdTree": lambda a, n: KdTree(a).nearest_many(VecList.from_array(Q), 2),
    "KdTree.nearest_many": lambda a, n: TREE.nearest_many(a, 3),
    "KdTree.within_many": lambda a, n: TREE.within_many(a, 1.5),
    "QuatList.rotate": lambda a, n: (QL if n == len(QL) else QL1).rotate(a),
    "QuatList.from_rotvec": lambda a, n: QuatList.from_rotvec(a),
    "Quat.align": lambda a, n: (Quat.align(a, VecList.from_array(Q[:n])), Quat.align(VecList.from_array(Q[:n]), a)),
}


@pytest.mark.parametrize("name", POINT)
def test_a_point_in_any_form_gives_the_same_bits(name):
    for form, values in point_forms(P[3] if name == "KdTree.within" else P[0]) + point_forms(P[1]):
        assert flat(POINT[name](form)) == flat(POINT[name](Vec3d(*values))), (name, form)


@pytest.mark.parametrize("name", POINTS)
def test_points_in_any_form_give_the_same_bits(name):
    for form, values in points_forms(P):
        n = len(values)
        assert flat(POINTS[name](form, n)) == flat(POINTS[name](VecList.from_array(values), n)), (name, form)
    # One point alone is one query of a table, or rotated by every quaternion.
    assert flat(QL.rotate(list(P[0]))) == flat(QL.rotate(Vec3d(*P[0])))
    assert np.asarray(TREE.nearest_many(Vec3d(*P[0]), 2)[0]).shape == (1, 2)


def test_matrices_in_any_form_give_the_same_bits():
    for form, values in matrices_forms(M):
        assert flat(QuatList.from_matrix(form)) == flat(QuatList.from_matrix(values)), form
    for form, values in matrices_forms(M)[-3:]:
        assert flat(Quat.from_matrix(form)) == flat(Quat.from_matrix(values[0]))
        assert flat(Mat3(form)) == flat(Mat3(values[0]))


class BadFloat:
    def __float__(self):
        raise ValueError("mine")


@pytest.mark.parametrize("call, error, text", [
    (lambda: TREE.nearest(np.zeros(4)), ValueError, "argument 'point': expected an array of shape (3,), got shape (4,)"),
    (lambda: TREE.within("abc", 1.0), TypeError,
     "argument 'point': expected a Vec3d, a (3,) array or a sequence of 3 numbers, got 'str'"),
    (lambda: Quat.between([1, 2], Vec3d(1, 0, 0)), ValueError, "argument 'a': expected 3 numbers, got 2 numbers"),
    (lambda: TREE.nearest_many(np.zeros((2, 4), np.float32), 1), ValueError,
     "argument 'points': expected an array of shape (3,) or (n, 3), got shape (2, 4)"),
    (lambda: QL.rotate(Quat(1, 0, 0, 0)), TypeError, "argument 'v': expected a Vec3d, a VecList, a (3,) or (n, 3) "
     "array, or a sequence of 3 numbers or of 3-number sequences, got 'Quat'"),
    (lambda: Quat.align(VecList.empty(), [[1, 2, 3], [4, 5]]), ValueError, "argument 'b': row 1 has 2 numbers, expected 3"),
    (lambda: QuatList.from_matrix(np.zeros((2, 3))), ValueError,
     "argument 'm': expected an array of shape (3, 3) or (n, 3, 3), got shape (2, 3)"),
    (lambda: QuatList.from_matrix([Mat3(M[0]), np.zeros((3, 2))]), ValueError,
     "argument 'm': row 1: expected an array of shape (3, 3), got shape (3, 2)"),
    (lambda: QuatList.from_matrix([Mat3(M[0]), [[1, 0, 0], [0, 1], [0, 0, 1]]]), ValueError,
     "argument 'm': row 1[1] has 2 numbers, expected 3"),
    (lambda: QuatList.from_matrix([Mat3(M[0]), memoryview(np.zeros((3, 3), np.int32))]), TypeError,
     "argument 'm': row 1: expected float64 or float32 elements, got int32"),
    (lambda: Quat.from_matrix(5), TypeError, "argument 'm': expected a Mat3, a (3, 3) array or 3 rows of 3 numbers, got 'int'"),
    (lambda: TREE.nearest([BadFloat(), 1, 2]), ValueError, "mine"),  # the caller's own error passes as it is
])
def test_errors_name_the_parameter_and_what_it_takes(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text
