"""Shared helpers: child interpreters whose descriptor 2 the tests read, the interposer and its
known keys, test circuits, and the PanicException type. tests/valgrind imports it too."""

import functools
import os
import shutil
import subprocess
import sys
import textwrap

import pytest


def run_child(code, *, env=None, check=False, timeout=300, **kwargs):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (bytes output).
    A child still running after `timeout` seconds is killed and fails the test."""
    child_env = {k: v for k, v in os.environ.items() if k != "GRIDFLIP_BACKTRACE"}
    child_env.update(env or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=child_env,
        timeout=timeout,
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


def run_unshared(code, mount, *args):
    """Runs `code` (with `args`) in a fresh interpreter in a mount namespace of its own, after the
    shell command `mount` there; skips where no such namespace can be made."""
    result = subprocess.run(
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            mount + ' && exec "$0" -c "$@"',
            sys.executable,
            code,
            *args,
        ],
        capture_output=True,
        timeout=120,
    )
    if result.returncode != 0 and b"unshare" in result.stderr:
        pytest.skip("cannot make a mount namespace here")
    return result


@pytest.fixture(scope="session")
def interposer(tmp_path_factory):
    """The test interposer (known keys, failing flushes), built once per session."""
    source = os.path.join(os.path.dirname(__file__), "preload", "interpose.c")
    library = tmp_path_factory.mktemp("preload") / "interpose.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(library), source, "-ldl"], check=True
    )
    return str(library)


def known_key(n):
    """The interposer's key number n under GRIDFLIP_TEST_KEYS (tests/cpp/known_keys.h)."""
    return bytes((n * 37 + j * 11 + 5) & 0xFF for j in range(32))


def known_keys():
    """The interposer's keys in the order a process is served them."""
    n = 0
    while True:
        yield known_key(n)
        n += 1


@functools.cache
def panic_type():
    """PanicException, which the module does not export: the type of a failed open's abort."""
    import gridflip

    try:
        gridflip.mutate("/nonexistent/for/the/type.asc", [], [], 0.0)
    except BaseException as error:
        return type(error)
    raise AssertionError("opening a missing file did not abort")


# Child-side code: glibc's malloc figures (libc.mallinfo2()), for the leak loops.
MALLINFO_CODE = """
import ctypes

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2
"""


def logic_tile(header=".logic_tile 1 1", fill="0"):
    return (header + "\n" + ("".join([fill * 54 + "\n"] * 16))).encode()


# The blinky circuits the module's tests read; the evolution's seeds are the package's data.
EXAMPLES = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples"
)


def command(name):
    """A console command of the installed package, from this interpreter's environment."""
    return os.path.join(os.path.dirname(sys.executable), name)


@pytest.fixture(scope="session")
def icebox():
    """The directory of IceStorm's icebox.py, where gridflip_evolution finds it; skips where it
    is missing. Tests load icebox in child processes only: Hypothesis parses the source of the
    modules loaded in the test process, and icebox's makes Python warn."""
    from gridflip_evolution.icestorm import icebox_candidates

    for directory in icebox_candidates():
        if os.path.isfile(os.path.join(directory, "icebox.py")):
            return directory
    pytest.skip(
        "IceStorm is not installed (Debian: fpga-icestorm): no icebox.py in "
        + ", ".join(icebox_candidates())
    )


@pytest.fixture
def simulator(icebox):
    """Skips where the simulator route (icebox_vlog, iverilog, vvp) or icepack is missing."""
    for tool in ("icebox_vlog", "icepack", "iverilog", "vvp"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed (Debian: fpga-icestorm, iverilog)")
