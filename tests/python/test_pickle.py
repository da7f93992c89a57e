"""Pickling and copying of every value class: bit-identical round trips, the
zero-copy protocol-5 path of VecList, malformed state, and a spawned child."""

import copy
import multiprocessing
import pickle
import struct

import pytest

import kestrum_py
from kestrum_py import AngleDegrees, AngleRadians, Mat3, Quat, QuatList, Vec3d, VecList, geometry

Circle, Plane = geometry.Circle, geometry.Plane


def d(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


NAN_PAYLOAD, NEG_NAN = d(0x7FF8000000000123), d(0xFFF00000000ABCDE)
SPECIALS = [NAN_PAYLOAD, -0.0, NEG_NAN, float("inf"), 5e-324, -1.7976931348623157e308, 0.1]


def fields(obj):
    """Every stored double of obj, in a fixed order, as little-endian bytes."""
    if isinstance(obj, (VecList, QuatList, Mat3)):
        return memoryview(obj).tobytes()
    if isinstance(obj, Vec3d):
        values = obj.to_array()
    elif isinstance(obj, Quat):
        values = [obj.w, obj.i, obj.j, obj.k]
    elif isinstance(obj, (AngleRadians, AngleDegrees)):
        values = [obj.angle]
    elif isinstance(obj, Plane):
        values = obj.normal.to_array() + [obj.distance]
    else:
        values = obj.center.to_array() + [obj.radius] + obj.normal.to_array()
    return struct.pack(f"<{len(values)}d", *values)


def samples():
    plane = Plane(Vec3d(0, 0, 1), NAN_PAYLOAD)
    plane.normal = Vec3d(0, 3, -0.0)  # set raw: a non-unit normal must come back as is
    circle = Circle(Vec3d(NEG_NAN, -0.0, 1), -2.5, Vec3d(1, 1, 0))
    circle.normal = Vec3d(5e-324, 2, NAN_PAYLOAD)
    circle.radius = -0.0
    return [
        Vec3d(NAN_PAYLOAD, -0.0, NEG_NAN),
        Quat(-0.0, NAN_PAYLOAD, float("-inf"), 5e-324),
        AngleRadians(NEG_NAN),
        AngleDegrees(-0.0),
        plane,
        circle,
        VecList([Vec3d(*SPECIALS[i:i + 3]) for i in range(5)]),
        VecList.empty(),
        QuatList([Quat(*SPECIALS[i:i + 4]) for i in range(4)]),
        QuatList.empty(),
        Mat3([SPECIALS[0:3], SPECIALS[3:6], [SPECIALS[6], -0.0, NEG_NAN]]),
    ]


COPIERS = {f"pickle protocol {p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
           for p in range(2, pickle.HIGHEST_PROTOCOL + 1)}
COPIERS["copy.copy"] = copy.copy
COPIERS["copy.deepcopy"] = copy.deepcopy


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
def test_round_trip_keeps_every_bit(copier):
    for obj in samples():
        twin = copier(obj)
        assert type(twin) is type(obj) and twin is not obj
        assert fields(twin) == fields(obj), type(obj).__name__


def test_copies_are_independent():
    v = Vec3d(1, 2, 3)
    w = copy.copy(v)
    w.x = 9
    assert v.x == 1
    vl = VecList([v])
    twin = copy.deepcopy(vl)
    twin.append(v)
    assert (len(vl), len(twin)) == (1, 2)


def test_pickled_form_is_small_and_names_the_reconstructor():
    data = pickle.dumps(Vec3d(1, 2, 3), protocol=4)
    assert b"kestrum_py" in data and b"_unpickle" in data and len(data) <= 80
    fn, args = Vec3d(1, 2, 3).__reduce_ex__(4)
    assert fn is kestrum_py._unpickle and fn.__module__ == "kestrum_py"
    assert args == ("Vec3d", 1, struct.pack("<3d", 1, 2, 3))
    plane_args = Plane.xy().__reduce_ex__(2)[1]
    assert plane_args == ("Plane", 1, struct.pack("<4d", 0, 0, 1, 0))


def test_veclist_protocol_5_hands_out_its_elements_without_copying():
    vl = VecList([Vec3d(i, i + 0.5, -i) for i in range(1000)])
    buffers = []
    data = pickle.dumps(vl, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 100 and len(buffers) == 1
    raw = buffers[0].raw()
    assert raw.obj is vl and raw.nbytes == 24 * 1000  # the list's own memory
    with pytest.raises(RuntimeError, match="Already borrowed"):
        vl.append(Vec3d.i())  # held until the buffer is let go
    twin = pickle.loads(data, buffers=buffers)
    assert fields(twin) == fields(vl)
    raw.release()
    buffers[0].release()
    vl.append(Vec3d.i())
    # In-band, the same protocol writes the block into the stream.
    assert fields(pickle.loads(pickle.dumps(twin, protocol=5))) == fields(twin)
    ql = QuatList([Quat(i, 0.5, -i, 2) for i in range(100)])
    buffers = []
    data = pickle.dumps(ql, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 100 and len(buffers) == 1 and buffers[0].raw().obj is ql
    assert fields(pickle.loads(data, buffers=buffers)) == fields(ql)


def test_iterator_cannot_be_pickled_or_copied():
    it = iter(VecList([Vec3d(1, 2, 3)]))
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle"):
            attempt(it)
    assert next(it).to_array() == [1.0, 2.0, 3.0]  # untouched


MALFORMED = [
    (("Vec3d", 2, bytes(24)), ValueError,
     "unsupported pickle format version 2 of Vec3d (this kestrum_py reads version 1)"),
    (("Quat", 0, bytes(32)), ValueError, "unsupported pickle format version 0 of Quat"),
    (("Vec3d", 1, bytes(23)), ValueError, "pickled Vec3d state must be 24 bytes, got 23"),
    (("Circle", 1, bytes(64)), ValueError, "pickled Circle state must be 56 bytes, got 64"),
    (("AngleDegrees", 1, b""), ValueError, "pickled AngleDegrees state must be 8 bytes, got 0"),
    (("VecList", 1, bytes(25)), ValueError, "pickled VecList state must be a multiple of 24 bytes, got 25"),
    (("VecList", 1, bytes(32)), ValueError, "pickled VecList state must be a multiple of 24 bytes, got 32"),
    (("VecList", 1, bytes(56)), ValueError, "pickled VecList state must be a multiple of 24 bytes, got 56"),
    (("VecListIterator", 1, b""), ValueError, "unknown class 'VecListIterator'"),
    (("Mat3", 1, bytes(64)), ValueError, "pickled Mat3 state must be 72 bytes, got 64"),
    (("QuatList", 1, bytes(40)), ValueError, "pickled QuatList state must be a multiple of 32 bytes, got 40"),
    ((b"Vec3d", 1, bytes(24)), TypeError, "argument 'cls': 'bytes' object cannot be cast as 'str'"),
    (("Vec3d", "1", bytes(24)), TypeError, "argument 'version'"),
    (("Vec3d", -1, bytes(24)), OverflowError, "negative"),
    (("Vec3d", 1, "x" * 24), TypeError, "argument 'state': 'str' object cannot be cast as 'Buffer'"),
    (("Vec3d", 1), TypeError, "_unpickle() missing 1 required positional argument: 'state'"),
]


@pytest.mark.parametrize("args,exc,text", MALFORMED, ids=[m[2][:40] for m in MALFORMED])
def test_malformed_state_raises_a_clear_error(args, exc, text):
    with pytest.raises(exc) as info:
        kestrum_py._unpickle(*args)
    assert text in str(info.value)


def test_malformed_pickle_stream_fails_cleanly():
    good = pickle.dumps(Vec3d(1, 2, 3), protocol=2)
    assert b"K\x01" in good  # the version, as a one-byte int
    with pytest.raises(ValueError, match="version 2"):
        pickle.loads(good.replace(b"K\x01", b"K\x02", 1))
    # Any state buffer is accepted when its length is right, e.g. a bytearray.
    state = bytearray(struct.pack("<3d", 4, 5, -0.0))
    assert fields(kestrum_py._unpickle("Vec3d", 1, state)) == bytes(state)


def test_unpickles_in_a_fresh_spawned_process():
    objs = samples()
    data = pickle.dumps(objs, protocol=pickle.HIGHEST_PROTOCOL)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        # The child runs nothing of ours: only the standard library's own functions.
        imported = pool.apply(eval, ("'kestrum_py' in __import__('sys').modules",))
        back = pool.apply(pickle.loads, (data,))  # unpickled there, pickled back here
    assert imported is False
    assert [type(o) for o in back] == [type(o) for o in objs]
    assert [fields(o) for o in back] == [fields(o) for o in objs]


# A protocol-5 buffer caught in a collected cycle beside a memoryview of it:
# the collector may clear the memoryview first while the PickleBuffer still
# holds its export. Run in a child, since the failure is a crash.
CYCLE_CHILD = r"""
import gc, pickle
import kestrum_py as kp
for obj in (kp.KdTree([[0.0, 1.0, 2.0]] * 40), kp.VecList([kp.Vec3d(1, 2, 3)] * 40),
            kp.QuatList([kp.Quat(1, 0, 0, 0)] * 40)):
    for _ in range(20):
        bufs = []
        pickle.dumps(obj, protocol=5, buffer_callback=bufs.append)
        ring = [bufs[0], memoryview(bufs[0])]
        ring.append(ring)
        del bufs, ring
        gc.collect()
    assert pickle.loads(pickle.dumps(obj, protocol=5)).__reduce_ex__(2)[1][2] == obj.__reduce_ex__(2)[1][2]
print("ok")
"""


def test_out_of_band_buffers_in_a_collected_cycle():
    import subprocess
    import sys
    proc = subprocess.run([sys.executable, "-c", CYCLE_CHILD], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["ok"]
