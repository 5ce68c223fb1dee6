"""What a package index shows: the description's first screen, its sections shared with the
README, its examples (run here), and the metadata in pyproject.toml."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHARED_SECTIONS = ("## Calling it", "## What it is for", "## In a process pool or on a cluster")


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as handle:
        return handle.read()


def section(text, heading):
    """The section from its heading to the next one of the same level."""
    start = text.index("\n" + heading + "\n") + 1
    following = text.find("\n## ", start + len(heading))
    return text[start:] if following < 0 else text[start : following + 1]


def python_blocks(text):
    return re.findall(r"```python\n(.*?)```", text, re.S)


@pytest.mark.parametrize("heading", SHARED_SECTIONS)
def test_shared_sections_say_the_same_in_both_files(heading):
    assert section(read("DESCRIPTION.md"), heading) == section(read("README.md"), heading)


def test_the_description_installs_and_calls_before_the_project_scripts():
    description = read("DESCRIPTION.md")
    first_screen = "\n".join(description.splitlines()[:40])
    # The wheel tools/build-wheel makes, by the name it has at this version, in both files.
    version = tomllib.loads(read("pyproject.toml"))["project"]["version"]
    install = f"pip install dist/gridflip-{version}-cp313-cp313-manylinux_2_28_x86_64.whl\n"
    assert install in first_screen and install in read("README.md")
    assert "gridflip.mutate(" in first_screen
    assert description.index("gridflip.mutate(") < description.index("tools/run-")


def test_the_readme_still_opens_with_the_two_commands():
    opening = re.match(r"# gridflip\n\n```sh\n(.*?)```", read("README.md"), re.S)
    assert opening is not None
    assert [line.split()[0] for line in opening.group(1).splitlines()] == [
        "tools/run-example",
        "tools/run-tests",
    ]


def run_block(code, directory):
    return subprocess.run(
        [sys.executable, "-c", code], cwd=directory, capture_output=True, text=True, timeout=120
    )


def test_the_description_examples_run(tmp_path):
    call, guarded = python_blocks(section(read("DESCRIPTION.md"), "## Calling it"))
    example = os.path.join(ROOT, "examples", "blinky_hx1k.asc")
    candidate = tmp_path / "candidate.asc"
    shutil.copyfile(example, candidate)

    result = run_block(call, tmp_path)
    assert result.returncode == 0, result.stderr
    assert len(candidate.read_bytes()) == os.path.getsize(example)
    result = run_block("import gridflip\n" + guarded, tmp_path)
    assert result.returncode == 0 and result.stdout == "", result.stderr

    # Without the file, the guarded call reports the failure and goes on.
    candidate.unlink()
    result = run_block("import gridflip\n" + guarded, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("mutation failed: Failed to open circuit: Os { code: 2")


def test_metadata_licence_and_classifiers():
    trove = pytest.importorskip("trove_classifiers")
    project = tomllib.loads(read("pyproject.toml"))["project"]
    assert project["license"] == "MIT"
    assert project["readme"] == "DESCRIPTION.md"
    for pattern in project["license-files"]:
        assert glob.glob(os.path.join(ROOT, pattern)), pattern
    assert read("LICENSE").startswith("MIT License\n")
    unknown = [name for name in project["classifiers"] if name not in trove.classifiers]
    assert unknown == []
    # A licence classifier beside an SPDX expression is refused by the index.
    assert not [name for name in project["classifiers"] if name.startswith("License ::")]
    for prefix in (
        "Development Status ::",
        "Operating System ::",
        "Programming Language :: Python :: 3.13",
        "Typing :: Typed",
    ):
        assert any(name.startswith(prefix) for name in project["classifiers"]), prefix
