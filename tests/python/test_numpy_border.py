"""VecList and numpy: the buffer export (views in place, borrowed while alive)
and VecList.from_array (any (n, 3) float64/float32 buffer, or rows of numbers)."""

import collections
import hashlib
import math
import os
import struct
import subprocess
import sys

import pytest

from kestrum_py import Quat, Vec3d, VecList

np = pytest.importorskip("numpy")

# Doubles whose bits a careless copy would change: NaN payloads of both signs
# (a signalling one included), -0.0, infinities, subnormals, extremes.
SPECIAL_BITS = [0x7FF8000000000001, 0xFFF0000000000BAD, 0x7FF4000000000000, 0x8000000000000000,
                0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000001, 0x800FFFFFFFFFFFFF,
                0x7FEFFFFFFFFFFFFF, 0x3FF0000000000000, 0x3FB999999999999A, 0xC00921FB54442D18]


def special_array(rows):
    bits = np.array([SPECIAL_BITS[(i * 5) % len(SPECIAL_BITS)] for i in range(3 * rows)], np.uint64)
    return bits.view(np.float64).reshape(rows, 3)


def list_bytes(vl):
    """The list's elements as little-endian bytes, read through the element API."""
    return b"".join(struct.pack("<3d", *v.to_array()) for v in vl.list)


def vector_list(n=3):
    return VecList([Vec3d(i, -0.5 * i, 1.0 / (i + 1)) for i in range(n)])


# -- the export ---------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 5])
def test_export_layout_and_bits(n):
    vl = VecList.from_array(special_array(n)) if n else VecList.empty()
    m = memoryview(vl)
    assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 2, (n, 3), (24, 8))
    assert m.readonly and m.c_contiguous and m.nbytes == 24 * n
    assert m.tobytes() == list_bytes(vl)
    a = np.asarray(vl)
    assert a.shape == (n, 3) and a.dtype == np.float64 and not a.flags.writeable
    assert a.tobytes() == list_bytes(vl)
    if n:
        # In place: two views see the same memory, no copy was made.
        assert np.shares_memory(a, np.asarray(vl))
        with pytest.raises(TypeError):
            m[0, 0] = 1.0
        with pytest.raises(ValueError):
            a[0, 0] = 1.0
    # Consumers asking for plain bytes (PyBUF_SIMPLE) get the same block.
    assert hashlib.sha256(vl).digest() == hashlib.sha256(list_bytes(vl)).digest()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ appeared in 3.12")
def test_export_refuses_writable_and_fortran_requests():
    import inspect
    vl = vector_list(3)
    flags = inspect.BufferFlags
    with pytest.raises(BufferError, match="VecList buffer is read-only"):
        vl.__buffer__(flags.WRITABLE)
    with pytest.raises(BufferError, match="not Fortran contiguous"):
        vl.__buffer__(flags.F_CONTIGUOUS)
    with VecList([Vec3d(1, 2, 3)]).__buffer__(flags.F_CONTIGUOUS) as one_row:
        assert one_row.shape == (1, 3)
    vl.append(Vec3d.zero())  # the refused requests held nothing


EXPORTS = {
    "memoryview": memoryview,
    "numpy.asarray": np.asarray,
    "numpy slice": lambda vl: np.asarray(vl)[::2, 1:],
    "memoryview of memoryview": lambda vl: memoryview(memoryview(vl)),
}


@pytest.mark.parametrize("export", EXPORTS.values(), ids=EXPORTS.keys())
def test_list_is_borrowed_while_exported(export):
    vl = vector_list(4)
    before = list_bytes(vl)
    view = export(vl)
    q = Quat.from_axis_angle(Vec3d.k(), Vec3d.i().angle_to(Vec3d.j()))
    for write in (lambda: vl.append(Vec3d.i()), lambda: vl.extend(vector_list(2)), lambda: vl.rotate(q)):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            write()
    assert list_bytes(vl) == before
    # Reads go on: indexing, bulk operations, repr, another export.
    assert len(vl) == 4 and vl[3].to_array() == [3.0, -1.5, 0.25]
    assert len(vl.normalize()) == 4 and repr(vl).startswith("[Vec3d(0, -0, 1)")
    assert memoryview(vl).tobytes() == before
    del view
    vl.append(Vec3d.i())
    assert len(vl) == 5


