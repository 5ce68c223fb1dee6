"""Shared helpers: child interpreters whose descriptor 2 the tests read."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code, *, env=None, check=False, **kwargs):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (bytes output)."""
    child_env = {k: v for k, v in os.environ.items() if k != "GRIDFLIP_BACKTRACE"}
    child_env.update(env or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=child_env,
        timeout=300,
        **kwargs,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"child failed ({result.returncode}):\n{result.stdout.decode()}\n{result.stderr.decode()}"
        )
    return result


@pytest.fixture
def child():
    return run_child
