#!/usr/bin/env python3
"""Randomised robustness fuzzer for the kestrum_py extension.

Every public member of `kestrum_py` and of its `geometry` submodule is found by
introspection (classes, constructors, methods, static methods, properties,
protocol slots, module functions; classes that only show up as results, like
the VecList iterator, are picked up when they first appear) and called with
random arguments: right and wrong types, wrong counts, duplicate and unknown
keywords, extreme ints and floats, numpy scalars, containers, and hostile
objects whose conversion hooks raise or call back into the library.

Each call must end in a result or in an allowed exception (TypeError,
OverflowError, IndexError, AttributeError, the two borrow RuntimeErrors,
StopIteration from next, the documented PanicExceptions, or the very exception
a hostile argument raised). A wrapped TypeError keeps its cause; an error a
hook raised (other than in len(), a size hint, or in an operator's operand) is
never swallowed; a failed call leaves its receiver unchanged; and afterwards
every object involved still works (repr succeeds and an exclusive borrow can be
taken, so no borrow was left behind). Anything else is a finding, as are
crashes, hangs and sanitizer reports.

    python tools/kestrum_fuzz/fuzz_api.py --calls 1000000 [--seed S] [--jobs 2]
    python -m kestrum_fuzz --calls 1000000      (tools/ on PYTHONPATH)

The calls run in batches, each in a child process, so a segfault, an abort or
a hang is reported with the batch's seed and the last actions it started (the
batch is replayed with tracing to find them). `--in-process --seed S --calls N`
replays one batch in the current process. Under an ASan build, run it with
the sanitizer runtime preloaded as tests/run_all.sh does.
Exit status: 0 when nothing was found, 1 on a finding, 2 on a usage error.
"""

import argparse
import collections
import copy
import faulthandler
import gc
import inspect
import json
import math
import operator
import os
import pickle
import random
import re
import subprocess
import sys
import tempfile
import time
import traceback
import types
import warnings
import weakref
from decimal import Decimal
from fractions import Fraction

try:
    import numpy as np
except ImportError:  # the fuzzer still runs, without numpy values
    np = None

# -- what counts as an allowed outcome ----------------------------------------

PANIC_NAME = "PanicException"
# (target, message) pairs for which a PanicException is part of the contract.
DOCUMENTED_PANICS = {
    ("VecList.collapse", "assertion failed: axis <= 2"),
    ("VecList.minimum_distance_to", "assertion failed: stride != 0"),
    ("VecList.minimum_distance_to", "called `Option::unwrap()` on a `None` value"),
}
# Slots that answer NotImplemented (dropping any conversion error) or compare.
OPERATOR_SLOTS = {"add", "sub", "mul", "truediv", "matmul", "lt", "le", "eq", "ne", "gt", "ge"}
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
# A table's shape errors; the wider point and matrix parameters name
# themselves in them, as in their TypeErrors.
SHAPE_ERRORS = ("expected an array of shape", "expected 3 ", "row ", "item ", "the sequence changed")


def named(*params):
    return tuple(f"argument '{p}': {m}" for p in params for m in SHAPE_ERRORS)


# Errors particular to one target: (type, message prefixes) pairs.
DOCUMENTED_ERRORS = {
    "VecList.from_array": [(ValueError, ("expected an array of shape", "row ",
                                         "the sequence changed"))],
    "KdTree()": [(ValueError, named("points"))],
    "KdTree.__new__": [(ValueError, named("points"))],
    "KdTree.nearest_many": [(ValueError, named("points") + ("k must be at least 1",)),
                            (MemoryError, ("",))],  # k so large that m * k results cannot exist
    "KdTree.within_many": [(ValueError, named("points"))],
    "KdTree.nearest": [(ValueError, named("point"))],
    "KdTree.within": [(ValueError, named("point"))],
    "Quat.between": [(ValueError, named("a", "b"))],
    "Quat.from_rotvec": [(ValueError, named("v"))],
    "_unpickle": [(ValueError, ("unsupported pickle format version", "pickled ", "unknown class")),
                  (BufferError, ("memoryview: underlying buffer is not",))],
    "VecList.__buffer__": [(BufferError, ("VecList buffer is",))],
    "Quat.from_matrix": [(ValueError, named("m"))],
    "Quat.as_euler": [(ValueError, ("invalid Euler sequence",))],
    **{name: [(ValueError, named("rows"))] for name in ("Mat3()", "Mat3.__new__")},
    "Mat3.__buffer__": [(BufferError, ("Mat3 buffer is",))],
    # != negates the full ==, where numpy answers a Mat3 (a buffer) elementwise;
    # `in` compares each row (a list) with the item, as in a list of rows.
    **{name: [(ValueError, ("The truth value of an array",))] for name in ("Mat3.__ne__", "op:ne", "op:contains")},
    "Mat3.__release_buffer__": [(ValueError, ("memoryview's buffer",))],
    "Quat.from_euler": [(ValueError, ("invalid Euler sequence",))],
    "Quat.align": [(ValueError, ("a and b differ in length", "align needs at least one pair") + named("a", "b"))],
    "VecList.__release_buffer__": [(ValueError, ("memoryview's buffer",))],
    "QuatList.__buffer__": [(BufferError, ("QuatList buffer is",))],
    "QuatList.__release_buffer__": [(ValueError, ("memoryview's buffer",))],
    "QuatList.mean": [(ValueError, ("mean of an empty QuatList", "expected ", "weights must be",
                                    "the weights are all zero") + named("weights"))],
    "VecList.mean": [(ValueError, ("mean of an empty VecList",))],
    **{name: [(ValueError, named("translation"))] for name in ("RigidTransform()", "RigidTransform.__new__")},
    "RigidTransform.apply": [(ValueError, named("x"))],
    "RigidTransform.from_matrix": [(ValueError, ("expected a 4x4", "expected an array of shape", "the bottom row", "the upper-left",
                                                 "the translation column") + named("m"))],
    "RigidTransform.align": [(ValueError, ("a and b differ in length", "align needs at least one pair", "expected ",
                                           "weights must be", "the weights are all zero")
                              + named("a", "b", "weights"))],
    # target is a KdTree or points: the points' shape errors come unnamed.
    "icp": [(ValueError, ("max_distance must", "tolerance must", "point_to_plane needs", "target_normals has",
                          "a KdTree holds", "expected an array of shape") + named("source", "target_normals"))],
    **{f"QuatList.{m}": [(ValueError, (f"{m}: the lists have different lengths",) + named("v"))]
       for m in ("rotate", "then", "angle_to", "slerp")},
    "Quat.then": [(ValueError, ("then: the lists have different lengths",))],
    **{f"QuatList.{m}": [(ValueError, ("expected an array of shape", "row ", "item ", "the sequence changed",
                                       "invalid Euler sequence"))]
       for m in ("from_array", "from_euler", "slerp_path", "as_euler")},
    "QuatList.from_matrix": [(ValueError, named("m"))],
    "QuatList.from_rotvec": [(ValueError, named("v"))],
    # float() and int() parse any object with a buffer as text.
    "op:float": [(ValueError, ("could not convert",))],
    "op:int": [(ValueError, ("invalid literal",))],
}
# Classes without a constructor or factory of their own: the module function
# that returns one, with arguments it accepts.
_TRIANGLE = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
MADE_BY = {"IcpResult": ("icp", (_TRIANGLE, _TRIANGLE, 1.0))}
# Module functions that __all__ leaves out but the fuzzer calls too.
HIDDEN_FUNCTIONS = ("_unpickle",)
# Parameters whose good values the error messages do not reveal.
PRESET_HINTS = {
    ("VecList.from_array", 0): "rows",
    ("KdTree()", 0): "rows",
    ("KdTree.__new__", 0): "rows",
    ("KdTree.nearest_many", 0): "rows",
    ("KdTree.within_many", 0): "rows",
    ("_unpickle", 0): "class_name",
    ("_unpickle", 1): "format_version",
    ("_unpickle", 2): "pickled_state",
    ("VecList.__release_buffer__", 0): "memoryview",
    ("VecList.__buffer__", 0): "int",
    ("QuatList.__release_buffer__", 0): "memoryview",
    ("QuatList.__buffer__", 0): "int",
    # Learning keeps the first message, and an item's cast error ("... as 'Vec3d'")
    # would otherwise teach that the constructors want a vector.
    ("VecList()", 0): "Sequence",
    ("VecList.__new__", 0): "Sequence",
    ("QuatList()", 0): "Sequence[Quat]",
    ("QuatList.__new__", 0): "Sequence[Quat]",
    ("QuatList.from_array", 0): "rows4",
    ("QuatList.from_matrix", 0): "rows33",
    ("QuatList.from_rotvec", 0): "rows",
    ("QuatList.from_euler", 0): "euler_seq",
    ("QuatList.from_euler", 1): "rows",
    ("QuatList.as_euler", 0): "euler_seq",
    ("QuatList.slerp_path", 2): "column",
    ("Quat.from_matrix", 0): "rows",
    ("Mat3()", 0): "rows",
    ("Mat3.__new__", 0): "rows",
    ("Mat3.__buffer__", 0): "int",
    ("Mat3.__release_buffer__", 0): "memoryview",
    ("Quat.as_euler", 0): "euler_seq",
    ("Quat.from_euler", 0): "euler_seq",
    ("RigidTransform()", 1): "point",
    ("RigidTransform.__new__", 1): "point",
    ("RigidTransform.from_matrix", 0): "rigid_matrix",
    ("RigidTransform.apply", 0): "rows",
    ("RigidTransform.align", 0): "three_points",
    ("RigidTransform.align", 1): "three_points",
    ("icp", 0): "three_points",
    ("icp", 1): "three_points",
    ("Quat.align", 0): "three_points",
    ("Quat.align", 1): "three_points",
    # The cast error that taught these is now a text naming every form.
    ("KdTree.nearest", 0): "point",
    ("KdTree.within", 0): "point",
    ("Quat.between", 0): "point",
    ("Quat.between", 1): "point",
    ("Quat.from_rotvec", 0): "point",
    ("QuatList.rotate", 0): "point",
}
PLAIN_ALLOWED = (TypeError, OverflowError, IndexError, AttributeError)
WRAPPED = re.compile(r"argument '([^']*)': (.*)\Z", re.S)

