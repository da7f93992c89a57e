"""Mat3, the result of Quat.as_matrix: reads like the list of its rows, exports
a read-only (3, 3) buffer, multiplies with @, and every 3x3 matrix argument
takes it directly, bit for bit."""

import ctypes
import math
import random
import struct
import sys

import numpy as np
import pytest

from kestrum_py import Mat3, Quat, QuatList, Vec3d
from oracle import bits, dot, from_bits

EPS = 2.0 ** -52
NAN_A, NAN_B = from_bits(0x7FF8000000000123), from_bits(0xFFF80000000ABCDE)


def unit_quats(seed, n):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        q = Quat(*(rng.uniform(-1, 1) for _ in range(4)))
        out.append(q.normalize())
    return out


def matrix_bits(rows):
    return [[bits(x) for x in row] for row in rows]


def quat_bits(q):
    return [bits(q.w), bits(q.i), bits(q.j), bits(q.k)]


ODD = [Quat(2, -0.0, 3, 0.5), Quat(NAN_A, 0.5, -0.25, 1), Quat(0, 0, 0, 0), Quat(1e-300, 1e300, 0, -1)]


def test_as_matrix_keeps_the_bits_of_the_bulk_matrices():
    quats = unit_quats(1, 50) + ODD
    bulk = memoryview(QuatList(quats).as_matrix()).tolist()
    for q, want in zip(quats, bulk):
        m = q.as_matrix()
        assert type(m) is Mat3
        assert matrix_bits(m.tolist()) == matrix_bits(want)


def test_reads_like_the_list_of_rows():
    m = Quat(NAN_A, 0.5, -0.25, 1).as_matrix()
    rows = m.tolist()
    assert type(rows) is list and all(type(r) is list and len(r) == 3 for r in rows) and len(rows) == 3
    assert len(m) == 3
    for r in range(-3, 3):
        assert type(m[r]) is list and matrix_bits([m[r]]) == matrix_bits([rows[r]])
        for c in range(-3, 3):
            assert bits(m[r, c]) == bits(rows[r][c])
    assert m[0] is not m[0]  # a new list each time: changing it leaves m alone
    m[0][0] = 99.0
    assert bits(m[0][0]) == bits(rows[0][0])
    assert matrix_bits(list(m)) == matrix_bits(rows) and matrix_bits([*m]) == matrix_bits(rows)
    a, b, c = m
    assert matrix_bits([a, b, c]) == matrix_bits(rows)
    assert matrix_bits([m[True], m[np.int64(-1)]]) == matrix_bits([rows[1], rows[2]])
    for key in (3, -4, 10 ** 30, -(10 ** 30), (3, 0), (0, -4), (0, 3)):
        with pytest.raises(IndexError, match="Mat3 index out of range"):
            m[key]
    for s in (slice(None, 2), slice(None, None, -1), slice(-2, 10), slice(5, 9), slice(None, None, 2)):
        assert matrix_bits(m[s]) == matrix_bits(rows[s])
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        m[::0]
    for key in ("0", 1.0, (0,), (0, 1, 2), [0, 1], (0, slice(1)), (0, 1.0)):
        with pytest.raises(TypeError):
            m[key]


def test_equality_is_by_value_and_with_lists_as_tolist():
    q = unit_quats(2, 1)[0]
    m, same = q.as_matrix(), Mat3(q.as_matrix().tolist())
    assert m == same and not (m != same) and m is not same
    assert m == m.tolist() and m.tolist() == m and not (m != m.tolist())
    ident = Quat.identity().as_matrix()
    assert ident == [[1, 0, 0], [0, 1, 0], [0, 0, 1]]  # numbers compare as in a list
    assert Mat3([[-0.0, 0, 0], [0, 1, 0], [0, 0, 1]]) == Mat3([[0.0, 0, 0], [0, 1, 0], [0, 0, 1]])
    assert ident != [[1, 0, 0], [0, 1, 0], [0, 0, 2]] and ident != [[1, 0, 0], [0, 1, 0]]
    # as tolist() == other: a tuple is never equal to a list
    assert ident != tuple(ident.tolist()) and not (ident == tuple(map(tuple, ident)))
    for r in range(3):
        for c in range(3):
            rows = ident.tolist()
            rows[r][c] += 0.5
            assert ident != Mat3(rows) and not (Mat3(rows) == ident)
    for other in (1, None, "m", Vec3d(1, 0, 0), Quat.identity()):
        assert ident != other and not (ident == other)
    nan = Quat(NAN_A, 0, 0, 0).as_matrix()
    assert nan != nan and not (nan == nan) and nan != nan.tolist()
    # an array answers both == and != element by element, as with the list
    a = np.array(m)
    assert (m == a).all() and not (m != a).any() and (m != a + 1).all()
    assert (m != np.array(m.tolist())).shape == (3, 3)
    with pytest.raises(TypeError, match="unhashable"):
        hash(ident)


def test_buffer_is_a_read_only_view_of_the_entries():
    m = unit_quats(3, 1)[0].as_matrix()
    view = memoryview(m)
    assert (view.readonly, view.shape, view.strides, view.format, view.c_contiguous) == (
        True, (3, 3), (24, 8), "d", True)
    assert matrix_bits(view.tolist()) == matrix_bits(m.tolist())
    assert bytes(view) == struct.pack("<9d", *(x for row in m for x in row))
    a, b = np.asarray(m), np.asarray(m)
    assert a.ctypes.data == b.ctypes.data and not a.flags.writeable and not a.flags.owndata
    assert a.shape == (3, 3) and a.dtype == np.float64
    with pytest.raises(ValueError):
        a[0, 0] = 1.0
    with pytest.raises(TypeError):
        (ctypes.c_char * 72).from_buffer(m)
    copied = np.array(m)
    assert copied.flags.owndata and copied.ctypes.data != a.ctypes.data
    assert copied.view(np.uint64).tolist() == a.view(np.uint64).tolist()
    view.release()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ appeared in 3.12")
