"""What the examples gallery needs around scripts written as command-line programs.

`argv` gives each script the arguments of a quick run that writes its figure
to a scratch directory; `PngScraper` then shows the PNG files that appeared
there (matplotlib's own scraper only sees figures still open, and these
scripts close theirs after saving).
"""

import os
import shutil
import tempfile
from pathlib import Path

OUT = Path(tempfile.gettempdir()) / f"kestrum-gallery-{os.getpid()}"
DOCS = Path(__file__).resolve().parents[1]

# Quick runs: a build should take seconds per script, not minutes.
ARGS = {
    "nearest_airport.py": ["-n", "3000", "--show", "5", "--no-progress", "--plot", "{out}/nearest_airport.png"],
    "lidar_join.py": ["--points", "3e5", "--queries", "2e4", "--workers", "2", "--memory-limit", "400MiB",
                      "--check", "20"],
    "rotation_trajectory.py": ["--plot", "{out}/rotation_trajectory.png"],
    "register_scans.py": ["--small"],
    "plot_vec_list.py": ["--from", str(DOCS / "vec_list_scaling.json"), "--out", "{out}/vec_list_scaling.png"],
    "plot_kdtree.py": ["--from", str(DOCS / "kdtree_bench.json"), "--out", "{out}/kdtree_bench.png"],
}


def argv(gallery_conf, script_vars):
    name = Path(script_vars["src_file"]).name
    out = OUT / Path(name).stem
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    # A script that is not listed gets --plot into the same place if it
    # writes a figure at all; the tour takes no arguments.
    return [a.format(out=out) for a in ARGS.get(name, [])]


class PngScraper:
    """Shows the PNG files a script wrote into its scratch directory."""

    def __repr__(self):  # sphinx-gallery keys its cache on the repr
        return "PngScraper"

    def __call__(self, block, block_vars, gallery_conf):
        from sphinx_gallery.scrapers import figure_rst

        out = OUT / Path(block_vars["src_file"]).stem
        images = []
        for png in sorted(out.glob("*.png")) if out.is_dir() else []:
            dest = next(block_vars["image_path_iterator"])
            shutil.move(str(png), dest)
            images.append(dest)
        return figure_rst(images, gallery_conf["src_dir"])


png_scraper = PngScraper()