def test_borrow_counts_every_export_and_released_views():
    vl = vector_list(2)
    first, second = memoryview(vl), memoryview(vl)
    arr = np.asarray(vl)
    first.release()
    second.release()
    with pytest.raises(RuntimeError, match="Already borrowed"):
        vl.append(Vec3d.i())  # the array still holds one export
    del arr
    vl.append(Vec3d.i())
    copied = np.array(vl)  # a copy holds nothing
    vl.append(Vec3d.j())
    assert copied.shape == (3, 3) and len(vl) == 4
    with memoryview(vl):
        with pytest.raises(RuntimeError):
            vl.extend(vl)
    vl.extend(VecList.empty())


# -- from_array ---------------------------------------------------------------------------

def layouts(rows):
    """The same float64 table in memory layouts numpy produces."""
    base = special_array(rows)
    wide = np.zeros((rows, 6))
    wide[:, ::2] = base
    tall = np.zeros((2 * rows, 3))
    tall[::2] = base
    raw = np.zeros(rows * 24 + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, np.float64, rows * 3, offset=1).reshape(rows, 3)
    unaligned[...] = base
    reversed_ = np.ascontiguousarray(base[::-1])
    return {
        "C order": base,
        "Fortran order": np.asfortranarray(base),
        "negative row stride": reversed_[::-1],
        "negative column stride": np.ascontiguousarray(base[:, ::-1])[:, ::-1],
        "every other column": wide[:, ::2],
        "every other row": tall[::2],
        "unaligned": unaligned,
        "memoryview": memoryview(base),
    }


@pytest.mark.parametrize("rows", [0, 1, 7, 100_003])
def test_from_array_copies_float64_bit_for_bit(rows):
    expected = special_array(rows).tobytes()
    for name, arr in layouts(rows).items():
        vl = VecList.from_array(arr)
        assert len(vl) == rows, name
        assert memoryview(vl).tobytes() == expected, name
        if rows:
            assert not np.shares_memory(np.asarray(vl), np.asarray(arr)), name


def test_from_array_widens_float32_exactly():
    f32 = np.array([[1.5, -0.0, np.inf], [1e-45, 3.4028235e38, 0.1], [np.nan, -np.nan, 2.0 ** -130]],
                   np.float32)
    for arr in (f32, np.asfortranarray(f32), f32[::-1]):
        got = VecList.from_array(arr)
        assert memoryview(got).tobytes() == arr.astype(np.float64).tobytes()


def test_from_array_reads_rows_of_numbers():
    vl = VecList.from_array(special_array(4))
    back = VecList.from_array(vl.to_array())
    assert memoryview(back).tobytes() == memoryview(vl).tobytes()

    class Half:
        def __float__(self):
            return 0.5

    mixed = VecList.from_array(((1, True, 2.5), [np.float32(0.25), np.int64(-3), Half()],
                                np.array([7.0, 8.0, 9.0])))
    assert mixed.to_array() == [[1.0, 1.0, 2.5], [0.25, -3.0, 0.5], [7.0, 8.0, 9.0]]
    assert len(VecList.from_array([])) == 0 and len(VecList.from_array(())) == 0
    assert VecList.from_array.__text_signature__ == "(array)"
    assert VecList.from_array(array=[[1, 2, 3]]).to_array() == [[1.0, 2.0, 3.0]]


def _datetime_array():
    return np.zeros((2, 3), "datetime64[s]")


BAD = [
    (np.zeros((2, 3), np.int64), TypeError, "expected float64 or float32 elements, got int64"),
    (np.zeros((2, 3), np.complex128), TypeError, "got complex128"),
    (np.zeros((2, 3), object), TypeError, "got object"),
    (np.zeros((2, 3), np.float16), TypeError, "got float16"),
    (np.zeros((2, 3), ">f8"), TypeError, "got big-endian float64"),
    (_datetime_array(), TypeError, "buffer cannot be read"),
    (b"abcdef", TypeError, "got uint8"),
    ("abc", TypeError, "got 'str'"),
    (5, TypeError, "got 'int'"),
    ((r for r in [[1, 2, 3]]), TypeError, "got 'generator'"),
    ([[1, 2, 3], 4], TypeError, "row 1: expected a sequence of 3 numbers, got 'int'"),
    ([[1, 2, "3"]], TypeError, "row 0, column 2: must be real number, not str"),
    (["xyz"], TypeError, "row 0: expected a sequence of 3 numbers, got 'str'"),
    (np.zeros(3), ValueError, "expected an array of shape (n, 3), got shape (3,)"),
    (np.zeros((2, 4)), ValueError, "got shape (2, 4)"),
    (np.zeros((2, 3, 1)), ValueError, "got shape (2, 3, 1)"),
    (np.float64(1.0), ValueError, "got shape ()"),
    ([[1, 2, 3], [4, 5]], ValueError, "row 1 has 2 numbers, expected 3"),
]