MAX_DEPTH = 3          # call depth at which hooks stop calling back in
POOL_PER_CLASS = 10    # live instances kept per class
MAX_POOL_LEN = 400     # longer VecLists are not kept (bulk ops stay cheap)
MAX_FINDINGS = 50      # findings kept in full; later ones are only counted


class FuzzBaseError(BaseException):
    """A failure that is no Exception, like KeyboardInterrupt."""


class FuzzMemoryError(MemoryError):
    """Stands for an allocation failure inside a conversion hook."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


# -- hostile objects -------------------------------------------------------------

# Conversion hook results the interpreter refuses (for an unsigned index, the
# huge and negative ones overflow).
POISON = {"float": ("x", None, 1), "index": (1.5, "x", None, 2 ** 64, -5)}
# Exceptions with which these hooks legitimately end an iteration.
ITERATION_HOOKS = {"next": StopIteration, "getitem": (IndexError, StopIteration)}
HOSTILE_MODES = ("value", "type", "base", "memory", "bad", "reenter", "reenter_raise", "mutate")
# Calling back into the library is what finds borrow and reference bugs: favour it.
MODE_WEIGHTS = (8, 10, 6, 6, 10, 22, 16, 22)


class Hostile:
    """Numeric-looking object; the one hook named `hook` misbehaves per `mode`.

    The other hooks behave, so the object converts to a float through
    __float__ and to an index through __index__ unless that hook is the bad one.
    """

    def __init__(self, fz, hook, mode):
        self.fz, self.hook, self.mode = fz, hook, mode

    def _hook(self, hook, default):
        if hook != self.hook:
            return default()
        return self.fz.misbehave(hook, self.mode, default)

    def __float__(self):
        return self._hook("float", lambda: 0.5)

    def __index__(self):
        return self._hook("index", lambda: 1)

    def __eq__(self, other):
        return self._hook("eq", lambda: NotImplemented)

    def __ne__(self, other):
        return self._hook("eq", lambda: NotImplemented)

    def __bool__(self):
        return self._hook("bool", lambda: True)

    __hash__ = None

    def __repr__(self):
        return f"Hostile({self.hook}:{self.mode})"


class HostileSeq:
    """A sequence of items (PySequence_Check passes through __getitem__)."""

    def __init__(self, fz, items, hook, mode, at):
        self.fz, self.items, self.hook, self.mode, self.at = fz, items, hook, mode, at

    def __len__(self):
        if self.hook == "len":
            return self.fz.misbehave("len", self.mode, lambda: len(self.items))
        return len(self.items)

    def __getitem__(self, i):
        if self.hook == "getitem" and i == self.at:
            return self.fz.misbehave("getitem", self.mode, lambda: self.items[i])
        return self.items[i]

    def __iter__(self):
        if self.hook == "iter":
            return self.fz.misbehave("iter", self.mode, lambda: HostileIter(self))
        return HostileIter(self)

    def __repr__(self):
        return f"HostileSeq({len(self.items)} items, {self.hook}:{self.mode}@{self.at})"


class OldStyleSeq(HostileSeq):
    """Iterated by the interpreter through __getitem__ until IndexError."""

    __iter__ = None

    def __getitem__(self, i):
        if i >= len(self.items):
            raise IndexError(i)
        return HostileSeq.__getitem__(self, i)


class HostileIter:
    def __init__(self, seq):
        self.seq, self.pos = seq, 0

    def __iter__(self):
        return self

    def __next__(self):
        seq, i = self.seq, self.pos
        if i >= len(seq.items):
            raise StopIteration
        self.pos += 1
        if seq.hook == "next" and i == seq.at:
            return seq.fz.misbehave("next", seq.mode, lambda: seq.items[i])
        return seq.items[i]


# -- targets ---------------------------------------------------------------------

class Target:
    """One thing the fuzzer can call. `kind` says how it is invoked, and `obj`
    is what it needs for that: the callable for functions and constructors,
    the attribute name for methods, static methods and slots, the descriptor
    for property get/set/del."""

    __slots__ = ("name", "kind", "cls", "obj", "params", "kwok", "calls", "ok")

    def __init__(self, name, kind, cls, obj, params, kwok=True):
        self.name, self.kind, self.cls, self.obj = name, kind, cls, obj
        self.params, self.kwok = params, kwok
        self.calls = self.ok = 0


def _params_of(obj):
    """Parameter names after the receiver, from the text signature."""
    sig = getattr(obj, "__text_signature__", None)
    if sig is None:
        try:
            return [p for p in inspect.signature(obj).parameters], True
        except (TypeError, ValueError):
            return [], True
    inner = sig.strip()[1:-1]
    names = [p.strip() for p in inner.split(",") if p.strip()]
    kwok = "/" not in names
    out, keyword_only = ParamList(), False
    for raw in names:
        if raw == "*":
            keyword_only = True
        elif raw != "/" and not raw.startswith("$"):
            name, _, default = raw.partition("=")
            out.append(name)
            out.npos += not keyword_only
            if not default:
                out.nreq = len(out)
    return out, kwok


class ParamList(list):
    """Parameter names: the first `npos` may come by position (the rest are
    keyword-only), the first `nreq` are required (the rest have defaults)."""
    npos = nreq = 0


def _builtin_types():
    import builtins
    return {v for v in vars(builtins).values() if isinstance(v, type)}


BUILTIN_TYPES = _builtin_types()


def _drop_tracebacks(e, depth=16):
    """Clears the tracebacks of an exception and of its causes and contexts."""
    seen = set()
    stack = [e]
    while stack and len(seen) < depth:
        x = stack.pop()
        if not isinstance(x, BaseException) or id(x) in seen:
            continue
        seen.add(id(x))
        x.__traceback__ = None
        stack += [x.__cause__, x.__context__]


def _view_under(o, depth=8):
    """The memoryview an array is built on (through its .base chain), or None."""
    for _ in range(depth):
        if isinstance(o, memoryview):
            return o
        try:
            o = getattr(o, "base", None)
        except BaseException:  # noqa: BLE001 - a hostile object's attribute
            return None
        if o is None:
            return None
    return None


def _is_extension_class(t):
    # A heap type that claims the "builtins" module but is none of its classes.
    return (isinstance(t, type) and bool(t.__flags__ & (1 << 9))
            and t not in BUILTIN_TYPES and t.__module__ == "builtins")


BINARY_OPS = [
    ("add", operator.add), ("sub", operator.sub), ("mul", operator.mul),
    ("truediv", operator.truediv), ("floordiv", operator.floordiv), ("mod", operator.mod),
    ("pow", pow), ("matmul", operator.matmul), ("and", operator.and_), ("lshift", operator.lshift),
    ("divmod", divmod), ("iadd", operator.iadd), ("isub", operator.isub),
    ("imul", operator.imul), ("itruediv", operator.itruediv),
    ("lt", operator.lt), ("le", operator.le), ("eq", operator.eq),
    ("ne", operator.ne), ("gt", operator.gt), ("ge", operator.ge),
    ("contains", lambda a, b: b in a), ("getitem", operator.getitem),
    ("delitem", operator.delitem), ("format", format),
    ("class_assign", lambda a, b: setattr(a, "__class__", b)),
    ("setattr_new", lambda a, b: setattr(a, "fuzz_attr", b)),
]
UNARY_OPS = [
    ("neg", operator.neg), ("pos", operator.pos), ("abs", abs), ("invert", operator.invert),
    ("hash", hash), ("bool", bool), ("len", len), ("iter", iter), ("next", next),
    ("repr", repr), ("str", str), ("float", float), ("int", int), ("complex", complex),
    ("index", operator.index), ("list", list), ("reversed", reversed),
    ("copy", copy.copy), ("weakref", weakref.ref), ("sizeof", sys.getsizeof),
    ("pickle", lambda a: _pickle_round_trip(a)), ("buffer", lambda a: bytes(memoryview(a))),
    ("vars", vars), ("getattr_missing", lambda a: a.fuzz_missing_attribute),
]
TERNARY_OPS = [("setitem", operator.setitem), ("pow3", pow)]


def _pickle_round_trip(a):
    """pickle (protocols 2 and 5), copy and deepcopy each give a separate
    object of the same class whose pickled state is byte for byte the same."""
    state = a.__reduce_ex__(4)
    for b in (pickle.loads(pickle.dumps(a, protocol=2)), pickle.loads(pickle.dumps(a, protocol=5)),
              copy.copy(a), copy.deepcopy(a)):
        if type(b) is not type(a) or b is a or b.__reduce_ex__(4) != state:
            raise AssertionError(f"pickled copy differs: {safe_repr(a)} -> {safe_repr(b)}")
    return a


class Action:
    """One planned call: `call(*args, **kwargs)` on behalf of `target`."""

    __slots__ = ("target", "call", "args", "kwargs", "receiver", "may_stop")

    def __init__(self, target, call, args, kwargs=None, receiver=None):
        self.target, self.call, self.args = target, call, args
        self.kwargs = kwargs or {}
        self.receiver = receiver
        self.may_stop = False


def safe_repr(o, limit=90):
    try:
        text = repr(o)
    except BaseException as e:  # noqa: BLE001 - only for descriptions
        text = f"<repr failed: {type(e).__name__}>"
    return text if len(text) <= limit else text[: limit - 3] + "..."


# -- the fuzzer ------------------------------------------------------------------

class Fuzzer:
    def __init__(self, seed=0, modules=None, trace=None, inject_crash_at=None,
                 inject_hang_at=None):
        self.rng = random.Random(seed)
        self.seed = seed
        self.trace = trace
        self.inject_crash_at, self.inject_hang_at = inject_crash_at, inject_hang_at
        if modules is None:
            import kestrum_py
            modules = [kestrum_py]
        self.targets = []
        self.by_class = {}          # class -> receiver-taking targets
        self.classes = []
        self.class_by_name = {}
        self.factories = {}         # class -> zero-argument static factories
        self.probes = {}            # class -> exclusive-borrow probe or None
        self.hints = {}             # (target name, param index) -> wanted kind
        self.pool = {}              # class -> live instances
        self.outcomes = collections.Counter()
        self.findings = []
        self.finding_count = 0
        self.calls = 0              # top-level actions
        self.nested_calls = 0
        self.depth = 0
        self.raised = []            # exceptions the hostile objects raised in this call
        self.events = []            # (call depth, hook) of hooks that raised or returned junk
        self.context = []           # objects of the current top-level call
        self.reentered = False
        self.counter = 0
        self.op_targets = {}
        self.last_class_name = ""   # the class named by the last "class_name" value
        self.receiver = None        # receiver of the action being planned
        for m in modules:
            self._discover_module(m, set())
        present = {t.name for t in self.targets}
        self.hints.update({k: v for k, v in PRESET_HINTS.items() if k[0] in present})
        self._values_init()
        for cls in list(self.classes):
            self._seed_pool(cls)

    # ---- discovery ----------------------------------------------------------

    def _discover_module(self, mod, seen):
        if id(mod) in seen:
            return
        seen.add(id(mod))
        names = getattr(mod, "__all__", None) or [n for n in dir(mod) if not n.startswith("_")]
        for name in names:
            obj = getattr(mod, name, None)
            if isinstance(obj, types.ModuleType):
                if obj.__name__ not in sys.modules or sys.modules[obj.__name__] is not obj:
                    self._discover_module(obj, seen)  # the extension's own submodules
            elif isinstance(obj, type):
                self._discover_class(obj)
            elif callable(obj):
                params, kwok = _params_of(obj)
                self.targets.append(Target(f"{name}", "function", None, obj, params, kwok))
        # A class only a module function makes gets a small call of it as factory.
        for cls_name, (fn_name, args) in MADE_BY.items():
            cls, fn = getattr(mod, cls_name, None), getattr(mod, fn_name, None)
            if isinstance(cls, type) and callable(fn) and cls in self.factories:
                self.factories[cls].append(lambda fn=fn, args=args: fn(*args))
        for name in HIDDEN_FUNCTIONS:
            obj = getattr(mod, name, None)
            if callable(obj) and name not in names:
                params, kwok = _params_of(obj)
                self.targets.append(Target(name, "function", None, obj, params, kwok))

    def _discover_class(self, cls):
        if cls in self.by_class:
            return
        self.classes.append(cls)
        self.class_by_name[cls.__name__] = cls
        own = []
        self.by_class[cls] = own
        self.factories[cls] = []
        params, kwok = _params_of(cls)
        self.targets.append(Target(f"{cls.__name__}()", "call_class", cls, cls, params, kwok))
        for attr, member in vars(cls).items():
            qual = f"{cls.__name__}.{attr}"
            if attr == "__new__" and callable(member):
                self.targets.append(Target(qual, "call_new", cls, member, params, kwok))
            elif isinstance(member, staticmethod):
                fn = getattr(cls, attr)
                p, k = _params_of(fn)
                t = Target(qual, "static", cls, attr, p, k)
                self.targets.append(t)
                if not p:
                    self.factories[cls].append(fn)
            elif type(member).__name__ in ("method_descriptor", "wrapper_descriptor"):
                p, k = _params_of(member)
                t = Target(qual, "method" if type(member).__name__ == "method_descriptor" else "slot",
                           cls, attr, p, k)
                self.targets.append(t)
                own.append(t)
            elif type(member).__name__ == "getset_descriptor" and not attr.startswith("__"):
                for kind in ("get", "set", "del"):
                    t = Target(f"{qual}#{kind}", kind, cls, member, ["value"] if kind == "set" else [])
                    self.targets.append(t)
                    own.append(t)
        self.probes[cls] = None
        self.pool.setdefault(cls, [])

    def _note_new_class(self, obj):
        t = type(obj)
        if t not in self.by_class and _is_extension_class(t):
            self._discover_class(t)
            self._find_probe(t, obj)

    def _find_probe(self, cls, sample):
        """An operation that takes the exclusive borrow and changes nothing."""
        for t in self.by_class[cls]:
            if t.kind == "set":
                desc = t.obj
                try:
                    desc.__set__(sample, desc.__get__(sample))
                except AttributeError:
                    continue  # read-only property
                except BaseException:  # noqa: BLE001
                    continue
                self.probes[cls] = lambda o, d=desc: d.__set__(o, d.__get__(o))
                return
        # A container without settable properties: extending it by an empty one.
        if hasattr(cls, "extend") and self.factories.get(cls):
            empty = self.factories[cls][0]
            try:
                e = empty()
                if len(e) == 0:
                    sample.extend(e)
                    self.probes[cls] = lambda o, make=empty: o.extend(make())
            except BaseException:  # noqa: BLE001
                pass

    def _seed_pool(self, cls):
        made = []
        for f in self.factories[cls]:
            try:
                made.append(f())
            except BaseException:  # noqa: BLE001 - a broken factory shows up when fuzzed
                pass
        for o in made:
            self._remember(o)
        if made:
            self._find_probe(cls, made[0])

    # ---- values -----------------------------------------------------------------

    def _values_init(self):
        inf, nan = math.inf, math.nan
        self.floats = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -2.5, 3.0, 1e-300, 5e-324, -5e-324,
                       2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
                       inf, -inf, nan, -nan, math.copysign(nan, -1.0), 1e20, 1 / 3, math.pi,
                       2.220446049250313e-16, 1.0000000000000002, 9007199254740993.0]
        self.ints = [0, 1, 2, 3, 4, 5, -1, -2, 7, 2 ** 31, 2 ** 32, 2 ** 53 + 1, 2 ** 63 - 1, 2 ** 63,
                     -2 ** 63, -2 ** 63 - 1, 2 ** 64 - 1, 2 ** 64, -2 ** 64, 2 ** 1000, -2 ** 1000,
                     10 ** 30]
        self.small_ints = [0, 0, 1, 1, 2, 2, 3, 4, 5, 10, 100]
        self.numpy_values = []
        if np is not None:
            self.numpy_values = [
                np.float64(1.5), np.float64(-0.0), np.float64("nan"), np.float32(2.5),
                np.float16(-3), np.longdouble(7), np.int8(-1), np.int64(2), np.int64(2 ** 63 - 1),
                np.uint64(2 ** 64 - 1), np.uint8(3), np.intp(0), np.bool_(True), np.bool_(False),
                np.array(2.5), np.array(3), np.array([1.0, 2.0]), np.array([]),
                np.array([True]), np.complex128(1 + 2j), np.str_("x"),
            ]
        self.misc = [None, "", "abc", StrSub("x"), b"xyz", bytearray(b"ab"), [], (), [1, 2, 3],
                     {}, {1: 2}, set(), frozenset([1]), object(), range(3), 1 + 2j, Decimal("1.5"),
                     Decimal("nan"), Fraction(1, 3), FloatSub(2.5), IntSub(7), ListSub(),
                     FloatLike(1.25), FloatLike(math.inf), IndexLike(2), IndexLike(-1),
                     IndexLike(2 ** 64), lambda: 0, int, Ellipsis, NotImplemented, True, False]

    def _fresh(self, cls):
        f = self.factories.get(cls)
        if f:
            try:
                return self.rng.choice(f)()
            except BaseException:  # noqa: BLE001
                return None
        # Classes without a factory (the iterator) come from iterating something.
        for src in self.classes:
            if src is not cls and self.pool.get(src) and hasattr(src, "__iter__") \
                    and "__iter__" in vars(src):
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
        if not self.classes:
            return self.rng.choice(self.misc)
        return self.instance(self.rng.choice(self.classes))

    def _remember(self, o):
        cls = type(o)
        if cls not in self.by_class:
            self._note_new_class(o)
        if cls not in self.by_class:
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

    def vectors(self, n, name="Vec3d"):
        vec = self.class_by_name.get(name)
        return [self.instance(vec) if vec else 1.0 for _ in range(n)]

    def sequence(self, item="Vec3d"):
        r = self.rng.random()
        n = self.rng.choice([0, 1, 2, 3, 5, 8, 20, 64])
        items = self.vectors(n, item)
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
        cls = OldStyleSeq if r < 0.8 else HostileSeq
        hook = self.rng.choice(["len", "iter", "next", "getitem"])
        return cls(self, items, hook, self.mode(), self.rng.randrange(max(1, n)))

    def mode(self):
        return self.rng.choices(HOSTILE_MODES, MODE_WEIGHTS)[0]

    def hostile(self):
        return Hostile(self, self.rng.choice(["float", "index", "eq", "bool"]), self.mode())

    def random_value(self, depth=0):
        r = self.rng.random()
        if r < 0.30:
            return self.any_instance()
        if r < 0.45:
            return self.rng.choice(self.floats)
        if r < 0.57:
            return self.rng.choice(self.ints)
        if r < 0.65 and self.numpy_values:
            return self.rng.choice(self.numpy_values)
        if r < 0.77:
            return self.rng.choice(self.misc)
        if r < 0.92:
            return self.hostile()
        return self.sequence() if depth == 0 else None

    def good_value(self, kind):
        rng = self.rng
        if kind in self.class_by_name:
            return self.instance(self.class_by_name[kind])
        if kind == "float":
            r = rng.random()
            if r < 0.6:
                return rng.choice(self.floats)
            if r < 0.7:
                return rng.choice(self.small_ints)
            if r < 0.8 and self.numpy_values:
                return np.float64(rng.choice(self.floats))
            if r < 0.85:
                return rng.choice([FloatSub(-1.5), FloatLike(2.0), True, Fraction(3, 4)])
            return Hostile(self, "float", self.mode())
        if kind == "int":
            r = rng.random()
            if r < 0.7:
                return rng.choice(self.small_ints)
            if r < 0.8:
                return rng.choice(self.ints)
            if r < 0.85:
                return rng.choice([IntSub(1), IndexLike(2), True]
                                  + ([np.uint8(1), np.int64(0)] if np is not None else []))
            return Hostile(self, "index", self.mode())
        if kind == "bool":
            opts = [True, False]
            if np is not None:
                opts += [np.bool_(True), np.bool_(False)]
            return rng.choice(opts)
        if kind == "Sequence":
            return self.sequence()
        if kind == "Sequence[Quat]":
            return self.sequence("Quat")
        if kind == "rows":
            return self.rows()
        if kind == "rows4":
            return self.rows((4,), "QuatList")
        if kind == "rows33":
            return self.rows((3, 3))
        if kind == "column":
            return self.rows(())
        if kind == "class_name":
            self.last_class_name = rng.choice([c.__name__ for c in self.classes] + ["", "Vec3D"])
            return self.last_class_name if rng.random() < 0.9 else StrSub(self.last_class_name)
        if kind == "format_version":
            return 1 if rng.random() < 0.8 else rng.choice([0, 2, -1, 2 ** 64, IndexLike(1)])
        if kind == "pickled_state":
            return self.pickled_state()
        if kind == "memoryview":
            return self.exported_view()
        if kind == "euler_seq":
            seq = rng.choice(["xyz", "ZYX", "zxz", "XYX", "xxy", "xYz", "", "xyzx"])
            return seq if rng.random() < 0.9 else StrSub(seq)
        if kind == "point":
            v = self.instance(self.class_by_name["Vec3d"])
            form = rng.randrange(4)
            if form == 0 or np is None:
                return v
            xyz = [v.x, v.y, v.z]
            if form == 1:
                return xyz if rng.random() < 0.5 else tuple(xyz)
            return np.array(xyz, dtype=np.float64 if form == 2 else np.float32)
        if kind == "rigid_matrix":
            rt = self.class_by_name.get("RigidTransform")
            if rt is not None and np is not None and rng.random() < 0.9:
                m = np.asarray(self.instance(rt).as_matrix())
                return m if rng.random() < 0.5 else m.tolist()
        if kind == "three_points":
            vl = self.class_by_name.get("VecList")
            if vl is not None and rng.random() < 0.9:
                return vl([self.instance(self.class_by_name["Vec3d"]) for _ in range(3)])
        return self.random_value()

    def rows(self, shape=(3,), source="VecList"):
        """An (n, *shape) table for from_array and the like, or something close to one."""
        rng = self.rng
        n = rng.choice([0, 1, 2, 3, 7, 40])
        r = rng.random()
        width = 1
        for d in shape:
            width *= d

        def nest(flat):
            if not shape:
                return flat[0]
            if len(shape) == 1:
                return flat
            return [flat[k:k + shape[1]] for k in range(0, width, shape[1])]
        if np is None or r < 0.25:
            rows = [nest([rng.choice(self.floats) for _ in range(width)]) for _ in range(n)]
            if rows and shape == (3,) and r < 0.06:
                rows[rng.randrange(n)][rng.randrange(3)] = Hostile(self, "float", self.mode())
            elif rows and r < 0.1:
                rows[rng.randrange(n)] = self.random_value(depth=1)
            return rows if r < 0.18 or not shape else tuple(tuple(row) for row in rows)
        base = np.array([rng.choice(self.floats) for _ in range(2 * width * (n + 1))]).reshape(n + 1, 2 * width)
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
            vl = self.class_by_name.get(source)
            if vl is not None and shape in ((3,), (4,)):  # a view of a list's own elements, held while the call runs
                arr = np.asarray(self.instance(vl))
        return arr

    def pickled_state(self):
        """The state part of some object's pickled form, intact or damaged."""
        rng = self.rng
        # Mostly the state of the class named just before (cls comes first).
        cls = self.class_by_name.get(self.last_class_name)
        source = self.instance(cls) if cls is not None and rng.random() < 0.7 else self.any_instance()
        try:
            state = source.__reduce_ex__(rng.choice([2, 5]))[1][2]
        except BaseException:  # noqa: BLE001 - not one of ours, or borrowed
            return self.random_value(depth=1)
        r = rng.random()
        if r < 0.7:
            return state
        raw = bytes(state)
        if r < 0.85:
            return raw[:-rng.choice([1, 8])] + (b"\0" * rng.choice([0, 9]))
        return rng.choice([bytearray(raw), memoryview(raw)[::-1] if raw else raw, self.random_value(1)])

    def exported_view(self):
        """A memoryview of a pool exporter (the receiver's class when it is one), or a released one."""
        lists = [c for c in (self.class_by_name.get(n) for n in ("VecList", "QuatList", "Mat3")) if c is not None]
        if not lists or self.rng.random() < 0.2:
            m = memoryview(b"x")
            m.release()
            return m
        own = type(self.receiver) in lists
        source = self.receiver if own and self.rng.random() < 0.6 \
            else self.instance(type(self.receiver) if own else lists[0])
        try:
            return memoryview(source)
        except BaseException:  # noqa: BLE001 - borrowed right now
            return self.random_value(depth=1)

    def value_for(self, target, index):
        kind = self.hints.get((target.name, index))
        if kind is not None and self.rng.random() < 0.75:
            return self.good_value(kind)
        return self.random_value()

    # ---- learning what a parameter wants from its error message ----------------

    def learn(self, target, exc):
        m = WRAPPED.match(str(exc))
        if not m:
            return
        name, inner = m.groups()
        params = target.params
        if name in params:
            idx = params.index(name)
        elif len(params) == 1:
            idx = 0  # slot wrappers name the key differently from the binding
        else:
            return
        key = (target.name, idx)
        if key in self.hints:
            return
        cast = re.search(r"cannot be cast as '([^']*)'", inner)
        if cast:
            kind = cast.group(1).split(" | ")[0]
        elif "Can't extract `str`" in inner:
            kind = "Sequence"
        elif "real number" in inner or "__float__" in inner or "float()" in inner:
            kind = "float"
        elif "as an integer" in inner or "__index__" in inner:
            kind = "int"
        elif "__bool__" in inner:
            kind = "bool"
        else:
            return
        self.hints[key] = kind

    # ---- hostile behaviour --------------------------------------------------------

    def _reg(self, exc, hook=None):
        self.raised.append(exc)
        if hook is not None:
            self.events.append((self.depth, hook))
        return exc

    def misbehave(self, hook, mode, default):
        self.counter += 1
        n = self.counter
        if mode == "value":
            raise self._reg(ValueError(f"fuzz ValueError #{n}"), hook)
        if mode == "type":
            e = TypeError(f"fuzz TypeError #{n}")
            if n % 2:
                e.__cause__ = KeyError(f"fuzz cause #{n}")
            raise self._reg(e, hook)
        if mode == "base":
            raise self._reg(FuzzBaseError(f"fuzz BaseException #{n}"), hook)
        if mode == "memory":
            raise self._reg(FuzzMemoryError(f"fuzz MemoryError #{n}"), hook)
        if mode == "bad":
            value = self._bad_return(hook)
            if any(value is p for p in POISON.get(hook, ())) or hook == "iter":
                self.events.append((self.depth, hook))  # the interpreter must refuse it
            return value
        self.reentered = True
        if mode == "mutate":
            self._mutate()
            return default()
        exc = self.nested()
        if exc is not None and mode == "reenter_raise":
            if hook in ITERATION_HOOKS and isinstance(exc, ITERATION_HOOKS[hook]):
                raise self._reg(exc)  # this one just ends the iteration
            raise self._reg(exc, hook)
        return default()

    def _bad_return(self, hook):
        rng = self.rng
        if hook == "float":
            return rng.choice(POISON["float"] + (FloatSub(1.5),))
        if hook == "index":
            return rng.choice(POISON["index"] + (True, IntSub(2)))
        if hook == "eq":
            return Hostile(self, "bool", self.mode())
        if hook == "bool":
            return rng.choice([2, None, "x"])
        if hook == "len":
            return rng.choice([-1, 2 ** 70, "x", 1.5, 10 ** 6])
        if hook == "iter":
            return rng.choice([5, [], None])
        return self.random_value(depth=1)  # next / getitem: a wrong item

    def _mutate(self):
        """Writes an object of the enclosing call: a setter or a mutating method."""
        objs = [o for o in self.context if type(o) in self.by_class]
        if not objs or self.depth >= MAX_DEPTH:
            return
        o = self.rng.choice(objs)
        writers = [t for t in self.by_class[type(o)]
                   if t.kind == "set" or t.obj in ("append", "extend", "rotate")]
        if writers:
            self.run_action(self.plan_on(self.rng.choice(writers), o), nested=True)

    def nested(self):
        if self.depth >= MAX_DEPTH:
            return None
        objs = [o for o in self.context if type(o) in self.by_class]
        if objs and self.rng.random() < 0.7:
            o = self.rng.choice(objs)
            own = self.by_class[type(o)]
            act = self.plan_on(self.rng.choice(own), o) if own else self.plan()
        else:
            act = self.plan()
        return self.run_action(act, nested=True)

    # ---- planning one action ----------------------------------------------------

    def _op_target(self, name):
        t = self.op_targets.get(name)
        if t is None:
            t = self.op_targets[name] = Target(f"op:{name}", "op", None, None, [])
        return t

    def _bind(self, target, values):
        """Positional and keyword arguments, sometimes deliberately wrong."""
        rng, params = self.rng, target.params
        n = len(params)
        if isinstance(params, ParamList) and (params.npos < n or params.nreq < n) and rng.random() < 0.85:
            # Keyword-only parameters by keyword; optional ones sometimes left out.
            keep = n if rng.random() < 0.5 else rng.randint(params.nreq, n)
            return values[:min(params.npos, keep)], {params[i]: values[i] for i in range(params.npos, keep)}
        r = rng.random()
        if r < 0.55 or not target.kwok:
            if r > 0.95:
                return values + [self.random_value(1)], {}
            if r > 0.9 and n:
                return values[:-1], {}
            return values, {}
        if r < 0.75:
            k = rng.randrange(n + 1)
            kw = {params[i]: values[i] for i in range(k, n)}
            items = list(kw.items())
            rng.shuffle(items)
            return values[:k], dict(items)
        if r < 0.82 and n:
            drop = rng.randrange(n)
            return values[:drop], {params[i]: values[i] for i in range(drop + 1, n)}
        if r < 0.88 and n:
            return values, {rng.choice(params): self.random_value(1)}
        if r < 0.92:
            return values + [self.random_value(1)], {}
        bogus = rng.choice(["bogus", "self", "other", "x", "value", "", "ünï", "from", "list",
                            "index", "a b"])
        return values, {bogus: self.random_value(1)}

    def plan_on(self, target, receiver):
        """An action on `target` with this receiver."""
        rng = self.rng
        kind = target.kind
        if kind == "get":
            return Action(target, target.obj.__get__, [receiver], receiver=receiver)
        if kind == "set":
            return Action(target, target.obj.__set__, [receiver, self.value_for(target, 0)],
                          receiver=receiver)
        if kind == "del":
            return Action(target, target.obj.__delete__, [receiver], receiver=receiver)
        self.receiver = receiver  # for values that depend on it (a view of it)
        values = [self.value_for(target, i) for i in range(len(target.params))]
        self.receiver = None
        args, kwargs = self._bind(target, values)
        if kind == "method" and type(receiver) is target.cls and rng.random() < 0.6:
            bound = getattr(receiver, target.obj)
            act = Action(target, bound, args, kwargs, receiver)
        else:
            act = Action(target, vars(target.cls)[target.obj], [receiver] + args, kwargs, receiver)
        act.may_stop = target.obj == "__next__"
        return act

    def plan_hostile(self):
        """A well-typed call with one convertible argument replaced by a hostile one."""
        rng = self.rng
        slots = [(name, idx) for (name, idx), kind in self.hints.items()
                 if kind in ("float", "int", "Sequence")]
        if not slots:
            return None
        name, idx = rng.choice(slots)
        target = next(t for t in self.targets if t.name == name)
        kind = self.hints[(name, idx)]
        if kind == "Sequence":
            bad = self.sequence()
            if not isinstance(bad, HostileSeq):
                bad = HostileSeq(self, self.vectors(rng.choice([1, 3, 8])),
                                 rng.choice(["len", "iter", "next", "getitem"]), self.mode(), 0)
        else:
            bad = Hostile(self, "float" if kind == "float" else "index", self.mode())
        values = [self.good_value(self.hints.get((name, i), "?")) for i in range(len(target.params))]
        values[idx] = bad
        if target.kind in ("method", "slot", "set"):
            recv = self.instance(target.cls)
            if target.kind == "set":
                return Action(target, target.obj.__set__, [recv, bad], receiver=recv)
            act = Action(target, vars(target.cls)[target.obj], [recv] + values, receiver=recv)
            act.may_stop = target.obj == "__next__"
            return act
        if target.kind == "call_new":
            return Action(target, target.obj, [target.cls] + values)
        if target.kind == "call_class":
            return Action(target, target.cls, values)
        if target.kind == "static":
            return Action(target, getattr(target.cls, target.obj), values)
        return Action(target, target.obj, values)

    def plan(self):
        rng = self.rng
        r = rng.random()
        if r < 0.1:
            act = self.plan_hostile()
            if act is not None:
                return act
        if r < 0.72 or not self.classes:
            target = rng.choice(self.targets)
            kind = target.kind
            if kind in ("method", "slot", "get", "set", "del"):
                if rng.random() < 0.08:
                    recv = self.random_value(depth=1)  # a foreign receiver
                else:
                    recv = self.instance(target.cls)
                return self.plan_on(target, recv)
            values = [self.value_for(target, i) for i in range(len(target.params))]
            args, kwargs = self._bind(target, values)
            if kind == "call_class":
                return Action(target, target.cls, args, kwargs)
            if kind == "call_new":
                sub = target.cls if rng.random() < 0.85 else rng.choice(
                    self.classes + [int, object(), None])
                return Action(target, target.obj, [sub] + args, kwargs)
            if kind == "static":
                holder = target.cls if rng.random() < 0.7 else self.instance(target.cls)
                return Action(target, getattr(holder, target.obj), args, kwargs)
            return Action(target, target.obj, args, kwargs)
        # Protocol operations through the interpreter's own entry points.
        a = self.any_instance()
        if r < 0.86:
            name, fn = rng.choice(BINARY_OPS)
            b = self.any_instance() if rng.random() < 0.3 else self.random_value()
            if np is not None and isinstance(b, np.ndarray):
                b = b.dtype.type(1)  # an array operand hands the operator to numpy's ufuncs
            if name in ("getitem", "delitem"):
                b = rng.choice(self.small_ints) if rng.random() < 0.5 else b
            operands = [a, b] if rng.random() < 0.6 or name in (
                "contains", "getitem", "delitem", "format", "class_assign", "setattr_new") else [b, a]
            if name == "format":
                operands[1] = rng.choice(["", "x", "10", "^20", b])
            if name == "class_assign" and rng.random() < 0.7:
                operands[1] = rng.choice(self.classes)
            act = Action(self._op_target(name), fn, operands, receiver=a)
        elif r < 0.97:
            name, fn = rng.choice(UNARY_OPS)
            if name == "next" and rng.random() < 0.8:
                iters = [c for c in self.classes if "__next__" in vars(c)]
                if iters:
                    a = self.instance(rng.choice(iters))
            act = Action(self._op_target(name), fn, [a], receiver=a)
            act.may_stop = name == "next"
        else:
            name, fn = rng.choice(TERNARY_OPS)
            third = self.random_value()
            if isinstance(third, Decimal):
                third = 7  # CPython 3.13.0's decimal crashes on pow(x, y, Decimal) for a foreign x
            act = Action(self._op_target(name), fn, [a, rng.choice(self.small_ints), third], receiver=a)
        return act

    # ---- running and judging -----------------------------------------------------

    def describe(self, act):
        parts = [safe_repr(a) for a in act.args]
        if act.receiver is not None and not any(a is act.receiver for a in act.args):
            parts.insert(0, f"<receiver {safe_repr(act.receiver)}>")
        parts += [f"{k}={safe_repr(v)}" for k, v in act.kwargs.items()]
        return f"{act.target.name}: {getattr(act.call, '__qualname__', act.call)}({', '.join(parts)})"

    def _involved(self, act):
        seen, out = set(), []
        stack = list(act.args) + list(act.kwargs.values())
        if act.receiver is not None:
            stack.insert(0, act.receiver)
        for o in stack:
            if isinstance(o, (list, tuple)):
                stack.extend(o[:4])
                continue
            if type(o) in self.by_class and id(o) not in seen:
                seen.add(id(o))
                out.append(o)
        return out

    def _snapshot(self, o):
        """A text that changes when the object's value changes."""
        cls = type(o)
        try:
            if hasattr(cls, "__len__") and len(o) > 64:
                return None
            if "__repr__" in vars(cls):
                return repr(o)
            return tuple(repr(t.obj.__get__(o)) for t in self.by_class[cls] if t.kind == "get")
        except BaseException:  # noqa: BLE001 - judged by the usability check
            return None

    def classify(self, exc, act):
        """Outcome label, or None for a finding."""
        if exc is None:
            return "ok"
        if any(exc is r for r in self.raised):
            return f"hostile {type(exc).__name__} passed through"
        t = type(exc)
        msg = str(exc)
        if t.__name__ == PANIC_NAME:
            text = exc.args[0] if exc.args else ""
            if (act.target.name, text) in DOCUMENTED_PANICS:
                if "unwrap" in text and act.receiver is not None:
                    try:
                        if len(act.receiver) != 0:
                            return None
                    except BaseException:  # noqa: BLE001
                        return None
                return f"PanicException({text})"
            return None
        if t is RuntimeError:
            return f"RuntimeError({msg})" if msg in BORROW_MESSAGES else None
        if t in PLAIN_ALLOWED:
            if t is TypeError:
                wrapped = self._wrapped_hostile(exc)
                if wrapped is False:
                    return None
                if wrapped:
                    return "TypeError (hostile TypeError wrapped, cause kept)"
            return t.__name__
        if t is StopIteration and act.may_stop:
            return "StopIteration"
        if t is ValueError and msg.startswith("The truth value of") and self._has_array(act):
            return "ValueError(numpy truth value)"
        for documented, prefixes in DOCUMENTED_ERRORS.get(act.target.name, ()):
            if t is documented and msg.startswith(prefixes):
                return f"{t.__name__} of {act.target.name}"
        return None

    @staticmethod
    def _has_array(act):
        """numpy arrays refuse a truth value; comparisons may ask for one."""
        if np is None:
            return False
        return any(isinstance(x, np.ndarray) for x in list(act.args) + list(act.kwargs.values()))

    def _wrapped_hostile(self, exc):
        """True: wraps a hostile TypeError and keeps its cause; False: loses
        the cause; None: wraps nothing a hostile object raised."""
        m = WRAPPED.match(str(exc))
        if not m:
            return None
        inner = m.group(2)
        for r in self.raised:
            if type(r) is TypeError and str(r) == inner:
                return exc.__cause__ is r.__cause__
        return None

    def record_finding(self, act, exc, what):
        self.finding_count += 1
        if len(self.findings) >= MAX_FINDINGS:
            return
        tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)) if exc else ""
        self.findings.append({
            "call": self.calls, "depth": self.depth, "seed": self.seed, "what": what,
            "action": self.describe(act),
            "exception": f"{type(exc).__name__}: {safe_repr(exc, 300)}" if exc else "",
            "cause": safe_repr(getattr(exc, "__cause__", None), 200) if exc else "",
            "traceback": tb[-3000:],
        })

    def run_action(self, act, nested=False):
        """Runs one action, judges it, and returns its exception (or None)."""
        if nested:
            self.nested_calls += 1
        if self.trace:
            self.trace.write(f"{self.calls} {'  ' * self.depth}{self.describe(act)}\n")
            self.trace.flush()
        target = act.target
        target.calls += 1
        exc = result = None
        first_event = len(self.events)
        self.depth += 1
        depth = self.depth
        try:
            result = act.call(*act.args, **act.kwargs)
        except BaseException as e:  # noqa: BLE001 - every outcome is judged
            exc = e
        finally:
            self.depth -= 1
        # Only a failing len() (a size hint) and the operators may drop an error
        # raised by an argument's hook; any other call must report it.
        if exc is None and self._must_propagate(target):
            swallowed = [hook for d, hook in self.events[first_event:] if d == depth and hook != "len"]
            if swallowed:
                self.outcomes["FINDING"] += 1
                self.record_finding(act, None, f"call succeeded although its argument's "
                                               f"{swallowed[0]} hook raised or returned junk")
        label = self.classify(exc, act)
        if label is None:
            self.outcomes["FINDING"] += 1
            self.record_finding(act, exc, "unexpected exception" if exc else "bad result")
        else:
            self.outcomes[label if not nested else "nested " + label] += 1
        if exc is None:
            target.ok += 1
            self._keep_result(result)
        elif isinstance(exc, (TypeError, OverflowError)):
            self.learn(target, exc)
        return exc

    def _keep_result(self, result):
        if type(result) in self.by_class or _is_extension_class(type(result)):
            self._remember(result)
        elif isinstance(result, (list, tuple)) and result:
            for item in result[:3]:
                if type(item) in self.by_class:
                    self._remember(item)

    def step(self):
        if self.inject_crash_at is not None and self.calls == self.inject_crash_at:
            os.abort()  # harness self-test: a crashing batch must be reported
        if self.inject_hang_at is not None and self.calls == self.inject_hang_at:
            time.sleep(3600)  # harness self-test: a hanging batch must be reported
        act = self.plan()
        self.raised = []
        self.reentered = False
        self.context = self._involved(act)
        recv = act.receiver
        before = None
        if recv is not None and act.target.kind in ("method", "slot", "set", "del") \
                and type(recv) in self.by_class:
            before = self._snapshot(recv)
        self.events = []
        exc = self.run_action(act)
        self.calls += 1
        # Failed calls leave their receiver as it was (unless a hook wrote it).
        if exc is not None and before is not None and not self.reentered:
            after = self._snapshot(recv)
            if after is not None and after != before:
                self.outcomes["FINDING"] += 1
                self.record_finding(act, exc, f"receiver changed by a failed call: {before!r} -> {after!r}")
        # A view passed as an argument keeps its list borrowed: let it go
        # first. One that cannot go (an array built on it, itself an argument,
        # still holds it) excuses its list from the exclusive-access probe.
        held = set()
        for a in list(act.args) + list(act.kwargs.values()):
            view = a if isinstance(a, memoryview) else _view_under(a)
            if view is None:
                continue
            if view is a:
                try:
                    a.release()
                    continue
                except BufferError:
                    pass
            try:
                held.add(id(view.obj))
            except ValueError:
                pass  # released: nothing held
        # The exceptions kept for classifying this call hold their frames, and
        # with them any view a nested call was given: let the frames go too.
        for e in self.raised:
            _drop_tracebacks(e)
        for o in self.context:
            self.check_usable(o, act, probe=id(o) not in held)
        self.context = []
        self.raised = []
        if recv is not None and type(recv) in self.by_class:
            try:
                if hasattr(recv, "__len__") and len(recv) > 4 * MAX_POOL_LEN:
                    pool = self.pool[type(recv)]
                    if recv in pool:
                        pool.remove(recv)
            except BaseException:  # noqa: BLE001
                pass

    @staticmethod
    def _must_propagate(target):
        if target.kind == "op":
            return False
        if target.kind == "slot":
            name = target.obj.strip("_")
            return name.lstrip("r") not in OPERATOR_SLOTS
        return True

    def check_usable(self, o, act, probe=True):
        try:
            repr(o)
        except BaseException as e:  # noqa: BLE001
            self.outcomes["FINDING"] += 1
            self.record_finding(act, e, f"object unusable afterwards: repr of {type(o).__name__} failed")
            return
        probe = self.probes.get(type(o)) if probe else None
        if probe is None:
            return
        try:
            probe(o)
        except BaseException as e:  # noqa: BLE001
            # A buffer export keeps its borrow until the view is freed, and a
            # view caught in a reference cycle (an exception's traceback) lives
            # until the collector runs.
            if isinstance(e, RuntimeError):
                gc.collect()
                try:
                    probe(o)
                    return
                except BaseException as again:  # noqa: BLE001
                    e = again
            self.outcomes["FINDING"] += 1
            self.record_finding(act, e, f"borrow left set on a {type(o).__name__}: exclusive access refused")

    def run(self, calls):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for _ in range(calls):
                self.step()
        return self

    # ---- reporting ------------------------------------------------------------------

    def all_targets(self):
        return self.targets + list(self.op_targets.values())

    def summary(self):
        return {
            "calls": self.calls, "nested": self.nested_calls,
            "outcomes": dict(self.outcomes), "finding_count": self.finding_count,
            "findings": self.findings,
            "targets": {t.name: [t.calls, t.ok] for t in self.all_targets()},
        }


