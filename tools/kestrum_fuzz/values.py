"""Values: a pool of live instances, random values of any type, and a good
value per parameter kind (the alternatives of the types the rows export).

Every preset a kind needs lives here, in `of_kind`: a table kind gets tables
of varied shape, a `str` gets Euler sequences and class names, a `Buffer`
the pickled state of the class a `str` of the same call named, and so on.
"""

import math
from decimal import Decimal
from fractions import Fraction

from kestrum_fuzz.catalogue import split_top
from kestrum_fuzz.hostile import (HOSTILE_MODES, MODE_WEIGHTS, FloatLike, FloatSub, Hostile, HostileSeq,
                                  IndexLike, IntSub, ListSub, OldStyleSeq, StrSub)

try:
    import numpy as np
except ImportError:  # the fuzzer still runs, without numpy values
    np = None

POOL_PER_CLASS = 10    # live instances kept per class
MAX_POOL_LEN = 400     # longer lists are not kept (bulk ops stay cheap)
GOOD_SHARE = 0.75      # how often a parameter gets a value of its own kind

INF, NAN = math.inf, math.nan
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -2.5, 3.0, 1e-300, 5e-324, -5e-324,
          2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
          INF, -INF, NAN, -NAN, math.copysign(NAN, -1.0), 1e20, 1 / 3, math.pi,
          2.220446049250313e-16, 1.0000000000000002, 9007199254740993.0]
INTS = [0, 1, 2, 3, 4, 5, -1, -2, 7, 2 ** 31, 2 ** 32, 2 ** 53 + 1, 2 ** 63 - 1, 2 ** 63,
        -2 ** 63, -2 ** 63 - 1, 2 ** 64 - 1, 2 ** 64, -2 ** 64, 2 ** 1000, -2 ** 1000, 10 ** 30]
SMALL_INTS = [0, 0, 1, 1, 1, 2, 2, 3, 4, 5, 10, 100]
EULER_SEQS = ["xyz", "ZYX", "zxz", "XYX", "xxy", "xYz", "", "xyzx"]
# (n, ...) shapes a table parameter is offered: points, quaternions, matrices.
TABLE_SHAPES = [(3,), (3,), (4,), (3, 3)]
TAME_SHAPES = [(3,), (3,), (4,)]  # points, or a 4x4 matrix


def numpy_values():
    if np is None:
        return []
    return [np.float64(1.5), np.float64(-0.0), np.float64("nan"), np.float32(2.5),
            np.float16(-3), np.longdouble(7), np.int8(-1), np.int64(2), np.int64(2 ** 63 - 1),
            np.uint64(2 ** 64 - 1), np.uint8(3), np.intp(0), np.bool_(True), np.bool_(False),
            np.array(2.5), np.array(3), np.array([1.0, 2.0]), np.array([]),
            np.array([True]), np.complex128(1 + 2j), np.str_("x")]


def misc_values():
    return [None, "", "abc", StrSub("x"), b"xyz", bytearray(b"ab"), [], (), [1, 2, 3],
            {}, {1: 2}, set(), frozenset([1]), object(), range(3), 1 + 2j, Decimal("1.5"),
            Decimal("nan"), Fraction(1, 3), FloatSub(2.5), IntSub(7), ListSub(),
            FloatLike(1.25), FloatLike(INF), IndexLike(2), IndexLike(-1),
            IndexLike(2 ** 64), lambda: 0, int, Ellipsis, NotImplemented, True, False]


