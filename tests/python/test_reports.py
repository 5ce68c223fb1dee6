"""The abort report on descriptor 2, PanicException as the caller sees it, and
aborts resumed from Python code."""

import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NOTE = b"note: run with `GRIDFLIP_BACKTRACE=1` environment variable to display a backtrace\n"
OPEN_MESSAGE = (
    b'Failed to open circuit: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
)


def source_line(fragment):
    with open(os.path.join(ROOT, "src", "lib.cpp")) as handle:
        for number, line in enumerate(handle, 1):
            if fragment in line:
                return number
    raise AssertionError(fragment)


FAILING_CALLS = """
import gridflip, threading
print(threading.get_native_id(), flush=True)
for _ in range({count}):
    try:
        gridflip.mutate("/nonexistent/dir/circuit.asc", [0], [0], 0.5)
    except BaseException as error:
        print(type(error).__module__, type(error).__name__, flush=True)
"""


def test_report_bytes_and_the_note_on_the_first_report_only(child):
    result = child(FAILING_CALLS.format(count=2))
    assert result.returncode == 0
    thread_id = result.stdout.split()[0].decode()
    line = source_line('abort_with_io_error("Failed to open circuit"')
    header = re.escape(
        f"\nthread '<unnamed>' ({thread_id}) panicked at src/lib.cpp:{line}:"
    ).encode()
    report = header + rb"\d+:\n" + re.escape(OPEN_MESSAGE) + b"\n"
    assert re.fullmatch(report + re.escape(NOTE) + report, result.stderr), result.stderr
    assert result.stdout.split()[1:] == [b"pyo3_runtime", b"PanicException"] * 2


@pytest.mark.parametrize(
    "value, shape",
    [
        ("0", "none"),
        ("full", "full"),
        ("1", "short"),
        ("FULL", "short"),
        ("yes", "short"),
    ],
)
def test_backtrace_switch(child, value, shape):
    result = child(FAILING_CALLS.format(count=2), env={"GRIDFLIP_BACKTRACE": value})
    err = result.stderr
    assert err.count(b"panicked at src/lib.cpp:") == 2
    if shape == "none":
        # "0" is the off mode: the first report still carries the note.
        assert err.count(NOTE) == 1
        assert b"stack backtrace:" not in err
        return
    assert NOTE not in err
    assert err.count(b"stack backtrace:\n") == 2
    # The aborting function is named in the entries.
    assert b"gridflip::mutate" in err
    omitted_note = b"note: Some details are omitted, run with `GRIDFLIP_BACKTRACE=full` for a verbose backtrace.\n"
    if shape == "short":
        assert err.count(omitted_note) == 2
        assert b"gridflip::write_abort_report" not in err
        # The short form runs from the aborting function to the module's entry point.
        for report in err.split(b"stack backtrace:\n")[1:]:
            entries = re.findall(rb"^ +\d+: (.*)$", report, re.M)
            assert entries[0].startswith(b"gridflip::mutate("), report
            assert entries[-1].startswith(b"gridflip::(anonymous namespace)::mutate_entry("), report
    else:
        assert omitted_note not in err
        assert b"gridflip::write_abort_report" in err


def test_uncaught_panic_ends_the_script_with_the_qualified_name(child):
    result = child('import gridflip\ngridflip.mutate("/nonexistent.asc", [], [], 0.0)\n')
    assert result.returncode == 1
    last = result.stderr.rstrip(b"\n").split(b"\n")[-1]
    assert last == b"pyo3_runtime.PanicException: " + OPEN_MESSAGE


def test_report_goes_to_the_descriptor_not_sys_stderr(child):
    result = child("""
        import io, sys, gridflip
        sys.stderr = io.StringIO()
        try:
            gridflip.mutate("/nonexistent.asc", [], [], 0.0)
        except BaseException:
            pass
        assert sys.stderr.getvalue() == ""
        """)
    assert result.returncode == 0, result.stderr
    assert OPEN_MESSAGE in result.stderr


def test_closed_standard_error_still_raises_and_never_reaches_the_circuit(child, tmp_path):
    circuit = tmp_path / "c.asc"
    # The header is the last line: the first drawn flip aborts after the open and the map.
    circuit.write_bytes(b"header\n.logic_tile 1 1")
    result = child(f"""
        import os, gridflip
        os.close(2)
        for path in ("/nonexistent.asc", {str(circuit)!r}):
            try:
                gridflip.mutate(path, [0], [0], 1.0)
            except BaseException as error:
                print(type(error).__name__, error.args[0])
        """)
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0
    assert lines[0] == "PanicException " + OPEN_MESSAGE.decode()
    assert lines[1] == "PanicException index out of bounds: the len is 22 but the index is 22"
    assert circuit.read_bytes() == b"header\n.logic_tile 1 1"