# -- command line: batches in child processes ---------------------------------------

def format_report(total):
    lines = [f"calls made: {total['calls']} top-level, {total['nested']} nested (re-entrant)"]
    lines.append("outcomes:")
    for label, n in sorted(total["outcomes"].items(), key=lambda kv: -kv[1]):
        lines.append(f"  {n:>10}  {label}")
    targets = total["targets"]
    never = sorted(n for n, (c, ok) in targets.items() if c and not ok and not n.startswith("op:"))
    lines.append(f"targets: {len(targets)} called, {sum(1 for c, ok in targets.values() if ok)} "
                 f"with at least one successful call")
    if never:
        lines.append("  never succeeded: " + ", ".join(never))
    lines.append(f"findings: {total['finding_count']}")
    for f in total["findings"][:20]:
        lines.append(f"- [{f['what']}] seed {f['seed']} call {f['call']}: {f['action']}")
        if f.get("exception"):
            lines.append(f"    raised {f['exception']}")
        if f.get("detail"):
            lines.append("    " + f["detail"].replace("\n", "\n    "))
        if f.get("traceback"):
            lines.append("    " + f["traceback"].strip().replace("\n", "\n    "))
    return "\n".join(lines)


def merge(total, part):
    total["calls"] += part["calls"]
    total["nested"] += part["nested"]
    total["finding_count"] += part["finding_count"]
    total["findings"].extend(part["findings"])
    for k, v in part["outcomes"].items():
        total["outcomes"][k] = total["outcomes"].get(k, 0) + v
    for k, (c, ok) in part["targets"].items():
        a = total["targets"].setdefault(k, [0, 0])
        a[0] += c
        a[1] += ok