@pytest.mark.parametrize("value,exc,text", BAD, ids=[b[2] for b in BAD])
def test_from_array_rejects_bad_input_and_creates_nothing(value, exc, text):
    refs = sys.getrefcount(VecList)  # every VecList holds one reference to its type
    with pytest.raises(exc) as info:
        VecList.from_array(value)
    assert text in str(info.value)
    if exc is TypeError:
        assert str(info.value).startswith("argument 'array': ")
    assert sys.getrefcount(VecList) == refs


def test_from_array_lets_a_numbers_own_error_through():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("mine")

    with pytest.raises(ZeroDivisionError, match="mine"):
        VecList.from_array([[1, 2, 3], [4, Broken(), 6]])


def test_from_array_of_a_lists_own_view_leaves_it_borrowed_only_meanwhile():
    vl = vector_list(3)
    copy = VecList.from_array(np.asarray(vl))
    assert memoryview(copy).tobytes() == memoryview(vl).tobytes()
    vl.append(Vec3d.i())  # the temporary array is gone
    assert math.isclose(copy.magnitude()[2], Vec3d(2, -1, 1 / 3).magnitude())


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("rows", [10**12, 4 * 10**17, 7 * 10**17])
def test_from_array_of_an_impossible_size_is_a_memory_error(dtype, rows):
    # A zero row stride makes a view of any length over three numbers.
    size = np.dtype(dtype).itemsize
    try:
        arr = np.lib.stride_tricks.as_strided(np.zeros(3, dtype), shape=(rows, 3), strides=(0, size))
    except ValueError:
        pytest.skip("numpy refuses a view of this size")
    with pytest.raises(MemoryError):
        VecList.from_array(arr)
    assert VecList.from_array(arr[:2]).to_array() == [[0.0] * 3] * 2


class CountedRow:
    """A row that counts the items read from it; `length` None has no len()."""

    def __init__(self, items, length=None):
        self.items, self.length, self.reads = items, length, 0

    def __getitem__(self, i):
        if i >= self.items:
            raise IndexError(i)
        self.reads += 1
        return float(i)

    def __len__(self):
        if self.length is None:
            raise TypeError("no length")
        return self.length


@pytest.mark.parametrize("items,length,text", [
    (10**7, None, "row 1 has more than 3 numbers, expected 3"),  # as good as endless
    (10**7, 10**7, "row 1 has 10000000 numbers, expected 3"),
    (10**7, 3, "row 1 has more than 3 numbers, expected 3"),  # a length that lies
    (4, None, "row 1 has more than 3 numbers, expected 3"),
    (2, None, "row 1 has 2 numbers, expected 3"),
    (3, 2, "row 1 has 2 numbers, expected 3"),
])
def test_from_array_reads_at_most_four_items_of_a_row(items, length, text):
    row = CountedRow(items, length)
    with pytest.raises(ValueError) as info:
        VecList.from_array([[1, 2, 3], row, [4, 5, 6]])
    assert str(info.value) == text
    assert row.reads <= 4


def test_from_array_takes_rows_of_any_sequence_type():
    # Rows without a buffer: read through iteration, not materialised first.
    rows = [CountedRow(3), CountedRow(3, 3), range(3), (0.0, 1, 2), [0, 1.0, np.float32(2)]]
    assert VecList.from_array(rows).to_array() == [[0.0, 1.0, 2.0]] * 5
    assert [r.reads for r in rows[:2]] == [3, 3]
    with pytest.raises(ValueError, match="^row 0 has 100000000000 numbers, expected 3$"):
        VecList.from_array([range(10**11)])
    # Nor is a sequence of rows copied before its first row is read.
    with pytest.raises(TypeError, match="row 0: expected a sequence of 3 numbers, got 'int'"):
        VecList.from_array(range(10**11))
    rows = collections.deque([[1, 2, 3], CountedRow(3)])
    assert VecList.from_array(rows).to_array() == [[1.0, 2.0, 3.0], [0.0, 1.0, 2.0]]

    # A row's numbers are the ones read at the start: a __float__ that
    # changes the row does not change what is read.
    row = [1.0, 2.0, None]

    class Shrinks:
        def __float__(self):
            row.clear()
            return 3.0

    row[2] = Shrinks()
    assert VecList.from_array([row]).to_array() == [[1.0, 2.0, 3.0]]