class Values:
    """Mixed into the fuzzer: needs `rng`, `cat` (the catalogue), `pool`,
    `receiver` (of the call being planned) and `call_values` (its values so far)."""

    def _values_init(self):
        self.numpy_values = numpy_values()
        self.misc = misc_values()

    # ---- instances ------------------------------------------------------------

    def _fresh(self, cls):
        f = self.cat.factories.get(cls)
        if f:
            try:
                return self.rng.choice(f)()
            except BaseException:  # noqa: BLE001
                return None
        # Classes without a factory (an iterator) come from iterating something.
        for src in self.cat.classes:
            if src is not cls and self.pool.get(src) and "__iter__" in vars(src):
                try:
                    it = iter(self.rng.choice(self.pool[src]))
                except BaseException:  # noqa: BLE001
                    continue
                if type(it) is cls:
                    return it
        return None

    def instance(self, cls):
        pool = self.pool.get(cls)
        if pool and self.rng.random() < 0.85:
            return self.rng.choice(pool)
        o = self._fresh(cls)
        if o is not None:
            self._remember(o)
            return o
        return self.rng.choice(pool) if pool else object()

    def any_instance(self):
        if not self.cat.classes:
            return self.rng.choice(self.misc)
        return self.instance(self.rng.choice(self.cat.classes))

    def _remember(self, o):
        cls = type(o)
        if cls not in self.cat.by_class and self.cat.sighted(o):
            self._new_class(cls, o)
        if cls not in self.cat.by_class:
            return
        try:
            if hasattr(o, "__len__") and len(o) > MAX_POOL_LEN:
                return
        except BaseException:  # noqa: BLE001
            return
        pool = self.pool.setdefault(cls, [])
        if len(pool) < POOL_PER_CLASS:
            pool.append(o)
        else:
            pool[self.rng.randrange(POOL_PER_CLASS)] = o

    # ---- random values of any type ----------------------------------------------

    def mode(self):
        return self.rng.choices(HOSTILE_MODES, MODE_WEIGHTS)[0]

    def hostile(self):
        return Hostile(self, self.rng.choice(["float", "index", "eq", "bool"]), self.mode())

    def random_value(self, depth=0):
        r = self.rng.random()
        if r < 0.30:
            return self.any_instance()
        if r < 0.45:
            return self.rng.choice(FLOATS)
        if r < 0.57:
            return self.rng.choice(INTS)
        if r < 0.65 and self.numpy_values:
            return self.rng.choice(self.numpy_values)
        if r < 0.77:
            return self.rng.choice(self.misc)
        if r < 0.92:
            return self.hostile()
        return self.sequence() if depth == 0 else None

    def sequence(self, item=None):
        """A sequence of instances (of the class named `item`, else of one
        class), sometimes with a wrong item or hostile hooks."""
        r = self.rng.random()
        n = self.rng.choice([0, 1, 2, 3, 5, 8, 20, 64])
        cls = self.cat.class_by_name.get(item) if item else \
            self.rng.choice(self.cat.classes) if self.cat.classes else None
        items = [self.instance(cls) if cls else 1.0 for _ in range(n)]
        if r < 0.4:
            return items
        if r < 0.6:
            return tuple(items)
        if r < 0.7:
            if items:  # one wrong item somewhere
                items[self.rng.randrange(len(items))] = self.random_value(depth=1)
            return items
        if r < 0.75:
            return (v for v in items)
        seq = OldStyleSeq if r < 0.8 else HostileSeq
        hook = self.rng.choice(["len", "iter", "next", "getitem"])
        return seq(self, items, hook, self.mode(), self.rng.randrange(max(1, n)))

    # ---- a good value per kind ------------------------------------------------------

    def value_for(self, target, index):
        kinds = target.kinds[index] if index < len(target.kinds) else ["object"]
        if self.tame and "None" in kinds:
            value = None  # the default
        elif self.tame and "_Rows" in kinds:
            value = self.of_kind("_Rows")
        elif self.tame and kinds == ["SupportsIndex"]:
            value = self.rng.choice([0, 1])  # a first index, a format version
        elif self.tame and kinds == ["str"]:
            # A valid axis sequence or a class name (a pickled value's).
            names = EULER_SEQS[:4] if self.rng.random() < 0.5 else [c.__name__ for c in self.cat.classes]
            value = self.rng.choice(names)
        elif self.tame or self.rng.random() < GOOD_SHARE:
            value = self.of_kind(self.rng.choice(kinds))
        else:
            value = self.random_value()
        self.call_values.append(value)
        return value

    def of_kind(self, kind):
        rng = self.rng
        if kind in self.cat.class_by_name:
            return self.instance(self.cat.class_by_name[kind])
        if kind == "_Float":
            r = rng.random()
            if r < 0.6:
                return rng.choice(FLOATS)
            if r < 0.7:
                return rng.choice(SMALL_INTS)
            if r < 0.8 and np is not None:
                return np.float64(rng.choice(FLOATS))
            if r < 0.85:
                return rng.choice([FloatSub(-1.5), FloatLike(2.0), True, Fraction(3, 4)])
            return Hostile(self, "float", self.mode())
        if kind in ("SupportsIndex", "int"):
            r = rng.random()
            if r < 0.7:
                return rng.choice(SMALL_INTS)
            if r < 0.8:
                return rng.choice(INTS)
            if r < 0.85:
                return rng.choice([IntSub(1), IndexLike(2), True]
                                  + ([np.uint8(1), np.int64(0)] if np is not None else []))
            return Hostile(self, "index", self.mode())
        if kind == "bool":
            return rng.choice([True, False] + ([np.bool_(True), np.bool_(False)] if np is not None else []))
        if kind == "str":
            # Axis sequences, or the name of a class (a pickled value's, say).
            names = [c.__name__ for c in self.cat.classes] + ["Vec3D"]
            word = rng.choice(EULER_SEQS if rng.random() < 0.5 else names)
            return word if rng.random() < 0.9 else StrSub(word)
        if kind.startswith("Sequence["):
            item = kind[len("Sequence["):-1]
            if item in self.cat.class_by_name:
                return self.sequence(item)
            return [self.of_kind(rng.choice(split_top(item, "|"))) for _ in range(rng.choice([0, 1, 2, 3]))]
        if kind.startswith("tuple["):
            return tuple(self.of_kind(k) for k in split_top(kind[len("tuple["):-1], ","))
        if kind == "slice":
            return slice(*(rng.choice([None, 0, 1, 2, -1, 3]) for _ in range(rng.choice([1, 2, 3]))))
        if kind == "_Rows":
            return self.table(rng.choice(TAME_SHAPES if self.tame else TABLE_SHAPES))
        if kind == "_Rows3d":
            return self.table((3, 3))
        if kind == "_Column":
            return self.column()
        if kind == "memoryview":
            return self.exported_view()
        if kind == "Buffer":
            return self.pickled_state()
        return self.random_value()

    def column(self):
        """One row of numbers: mostly a point's three, as a list, tuple or array."""
        rng = self.rng
        n = 3 if rng.random() < 0.6 else rng.choice([0, 1, 2, 4, 7, 40])
        xyz = [rng.choice(FLOATS) for _ in range(n)]
        form = rng.randrange(4)
        if form == 0 or np is None:
            return xyz
        if form == 1:
            return tuple(xyz)
        return np.array(xyz, dtype=np.float64 if form == 2 else np.float32)

    def table(self, shape):
        """An (n, *shape) table, or something close to one."""
        rng = self.rng
        n = rng.choice([0, 1, 2, 3, 7, 40])
        r = rng.random()
        width = math.prod(shape)

        def nest(flat):
            if len(shape) == 1:
                return flat
            return [flat[k:k + shape[1]] for k in range(0, width, shape[1])]
        if self.tame or r > 0.96:
            # Tame: four rows of small whole numbers, the square ones an identity,
            # which bodies with strict preconditions (a fit, a rigid matrix) accept.
            n = 4
            rows = [nest([float(i == k) if n == width else float(rng.randint(-3, 3)) for k in range(width)])
                    for i in range(n)]
            return rows if np is None or r < 0.98 else np.array(rows)
        if np is None or r < 0.25:
            rows = [nest([rng.choice(FLOATS) for _ in range(width)]) for _ in range(n)]
            if rows and shape == (3,) and r < 0.06:
                rows[rng.randrange(n)][rng.randrange(3)] = Hostile(self, "float", self.mode())
            elif rows and r < 0.1:
                rows[rng.randrange(n)] = self.random_value(depth=1)
            return rows if r < 0.18 else tuple(tuple(row) for row in rows)
        base = np.array([rng.choice(FLOATS) for _ in range(2 * width * (n + 1))]).reshape(n + 1, 2 * width)
        arr = base[:n, ::2] if r < 0.4 else base[:n, :width]
        arr = arr.reshape((n,) + tuple(shape))
        if r < 0.5:
            arr = arr[::-1]
        elif r < 0.6:
            arr = np.asfortranarray(arr)
        elif r < 0.7:
            arr = arr.astype(np.float32)
        elif r < 0.8:
            arr = arr.astype(rng.choice([np.int64, np.complex128, object, ">f8", np.float16]))
        elif r < 0.86:
            arr = rng.choice([arr.reshape(-1), base[:n, :width + 1], arr[..., None]])
        elif r < 0.93:
            # A view of a pool exporter's own elements, held while the call runs.
            if self.cat.exporters:
                try:
                    arr = np.asarray(self.instance(rng.choice(self.cat.exporters)))
                except BaseException:  # noqa: BLE001 - borrowed right now
                    pass
        return arr

    def pickled_state(self):
        """The state part of some object's pickled form, intact or damaged:
        mostly of the class a `str` of the same call named."""
        rng = self.rng
        named = [v for v in self.call_values if isinstance(v, str)]
        cls = self.cat.class_by_name.get(named[-1]) if named else None
        source = self.instance(cls) if cls is not None and rng.random() < 0.7 else self.any_instance()
        try:
            state = source.__reduce_ex__(rng.choice([2, 5]))[1][2]
        except BaseException:  # noqa: BLE001 - not one of ours, or borrowed
            return self.random_value(depth=1)
        r = rng.random()
        if r < 0.7 or self.tame:
            return state
        raw = bytes(state)
        if r < 0.85:
            return raw[:-rng.choice([1, 8])] + (b"\0" * rng.choice([0, 9]))
        return rng.choice([bytearray(raw), memoryview(raw)[::-1] if raw else raw, self.random_value(1)])

    def exported_view(self):
        """A memoryview of a pool exporter (the receiver when it is one), or a released one."""
        exporters = self.cat.exporters
        if not exporters or self.rng.random() < 0.2:
            m = memoryview(b"x")
            m.release()
            return m
        own = type(self.receiver) in exporters
        source = self.receiver if own and self.rng.random() < 0.6 \
            else self.instance(type(self.receiver) if own else self.rng.choice(exporters))
        try:
            return memoryview(source)
        except BaseException:  # noqa: BLE001 - borrowed right now
            return self.random_value(depth=1)

