"""What counts as an allowed outcome of one call.

A call may end in a result, in an error its row declares (`raises`), in one of
the frame's standard argument errors, or in the very exception a hostile
argument raised. Anything else is a finding. Nothing here names a member: the
standard errors are the frame's, the declared ones come with the rows, and the
few rules for the interpreter's own operators (`float(x)`, `a != b`) are about
the interpreter.
"""

import re

try:
    import numpy as np
except ImportError:
    np = None

PANIC_NAME = "PanicException"
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
# Wrong types, out-of-range counts and indices, missing attributes: the frame's
# conversions and the interpreter raise these for any parameter.
PLAIN_ALLOWED = (TypeError, OverflowError, IndexError, AttributeError)
# The ValueErrors a parameter's conversion raises, by kind, as their messages
# start (bare or after "argument 'name': "): a table's shape (frame/tables),
# a slice's step (the interpreter's PySlice_Unpack).
TABLE_MESSAGES = ("expected ", "row ", "item ", "the sequence changed")
KIND_MESSAGES = {"_Rows": TABLE_MESSAGES, "_Rows3d": TABLE_MESSAGES, "_Column": TABLE_MESSAGES,
                 "slice": ("slice step cannot be zero",)}
WRAPPED = re.compile(r"argument '([^']*)': (.*)\Z", re.S)
# Slots that answer NotImplemented (dropping any conversion error) or compare.
OPERATOR_SLOTS = {"add", "sub", "mul", "truediv", "matmul", "lt", "le", "eq", "ne", "gt", "ge"}
COMPARISONS = {"eq", "ne", "lt", "le", "gt", "ge", "contains"}


def slot_name(target):
    """'add' for op:add, a slot's __add__ or __radd__; '' for the rest."""
    if target.kind == "op":
        return target.name[3:]
    if target.kind == "slot":
        name = target.obj.strip("_")
        return name[1:] if name.startswith("r") and name[1:] in OPERATOR_SLOTS else name
    return ""


def must_propagate(target):
    """Only the operators may drop an error an argument's hook raised."""
    return target.kind != "op" and slot_name(target) not in OPERATOR_SLOTS


def declared(target, exc):
    """The row's own `raises` entry that matches, or None."""
    name, msg = type(exc).__name__, str(exc)
    for r in target.raises:
        if r.type == name and msg.startswith(r.message):
            return r
    return None


def conversion_error(target, exc):
    """A ValueError a parameter's conversion raises for a value of its kind."""
    msg = str(exc)
    m = WRAPPED.match(msg)
    name, msg = m.groups() if m else (None, msg)
    for param, kinds in zip(target.params, target.kinds):
        if name in (None, param) and any(msg.startswith(KIND_MESSAGES.get(k, ())) for k in kinds):
            return True
    return False


def interpreter_error(target, exc, act):
    """A ValueError of the interpreter's or numpy's own making."""
    msg, op = str(exc), slot_name(target)
    # float() and int() parse any object with a buffer as text.
    if target.kind == "op" and (op, msg.split(" ", 1)[0]) in (("float", "could"), ("int", "invalid")):
        return "ValueError(text parse of a buffer)"
    # numpy answers a comparison with an array (a buffer, elementwise), whose
    # truth value it refuses; `!=` negates the full `==`, and `in` compares rows.
    if msg.startswith("The truth value of") and (op in COMPARISONS or has_array(act)):
        return "ValueError(numpy truth value)"
    return None


def has_array(act):
    if np is None:
        return False
    return any(isinstance(x, np.ndarray) for x in list(act.args) + list(act.kwargs.values()))


def wrapped_hostile(exc, raised):
    """True: wraps a hostile TypeError and keeps its cause; False: loses the
    cause; None: wraps nothing a hostile object raised."""
    m = WRAPPED.match(str(exc))
    if not m:
        return None
    inner = m.group(2)
    for r in raised:
        if type(r) is TypeError and str(r) == inner:
            return exc.__cause__ is r.__cause__
    return None


def classify(exc, act, raised):
    """Outcome label, or None for a finding."""
    if exc is None:
        return "ok"
    if any(exc is r for r in raised):
        return f"hostile {type(exc).__name__} passed through"
    target, t, msg = act.target, type(exc), str(exc)
    if t.__name__ == PANIC_NAME:  # an internal failure: only where the row declares it
        return f"PanicException({msg})" if declared(target, exc) else None
    if t is RuntimeError and msg in BORROW_MESSAGES:
        return f"RuntimeError({msg})"
    if t in PLAIN_ALLOWED:
        if t is TypeError:
            wrapped = wrapped_hostile(exc, raised)
            if wrapped is False:
                return None
            if wrapped:
                return "TypeError (hostile TypeError wrapped, cause kept)"
        return t.__name__
    if t is StopIteration and act.may_stop:
        return "StopIteration"
    if t is ValueError and conversion_error(target, exc):
        return "ValueError (argument conversion)"
    if t is ValueError and (label := interpreter_error(target, exc, act)):
        return label
    if declared(target, exc):
        return f"{t.__name__} of {target.name}"
    return None