def _child_cmd(args, seed, calls, trace=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed),
           "--calls", str(calls)]
    if trace:
        cmd += ["--trace", trace]
    if args.inject_crash_at is not None:
        cmd += ["--inject-crash-at", str(args.inject_crash_at)]
    if args.inject_hang_at is not None:
        cmd += ["--inject-hang-at", str(args.inject_hang_at)]
    return cmd


def _child_env():
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"  # replays of a batch take the same path
    return env


def _last_action(args, seed, calls, timeout):
    """Replays a failed batch with tracing and returns the last actions started."""
    fd, path = tempfile.mkstemp(prefix="kestrum-fuzz-", suffix=".trace")
    os.close(fd)
    try:
        try:
            subprocess.run(_child_cmd(args, seed, calls, path), env=_child_env(), timeout=timeout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
        with open(path, encoding="utf-8", errors="replace") as fh:
            tail = collections.deque(fh, maxlen=6)
        return "".join(tail).rstrip() or "(no action traced)"
    finally:
        os.unlink(path)


def _batch_finding(args, seed, calls, what, stderr, timeout):
    last = _last_action(args, seed, calls, timeout)
    return {
        "call": -1, "depth": 0, "seed": seed, "what": what,
        "action": f"reproduce: PYTHONHASHSEED=0 python {os.path.relpath(__file__)} --in-process "
                  f"--seed {seed} --calls {calls}",
        "exception": "",
        "detail": "last actions started (call index, action):\n" + last
                  + ("\nstderr tail:\n" + stderr[-1500:].strip() if stderr.strip() else ""),
        "traceback": "",
    }


# "failed to allocate" is the warning of an impossible size under
# allocator_may_return_null=1, which the module turns into a MemoryError.
SANITIZER_REPORT = re.compile(
    r"runtime error:.*|ERROR: \w+Sanitizer.*|WARNING: (?!AddressSanitizer failed to allocate)\w+Sanitizer.*")


def run_batches(args):
    total = {"calls": 0, "nested": 0, "outcomes": {}, "finding_count": 0, "findings": [], "targets": {}}
    batches = []
    left, i = args.calls, 0
    while left > 0:
        n = min(args.batch, left)
        batches.append((args.seed * 100_003 + i, n))
        left -= n
        i += 1
    import kestrum_py
    print(f"kestrum_py fuzz: seed {args.seed}, {args.calls} calls in {len(batches)} batch(es), "
          f"{args.jobs} job(s)\nmodule: {kestrum_py.__file__}", flush=True)
    running = []
    pending = list(batches)
    start = time.monotonic()
    while pending or running:
        while pending and len(running) < args.jobs:
            seed, n = pending.pop(0)
            out = tempfile.TemporaryFile()
            err = tempfile.TemporaryFile()
            proc = subprocess.Popen(_child_cmd(args, seed, n), env=_child_env(), stdout=out, stderr=err)
            running.append((proc, seed, n, out, err, time.monotonic()))
        time.sleep(0.05)
        for entry in list(running):
            proc, seed, n, out, err, t0 = entry
            rc = proc.poll()
            timed_out = rc is None and time.monotonic() - t0 > args.timeout
            if rc is None and not timed_out:
                continue
            running.remove(entry)
            if timed_out:
                proc.kill()
                proc.wait()
            out.seek(0)
            err.seek(0)
            stdout = out.read().decode(errors="replace")
            stderr = err.read().decode(errors="replace")
            part = None
            for line in reversed(stdout.splitlines()):
                if line.startswith("{"):
                    part = json.loads(line)
                    break
            if timed_out:
                total["finding_count"] += 1
                total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                total["findings"].append(_batch_finding(
                    args, seed, n, f"hang: batch exceeded {args.timeout:g}s", stderr, args.timeout))
            elif part is None or rc != 0 and rc != 1:
                total["finding_count"] += 1
                total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                how = f"killed by signal {-rc}" if rc < 0 else f"exited {rc} without a report"
                total["findings"].append(_batch_finding(args, seed, n, f"crash: child {how}", stderr,
                                                        args.timeout))
            else:
                merge(total, part)
                report = SANITIZER_REPORT.search(stderr)
                if report:  # e.g. UBSan, which reports and carries on
                    total["finding_count"] += 1
                    total["outcomes"]["FINDING"] = total["outcomes"].get("FINDING", 0) + 1
                    total["findings"].append(_batch_finding(
                        args, seed, n, "sanitizer report: " + report.group(0).strip(), stderr,
                        args.timeout))
            done = len(batches) - len(pending) - len(running)
            if args.verbose:
                print(f"  batch seed {seed}: {n} calls, rc {rc}"
                      f"{' (timeout)' if timed_out else ''}; {done}/{len(batches)} done "
                      f"after {time.monotonic() - start:.0f}s", flush=True)
    print(format_report(total))
    print(f"elapsed: {time.monotonic() - start:.1f}s")
    return 1 if total["finding_count"] else 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=20000, help="top-level calls to make")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--batch", type=int, default=20000, help="calls per child process")
    ap.add_argument("--jobs", type=int, default=1, help="child processes at once")
    ap.add_argument("--timeout", type=float, default=None,
                    help="seconds per batch before it counts as a hang (default: scales with --batch)")
    ap.add_argument("--in-process", action="store_true", help="no child processes (crashes end the run)")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--trace", help=argparse.SUPPRESS)
    ap.add_argument("--inject-crash-at", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--inject-hang-at", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.calls < 0 or args.batch < 1 or args.jobs < 1:
        ap.error("--calls must be >= 0, --batch and --jobs >= 1")
    if args.timeout is None:
        args.timeout = max(60.0, args.batch * 0.01)
    if args.worker or args.in_process:
        faulthandler.enable()
        trace = open(args.trace, "w", encoding="utf-8") if args.trace else None
        fz = Fuzzer(seed=args.seed, trace=trace, inject_crash_at=args.inject_crash_at,
                    inject_hang_at=args.inject_hang_at)
        fz.run(args.calls)
        if trace:
            trace.close()
        s = fz.summary()
        if args.worker:
            print(json.dumps(s, default=str))
        else:
            print(format_report(s))
        return 1 if s["finding_count"] else 0
    return run_batches(args)


if __name__ == "__main__":
    sys.exit(main())
