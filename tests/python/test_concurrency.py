"""mutate from many Python threads: calls on own and shared files, one stream per
thread, generators freed when their threads end, and threads that end while
others keep calling."""

import json
import os
import pathlib
import shutil
import sys
import tempfile
import threading

import pytest
from conftest import MALLINFO_CODE, known_key, logic_tile
from models.chacha12 import StreamModel
from models.reference_pass import run_pass

import gridflip

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HX1K = os.path.join(ROOT, "examples", "blinky_hx1k.asc")
ALL_ROWS, ALL_COLUMNS = range(16), range(54)


def run_threads(count, target):
    """Runs target(index) on `count` threads started together; returns their errors."""
    start = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            start.wait()
            target(index)
        except BaseException as error:  # PanicException included
            errors.append((index, error))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return errors


def test_eight_threads_on_own_files_and_one_shared_file(tmp_path):
    # Every call inverts every tile bit; an even number of inversions per file gives
    # the original back, so one lost, doubled or torn call shows as a changed file.
    original = open(HX1K, "rb").read()
    shared = tmp_path / "shared.asc"
    shared.write_bytes(original)
    own = [tmp_path / f"own{i}.asc" for i in range(8)]
    for path in own:
        path.write_bytes(original)
    calls_each = 40
    order = []

    def calls(index):
        for _ in range(calls_each):
            for path in (own[index], shared):
                gridflip.mutate(str(path), ALL_ROWS, ALL_COLUMNS, 1.0)
                order.append(index)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over between calls
    try:
        errors = run_threads(8, calls)
    finally:
        sys.setswitchinterval(previous)
    assert errors == []
    assert len(order) == 8 * 2 * calls_each
    # The threads took turns, not one after another.
    assert sum(a != b for a, b in zip(order, order[1:])) > 8 * 4
    for path in own + [shared]:
        assert path.read_bytes() == original, path.name


def test_threads_draw_from_different_streams(tmp_path):
    original = open(HX1K, "rb").read()
    paths = [tmp_path / f"copy{i}.asc" for i in range(3)]
    for path in paths:
        path.write_bytes(original)
    errors = run_threads(2, lambda i: gridflip.mutate(str(paths[i]), ALL_ROWS, ALL_COLUMNS, 0.5))
    assert errors == []
    gridflip.mutate(str(paths[2]), ALL_ROWS, ALL_COLUMNS, 0.5)  # the main thread's stream
    results = [path.read_bytes() for path in paths]
    # 138,240 decisions at one half: equal results would mean shared streams.
    assert len({*results, original}) == 4


def measure_code():
    return (
        """
import ctypes, os, sys

"""
        + MALLINFO_CODE
        + """

def measure():
    with open("/proc/self/statm") as handle:
        resident = int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    heap = libc.mallinfo2()
    return {"rss": resident, "heap": heap.uordblks + heap.hblkhd, "blocks": sys.getallocatedblocks(),
            "fds": sorted(os.listdir("/proc/self/fd")), "threads": len(os.listdir("/proc/self/task"))}
"""
    )


@pytest.fixture
def memory_directory(tmp_path):
    """A directory in memory where there is one: a flush to disk costs milliseconds."""
    if not os.path.isdir("/dev/shm") or not os.access("/dev/shm", os.W_OK):
        yield tmp_path
        return
    directory = tempfile.mkdtemp(prefix="gridflip-threads-", dir="/dev/shm")
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


