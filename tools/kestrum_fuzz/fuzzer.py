"""The fuzzer: runs planned calls, judges each (kestrum_fuzz/oracle.py), and
checks that every object involved still works afterwards.

Each call must end in a result or in an allowed exception. A wrapped TypeError
keeps its cause; an error a hook raised (other than in len(), a size hint, or
in an operator's operand) is never swallowed; a failed call leaves its
receiver unchanged; and afterwards every object involved still works (repr
succeeds and an exclusive borrow can be taken, so no borrow was left behind).
Anything else is a finding, as are crashes, hangs and sanitizer reports
(kestrum_fuzz/cli.py runs the calls in child processes for those).
"""

import collections
import gc
import os
import random
import time
import traceback
import warnings

from kestrum_fuzz import oracle
from kestrum_fuzz.catalogue import Catalogue, is_extension_class
from kestrum_fuzz.planner import Planner, safe_repr
from kestrum_fuzz.values import MAX_POOL_LEN, Values

MAX_FINDINGS = 50      # findings kept in full; later ones are only counted


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



class Fuzzer(Values, Planner):
    def __init__(self, seed=0, modules=None, trace=None, inject_crash_at=None,
                 inject_hang_at=None, rows=None):
        self.rng = random.Random(seed)
        self.seed = seed
        self.trace = trace
        self.inject_crash_at, self.inject_hang_at = inject_crash_at, inject_hang_at
        if modules is None:
            import kestrum_py
            modules = [kestrum_py]
        # `rows` replaces what the modules export (a test's changed rows).
        self.cat = Catalogue(modules, rows)
        self.probes = {}            # class -> exclusive-borrow probe or None
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
        self.receiver = None        # receiver of the action being planned
        self.tame = False           # values of a tame call (planner._values)
        self.call_values = []       # its argument values so far
        self._values_init()
        for cls in list(self.cat.classes):
            self._new_class(cls, None)

    # The catalogue's view, under the names the tests and reports use.
    @property
    def targets(self):
        return self.cat.targets

    @property
    def by_class(self):
        return self.cat.by_class

    # ---- classes ------------------------------------------------------------------

    def _new_class(self, cls, sample):
        """Seeds the pool of a class just catalogued and finds its probe."""
        self.probes.setdefault(cls, None)
        self.pool.setdefault(cls, [])
        made = [sample] if sample is not None else []
        for f in self.cat.factories[cls]:
            try:
                made.append(f())
            except BaseException:  # noqa: BLE001 - a broken factory shows up when fuzzed
                pass
        for o in made[1 if sample is not None else 0:]:
            self._remember(o)
        if made:
            self._find_probe(cls, made[0])

    def _find_probe(self, cls, sample):
        """An operation that takes the exclusive borrow and changes nothing:
        writing a property its own value, or else a method that changes its
        receiver (its row returns None) given an empty instance of the class."""
        for t in self.cat.by_class[cls]:
            if t.kind == "set":
                desc = t.obj
                try:
                    desc.__set__(sample, desc.__get__(sample))
                except BaseException:  # noqa: BLE001 - read-only, or not on this value
                    continue
                self.probes[cls] = lambda o, d=desc: d.__set__(o, d.__get__(o))
                return
        for t in self.cat.by_class[cls]:
            if t.kind != "method" or t.result != "None" or t.kinds != [[cls.__name__]]:
                continue
            for empty in self.cat.factories[cls]:
                try:
                    e = empty()
                    if len(e) != 0:
                        continue
                    getattr(sample, t.obj)(e)
                except BaseException:  # noqa: BLE001
                    continue
                self.probes[cls] = lambda o, make=empty, name=t.obj: getattr(o, name)(make())
                return

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
            if type(o) in self.cat.by_class and id(o) not in seen:
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
            return tuple(repr(t.obj.__get__(o)) for t in self.cat.by_class[cls] if t.kind == "get")
        except BaseException:  # noqa: BLE001 - judged by the usability check
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
        if exc is None and oracle.must_propagate(target):
            swallowed = [hook for d, hook in self.events[first_event:] if d == depth and hook != "len"]
            if swallowed:
                self.outcomes["FINDING"] += 1
                self.record_finding(act, None, f"call succeeded although its argument's "
                                               f"{swallowed[0]} hook raised or returned junk")
        label = oracle.classify(exc, act, self.raised)
        if label is None:
            self.outcomes["FINDING"] += 1
            self.record_finding(act, exc, "unexpected exception" if exc else "bad result")
        else:
            self.outcomes[label if not nested else "nested " + label] += 1
        if exc is None:
            target.ok += 1
            self._keep_result(result)
        return exc

    def _keep_result(self, result):
        if type(result) in self.cat.by_class or is_extension_class(type(result)):
            self._remember(result)
        elif isinstance(result, (list, tuple)) and result:
            for item in result[:3]:
                if type(item) in self.cat.by_class:
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
        return self.cat.targets + list(self.op_targets.values())

    def summary(self):
        return {
            "calls": self.calls, "nested": self.nested_calls,
            "outcomes": dict(self.outcomes), "finding_count": self.finding_count,
            "findings": self.findings,
            "targets": {t.name: [t.calls, t.ok] for t in self.all_targets()},
        }


