"""Forked children never repeat their parent's stream: each draws from a key of its own, and
the parent's stream goes on as if there had been no fork."""

import json
import os
import textwrap

import pytest
from conftest import known_key, logic_tile
from models.chacha12 import StreamModel
from models.reference_pass import run_pass

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HX1K = os.path.join(ROOT, "examples", "blinky_hx1k.asc")

# Imported by the child scripts and by pool workers of every start method.
JOBS = """
import os, shutil, threading
import gridflip

def mutated_copy(source, directory, name, rows, columns, chance=0.5):
    path = os.path.join(directory, f"{name}-{os.getpid()}.asc")
    shutil.copy(source, path)
    gridflip.mutate(path, rows, columns, chance)
    with open(path, "rb") as handle:
        after = handle.read()
    with open(source, "rb") as handle:
        before = handle.read()
    return os.getpid(), after.hex(), [i for i in range(len(after)) if after[i] != before[i]]

def pool_job(arguments):
    source, directory, index = arguments
    return mutated_copy(source, directory, f"job{index}", [0], [0, 1, 2, 3])

def fork_children(count, job):
    '''Forks `count` children one after another; each runs job() and sends its result back.'''
    results = []
    for _ in range(count):
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(reader)
            os.write(writer, repr(job()).encode())
            os._exit(0)
        os.close(writer)
        chunks = []
        while chunk := os.read(reader, 1 << 20):
            chunks.append(chunk)
        os.close(reader)
        _, status = os.waitpid(pid, 0)
        assert status == 0, status
        results.append(eval(b"".join(chunks)))
    return results

def on_thread(body):
    out = []
    thread = threading.Thread(target=lambda: out.append(body()))
    thread.start()
    thread.join()
    return out[0]
"""


@pytest.fixture
def jobs_directory(tmp_path):
    (tmp_path / "fork_jobs.py").write_text(JOBS)
    # Imported on the forkserver's main thread before it forks any worker.
    (tmp_path / "warm_generator.py").write_text(
        textwrap.dedent(f"""
        import fork_jobs
        fork_jobs.mutated_copy({HX1K!r}, {str(tmp_path)!r}, "warm", [0], [0])
        """)
    )
    return tmp_path


def run_script(child, directory, setup, main, env=None):
    """Runs `setup`, then `main` under the main-module guard (pool workers of the spawning
    start methods import the script's module), in a child; returns the JSON it printed last."""
    code = (
        textwrap.dedent(setup)
        + 'if __name__ == "__main__":\n'
        + textwrap.indent(textwrap.dedent(main), "    ")
    )
    # On the search path of every process, the forkserver's own included.
    search_path = os.pathsep.join(filter(None, [str(directory), os.environ.get("PYTHONPATH")]))
    result = child(code, env={**(env or {}), "PYTHONPATH": search_path}, timeout=240)
    assert result.returncode == 0, result.stderr.decode()[-3000:]
    return json.loads(result.stdout.decode().splitlines()[-1])


