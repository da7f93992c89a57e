"""The command line and the JSON record the benchmark scripts share.

`parser` gives a script the options several of them take, with one spelling
and one meaning each; the script adds its own. `machine_line` and `meta` say
where a figure was taken (CPU model, CPU count, pool and BLAS threads, load,
versions): printed with every table, recorded in every JSON file, since the
figures depend on all of them. `write_json` writes a record the plots read.
"""

from __future__ import annotations

import argparse
import json
import os
import platform


def sizes(text: str) -> list[int]:
    """'1e5,1e6' -> [100000, 1000000]: element counts as the scripts take them."""
    try:
        return [int(float(s)) for s in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of numbers: {text!r}") from None


def parser(
    doc: str | None,
    *,
    repeat: int | None = None,
    rounds: int | None = None,
    sizes_default: str | None = None,
    quick: bool = False,
    legend: bool = False,
    json_for: str | None = None,
    floor: bool = False,
    blas_threads: bool = False,
    builds: str | None = None,
) -> argparse.ArgumentParser:
    """An ArgumentParser with the shared options a script asks for.

    repeat: --repeat N (alias --repeats), the minimum is taken over N;
    rounds: --rounds N, child processes alternate over N rounds;
    sizes_default: --sizes LIST (parsed by `sizes`; None leaves the default to the script);
    quick: --quick; legend: --legend; json_for: --json FILE, saying what reads it;
    floor: --floor PATH | --no-floor, the bandwidth floor program;
    blas_threads: --blas-default (read by blas_env.single_blas_thread);
    builds: positional build directories, one or more, with this help.
    --keep-blas-env, added by blas_env's re-exec, is always accepted.
    """
    ap = argparse.ArgumentParser(
        description=(doc or "").strip().split("\n\n")[0] or None,
        epilog="\n\n".join((doc or "").strip().split("\n\n")[1:]) or None,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    if builds:
        ap.add_argument("builds", nargs="+", metavar="DIR", help=builds)
    if repeat is not None:
        ap.add_argument("--repeat", "--repeats", type=int, default=repeat, metavar="N",
                        help=f"repeats per cell, the minimum counts (default {repeat})")
    if rounds is not None:
        ap.add_argument("--rounds", type=int, default=rounds, metavar="N",
                        help=f"rounds the child processes alternate over (default {rounds})")
    if sizes_default is not None:
        ap.add_argument("--sizes", type=sizes, default=sizes(sizes_default) if sizes_default else None,
                        metavar="LIST", help=f"element counts, e.g. 1e5,1e6 (default {sizes_default or 'see above'})")
    if quick:
        ap.add_argument("--quick", action="store_true", help="fewer repeats: a rough figure in a fraction of the time")
    if legend:
        ap.add_argument("--legend", action="store_true", help="also print the statement timed in every cell")
    if json_for:
        ap.add_argument("--json", metavar="FILE", help=f"also write every figure to FILE ({json_for})")
    if floor:
        group = ap.add_mutually_exclusive_group()
        group.add_argument("--floor", metavar="PATH", help="the bandwidth_floor program (default: the newest build*/)")
        group.add_argument("--no-floor", action="store_true", help="leave the bandwidth floor out")
    if blas_threads:
        ap.add_argument("--blas-default", action="store_true",
                        help="leave OpenBLAS its own thread count (default: one thread)")
    ap.add_argument("--keep-blas-env", action="store_true", help=argparse.SUPPRESS)
    return ap


def cpu_model() -> str:
    """The CPU's model name (per-call ratios differ between microarchitectures)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def load() -> list[float]:
    return list(os.getloadavg())


def machine_line() -> str:
    """CPU model, CPU count and load: the context every figure needs on a shared machine."""
    la = " ".join(f"{x:.2f}" for x in load())
    return f"{cpu_model()} ({platform.machine()}, {os.cpu_count()} CPUs); load average {la}"


def load_text() -> str:
    """The load averages over 1, 5 and 15 minutes. Read in-process: an `uptime`
    child inherits LD_PRELOAD, and under the sanitizer stage's preloaded
    runtime it hung."""
    return "load average " + " ".join(f"{x:.2f}" for x in load())


def versions() -> list[str]:
    """Python, where kestrum_py came from, and the peers' versions present, for the header."""
    import kestrum_py

    parts = [f"Python {platform.python_version()}", f"kestrum_py from {kestrum_py.__file__}"]
    try:
        import glm

        parts.append(f"PyGLM {glm.version}" if hasattr(glm, "version") else "PyGLM")
    except ImportError:
        pass
    try:
        import numpy

        parts.append(f"numpy {numpy.__version__}")
        try:
            from threadpoolctl import threadpool_info

            for lib in threadpool_info():
                parts.append(f"{lib.get('internal_api')} {lib.get('version')} ({lib.get('architecture')})")
        except ImportError:
            pass
    except ImportError:
        pass
    return parts


def meta(dists: tuple[str, ...] = ("numpy",), **extra) -> dict:
    """The "meta" record of a JSON file: the machine, the threads, the versions
    of Python and of `dists` (None when not installed), the load at the start."""
    from importlib import metadata

    found = {"python": platform.python_version()}
    for dist in dists:
        try:
            found[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            found[dist] = None
    return {"cpu": cpu_model(), "cpus": os.cpu_count(), "machine": platform.machine(),
            "rayon_num_threads": os.environ.get("RAYON_NUM_THREADS"),
            "openblas_num_threads": os.environ.get("OPENBLAS_NUM_THREADS"),
            "versions": found, **extra, "load_start": load()}


def write_json(path: str, record: dict) -> None:
    """Writes the record (its meta gains the load at the end unless already set)."""
    if "meta" in record:
        record["meta"].setdefault("load_end", load())
    with open(path, "w") as f:
        json.dump(record, f, indent=1)
        f.write("\n")
    print(f"wrote {path}")
