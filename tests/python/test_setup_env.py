"""tools/setup-env on a machine made to look fresh: a fake pyenv, dpkg-query and apt-get on
PATH record what the script asks of them, and no Python 3.13 is found unless the fake pyenv
offers one."""

import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SYSTEM_PATH = "/usr/bin:/bin"

FAKES = {
    "pyenv": '[ "$1" = root ] && echo "$FAKE_PYENV_ROOT"\n',
    "dpkg-query": 'echo "$*" >>"$FAKE_LOG.dpkg"\n[ -n "$FAKE_INSTALLED" ] && echo "install ok installed"\nexit 0\n',
    "apt-get": 'echo "$*" >>"$FAKE_LOG.apt"\n[ "$1" = update ]\n',
}


@pytest.fixture
def machine(tmp_path):
    if shutil.which("python3.13", path=SYSTEM_PATH):
        pytest.skip("this machine has a system python3.13, which the fresh machine must not have")
    checkout = tmp_path / "checkout"
    (checkout / "tools").mkdir(parents=True)
    shutil.copy(os.path.join(ROOT, "tools", "setup-env"), checkout / "tools")
    fakes = tmp_path / "bin"
    fakes.mkdir()
    for name, body in FAKES.items():
        (fakes / name).write_text("#!/bin/sh\n" + body)
        (fakes / name).chmod(0o755)
    pyenv_root = tmp_path / "pyenv"
    (pyenv_root / "versions").mkdir(parents=True)
    environment = {
        "PATH": f"{fakes}:{SYSTEM_PATH}",
        "HOME": str(tmp_path),
        "FAKE_PYENV_ROOT": str(pyenv_root),
        "FAKE_LOG": str(tmp_path / "log"),
    }

    def run(prelude, **extra):
        result = subprocess.run(
            ["bash", "-c", prelude + "\nsource tools/setup-env\necho sourced"],
            cwd=checkout,
            env=dict(environment, **extra),
            capture_output=True,
            text=True,
            timeout=120,
        )
        logs = {
            kind: (tmp_path / f"log.{kind}").read_text().splitlines()
            if (tmp_path / f"log.{kind}").exists()
            else []
            for kind in ("apt", "dpkg")
        }
        return result, logs

    run.pyenv_root = pyenv_root
    run.checkout = checkout
    return run


def test_without_python_313_it_says_how_to_get_one_and_installs_nothing(machine):
    result, logs = machine("debian_packages=(g++ libgtest-dev)")
    assert result.returncode == 1 and "sourced" not in result.stdout
    assert "gridflip needs CPython 3.13" in result.stderr
    assert "pyenv install 3.13" in result.stderr and "GRIDFLIP_PYTHON" in result.stderr
    assert logs == {"apt": [], "dpkg": []}
    assert not (machine.checkout / ".venv").exists()


def test_a_found_python_comes_first_then_only_the_listed_packages_without_recommends(machine):
    interpreter = machine.pyenv_root / "versions" / "3.13.0" / "bin" / "python3.13"
    interpreter.parent.mkdir(parents=True)
    interpreter.symlink_to(getattr(sys, "_base_executable", sys.executable))
    # The fake apt-get refuses the installation, which ends the script there.
    result, logs = machine("debian_packages=(g++ libgtest-dev)")
    assert result.returncode != 0 and "sourced" not in result.stdout
    assert "gridflip needs CPython 3.13" not in result.stderr
    assert logs["apt"] == ["update -qq", "install -y -qq --no-install-recommends g++ libgtest-dev"]
    assert [line.split()[-1] for line in logs["dpkg"]] == ["g++", "libgtest-dev"]


def test_a_tool_without_python_needs_only_its_packages(machine):
    result, logs = machine("debian_packages=(clang-14)\npython_needed=no", FAKE_INSTALLED="yes")
    assert result.returncode == 0 and "sourced" in result.stdout, result.stderr
    assert logs["apt"] == [] and len(logs["dpkg"]) == 1
