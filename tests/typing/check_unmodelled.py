"""Checks the installed stubs against the runtime where stubtest cannot.

stubtest does not see: which C-level properties have setters (it only knows
Python `property` objects), the members of VecListIterator (no module holds
it, so the stub marks it type_check_only), the parameters of
Vec3d.new_from_to (its text signature names a parameter `from`, which
inspect.signature rejects), and whether the reflected number wrappers that
the allowlist skips really never serve an expression. Exits non-zero and lists
every mismatch.
"""

import ast
import re
import sys
from pathlib import Path

import kestrum_py
from kestrum_py import geometry

STUB_DIR = Path(kestrum_py.__file__).parent / "kestrum_py-stubs"

# One instance per class, to try the setters on.
SAMPLES = {
    "Vec3d": lambda: kestrum_py.Vec3d.zero(),
    "VecList": lambda: kestrum_py.VecList.empty(),
    "AngleRadians": lambda: kestrum_py.AngleRadians.zero(),
    "AngleDegrees": lambda: kestrum_py.AngleDegrees(0.0),
    "Quat": lambda: kestrum_py.Quat.identity(),
    "Plane": lambda: geometry.Plane.xy(),
    "Circle": lambda: geometry.Circle.none(),
}

# The allowlist names the reflected wrappers that the stub leaves out.
ALLOWLIST = Path(__file__).with_name("stubtest-allowlist.txt")


REFLECTED = re.compile(r"__r(add|sub|mul|matmul|truediv|floordiv|mod|divmod|pow|lshift|rshift|and|xor|or)__")


def unserved_reflected() -> dict[str, list[str]]:
    out: dict[str, list[str]] = {}
    for line in ALLOWLIST.read_text().splitlines():
        entry = line.split("#", 1)[0].strip()
        parts = entry.split(".")
        if len(parts) == 3 and REFLECTED.fullmatch(parts[2]):
            out.setdefault(parts[1], []).append(parts[2])
    return out


problems: list[str] = []


def stub_classes(path: Path) -> dict[str, ast.ClassDef]:
    tree = ast.parse(path.read_text(), str(path))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def decorator_names(fn: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in fn.decorator_list}


def stub_properties(cls: ast.ClassDef) -> dict[str, bool]:
    """Property name -> whether the stub gives it a setter."""
    props: dict[str, bool] = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            decorators = decorator_names(node)
            if "property" in decorators:
                props.setdefault(node.name, False)
            if f"{node.name}.setter" in decorators:
                props[node.name] = True
    return props


def runtime_settable(obj: object, name: str) -> bool:
    try:
        setattr(obj, name, getattr(obj, name))
    except AttributeError:
        return False
    return True


def check_properties(classes: dict[str, ast.ClassDef], owner: object) -> None:
    for name, cls in classes.items():
        if name not in SAMPLES:
            continue
        runtime_cls = getattr(owner, name)
        obj = SAMPLES[name]()
        stub_props = stub_properties(cls)
        runtime_props = {k for k, v in vars(runtime_cls).items()
                         if type(v).__name__ == "getset_descriptor"}
        if set(stub_props) != runtime_props:
            problems.append(f"{name}: properties {sorted(stub_props)} in stub, "
                            f"{sorted(runtime_props)} at runtime")
        for prop, settable in stub_props.items():
            if prop in runtime_props and runtime_settable(obj, prop) != settable:
                problems.append(f"{name}.{prop}: settable in stub is {settable}, "
                                f"at runtime {not settable}")


def check_iterator(classes: dict[str, ast.ClassDef]) -> None:
    runtime_cls = type(iter(kestrum_py.VecList.empty()))
    stub_cls = classes.get(runtime_cls.__name__)
    if stub_cls is None:
        problems.append(f"no stub class named {runtime_cls.__name__!r}")
        return
    if hasattr(kestrum_py, runtime_cls.__name__):
        problems.append(f"{runtime_cls.__name__} is a module attribute; drop type_check_only")
    stub_members = {n.name for n in stub_cls.body if isinstance(n, ast.FunctionDef)}
    runtime_members = {k for k in vars(runtime_cls) if k not in ("__doc__", "__module__")}
    if stub_members != runtime_members:
        problems.append(f"{runtime_cls.__name__}: {sorted(stub_members)} in stub, "
                        f"{sorted(runtime_members)} at runtime")


def check_new_from_to(classes: dict[str, ast.ClassDef]) -> None:
    fn = next(n for n in classes["Vec3d"].body
              if isinstance(n, ast.FunctionDef) and n.name == "new_from_to")
    stub_params = [a.arg.rstrip("_") for a in fn.args.posonlyargs + fn.args.args]
    text = kestrum_py.Vec3d.new_from_to.__text_signature__ or ""
    runtime_params = [p.strip() for p in text.strip("()").split(",") if p.strip()]
    if stub_params != runtime_params:
        problems.append(f"Vec3d.new_from_to: ({', '.join(stub_params)}) in stub, "
                        f"{text} at runtime")


def check_reflected(classes: dict[str, ast.ClassDef]) -> None:
    for name, dunders in unserved_reflected().items():
        obj = SAMPLES[name]()
        for dunder in dunders:
            if any(isinstance(n, ast.FunctionDef) and n.name == dunder for n in classes[name].body):
                problems.append(f"{name}.{dunder} is in the stub; drop it from the allowlist")
            for left in (1.0, 2, True):
                result = getattr(obj, dunder)(left)
                if result is not NotImplemented:
                    problems.append(f"{name}.{dunder}({left!r}) gives {result!r}: "
                                    "the reflected form works, put it in the stub")


top = stub_classes(STUB_DIR / "__init__.pyi")
geo = stub_classes(STUB_DIR / "geometry.pyi")
check_properties(top, kestrum_py)
check_properties(geo, geometry)
check_iterator(top)
check_new_from_to(top)
check_reflected(top)

for p in problems:
    print("mismatch:", p)
print(f"check_unmodelled: {len(problems)} mismatches")
sys.exit(1 if problems else 0)
