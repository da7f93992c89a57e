"""The API pages of the site are written from the type stubs (docs/_ext/stub_api.py)."""

import importlib.util
import re
import shutil
import sys
from pathlib import Path

import pytest

import kestrum_py

DOCS = Path(__file__).resolve().parents[2] / "docs"
if not (DOCS / "_ext" / "stub_api.py").exists():  # a source distribution ships no docs/
    pytest.skip("no docs/_ext in this tree", allow_module_level=True)


@pytest.fixture
def stub_api(monkeypatch):
    found = importlib.util.spec_from_file_location("stub_api", DOCS / "_ext" / "stub_api.py")
    mod = importlib.util.module_from_spec(found)
    monkeypatch.setitem(sys.modules, "stub_api", mod)  # its dataclasses look themselves up there
    found.loader.exec_module(mod)
    return mod


def pages(out):
    return {p.name: p.read_text() for p in out.iterdir()}


def test_every_runtime_name_gets_an_entry(stub_api, tmp_path):
    text = "\n".join(pages(stub_api.write(tmp_path)[0].parent).values())
    entries = set(re.findall(r"\.\. py:(?:class|method|property|function):: (\w+)", text))
    for mod in (kestrum_py, kestrum_py.geometry, kestrum_py.geo):
        for name in mod.__all__:
            obj = getattr(mod, name)
            if obj in (kestrum_py.geometry, kestrum_py.geo):
                continue
            assert name in entries, name
            if isinstance(obj, type):
                for attr in vars(obj):
                    if not attr.startswith("_"):
                        assert attr in entries, f"{name}.{attr}"


def test_entry_shape(stub_api, tmp_path):
    out = pages(stub_api.write(tmp_path)[0].parent)
    vec = out["Vec3d.rst"]
    assert ".. py:class:: Vec3d(x: _Float, y: _Float, z: _Float) -> Vec3d\n   :final:" in vec
    assert re.search(r"\.\. py:method:: zero\(\) -> Vec3d\n\s+:staticmethod:", vec)
    assert re.search(r"\.\. py:property:: x\n\s+:type: float\n\n\s+The x component\. Read/write\.", vec)
    assert "(``a + b``)" in vec and ".. py:method:: __add__(other: Vec3d, /) -> Vec3d" in vec
    assert "Unhashable" in out["AngleRadians.rst"] and "Unhashable" not in vec
    assert ".. py:function:: plane_line(" in out["geometry_functions.rst"]
    # A row's declared errors, one Raises line, its `code` kept as code.
    assert "Raises ``ValueError`` (mean of an empty QuatList)" in out["QuatList.rst"]
    assert "``PanicException`` (called ``Option::unwrap()`` on a ``None`` value)." in out["VecList.rst"]
    # The front page includes the same class tables as the API index.
    assert ":py:class:`VecList <kestrum_py.VecList>`" in out["summary_kestrum_py.inc"]


def test_a_new_row_needs_no_other_edit(stub_api, tmp_path, monkeypatch):
    stubs = tmp_path / "stubs"
    shutil.copytree(stub_api.STUB_DIR, stubs)
    init = stubs / "__init__.pyi"
    anchor = "class Vec3d:\n"
    src = init.read_text()
    assert anchor in src
    init.write_text(src.replace(anchor, anchor + '    def shiny(self, times: _Float) -> Vec3d:\n'
                                        '        """A brand-new row."""\n', 1))
    monkeypatch.setattr(stub_api, "STUB_DIR", stubs)
    vec = pages(stub_api.write(tmp_path / "out")[0].parent)["Vec3d.rst"]
    assert ".. py:method:: shiny(times: _Float) -> Vec3d\n\n      A brand-new row." in vec


def test_teaching_examples_run_and_cover_the_teaching_classes(stub_api):
    import doctest

    from api_teaching import EXAMPLES, PURPOSE, SETUP

    mods = stub_api.load()
    classes = {k.name: k for m in mods for k in m.classes}
    assert set(PURPOSE) == {k.name if m.name == "kestrum_py" else f"{m.name.split('.')[-1]}.{k.name}"
                            for m in mods for k in m.classes}
    for name in ("KdTree", "QuatList", "Mat3"):
        members = {e.name for e in classes[name].entries if e.kind not in ("operator", "constructor")}
        assert members <= {m for c, m in EXAMPLES if c == name}, name
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for cls in dict.fromkeys(c for c, _ in EXAMPLES):
        text = "\n".join(t for (c, _), t in EXAMPLES.items() if c == cls)
        globs = {}
        exec(SETUP, globs)
        runner.run(doctest.DocTestParser().get_doctest(text, globs, cls, cls, 0))
    assert runner.failures == 0