# Descriptor 2 is a pipe that a thread of this process empties, as capture tools and notebook
# kernels do; or a full one that nobody reads, until a signal comes.
PIPE = """
import fcntl, os, signal, threading, time, gridflip
read_end, write_end = os.pipe()
os.dup2(write_end, 2)
def fail():
    try:
        gridflip.mutate("/nonexistent/circuit.asc", [0], [0], 0.5)
    except BaseException as error:
        return error  # no call here: the interpreter may raise a pending exception at one
"""
DRAIN = """
threading.Thread(target=lambda: [*iter(lambda: os.read(read_end, 65536), b"")], daemon=True).start()"""
# The signal comes 1 s into a report blocked on the full pipe, or into a wait for the report lock
# behind another thread's blocked report. Its handler raises, or makes room in the pipe and fails
# a call of its own, then returns.
FULL = """
os.write(write_end, bytes(fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)))
class Timeout(Exception):
    pass
def handler(number, frame):
    if "{case}" != "room":
        raise Timeout
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 1 << 20)
    fail()
if "{name}" != "SIGINT":
    signal.signal(signal.{name}, handler)
if "{case}" == "behind":
    threading.Thread(target=fail, daemon=True).start()
    time.sleep(0.3)
threading.Timer(1, os.kill, (os.getpid(), signal.{name})).start()
error = fail()
os.set_blocking(read_end, False)
print(type(error).__name__, type(error.__context__).__name__, os.read(read_end, 1 << 20).count(b"panicked at"))"""


@pytest.mark.parametrize(
    "case, printed",
    [
        (
            DRAIN
            + """\nprint(sum(type(fail()).__name__ == "PanicException" for _ in range(3000)))""",
            "3000",
        ),
        *[
            (FULL.format(name=name, case="raise"), "Timeout PanicException 0")
            for name in ("SIGTERM", "SIGALRM")
        ],
        (FULL.format(name="SIGINT", case="raise"), "KeyboardInterrupt PanicException 0"),
        (FULL.format(name="SIGTERM", case="room"), "PanicException NoneType 2"),
        (FULL.format(name="SIGTERM", case="behind"), "Timeout PanicException 0"),
    ],
)
def test_a_report_into_a_pipe_never_holds_up_the_process(child, case, printed):
    # The report releases the interpreter lock while it waits, and answers signals as os.write
    # does: the handler's exception replaces the PanicException, which becomes its context.
    result = child(PIPE + case, timeout=60)
    assert (result.returncode, result.stdout.decode().strip()) == (0, printed)


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_exit_with_threads_in_failing_calls_ends_normally(child, threads):
    # The interpreter ends each such thread by unwinding it, mostly as it takes the lock back.
    script = (
        PIPE
        + DRAIN
        + f"""
for _ in range({threads}):
    threading.Thread(target=lambda: all(iter(fail, None)), daemon=True).start()
time.sleep(0.1)"""
    )
    assert [child(script, timeout=60).returncode for _ in range(10)] == [0] * 10


RESUME_SCRIPT = """
import gridflip
try:
    gridflip.mutate("/nonexistent.asc", [], [], 0.0)
except BaseException as caught:
    earlier = caught
panic = type(earlier)

class Path:
    def __fspath__(self):
        raise {raised}

try:
    gridflip.mutate(Path(), [0], [0], 0.5)
except BaseException as error:
    print("caught", type(error) is panic, error is earlier, repr(error.args))
"""


def test_a_panic_exception_from_python_code_resumes_its_abort(child):
    result = child(RESUME_SCRIPT.format(raised="panic('x marks the spot')"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().strip() == "caught True False ('x marks the spot',)"
    after_first = result.stderr.split(NOTE, 1)[1]
    lines = after_first.decode().splitlines()
    assert lines[0].startswith("--- ") and lines[0].endswith(" ---")
    assert "PanicException" in lines[0]
    assert lines[1] == "Python stack trace below:"
    assert lines[-1] == "pyo3_runtime.PanicException: x marks the spot"
    assert "Traceback (most recent call last):" in lines
    assert "panicked at" not in after_first.decode()


@pytest.mark.parametrize(
    "raised, args",
    [
        ("panic('a\\udc80b')", "('a\ufffd\ufffd\ufffdb',)"),  # surrogates: three U+FFFD each
        ("panic()", "('',)"),  # str() is empty: an empty message, not a missing one
        ("panic('')", "('',)"),
    ],
)
def test_the_resumed_message_is_str_of_the_exception(child, raised, args):
    result = child(RESUME_SCRIPT.format(raised=raised))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().strip() == f"caught True False {args}"


def test_a_panic_exception_subclass_passes_through(child):
    result = child(RESUME_SCRIPT.format(raised="type('Sub', (panic,), {})('y')"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().strip() == "caught False False ('y',)"
    assert b"Python stack trace below" not in result.stderr
