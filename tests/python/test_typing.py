"""The stub package as type checkers see it: mypy reads it, so wrong calls are errors, and
stubtest finds it faithful to the module."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def run_mypy(tmp_path, code):
    source = tmp_path / "caller.py"
    source.write_text(textwrap.dedent(code).lstrip())
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(source),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    # (line, error code) of each error
    errors = [
        (int(line), code)
        for line, code in re.findall(
            r"^caller\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M
        )
    ]
    return result, errors


def test_correct_calls_pass_and_mutate_is_not_any(tmp_path):
    result, errors = run_mypy(
        tmp_path,
        """
        from pathlib import Path
        import gridflip

        gridflip.mutate("c.asc", [0, 5], range(54), 0.01)
        gridflip.mutate(Path("c.asc"), b"\\x00\\x05", bytearray(b"\\x03"), 1)
        gridflip.mutate(fpath="c.asc", rows=(1,), columns=[2], mutation_chance=0.5)
        reveal_type(gridflip.mutate)
        """,
    )
    assert errors == [] and result.returncode == 0, result.stdout + result.stderr
    revealed = re.search(r'Revealed type is "(.*)"', result.stdout).group(1)
    assert (
        revealed.startswith("def (fpath: str | os.PathLike[str], rows: ") and "Any" not in revealed
    ), revealed


def test_a_missing_argument_and_a_bytes_path_are_errors(tmp_path):
    result, errors = run_mypy(
        tmp_path,
        """
        import gridflip

        gridflip.mutate("c.asc", [0], [0])
        gridflip.mutate(b"c.asc", [0], [0], 0.5)
        gridflip.mutate("c.asc", ["0"], [0], 0.5)
        gridflip.mutate("c.asc", "0123", [0], 0.5)
        gridflip.mutate("c.asc", [0], 5, 0.5)
        gridflip.mutate("c.asc", {0: 1}, [0], 0.5)
        """,
    )
    assert result.returncode == 1
    assert errors == [
        (3, "call-arg"),
        (4, "arg-type"),
        (5, "list-item"),
        (6, "arg-type"),
        (7, "arg-type"),
        (8, "arg-type"),
    ], result.stdout


def test_numpy_arrays_and_scalars_pass(tmp_path):
    pytest.importorskip("numpy")
    result, errors = run_mypy(
        tmp_path,
        """
        import numpy
        import gridflip

        gridflip.mutate("c.asc", numpy.arange(16), numpy.arange(36, 46, dtype=numpy.uint8), 0.01)
        gridflip.mutate("c.asc", numpy.array([0, 5], dtype=numpy.int32), [numpy.int64(3)],
                        numpy.float32(0.5))
        gridflip.mutate("c.asc", numpy.arange(16)[::2], numpy.flatnonzero(numpy.ones(54)), 1)
        """,
    )
    assert errors == [] and result.returncode == 0, result.stdout + result.stderr


def test_stubtest_finds_the_stub_faithful():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "gridflip"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
