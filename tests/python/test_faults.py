"""Aborting calls in bulk: each failure to open, map or flush the file, an index abort in the
pass and a closed standard error raise PanicException cleanly, and ten thousand of them leave
the process's descriptors, mappings and memory as they were. Each case runs in its own child
interpreter, where limits can be set and privileges dropped without touching the test process."""

import json
import os
import shutil
import stat
import tempfile

import pytest
from conftest import MALLINFO_CODE, logic_tile

WARM_UP_CALLS = 300
COUNTED_CALLS = 10_000
# Growth allowed between the two measurements: the interpreter's own noise, far
# below what one leaked byte per call adds up to over the counted calls.
RSS_TOLERANCE = 1 << 20
VM_TOLERANCE = 1 << 20
HEAP_TOLERANCE = 64 << 10
BLOCK_TOLERANCE = 100
MAPPING_TOLERANCE = 4  # a new allocator arena; a kept view per call would add thousands

# Runs in the child before the case's own code: measurement and the call loop.
HARNESS = (
    """
import collections, ctypes, errno, json, os, resource, sys, time
import gridflip

"""
    + MALLINFO_CODE
    + """
PAGE = os.sysconf("SC_PAGE_SIZE")

def descriptors():
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            found[name] = os.readlink("/proc/self/fd/" + name)
        except FileNotFoundError:
            pass  # the listing's own descriptor, closed by now
    return found

def measure():
    with open("/proc/self/statm") as handle:
        size, resident = (int(v) * PAGE for v in handle.read().split()[:2])
    with open("/proc/self/maps") as handle:
        mappings = sum(1 for _ in handle)
    heap = libc.mallinfo2()
    return {"fds": descriptors(), "vm": size, "rss": resident, "mappings": mappings,
            "heap": heap.uordblks + heap.hblkhd, "blocks": sys.getallocatedblocks(),
            "references": [sys.getrefcount(value) for value in ARGUMENTS]}

def exhaust():
    pass

def restore():
    pass

def run(count):
    outcomes = collections.Counter()
    exhaust()
    try:
        for _ in range(count):
            try:
                call()
                outcomes["returned"] += 1
            except BaseException as error:
                outcomes[f"{type(error).__module__}.{type(error).__name__}: {error.args[0]}"] += 1
    finally:
        restore()
    return outcomes
"""
)

DRIVER = """
warm = run({warm})
before = measure()
started = time.perf_counter()
counted = run({counted})
elapsed = time.perf_counter() - started
after = measure()
print(json.dumps({{"warm": warm, "counted": counted, "before": before, "after": after,
                  "elapsed": elapsed, "extra": globals().get("extra", {{}})}}))
"""

PANIC = "pyo3_runtime.PanicException: "


def run_case(child, setup, *, env=None):
    code = HARNESS + setup + DRIVER.format(warm=WARM_UP_CALLS, counted=COUNTED_CALLS)
    result = child(code, env=env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-3000:]
    report = json.loads(result.stdout.decode().splitlines()[-1])
    if "skip" in report["extra"]:
        pytest.skip(report["extra"]["skip"])
    report["stderr"] = result.stderr
    return report


def check_clean(report, message_start, *, reports_expected=True):
    """One outcome for every call, and nothing left behind by the counted calls."""
    total = WARM_UP_CALLS + COUNTED_CALLS
    (warm_outcome,) = report["warm"]
    (outcome,) = report["counted"]
    assert outcome == warm_outcome
    assert outcome.startswith(PANIC + message_start), outcome
    assert report["warm"][outcome] + report["counted"][outcome] == total
    before, after = report["before"], report["after"]
    assert after["fds"] == before["fds"]
    assert after["mappings"] - before["mappings"] < MAPPING_TOLERANCE
    assert after["vm"] - before["vm"] < VM_TOLERANCE
    assert after["rss"] - before["rss"] < RSS_TOLERANCE
    assert after["heap"] - before["heap"] < HEAP_TOLERANCE
    assert after["blocks"] - before["blocks"] < BLOCK_TOLERANCE
    assert after["references"] == before["references"]
    if reports_expected:
        assert report["stderr"].count(b" panicked at ") == total
    print(
        f"\n{outcome[len(PANIC) :][:70]}: {COUNTED_CALLS} calls in {report['elapsed']:.3f} s; "
        f"fds {len(before['fds'])} -> {len(after['fds'])}; mappings {before['mappings']} -> "
        f"{after['mappings']}; vm {before['vm']} -> {after['vm']}; rss {before['rss']} -> "
        f"{after['rss']}; heap {before['heap']} -> {after['heap']}; "
        f"blocks {before['blocks']} -> {after['blocks']}"
    )