SCENARIOS = {
    "os.fork": """
        fork_jobs.mutated_copy(HX1K, DIRECTORY, "parent", [0], [0])
        results = fork_jobs.fork_children(3, lambda: fork_jobs.mutated_copy(HX1K, DIRECTORY, "child", [0], [0, 1, 2, 3]))
        """,
    "a fork from another thread": """
        def forking_thread():
            fork_jobs.mutated_copy(HX1K, DIRECTORY, "parent", [0], [0])
            return fork_jobs.fork_children(3, lambda: fork_jobs.mutated_copy(HX1K, DIRECTORY, "child", [0], [0, 1, 2, 3]))
        results = fork_jobs.on_thread(forking_thread)
        """,
    "a fork pool": """
        fork_jobs.mutated_copy(HX1K, DIRECTORY, "parent", [0], [0])
        with multiprocessing.get_context("fork").Pool(4) as pool:
            results = pool.map(fork_jobs.pool_job, [(HX1K, DIRECTORY, i) for i in range(40)], chunksize=10)
        """,
    "a forkserver pool": """
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["warm_generator"])
        with context.Pool(4) as pool:
            results = pool.map(fork_jobs.pool_job, [(HX1K, DIRECTORY, i) for i in range(40)], chunksize=10)
        """,
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_forked_children_give_pairwise_different_results(child, jobs_directory, scenario):
    # Each child flips about 320 of the 640 positions it visits: children on one stream
    # would agree on every one of them.
    results = run_script(
        child,
        jobs_directory,
        f"""
        import json, multiprocessing
        import fork_jobs
        HX1K, DIRECTORY = {HX1K!r}, {str(jobs_directory)!r}
        """,
        SCENARIOS[scenario]
        + """
        print(json.dumps([(pid, changed) for pid, _, changed in results]))
        """,
    )
    changed = [tuple(offsets) for _, offsets in results]
    assert all(len(offsets) > 100 for offsets in changed)
    assert len(set(changed)) == len(changed), "children repeated one another's flips"


def test_each_child_fetches_one_fresh_key_and_the_parent_stream_goes_on(
    child, tmp_path, jobs_directory, interposer
):
    # Known keys: key n is the n-th this process fetched, its count copied into a child.
    # The parent draws 324 times (4 into a buffer of 32), forks two children, runs a fork
    # pool and then draws again.
    log = tmp_path / "entropy.log"
    data = logic_tile() * 2
    source = tmp_path / "two_tiles.asc"
    source.write_bytes(data)
    rows, columns = [0, 1, 2], list(range(54))
    report = run_script(
        child,
        jobs_directory,
        f"""
        import json, multiprocessing, os
        import fork_jobs
        SOURCE, DIRECTORY, ROWS, COLUMNS = {str(source)!r}, {str(jobs_directory)!r}, {rows!r}, {columns!r}
        """,
        f"""
        # Importing multiprocessing drew its authentication key from getrandom too.
        before = sum(1 for _ in open({str(log)!r}))
        first = fork_jobs.mutated_copy(SOURCE, DIRECTORY, "first", ROWS, COLUMNS)
        children = fork_jobs.fork_children(2, lambda: fork_jobs.mutated_copy(SOURCE, DIRECTORY, "child", ROWS, COLUMNS))
        with multiprocessing.get_context("fork").Pool(2) as pool:
            workers = pool.map(fork_jobs.pool_job, [(SOURCE, DIRECTORY, i) for i in range(4)])
        second = fork_jobs.mutated_copy(SOURCE, DIRECTORY, "second", ROWS, COLUMNS)
        print(json.dumps({{"parent": os.getpid(), "before": before, "first": first[1],
                          "second": second[1], "children": [(pid, after) for pid, after, _ in children],
                          "workers": sorted({{pid for pid, _, _ in workers}})}}))
        """,
        env={
            "LD_PRELOAD": interposer,
            "GRIDFLIP_TEST_KEYS": "1",
            "GRIDFLIP_TEST_ENTROPY_LOG": str(log),
        },
    )

    fetches = {}
    for line in log.read_text().splitlines():
        word, pid = line.split()
        fetches[int(pid)] = fetches.get(int(pid), 0) + 1
    base = report["before"]
    assert fetches.pop(report["parent"]) == base + 1
    for pid, _ in report["children"]:
        assert fetches.pop(pid) == 1
    for pid in report["workers"]:
        assert fetches.pop(pid) == 1
    assert fetches == {}

    parent = iter(StreamModel(iter([known_key(base)])))
    assert bytes.fromhex(report["first"]) == run_pass(data, rows, columns, 0.5, parent).data
    assert bytes.fromhex(report["second"]) == run_pass(data, rows, columns, 0.5, parent).data
    # A child starts at block 0 of the key after its parent's last.
    for _, after in report["children"]:
        fresh = iter(StreamModel(iter([known_key(base + 1)])))
        assert bytes.fromhex(after) == run_pass(data, rows, columns, 0.5, fresh).data


def test_a_child_forked_while_threads_write_backtraces_never_hangs(child):
    # Naming a backtrace takes the loader's lock; a fork while another thread held it, with the
    # interpreter lock released, left the child waiting for it for ever (here: until SIGALRM).
    result = child(
        """
        import os, signal, threading, gridflip
        def fail():
            try:
                gridflip.mutate("/nonexistent/circuit.asc", [0], [0], 0.5)
            except BaseException as error:
                return error
        for _ in range(2):
            threading.Thread(target=lambda: all(iter(fail, None)), daemon=True).start()
        for _ in range(400):
            if (pid := os.fork()) == 0:
                signal.alarm(10)
                fail()
                os._exit(0)
            assert os.waitpid(pid, 0)[1] == 0
        """,
        env={"GRIDFLIP_BACKTRACE": "full"},
        timeout=240,
    )
    assert result.returncode == 0, result.stderr.decode()[-2000:]
