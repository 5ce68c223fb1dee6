"""Calls of mutate that return, raise or abort, a few times each, in one process.

tools/run-memcheck runs this under valgrind for the paths that the test suite takes
only in child interpreters, which valgrind does not follow: failing flushes (with
the test interposer preloaded), exhausted descriptors, threads that end, calls
with standard error closed, a one-time cell re-entered by its filler, and
recursion through an argument hook. Each call's outcome is checked, so a clean valgrind
log means those paths really ran. Not here: a file truncated under the mapping and an
exhausted address space (tests/python/test_truncation.py and test_faults.py run them natively).
"""

import os
import resource
import shutil
import sys
import tempfile
import threading
import types

import gridflip

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from conftest import panic_type  # noqa: E402

ROUNDS = 20
TILE = b".logic_tile 1 1\n" + b"".join([b"0" * 54 + b"\n"] * 16)
calls = 0


def expect(outcome, *args, **kwargs):
    """Calls mutate ROUNDS times; each must return None or raise `outcome...`."""
    global calls
    for _ in range(ROUNDS):
        calls += 1
        try:
            result = gridflip.mutate(*args, **kwargs)
        except BaseException as error:
            seen = f"{type(error).__name__}: {error}"
        else:
            seen = f"returned {result!r}"
        if not seen.startswith(outcome):
            raise AssertionError(f"expected {outcome!r}, got {seen!r}")


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class BrokenSequence:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise RuntimeError("no items here")


def argument_failures(circuit):
    expect("TypeError: mutate() missing 4 required positional arguments")
    expect(
        "TypeError: mutate() takes 4 positional arguments but 5 were given", circuit, [], [], 0.5, 1
    )
    expect(
        "TypeError: mutate() got an unexpected keyword argument 'chance'", circuit, [], [], chance=1
    )
    expect(
        "TypeError: mutate() got multiple values for argument 'rows'", circuit, [], [], 0.5, rows=[]
    )
    expect("TypeError: argument 'fpath': ", 1, [0], [0], 0.5)
    expect(
        "TypeError: argument 'fpath': 'bytes' object cannot be cast as 'str'",
        FsPath(b"x"),
        [0],
        [0],
        0.5,
    )
    expect("ZeroDivisionError: inside", FsPath(ZeroDivisionError("inside")), [0], [0], 0.5)
    expect("TypeError: argument 'rows': Can't extract `str` to `Vec`", circuit, "ab", [0], 0.5)
    expect(
        "TypeError: argument 'rows': 'set' object cannot be cast as 'Sequence'",
        circuit,
        {1},
        [0],
        0.5,
    )
    expect(
        "OverflowError: out of range integral type conversion attempted", circuit, [256], [0], 0.5
    )
    expect("RuntimeError: no items here", circuit, BrokenSequence(), [0], 0.5)
    expect("TypeError: argument 'columns': ", circuit, [0], [1.5], 0.5)
    expect("ValueError: argument 'rows': row 16 is outside 0 to 15", circuit, [16], [0], 0.5)
    expect("TypeError: argument 'mutation_chance': ", circuit, [0], [0], "x")
    expect("OverflowError: ", circuit, [0], [0], 10**400)
    # A PanicException raised by Python code during the call resumes as an abort.
    panic = panic_type()
    expect("PanicException: from python", FsPath(panic("from python")), [0], [0], 0.5)
    expect("PanicException: ", FsPath(panic()), [0], [0], 0.5)


def reentered_sequence_cell(circuit):
    """Runs first: the Sequence cell is still empty, and a failed fill leaves it so."""
    import collections.abc as real_abc

    class ReplacedAbc(types.ModuleType):
        @property
        def Sequence(self):
            gridflip.mutate(circuit, {1}, [0], 0.5)

    sys.modules["collections.abc"] = ReplacedAbc("collections.abc")
    try:
        expect(
            "PanicException: called `Result::unwrap()` on an `Err` value: RuntimeError: "
            "deadlock detected",
            circuit,
            {1},
            [0],
            0.5,
        )
    finally:
        sys.modules["collections.abc"] = real_abc


class Recursive:
    def __fspath__(self):
        gridflip.mutate(Recursive(), [0], [0], 0.5)


def recursion():
    # On a thread with a small stack, so the stack check trips after few levels.
    outcome = []
    threading.stack_size(512 << 10)
    thread = threading.Thread(
        target=lambda: outcome.append(expect("RecursionError: ", Recursive(), [0], [0], 0.5))
    )
    thread.start()
    thread.join()
    threading.stack_size(0)
    if outcome != [None]:
        raise AssertionError("the recursion thread failed")


