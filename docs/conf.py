"""Sphinx configuration of the kestrum_py documentation site.

Built strictly (`sphinx-build -W`) by `bash docs/make.sh` and by the `docs`
stage of tests/run_all.sh. The API pages are written at build time from the
type stubs (_ext/stub_api.py); the gallery runs scripts of examples/ and
bench/plots/ (sphinx-gallery); the guide pages are Markdown (MyST) whose `>>>`
examples tests/python/test_docs.py runs as doctests.
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "kestrum_py"
author = "the kestrum_py developers"
copyright = "2026, " + author
release = "0.1.0"

extensions = ["myst_parser", "sphinx_gallery.gen_gallery", "stub_api"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# performance.md is also read on its own from the repository, next to its plots.
exclude_patterns = ["_build"]
# Annotations name the stubs' aliases (_Float, ...) unqualified, in both modules.
python_use_unqualified_type_names = True
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# A reference that does not resolve is an error (the build runs with -W);
# only names from outside this project, which have no page here, are exempt.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:(class|obj|data)", r"(builtins\.)?(float|int|bool|str|bytes|object|tuple|list|dict|type|None)"),
    (r"py:(class|obj|data)", r"(collections\.abc\.|typing\.|typing_extensions\.)?"
                             r"(Callable|Iterator|Sequence|Any|SupportsFloat|SupportsIndex|Buffer|ClassVar)"),
    (r"py:(class|obj|data)", r"(pickle\.)?PickleBuffer"),
]

html_theme = "pydata_sphinx_theme"
html_title = "kestrum_py"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "header_links_before_dropdown": 4,
}
html_static_path = ["_static"]
html_css_files = ["custom.css"]
# Top-level pages have no siblings to list, and an empty "Section Navigation"
# only narrows the text: their sections are in the page-toc on the right.
html_sidebars = {"guide/*": [], "performance": [], "index": []}
html_favicon = "_static/favicon.svg"
# Without a default the theme logs "invalid theme mode" to the console on a first visit.
html_context = {"default_mode": "auto"}
html_last_updated_fmt = None

sphinx_gallery_conf = {
    "examples_dirs": ["../examples", "../bench/plots"],
    "gallery_dirs": ["gallery/examples", "gallery/bench"],
    # Every script shown runs. Of bench/, only plots/ is shown: its scripts
    # draw recorded results, while the timing programs themselves are too
    # slow and too noisy for a build.
    "filename_pattern": r"\.py$",
    "ignore_pattern": r"^(_|__init__)",
    # Named, not given as objects, so the configuration stays picklable.
    "reset_argv": "gallery_support.argv",
    "image_scrapers": ("gallery_support.png_scraper",),
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "show_signature": False,
    "line_numbers": False,
    "plot_gallery": "True",
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,
    "min_reported_time": 1e9,
    "show_memory": False,
}