def calling(path):
    # Arguments made at run time, not constants: their reference counts can move,
    # so a reference the module keeps shows.
    return f"""
ARGUMENTS = ("".join({list(str(path))!r}), [int("0")], [int("0")], float("1.0"))

def call():
    gridflip.mutate(*ARGUMENTS)
"""


@pytest.fixture
def open_directory():
    """A directory every user may enter, unlike pytest's private temporary tree."""
    directory = tempfile.mkdtemp(prefix="gridflip-faults-", dir="/tmp")
    os.chmod(directory, 0o755)
    yield directory
    shutil.rmtree(directory)


def test_missing_file(child, tmp_path):
    missing = tmp_path / "missing.asc"
    report = run_case(child, calling(missing))
    check_clean(
        report,
        "Failed to open circuit: Os { code: 2, kind: NotFound, "
        'message: "No such file or directory" }',
    )
    assert not missing.exists()


def test_directory(child, tmp_path):
    report = run_case(child, calling(tmp_path))
    check_clean(
        report,
        'Failed to open circuit: Os { code: 21, kind: IsADirectory, message: "Is a directory" }',
    )


def test_read_only_file_for_an_unprivileged_user(child, open_directory):
    locked = os.path.join(open_directory, "locked.asc")
    writable = os.path.join(open_directory, "writable.asc")
    for path, mode in ((locked, 0o444), (writable, 0o666)):
        with open(path, "wb") as handle:
            handle.write(logic_tile())
        os.chmod(path, mode)
    # Root ignores file modes: drop to nobody, then show that the same directory's
    # writable file still mutates, so the refusal is the locked file's mode.
    setup = f"""
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
gridflip.mutate({writable!r}, [0], [0], 1.0)
with open({writable!r}, "rb") as handle:
    extra = {{"control": handle.read()[16:17].decode(), "uid": os.geteuid(),
             "readable": os.access({locked!r}, os.R_OK)}}
""" + calling(locked)
    report = run_case(child, setup)
    extra = report["extra"]
    assert (extra["control"], extra["readable"]) == ("1", True) and extra["uid"] != 0
    check_clean(
        report,
        "Failed to open circuit: Os { code: 13, kind: PermissionDenied, "
        'message: "Permission denied" }',
    )
    with open(locked, "rb") as handle:
        assert handle.read() == logic_tile()


def test_read_only_file_system(child, tmp_path):
    mount_point = tmp_path / "ro"
    mount_point.mkdir()
    circuit = mount_point / "c.asc"
    # A private mount namespace: the mount vanishes with the child, whatever happens.
    setup = f"""
import subprocess
def refused(step):
    global extra
    extra = {{"skip": "cannot mount a read-only file system here: " + step}}
try:
    os.unshare(os.CLONE_NEWNS)
except (AttributeError, OSError) as error:
    refused(f"unshare: {{error}}")
else:
    steps = [["mount", "--make-rprivate", "/"],
             ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", {str(mount_point)!r}]]
    for step in steps:
        done = subprocess.run(step, capture_output=True)
        if done.returncode != 0:
            refused(" ".join(step) + ": " + done.stderr.decode().strip())
            break
    else:
        with open({str(circuit)!r}, "wb") as handle:
            handle.write({logic_tile()!r})
        done = subprocess.run(["mount", "-o", "remount,ro", {str(mount_point)!r}],
                              capture_output=True)
        if done.returncode != 0:
            refused("remount,ro: " + done.stderr.decode().strip())
        else:
            extra = {{"read_only": bool(os.statvfs({str(mount_point)!r}).f_flag & os.ST_RDONLY)}}
""" + calling(circuit)
    report = run_case(child, setup)
    assert report["extra"] == {"read_only": True}
    check_clean(
        report,
        "Failed to open circuit: Os { code: 30, kind: ReadOnlyFilesystem, "
        'message: "Read-only file system" }',
    )


NO_DEVICE = (
    'Failed to mmap circuit: Os { code: 19, kind: Uncategorized, message: "No such device" }'
)


def test_dev_null(child):
    # The open succeeds: the refusal comes from the map, so the open descriptor must go.
    check_clean(run_case(child, calling("/dev/null")), NO_DEVICE)


