"""The targets: every binding row the extension exports, as something to call.

Each row (tools/stub_rows.py) names its class, member, parameters with their
Python types and the errors it raises on purpose, so a new row is a new target
with typed parameters and its own oracle, and nothing here names a member.
A parameter's kind is one alternative of its type ("Vec3d | _Column" is a
point or a column of numbers); tools/kestrum_fuzz/values.py makes values per
kind. A module that exports no rows (a test's stand-in written in Python) gets
rows read from its functions' signatures instead.
"""

import builtins
import inspect
import types

import stub_rows
from stub_rows import Row


class Target:
    """One thing the fuzzer can call. `kind` says how it is invoked, and `obj`
    is what it needs for that: the callable for functions and constructors,
    the attribute name for methods, static methods and slots, the descriptor
    for property get/set/del. `kinds[i]` lists the alternatives of parameter
    i's type; `raises` are the errors the row declares."""

    __slots__ = ("name", "kind", "cls", "obj", "params", "kinds", "raises", "result", "kwok", "calls", "ok",
                 "first_keyword_only", "optional")

    def __init__(self, name, kind, cls, obj, row_params=(), raises=(), kwok=True, result=""):
        self.name, self.kind, self.cls, self.obj, self.result = name, kind, cls, obj, result
        # A row writes "*name" for a keyword-only parameter and "name=default" for one
        # that may be left out; callers use the bare name.
        raw = [n for n, _ in row_params]
        self.params = [n.lstrip("*").split("=", 1)[0] for n in raw]
        self.first_keyword_only = next((i for i, n in enumerate(raw) if n.startswith("*")), len(raw))
        self.optional = ["=" in n for n in raw]
        self.kinds = [alternatives(t) for _, t in row_params]
        self.raises = list(raises)
        self.kwok = kwok
        self.calls = self.ok = 0


def alternatives(type_text):
    """The members of a union type ("tuple[A, B] | slice" has two)."""
    return split_top(type_text, "|") or ["object"]


def split_top(text, sep):
    """The parts of a type's text between separators outside brackets."""
    out, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += c == "["
        depth -= c == "]"
        if c == sep and depth == 0:
            out.append(text[start:i].strip())
            start = i + 1
    out.append(text[start:].strip())
    return [t for t in out if t]


BUILTIN_TYPES = {v for v in vars(builtins).values() if isinstance(v, type)}


def is_extension_class(t):
    # A heap type that claims the "builtins" module but is none of its classes.
    return (isinstance(t, type) and bool(t.__flags__ & (1 << 9))
            and t not in BUILTIN_TYPES and t.__module__ == "builtins")


def modules_under(mod):
    """The module and the extension's own submodules it holds (geometry)."""
    out, stack = [], [mod]
    while stack:
        m = stack.pop()
        if any(m is o for o in out):
            continue
        out.append(m)
        for name in getattr(m, "__all__", ()):
            sub = getattr(m, name, None)
            if isinstance(sub, types.ModuleType):
                stack.append(sub)
    return out


def signature_rows(mod):
    """Rows for a module that exports none: its public functions, every
    parameter untyped unless annotated."""
    rows = []
    for name in getattr(mod, "__all__", None) or [n for n in dir(mod) if not n.startswith("_")]:
        fn = getattr(mod, name, None)
        if not callable(fn) or isinstance(fn, (type, types.ModuleType)):
            continue
        try:
            params = inspect.signature(fn).parameters.values()
        except (TypeError, ValueError):
            params = []
        typed = [(p.name, p.annotation if isinstance(p.annotation, str) else "object") for p in params]
        rows.append(Row("function", "", name, "object", fn.__doc__ or "", typed))
    return rows


class Catalogue:
    """Targets by class and name. Classes that only show up as results (the
    list iterators) have rows too; their targets are made when the first
    instance is seen (`sighted`)."""

    def __init__(self, modules, rows=None):
        self.targets = []
        self.classes = []
        self.class_by_name = {}
        self.exporters = []         # classes that lend their values as a buffer
        self.by_class = {}          # class -> receiver-taking targets
        self.factories = {}         # class -> zero-argument static factories
        self.rows_by_owner = {}
        self.pending = {}           # owner name -> rows of a class not seen yet
        functions = []
        for mod in modules:
            all_mods = modules_under(mod)
            found = rows if rows is not None else self._rows(mod)
            for r in found:
                if r.kind == "hash_none":
                    continue
                if r.owner:
                    self.rows_by_owner.setdefault(r.owner, []).append(r)
                else:
                    fn = next((getattr(m, r.name) for m in all_mods if hasattr(m, r.name)), None)
                    if callable(fn):
                        functions.append(Target(r.name, "function", None, fn, r.params, r.raises,
                                                kwok=_keywords_ok(fn)))
            for owner in self.rows_by_owner:
                cls = next((getattr(m, owner) for m in all_mods if isinstance(getattr(m, owner, None), type)),
                           None)
                if cls is not None:
                    self._add_class(cls)
        self.targets += functions

    @staticmethod
    def _rows(mod):
        text = stub_rows.exported_text(mod)
        return stub_rows.parse_rows(text) if text is not None else signature_rows(mod)

    def sighted(self, obj):
        """Makes the targets of a class first met as a result; True if new."""
        t = type(obj)
        if t in self.by_class or not is_extension_class(t) or t.__name__ not in self.rows_by_owner:
            return False
        self._add_class(t)
        return True

    def _add_class(self, cls):
        if cls in self.by_class:
            return
        name = cls.__name__
        rows = self.rows_by_owner.get(name, [])
        self.classes.append(cls)
        self.class_by_name[name] = cls
        own = self.by_class[cls] = []
        self.factories[cls] = []
        if any(r.kind == "op" and r.name == "__buffer__" for r in rows):
            self.exporters.append(cls)
        new = next((r for r in rows if r.kind == "new"), None)
        params, raises = (new.params, new.raises) if new else ([], [])
        self.targets.append(Target(f"{name}()", "call_class", cls, cls, params, raises))
        if new is not None and callable(vars(cls).get("__new__")):
            self.targets.append(Target(f"{name}.__new__", "call_new", cls, vars(cls)["__new__"], params, raises))
        setters = {r.name: r for r in rows if r.kind == "setter"}
        for r in rows:
            qual = f"{name}.{r.name}"
            if r.kind == "static" and r.name in vars(cls):
                self.targets.append(Target(qual, "static", cls, r.name, r.params, r.raises))
                if not r.params:
                    self.factories[cls].append(getattr(cls, r.name))
            elif r.kind in ("method", "op") and r.name in vars(cls):
                kind = "method" if r.kind == "method" else "slot"
                own.append(Target(qual, kind, cls, r.name, r.params, r.raises, kwok=r.kind == "method",
                                  result=r.result))
            elif r.kind == "property" and r.name in vars(cls):
                desc = vars(cls)[r.name]
                setter = setters.get(r.name)
                value = setter.params if setter else [("value", "object")]
                own += [Target(f"{qual}#get", "get", cls, desc, [], r.raises),
                        Target(f"{qual}#set", "set", cls, desc, value, setter.raises if setter else []),
                        Target(f"{qual}#del", "del", cls, desc)]
        self.targets += own


def _keywords_ok(fn):
    sig = getattr(fn, "__text_signature__", None)
    return sig is None or "/" not in sig