def open_and_map_failures(directory):
    not_open = "PanicException: Failed to open circuit: "
    not_mapped = "PanicException: Failed to mmap circuit: Os { code: 19,"
    expect(not_open + "Os { code: 2,", os.path.join(directory, "missing.asc"), [0], [0], 0.5)
    expect(not_open + "Os { code: 2,", os.path.join(directory, "\udc80.asc"), [0], [0], 0.5)
    expect(not_open + "Os { code: 21,", directory, [0], [0], 0.5)
    expect(not_open + "Error { kind: InvalidInput", directory + "/a\0b", [0], [0], 0.5)
    expect(not_mapped, "/dev/null", [0], [0], 0.5)
    fifo = os.path.join(directory, "pipe.asc")
    os.mkfifo(fifo)
    expect(not_mapped, fifo, [0], [0], 0.5)


def successes(directory):
    hx1k = os.path.join(directory, "hx1k.asc")
    shutil.copyfile(os.path.join(ROOT, "examples", "blinky_hx1k.asc"), hx1k)
    expect("returned None", hx1k, range(16), range(54), 0.5)
    expect("returned None", hx1k, b"\x00\x0f", bytearray(b"\x05"), 1.0)
    empty = os.path.join(directory, "empty.asc")
    open(empty, "wb").close()
    expect("returned None", empty, range(16), range(54), 1.0)
    short = os.path.join(directory, "short.asc")
    with open(short, "wb") as handle:
        handle.write(b"header\n.logic_tile 1 1")
    expect(
        "PanicException: index out of bounds: the len is 22 but the index is 22",
        short,
        [0],
        [0],
        1.0,
    )
    crlf = os.path.join(directory, "crlf.asc")
    with open(crlf, "wb") as handle:
        handle.write(TILE.replace(b"\n", b"\r\n"))
    expect(
        "PanicException: malformed logic tile at line 1: row 0 ends in a carriage return",
        crlf,
        [0],
        [0],
        1.0,
    )


def flush_failures(circuit):
    if "interpose" not in os.environ.get("LD_PRELOAD", ""):
        print("flush failures skipped: the test interposer is not preloaded")
        return
    for variable in ("GRIDFLIP_TEST_FAIL_MSYNC", "GRIDFLIP_TEST_FAIL_FSYNC"):
        os.environ[variable] = "5"  # read by the interposer at every call
        expect("PanicException: Failed to flush circuit: Os { code: 5,", circuit, [0], [0], 1.0)
        del os.environ[variable]


def descriptor_exhaustion(circuit):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    fillers = []
    try:
        while True:
            try:
                fillers.append(os.open("/dev/null", os.O_RDONLY))
            except OSError:
                break
        expect("PanicException: Failed to open circuit: Os { code: 24,", circuit, [0], [0], 1.0)
        os.close(fillers.pop())
        expect("PanicException: Failed to mmap circuit: Os { code: 24,", circuit, [0], [0], 1.0)
    finally:
        for fd in fillers:
            os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def threads(circuit):
    errors = []

    def one_call():
        try:
            gridflip.mutate(circuit, [0, 1], range(10), 0.5)
        except BaseException as error:
            errors.append(error)

    stop = threading.Event()

    def keeper():
        while not stop.is_set():
            one_call()

    kept = threading.Thread(target=keeper)
    kept.start()
    for _ in range(50):
        ended = threading.Thread(target=one_call)
        ended.start()
        ended.join()
    stop.set()
    kept.join()
    if errors:
        raise AssertionError(f"thread calls failed: {errors[:3]}")


def closed_standard_error(directory):
    os.close(2)
    expect("PanicException: Failed to mmap circuit: Os { code: 19,", "/dev/null", [0], [0], 0.5)
    expect(
        "PanicException: index out of bounds", os.path.join(directory, "short.asc"), [0], [0], 1.0
    )


def main():
    directory = tempfile.mkdtemp(prefix="gridflip-memcheck-")
    try:
        circuit = os.path.join(directory, "c.asc")
        with open(circuit, "wb") as handle:
            handle.write(TILE)
        reentered_sequence_cell(circuit)
        argument_failures(circuit)
        recursion()
        open_and_map_failures(directory)
        successes(directory)
        flush_failures(circuit)
        descriptor_exhaustion(circuit)
        threads(circuit)
        closed_standard_error(directory)
    finally:
        shutil.rmtree(directory)
    print(
        f"exercised {calls} calls, backtrace mode {os.environ.get('GRIDFLIP_BACKTRACE', 'unset')}"
    )


if __name__ == "__main__":
    sys.exit(main())