def test_ten_thousand_short_lived_threads_free_their_generators(
    child, tmp_path, interposer, memory_directory
):
    # Each thread keys a generator of its own (one entropy read each, logged) and
    # frees it as it ends; kept generators would grow the heap by their size each.
    log = tmp_path / "entropy.log"
    circuit = memory_directory / "c.asc"
    circuit.write_bytes(logic_tile())
    result = child(
        measure_code()
        + f"""
import json, threading, time
import gridflip

failures = []

def one_call():
    try:
        gridflip.mutate({str(circuit)!r}, [0], [0], 0.5)
    except BaseException as error:
        failures.append(repr(error))

def spawn(count, batch=8):
    for _ in range(count // batch):
        threads = [threading.Thread(target=one_call) for _ in range(batch)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

spawn(1000)
before = measure()
started = time.perf_counter()
spawn(10000)
elapsed = time.perf_counter() - started
after = measure()
print(json.dumps({{"before": before, "after": after, "failures": failures, "elapsed": elapsed}}))
""",
        env={
            "LD_PRELOAD": interposer,
            "GRIDFLIP_TEST_KEYS": "1",
            "GRIDFLIP_TEST_ENTROPY_LOG": str(log),
        },
    )
    assert result.returncode == 0, result.stderr.decode()
    report = json.loads(result.stdout)
    assert report["failures"] == []
    assert len(log.read_text().splitlines()) == 11000
    before, after = report["before"], report["after"]
    assert after["fds"] == before["fds"]
    assert before["threads"] == after["threads"] == 1
    assert after["heap"] - before["heap"] < 64 << 10
    assert after["rss"] - before["rss"] < 1 << 20
    assert after["blocks"] - before["blocks"] < 100
    print(
        f"\n10000 threads in {report['elapsed']:.2f} s: rss {before['rss']} -> {after['rss']}, "
        f"heap {before['heap']} -> {after['heap']}, blocks {before['blocks']} -> "
        f"{after['blocks']}, fds {len(before['fds'])} -> {len(after['fds'])}"
    )


def test_a_thread_keeps_its_stream_while_other_threads_end(child, tmp_path, interposer):
    # The keeper draws first and gets key 0; each helper then starts, keys the next
    # key, makes one call and ends before the keeper's next call. Known keys make
    # every file after every call predictable.
    data = logic_tile() * 2
    rows, columns = [0, 1, 2], list(range(10))
    rounds = 100  # 6,000 keeper draws: all under its first key
    result = child(
        f"""
import json, threading
import gridflip

keeper_path, helper_path = {str(tmp_path / "keeper.asc")!r}, {str(tmp_path / "helper.asc")!r}
turn = threading.Semaphore(0)
helper_done = threading.Semaphore(0)
keeper_seen, helper_seen = [], []

def call_and_read(path, seen):
    with open(path, "wb") as handle:
        handle.write({data!r})
    gridflip.mutate(path, {rows!r}, {columns!r}, 0.5)
    with open(path, "rb") as handle:
        seen.append(handle.read().hex())

def keeper():
    for _ in range({rounds}):
        call_and_read(keeper_path, keeper_seen)
        turn.release()
        helper_done.acquire()

def helper():
    call_and_read(helper_path, helper_seen)

kept = threading.Thread(target=keeper)
kept.start()
for _ in range({rounds}):
    turn.acquire()
    ended = threading.Thread(target=helper)
    ended.start()
    ended.join()
    helper_done.release()
kept.join()
print(json.dumps({{"keeper": keeper_seen, "helpers": helper_seen}}))
""",
        env={"LD_PRELOAD": interposer, "GRIDFLIP_TEST_KEYS": "1"},
    )
    assert result.returncode == 0, result.stderr.decode()
    report = json.loads(result.stdout)
    assert len(report["keeper"]) == len(report["helpers"]) == rounds
    keeper_draws = iter(StreamModel(iter([known_key(0)])))
    for index, seen in enumerate(report["keeper"]):
        expected = run_pass(data, rows, columns, 0.5, keeper_draws)
        assert bytes.fromhex(seen) == expected.data, f"keeper call {index}"
    for index, seen in enumerate(report["helpers"]):
        expected = run_pass(
            data, rows, columns, 0.5, iter(StreamModel(iter([known_key(index + 1)])))
        )
        assert bytes.fromhex(seen) == expected.data, f"helper {index}"
