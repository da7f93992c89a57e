"""Checks the installed stubs against the runtime where stubtest cannot.

The stubs are generated from the binding tables (tools/gen_stubs.py), so
setters, the iterator class and parameter names follow the runtime by
construction. What remains is the reflected number wrappers the derived
allowlist skips: CPython exposes one for every filled number slot, and this
confirms that each one left out of the stubs really never serves an
expression (and that the list is not empty, so the check checks something).
Exits non-zero and lists every mismatch.
"""

import ast
import re
import sys
from pathlib import Path

import kestrum_py

STUB_DIR = Path(kestrum_py.__file__).parent / "kestrum_py-stubs"

# One instance per class with reflected wrappers in the allowlist.
SAMPLES = {
    "Vec3d": lambda: kestrum_py.Vec3d.zero(),
    "VecList": lambda: kestrum_py.VecList.empty(),
    "AngleRadians": lambda: kestrum_py.AngleRadians.zero(),
    "Mat3": lambda: kestrum_py.Quat.identity().as_matrix(),
}

# The allowlist of reflected wrappers the stub leaves out, as printed by
# `tools/gen_stubs.py --allowlist`: argv[1].
ALLOWLIST = Path(sys.argv[1])


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


def check_reflected(classes: dict[str, ast.ClassDef]) -> None:
    unserved = unserved_reflected()
    if not unserved:
        problems.append(f"no reflected wrappers listed in {ALLOWLIST}")
    for name, dunders in unserved.items():
        obj = SAMPLES[name]()
        for dunder in dunders:
            if any(isinstance(n, ast.FunctionDef) and n.name == dunder for n in classes[name].body):
                problems.append(f"{name}.{dunder} is in the stub; drop it from the allowlist")
            for left in (1.0, 2, True):
                result = getattr(obj, dunder)(left)
                if result is not NotImplemented:
                    problems.append(f"{name}.{dunder}({left!r}) gives {result!r}: "
                                    "the reflected form works, put it in the stub")


check_reflected(stub_classes(STUB_DIR / "__init__.pyi"))

for p in problems:
    print("mismatch:", p)
print(f"check_unmodelled: {len(problems)} mismatches")
sys.exit(1 if problems else 0)