def test_fifo(child, tmp_path):
    fifo = tmp_path / "pipe.asc"
    os.mkfifo(fifo)
    # Opening a FIFO for reading and writing does not wait for a peer on Linux.
    check_clean(run_case(child, calling(fifo)), NO_DEVICE)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


EXHAUST_DESCRIPTORS = """
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
fillers = []

def exhaust():
    while True:
        try:
            fillers.append(os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC))
        except OSError as error:
            assert error.errno == errno.EMFILE
            break
    for _ in range({spare}):
        os.close(fillers.pop())

def restore():
    while fillers:
        os.close(fillers.pop())
"""


# With no free slot the open fails; with one, the open takes it and the map's own
# duplicate finds none. A call that kept either descriptor would make every later
# call fail at the open instead.
@pytest.mark.parametrize("spare, step", [(0, "open"), (1, "mmap")])
def test_descriptors_exhausted(child, tmp_path, spare, step):
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(logic_tile())
    report = run_case(child, EXHAUST_DESCRIPTORS.format(spare=spare) + calling(circuit))
    check_clean(
        report,
        f"Failed to {step} circuit: Os {{ code: 24, kind: Uncategorized, "
        'message: "Too many open files" }',
    )
    assert circuit.read_bytes() == logic_tile()


def test_address_space_exhausted(child, tmp_path):
    small = tmp_path / "small.asc"
    small.write_bytes(logic_tile())
    big = tmp_path / "big.asc"
    with open(big, "wb") as handle:
        handle.truncate(4 << 30)  # sparse: no block is written
    # Room for the interpreter's own needs, not for a view of the big file; the small
    # file still maps under the same limit.
    setup = f"""
with open("/proc/self/statm") as handle:
    size = int(handle.read().split()[0]) * PAGE
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
gridflip.mutate({str(small)!r}, [0], [0], 1.0)
""" + calling(big)
    report = run_case(child, setup)
    check_clean(
        report,
        "Failed to mmap circuit: Os { code: 12, kind: OutOfMemory, "
        'message: "Cannot allocate memory" }',
    )
    assert small.read_bytes()[16:17] == b"1"
    info = os.stat(big)
    assert info.st_size == 4 << 30 and info.st_blocks == 0


@pytest.mark.parametrize("variable", ["GRIDFLIP_TEST_FAIL_MSYNC", "GRIDFLIP_TEST_FAIL_FSYNC"])
def test_failing_flush(child, tmp_path, interposer, variable):
    # Every call flips one byte and then fails to flush; an even number of calls
    # restores the file, so each flip landed exactly once.
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(logic_tile())
    assert (WARM_UP_CALLS + COUNTED_CALLS) % 2 == 0
    report = run_case(child, calling(circuit), env={"LD_PRELOAD": interposer, variable: "5"})
    check_clean(
        report,
        "Failed to flush circuit: Os { code: 5, kind: Uncategorized, "
        'message: "Input/output error" }',
    )
    assert circuit.read_bytes() == logic_tile()


def test_abort_during_the_pass(child, tmp_path):
    # The header is the last line: the first flip lies past the end of the file, after
    # the open, the map and the generator are all held.
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(b"header\n.logic_tile 1 1")
    report = run_case(child, calling(circuit))
    check_clean(report, "index out of bounds: the len is 22 but the index is 22")
    assert circuit.read_bytes() == b"header\n.logic_tile 1 1"


CLOSE_STDERR = """
os.close(2)
try:
    os.fstat(2)
except OSError as error:
    extra = {"closed": error.errno == errno.EBADF}
"""


@pytest.mark.parametrize(
    "target, message",
    [
        ("/dev/null", NO_DEVICE),
        ("short", "index out of bounds: the len is 22 but the index is 22"),
    ],
)
def test_standard_error_closed(child, tmp_path, target, message):
    # With descriptor 2 closed the open is handed number 2; the module must move it,
    # close both, and leave 2 closed, call after call.
    if target == "short":
        target = tmp_path / "c.asc"
        target.write_bytes(b"header\n.logic_tile 1 1")
    setup = (
        CLOSE_STDERR
        + calling(target)
        + """
_run = run
def run(count):
    outcomes = _run(count)
    try:
        os.fstat(2)
        extra["closed"] = False
    except OSError:
        pass
    return outcomes
"""
    )
    report = run_case(child, setup)
    assert report["extra"] == {"closed": True}
    assert "2" not in report["after"]["fds"]
    check_clean(report, message, reports_expected=False)
    assert report["stderr"] == b""
    if target != "/dev/null":
        assert target.read_bytes() == b"header\n.logic_tile 1 1"