# Under an address-space limit with room for one more copy of a big list, a
# bulk result that was freed must not keep that room taken: numpy's copy and
# a bytes object of the same size fit afterwards, as they would with no cache.
ADDRESS_LIMIT_CHILD = r"""
import resource
import numpy as np
import kestrum_py as kp

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

n = 2_000_000
big = kp.VecList.from_array(np.zeros((n, 3)))  # also starts the pool
size = n * 24
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + size + (16 << 20), resource.RLIM_INFINITY))
got = []
for make in (lambda: np.array(big), lambda: bytes(size), lambda: np.array(big)):
    t = big * 2.0
    del t
    try:
        got.append(len(make()))
    except MemoryError:
        got.append("MemoryError")
print(got)
"""


# ASan reserves terabytes of shadow memory: no address-space cap under it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space cap under ASan")
def test_freed_results_leave_room_under_an_address_space_limit():
    proc = subprocess.run([sys.executable, "-c", ADDRESS_LIMIT_CHILD], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["[2000000,", "48000000,", "2000000]"]


# -- numpy on the left of an operator -----------------------------------------------------
#
# numpy's own operators would read a VecList through its buffer (and a Vec3d as an
# object array) and hand back an ndarray; they give way instead, so the library's
# reflected operator answers, or the TypeError a plain Python float would meet.

NUMPY_LEFT = [np.float64(2.0), np.float32(2.0), np.int64(2), np.array(2.0)]


@pytest.mark.parametrize("left", NUMPY_LEFT, ids=repr)
def test_numpy_scalar_on_the_left_scales_like_on_the_right(left):
    vl, v = vector_list(4), Vec3d(1.5, -0.0, 3.0)
    got, want = left * vl, vl * left
    assert type(got) is VecList and list_bytes(got) == list_bytes(want)
    gv = left * v
    assert type(gv) is Vec3d and struct.pack("<3d", *gv.to_array()) == struct.pack("<3d", *(v * left).to_array())


@pytest.mark.parametrize("op", ["+", "-", "/"])
@pytest.mark.parametrize("left", [np.float64(2.0), np.ones(3), np.ones((3, 3))], ids=repr)
def test_numpy_left_without_a_reflected_operator_raises_type_error(left, op):
    for right in (vector_list(3), Vec3d(1, 2, 3)):  # noqa: B007 - read by eval
        with pytest.raises(TypeError):
            eval(f"left {op} right")
    with pytest.raises(TypeError):
        np.ones((3, 3)) * vector_list(3)  # * by an array: none on either side
    with pytest.raises(TypeError):
        np.ones(3) * Vec3d(1, 2, 3)


def test_numpy_comparisons_give_way_to_identity():
    vl = vector_list(3)
    a = np.array(vl)
    for left in (a, np.float64(1.0)):
        assert (left == vl) is False and (vl == left) is False and (left != vl) is True
        with pytest.raises(TypeError):
            left < vl
    assert np.equal(a, vl).all()  # the ufunc still compares element by element


def test_ufuncs_and_explicit_arrays_still_read_the_buffer():
    vl = VecList([Vec3d(i, 0.5 * i, 1.0 / (i + 1)) for i in range(5)])
    a = np.asarray(vl)
    assert type(np.sqrt(vl)) is np.ndarray and np.array_equal(np.sqrt(vl), np.sqrt(a))
    assert np.array_equal(np.multiply(np.float64(2.0), vl), a * 2)
    assert np.array_equal(np.asarray(vl) * 2, a * 2)
    assert np.array_equal(np.add(np.ones((5, 3)), vl), a + 1)
    # numpy on the right keeps its own reflected operators
    assert type(vl + np.ones(3)) is np.ndarray
