"""A circuit that shrinks while it is mapped: the call aborts cleanly instead of the
interpreter dying of SIGBUS, and faults elsewhere keep their own handler."""

import signal
import subprocess
import sys

from conftest import known_keys, logic_tile
from models.chacha12 import MODULE_BLOCKS_PER_REFILL, StreamModel
from models.reference_pass import run_pass

MESSAGE = "Failed to access circuit: the file was truncated while it was mapped"


def test_a_file_truncated_after_mapping_aborts_the_call(child, tmp_path, interposer):
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(logic_tile() * 2000)
    result = child(
        f"""
        import os, gridflip
        before = sorted(os.listdir("/proc/self/fd"))
        for size in (0, 4096 * 3):
            with open({str(circuit)!r}, "wb") as handle:
                handle.write({logic_tile()!r} * 2000)
            try:
                gridflip.mutate({str(circuit)!r}, range(16), range(54), 1.0)
            except BaseException as error:
                print(type(error).__name__, error.args[0])
        assert sorted(os.listdir("/proc/self/fd")) == before
        # Still alive, and the guard is gone: a later call works as usual.
        os.environ.pop("GRIDFLIP_TEST_TRUNCATE_AFTER_MAP")
        print("after", gridflip.mutate({str(circuit)!r}, [0], [0], 1.0))
        """,
        env={"LD_PRELOAD": interposer, "GRIDFLIP_TEST_TRUNCATE_AFTER_MAP": "0"},
    )
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    assert lines == ["PanicException " + MESSAGE] * 2 + ["after None"]
    assert result.stderr.count(b"panicked at src/lib.cpp:") == 2
    assert MESSAGE.encode() in result.stderr


def test_after_a_truncation_the_stream_resumes_on_a_fresh_buffer(child, tmp_path, interposer):
    # The aborted call drew a few words (one per tile before the fault at 4096 bytes) and the
    # rest of its buffer is dropped: no word it may have drawn is handed out again, so the next
    # call starts on the next refill.
    circuit = tmp_path / "c.asc"
    result = child(
        f"""
        import os, gridflip
        path = {str(circuit)!r}
        with open(path, "wb") as handle:
            handle.write({logic_tile()!r} * 8)
        try:
            gridflip.mutate(path, [0], [0], 0.5)
        except BaseException as error:
            print(type(error).__name__)
        os.environ.pop("GRIDFLIP_TEST_TRUNCATE_AFTER_MAP")
        with open(path, "wb") as handle:
            handle.write({logic_tile()!r})
        gridflip.mutate(path, range(16), range(54), 0.5)
        with open(path, "rb") as handle:
            print(handle.read().hex())
        """,
        env={
            "LD_PRELOAD": interposer,
            "GRIDFLIP_TEST_TRUNCATE_AFTER_MAP": "4096",
            "GRIDFLIP_TEST_KEYS": "1",
        },
    )
    assert result.returncode == 0, result.stderr.decode()
    aborted, after = result.stdout.decode().split()
    assert aborted == "PanicException"
    stream = StreamModel(known_keys(), blocks_per_refill=MODULE_BLOCKS_PER_REFILL)
    stream.draw_word64()  # at least one draw, fewer than a buffer's worth, before the fault
    stream.drop_buffer()
    expected = run_pass(logic_tile(), range(16), range(54), 0.5, iter(stream))
    assert bytes.fromhex(after) == expected.data
    assert stream.entropy_calls == 1


def test_a_fault_names_the_truncation_only_while_the_file_is_short(child, tmp_path, interposer):
    # The file shrinks once mapped and, with "1", has its length back when the module looks at it.
    path = str(tmp_path / "c.asc")
    result = child(
        f"""
        import os, gridflip
        for restore in "01":
            os.environ["GRIDFLIP_TEST_RESTORE_BEFORE_STATX"] = restore
            open({path!r}, "wb").write({logic_tile()!r} * 8)
            try:
                gridflip.mutate({path!r}, [0], [0], 0.5)
            except BaseException as error:
                print(error.args[0])
        """,
        env={"LD_PRELOAD": interposer, "GRIDFLIP_TEST_TRUNCATE_AFTER_MAP": "0"},
        timeout=60,
    )
    assert result.stdout.decode().splitlines() == [
        MESSAGE,
        (
            "Failed to access circuit: the system could not read or store a page of the file (it may "
            "have shrunk and grown back during the call, or its storage failed)"
        ),
    ], result.stderr.decode()


def test_a_second_process_truncating_the_file_during_a_call(tmp_path):
    circuit = tmp_path / "big.asc"
    content = logic_tile() * 60000  # about 54 MB: one dense call takes long enough to be caught
    script = f"""
import subprocess, sys, gridflip
outcomes = set()
for attempt in range(8):
    with open({str(circuit)!r}, "wb") as handle:
        handle.write({content[:896]!r} * 60000)
    truncator = subprocess.Popen([sys.executable, "-c",
        "import os, time; time.sleep(0.02); os.truncate({str(circuit)!r}, 8192)"])
    try:
        gridflip.mutate({str(circuit)!r}, range(16), range(54), 0.5)
        outcomes.add("finished")
    except BaseException as error:
        outcomes.add(error.args[0])
    truncator.wait()
    if {MESSAGE!r} in outcomes:
        break
print(sorted(outcomes))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=600)
    assert result.returncode == 0, result.stderr.decode()[-2000:]
    assert MESSAGE in result.stdout.decode()


def test_faults_outside_the_view_keep_their_handler(child, tmp_path):
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(logic_tile())
    other = tmp_path / "other.bin"
    other.write_bytes(b"x" * 8192)
    result = child(
        f"""
        import faulthandler, mmap, os, gridflip
        faulthandler.enable()
        gridflip.mutate({str(circuit)!r}, [0], [0], 1.0)
        with open({str(other)!r}, "r+b") as handle:
            view = mmap.mmap(handle.fileno(), 8192)
            os.truncate({str(other)!r}, 0)
            view[5000]  # SIGBUS, outside any call of the module
        """
    )
    assert result.returncode != 0
    assert b"Fatal Python error: Bus error" in result.stderr


def test_a_sigbus_sent_by_kill_during_a_scan_ends_the_process(child, tmp_path):
    # Not a fault of the view: the default action ends the process, as without the module.
    circuit = tmp_path / "big.asc"
    circuit.write_bytes(logic_tile() * 20000)  # about 18 MB: the scans fill the process's time
    result = child(
        f"""
        import os, signal, subprocess, sys, time, gridflip
        subprocess.Popen([sys.executable, "-c",
                          "import os, time; time.sleep(0.5); os.kill({{}}, 7)".format(os.getpid())])
        end = time.monotonic() + 20
        while time.monotonic() < end:
            gridflip.mutate({str(circuit)!r}, range(16), range(54), 0.0)
        """,
        timeout=60,
    )
    assert result.returncode == -signal.SIGBUS, result.stderr.decode()[-2000:]
