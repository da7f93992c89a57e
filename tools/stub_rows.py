"""The binding rows the extension exports, read once for every tool.

Each table row of kestrum_py (method, static method, property, setter,
constructor, operator slot, module function) records its parameters' and
result's Python types, a one-line description and the errors it raises on
purpose. The extension hands the rows out through the C symbol
`kestrum_stub_rows` (no Python-visible name): one line per row, tab-separated
fields kind, owner, name, result, summary, raises (entries joined by ';'),
then name:type per parameter. tools/gen_stubs.py writes the stubs from them
and tools/kestrum_fuzz takes its targets and parameter kinds from them.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Raised:
    """One declared error: its type's name and, if given, how its message starts."""
    type: str
    message: str = ""

    @classmethod
    def parse(cls, entry: str) -> Raised:
        name, _, message = entry.partition(":")
        return cls(name.strip(), message.strip())

    def text(self) -> str:
        return f"{self.type}: {self.message}" if self.message else self.type


@dataclass
class Row:
    kind: str       # method, static, property, setter, new, function, op, hash_none
    owner: str      # class name, "" for module functions
    name: str
    result: str
    summary: str
    params: list[tuple[str, str]] = field(default_factory=list)
    raises: list[Raised] = field(default_factory=list)


def parse_rows(text: str) -> list[Row]:
    rows = []
    for line in text.splitlines():
        kind, owner, name, result, summary, raises, *params = line.split("\t")
        rows.append(Row(kind, owner, name, result, summary,
                        [tuple(p.split(":", 1)) for p in params],  # type: ignore[misc]
                        [Raised.parse(e) for e in raises.split(";") if e]))
    return rows


_TEXTS: dict[str, str | None] = {}


def exported_text(module) -> str | None:
    """The rows' text of an extension module, or None when it exports none.
    Read once per library file: every table is built when the module is."""
    path = getattr(module, "__file__", None)
    if not isinstance(path, str):
        return None
    if path not in _TEXTS:
        try:
            fn = ctypes.CDLL(path).kestrum_stub_rows
            fn.restype = ctypes.c_char_p
            _TEXTS[path] = fn().decode()
        except (OSError, AttributeError):
            _TEXTS[path] = None
    return _TEXTS[path]


def read_rows(module=None) -> list[Row]:
    if module is None:
        import kestrum_py as module
    text = exported_text(module)
    if text is None:
        raise SystemExit(f"{module.__name__} exports no binding rows")
    return parse_rows(text)
