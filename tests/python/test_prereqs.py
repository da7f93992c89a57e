"""tests/run_all.sh on a machine that lacks system packages.

dpkg, id and apt-get are replaced by fakes on PATH: dpkg knows a package when
a file of its name exists in the fake's package dir, and apt-get "installs"
by creating that file and logs every call.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RUN_ALL = ROOT / "tests" / "run_all.sh"

FAKES = {
    "dpkg": '[ "$1" = -s ] && [ -e "$FAKE_DEBS/$2" ] && echo "Status: install ok installed"\n',
    "id": 'echo "$FAKE_UID"\n',
    "apt-get": (
        'echo "$*" >> "$FAKE_LOG"\n'
        'if [ "${1:-}" = install ]; then\n'
        '    for a in "$@"; do case "$a" in -*|install) ;; *) touch "$FAKE_DEBS/$a" ;; esac; done\n'
        'fi\n'
    ),
}

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")


@pytest.fixture
def machine(tmp_path):
    """Runs run_all.sh under the fakes; returns (run, state dir)."""
    bin_dir, debs = tmp_path / "bin", tmp_path / "debs"
    bin_dir.mkdir()
    debs.mkdir()
    for name, body in FAKES.items():
        f = bin_dir / name
        f.write_text("#!/bin/sh\n" + body)
        f.chmod(0o755)

    def run(*stages, uid=1000, debs_present=()):
        for d in debs_present:
            (debs / d).touch()
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", FAKE_DEBS=str(debs),
                   FAKE_UID=str(uid), FAKE_LOG=str(tmp_path / "apt.log"),
                   KESTRUM_CI_DIR=str(tmp_path / "ci"))
        return subprocess.run(["bash", str(RUN_ALL), *stages], env=env, capture_output=True,
                              text=True, timeout=120)

    return run, tmp_path


def apt_calls(tmp_path):
    log = tmp_path / "apt.log"
    return log.read_text().splitlines() if log.exists() else []


def test_not_root_names_the_packages_and_runs_nothing(machine):
    run, tmp = machine
    r = run("cpp")
    assert r.returncode == 3, r.stdout + r.stderr
    assert "sudo apt-get install -y --no-install-recommends libgtest-dev" in r.stderr
    assert "nothing was run" in r.stderr
    # No stage started: the scratch dir was never made and no build was tried.
    assert not (tmp / "ci").exists()
    assert "===" not in r.stdout
    assert apt_calls(tmp) == []


def test_root_installs_what_is_missing_then_goes_on(machine):
    run, tmp = machine
    r = run("prereqs", uid=0)
    assert r.returncode == 0, r.stdout + r.stderr
    calls = apt_calls(tmp)
    assert calls[0].startswith("update")
    assert len(calls) == 2 and calls[1].startswith("install") and "libgtest-dev" in calls[1].split()
    assert (tmp / "debs" / "libgtest-dev").exists()


def test_nothing_missing_installs_nothing(machine):
    run, tmp = machine
    r = run("prereqs", uid=0, debs_present=["libgtest-dev"])
    assert r.returncode == 0, r.stdout + r.stderr
    assert apt_calls(tmp) == []


def test_a_failing_install_stops_before_any_stage(machine):
    run, tmp = machine
    (tmp / "bin" / "apt-get").write_text('#!/bin/sh\necho "$*" >> "$FAKE_LOG"; exit 100\n')
    r = run("cpp", uid=0)
    assert r.returncode == 3
    assert "apt-get could not install: libgtest-dev" in r.stderr
    assert not (tmp / "ci").exists()


def test_only_the_chosen_stages_needs_count(tmp_path):
    def missing(*stages, **env):
        fake = tmp_path / "bin"
        fake.mkdir(exist_ok=True)
        (fake / "dpkg").write_text("#!/bin/sh\nexit 1\n")
        (fake / "dpkg").chmod(0o755)
        e = dict(os.environ, PATH=f"{fake}:{os.environ['PATH']}", **env)
        cmd = f'. "{ROOT}/tests/prereqs.sh"; prereq_missing {" ".join(stages)}'
        return subprocess.run(["bash", "-c", cmd], env=e, capture_output=True, text=True,
                              check=True).stdout.split()

    assert "libgtest-dev" in missing("tsan")
    assert "libgtest-dev" not in missing("python", "typing", "ft")
    # No interpreter of the wanted versions at all: Debian's python3 with venv and headers.
    nowhere = dict(PYENV_ROOT=str(tmp_path / "no-pyenv"), PYTHONS="3.99")
    assert missing("wheel", **nowhere) == ["python3", "python3-venv", "python3-dev"]
    assert missing("cpp", **nowhere) == ["libgtest-dev"]
