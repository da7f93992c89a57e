"""Runs every `>>>` example of README.md as a doctest against the importable kestrum_py.

Each level-2 section of the README (`## ...`) is one doctest with a fresh
namespace, so the examples of a section may build on each other but never on
another section's. Code fences are blanked out before parsing: otherwise the
closing fence line would be read as part of the last example's expected output.
"""

import doctest
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"

FENCE = re.compile(r"^\s*```")
H2 = re.compile(r"^## (.+)$")
H3 = re.compile(r"^### (.+)$")


def blank_fences(text):
    """Replaces fence lines by empty lines, keeping line numbers unchanged."""
    return "\n".join("" if FENCE.match(line) else line for line in text.split("\n"))


def split_sections(text, heading):
    """[(title, first line index, body)] for every `heading` section of text."""
    lines = text.split("\n")
    starts = [(i, m.group(1)) for i, line in enumerate(lines) if (m := heading.match(line))]
    sections = []
    for n, (start, title) in enumerate(starts):
        end = starts[n + 1][0] if n + 1 < len(starts) else len(lines)
        sections.append((title, start, "\n".join(lines[start:end])))
    return sections


def run_examples(body, name, lineno=0):
    """Runs the examples in body in a fresh namespace; returns (results, report)."""
    test = doctest.DocTestParser().get_doctest(blank_fences(body), {}, name, str(README), lineno)
    report = io.StringIO()
    runner = doctest.DocTestRunner(verbose=False, optionflags=0)
    results = runner.run(test, out=report.write)
    return results, report.getvalue()


def readme_text():
    return README.read_text(encoding="utf-8")


SECTIONS = split_sections(readme_text(), H2)
WITH_EXAMPLES = [s for s in SECTIONS if ">>>" in s[2]]


@pytest.mark.parametrize("title,start,body", WITH_EXAMPLES, ids=[s[0] for s in WITH_EXAMPLES])
def test_readme_section(title, start, body):
    results, report = run_examples(body, f"README.md [{title}]", start)
    assert results.attempted > 0, f"section {title!r} has '>>>' but no example was parsed"
    assert results.failed == 0, f"{results.failed} of {results.attempted} examples failed:\n{report}"


def test_tour_and_links():
    # Guards against the tour's examples silently dropping out of the run (a
    # heading renamed, a fence or indentation that hides the prompts), and
    # against links that point nowhere: the README is the way into the guide.
    tours = [body for title, _, body in SECTIONS if title == "A short tour"]
    assert len(tours) == 1, "README.md needs exactly one '## A short tour' section"
    test = doctest.DocTestParser().get_doctest(blank_fences(tours[0]), {}, "tour", None, 0)
    assert len(test.examples) >= 8, f"the tour has {len(test.examples)} examples"
    text = readme_text()
    targets = {t for t in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text) if "://" not in t}
    for target in sorted(targets):
        assert (README.parent / target).exists(), f"README links to missing {target}"
    guide = sorted(p.relative_to(README.parent).as_posix() for p in (README.parent / "docs" / "guide").glob("*.md"))
    assert guide, "no guide pages found"
    assert [g for g in guide if g not in targets] == [], "guide pages the README does not link"


def test_wrong_output_is_reported():
    body = "```python\n>>> from kestrum_py import Vec3d\n>>> Vec3d(1, 2, 3)\nVec3d(1, 2, 4)\n```\n"
    results, report = run_examples(body, "deliberately wrong")
    assert (results.failed, results.attempted) == (1, 2)
    assert "Vec3d(1, 2, 4)" in report and "Vec3d(1, 2, 3)" in report


def test_closing_fence_is_not_expected_output():
    # If fences were left in, this correct example would fail on the "```" line.
    body = "```python\n>>> from kestrum_py import Vec3d\n>>> Vec3d(1, 2.5, -0.0)\nVec3d(1, 2.5, -0)\n```\n"
    results, report = run_examples(body, "fenced")
    assert (results.failed, results.attempted) == (0, 2), report


def test_unexpected_exception_is_reported():
    body = ">>> from kestrum_py import VecList\n>>> VecList.empty()[0]\n[]\n"
    results, report = run_examples(body, "raises")
    assert results.failed == 1
    assert "IndexError: Index out of bounds" in report


def test_sections_do_not_share_names():
    first, _ = run_examples(">>> shared = 1\n", "first")
    second, report = run_examples(">>> shared\n1\n", "second")
    assert first.failed == 0
    assert second.failed == 1 and "NameError" in report
