"""The documentation site's Markdown pages: every `>>>` example runs as a doctest.

Each page under docs/ (except what the build generates) is one doctest with a
fresh namespace, parsed like the README (tests/python/test_readme.py). A
Python code block without prompts would be shown on the site but never run,
so it is refused.
"""

import importlib.util
import os
import re
from pathlib import Path

import pytest

from test_readme import blank_fences, run_examples

DOCS = Path(__file__).resolve().parents[2] / "docs"
GENERATED = {"_build", "api", "gallery"}
PAGES = sorted(p for p in DOCS.rglob("*.md") if not GENERATED & set(p.relative_to(DOCS).parts))
GUIDE = ["getting_started", "vectors", "numpy", "rotations", "geometry", "spatial_index",
         "processes", "dask_join", "things_to_know", "geospatial", "robotics",
         "point_clouds"]
PYTHON_FENCE = re.compile(r"^```(?:python|py|pycon)\s*\n(.*?)^```", re.M | re.S)
IMPORTED = re.compile(r"^>>> (?:from (\w+)|import (.+))", re.M)

if not (DOCS / "guide").is_dir():  # a source distribution ships no docs/
    pytest.skip("no docs/guide in this tree", allow_module_level=True)


def rel(p):
    return str(p.relative_to(DOCS))


@pytest.mark.parametrize("page", PAGES, ids=rel)
def test_page_examples(page):
    text = page.read_text(encoding="utf-8")
    for block in PYTHON_FENCE.findall(text):
        assert block.lstrip().startswith(">>>"), f"{rel(page)}: a python block that is not a doctest:\n{block[:200]}"
    if ">>>" not in text:
        pytest.skip("no examples on this page")
    # The recipes use the peers (scipy, dask, ...); the full test venvs have
    # them, and there (KESTRUM_REQUIRE_EXAMPLES=1) a missing one is a failure.
    wanted = {frm or m.split()[0].split(".")[0] for frm, imp in IMPORTED.findall(text)
              for m in (imp.split(",") if imp else [""])}
    missing = sorted(m for m in wanted if importlib.util.find_spec(m) is None)
    if missing and os.environ.get("KESTRUM_REQUIRE_EXAMPLES") != "1":
        pytest.skip(f"needs {', '.join(missing)}")
    results, report = run_examples(text, rel(page))
    assert results.failed == 0, f"{results.failed} of {results.attempted} examples failed:\n{report}"


def test_every_guide_page_is_there_with_examples():
    for name in GUIDE:
        page = DOCS / "guide" / f"{name}.md"
        assert page.exists(), f"missing guide page {name}"
        assert blank_fences(page.read_text(encoding="utf-8")).count(">>>") >= 3, f"{name}: too few examples"