def test_buffer_refuses_writable_requests():
    import inspect
    with pytest.raises(BufferError, match="Mat3 buffer is read-only"):
        Quat.identity().as_matrix().__buffer__(inspect.BufferFlags.WRITABLE)


def test_products_follow_rotate_and_numpy():
    rng = random.Random(4)
    for q in unit_quats(5, 100):
        m = q.as_matrix()
        v = Vec3d(*(rng.uniform(-10, 10) for _ in range(3)))
        mv = m @ v
        assert type(mv) is Vec3d
        # the rows dotted with v in x, y, z order, each exactly
        assert [bits(x) for x in mv.to_array()] == [bits(dot(row, v.to_array())) for row in m]
        r = q.rotate(v)
        assert max(abs(x - y) for x, y in zip(mv.to_array(), r.to_array())) <= 8 * EPS * v.magnitude()
        n = unit_quats(rng.random(), 1)[0].as_matrix()
        mn = m @ n
        assert type(mn) is Mat3
        cols = list(zip(*n))
        assert matrix_bits(mn) == [[bits(dot(row, col)) for col in cols] for row in m]
        assert np.max(np.abs(np.asarray(mn) - np.asarray(m) @ np.asarray(n))) <= 4 * EPS
        assert matrix_bits(m.transpose()) == matrix_bits(np.asarray(m).T.tolist())
    # numpy operands go to numpy, as with the list of rows
    m = Quat.identity().as_matrix()
    assert (m @ np.array([1.0, 2.0, 3.0])).tolist() == [1.0, 2.0, 3.0]
    assert (np.eye(3) @ m).tolist() == m.tolist()
    for bad in (2.0, [1, 2, 3], Quat.identity()):
        with pytest.raises(TypeError):
            m @ bad


def test_a_nan_in_a_product_is_the_first_one_met():
    m = Mat3([[NAN_A, 1, 1], [1, 1, 1], [1, 1, NAN_B]])
    want_a, want_b = bits(NAN_A) | 1 << 51, bits(NAN_B) | 1 << 51
    got = [bits(x) for x in (m @ Vec3d(NAN_B, 1, 1)).to_array()]
    assert got[0] == want_a and got[1] == want_b and got[2] == want_b
    got = [bits(x) for x in (Mat3([[1, 1, 1], [1, 1, 1], [1, 1, 1]]) @ Vec3d(1, NAN_A, NAN_B)).to_array()]
    assert got == [want_a] * 3
    mm = m @ m
    assert bits(mm[0, 0]) == want_a and bits(mm[2, 2]) == want_b and bits(mm[1, 2]) == want_b


def test_every_matrix_argument_takes_a_mat3_bit_for_bit():
    for q in unit_quats(6, 50) + ODD:
        m = q.as_matrix()
        want = quat_bits(Quat.from_matrix(m.tolist()))
        assert quat_bits(Quat.from_matrix(m)) == want
        assert quat_bits(Quat.from_matrix(np.asarray(m))) == want
        assert quat_bits(Quat.from_matrix(m=m)) == want
        assert matrix_bits(Mat3(m)) == matrix_bits(m)


def test_constructor_reads_and_refuses_as_from_matrix():
    rows = [[1, 2.5, -0.0], [NAN_A, 5e-324, -7], [0.1, math.inf, NAN_B]]
    want = matrix_bits([[float(x) for x in r] for r in rows])
    a = np.array(rows)
    for form in (rows, tuple(map(tuple, rows)), a, np.asfortranarray(a), a[::-1][::-1], memoryview(a)):
        assert matrix_bits(Mat3(form)) == want
    assert Mat3(np.array(rows, dtype=np.float32)).tolist()[0] == [1.0, 2.5, -0.0]
    assert matrix_bits(Mat3(rows=rows)) == want
    bad = [[[1, 2, 3]], [[1, 2], [3, 4], [5, 6]], [[1, 2, 3], [4, 5, 6], [7, 8, "9"]], 5, "abc",
           np.zeros((4, 3)), np.zeros((3, 3), dtype=np.int64), np.zeros(9), [[1, 2, 3]] * 4, None]
    for arg in bad:
        with pytest.raises(Exception) as ours:
            Mat3(arg)
        with pytest.raises(Exception) as theirs:
            Quat.from_matrix(arg)
        assert type(ours.value) is type(theirs.value) and type(ours.value) in (TypeError, ValueError)
        assert str(ours.value).replace("'rows'", "'m'") == str(theirs.value)
    with pytest.raises(TypeError, match="missing 1 required"):
        Mat3()


def test_repr_writes_numbers_as_vec3d_does():
    m = Mat3([[1, -0.0, 1e-7], [NAN_A, math.inf, 0.1], [2.5e-300, -3, 1e22]])
    rows = ["[" + repr(Vec3d(*row))[len("Vec3d("):-1] + "]" for row in m]
    assert repr(m) == "Mat3([" + ", ".join(rows) + "])"
    assert repr(Quat.identity().as_matrix()) == "Mat3([[1, 0, 0], [0, 1, 0], [0, 0, 1]])"
