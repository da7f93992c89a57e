"""Arguments that misbehave: values of odd types, and objects whose conversion
hooks raise, return junk, or call back into the library (through the fuzzer
that made them, `fz.misbehave`)."""


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
