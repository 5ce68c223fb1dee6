"""gridflip-mutate-population: a population mutated in fork and spawn pools, failures caught in
the workers, and its pieces reusable from another script."""

import os
import re
import subprocess

from conftest import command

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


def test_the_script_reports_every_copy_for_fork_and_spawn():
    result = subprocess.run(
        [
            command("gridflip-mutate-population"),
            "--population",
            "6",
            "--workers",
            "3",
            "--start-methods",
            "fork,spawn",
            "--chance",
            "0.02",
            "--with-broken-copy",
        ],
        capture_output=True,
        timeout=240,
    )
    assert result.returncode == 0, result.stderr.decode()
    sections = re.split(r"(?m)^start method ", result.stdout.decode())[1:]
    assert [section.split(":")[0] for section in sections] == ["fork", "spawn"]
    for section in sections:
        counts = [
            int(n) for n in re.findall(r"(?m)^  child-\d{3}\.asc: (\d+) bits changed$", section)
        ]
        assert len(counts) == 6 and all(count > 1000 for count in counts), section
        assert re.search(
            r"(?m)^  broken-crlf\.asc: failed: PanicException: malformed logic tile "
            r"at line \d+: row 0 ends in a carriage return",
            section,
        ), section
        assert "6 distinct sets of changed bits among 6 mutated copies" in section


def test_the_worker_is_reusable_from_another_script(child, tmp_path):
    circuit, crlf = tmp_path / "c.asc", tmp_path / "crlf.asc"
    circuit.write_bytes(open(os.path.join(EXAMPLES, "blinky_hx1k.asc"), "rb").read())
    crlf.write_bytes(circuit.read_bytes().replace(b"\n", b"\r\n"))
    result = child(
        f"""
        import sys
        from gridflip_evolution.population import MutationJob, mutate_population
        if __name__ == "__main__":
            jobs = [MutationJob({str(circuit)!r}, (0,), tuple(range(36, 46)), 1.0),
                    MutationJob({str(crlf)!r}, (0,), (36,), 1.0),
                    MutationJob({str(circuit)!r}, (16,), (36,), 1.0),
                    MutationJob({str(tmp_path / "missing.asc")!r}, (0,), (36,), 1.0)]
            for result in mutate_population(jobs, workers=2, start_method="fork"):
                print(result.changed_bits, result.error)
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    assert lines[0] == f"{160 * 10} None"  # every logic tile, row 0, columns 36 to 45
    assert lines[1].startswith("0 PanicException: malformed logic tile at line ")
    assert lines[2] == "0 ValueError: argument 'rows': row 16 is outside 0 to 15"
    assert lines[3].startswith("0 FileNotFoundError: ")


def test_the_readme_task_returns_a_panic_from_every_executor(child, tmp_path):
    # A process pool, then Dask worker processes (a LocalCluster); every wait is bounded.
    task = re.search(
        r"```python\n(import gridflip\n\ndef mutate_task.*?)```",
        open(os.path.join(ROOT, "README.md")).read(),
        re.S,
    )[1]
    paths = [str(tmp_path / "c.asc"), str(tmp_path / "missing.asc")]
    (tmp_path / "c.asc").write_bytes(open(os.path.join(EXAMPLES, "blinky_hx1k.asc"), "rb").read())
    result = child(
        task
        + f"""
import concurrent.futures
from gridflip_evolution.population import MutationJob, call_mutate
if __name__ == "__main__":
    runs = [(mutate_task, {paths!r}), (call_mutate, [MutationJob(p, (0,), (36,), 0.5) for p in {paths!r}])]
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        print([list(pool.map(*run, timeout=60)) for run in runs])
    import distributed
    with distributed.Client(n_workers=1, threads_per_worker=1, dashboard_address=None) as client:
        print([[future.result(timeout=60) for future in client.map(*run, pure=False)] for run in runs])
""",
        timeout=240,
    )
    assert result.returncode == 0, result.stderr.decode()
    failure = 'Failed to open circuit: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert (
        result.stdout.decode().splitlines()
        == [str([[None, f"{paths[1]}: {failure}"], [None, f"PanicException: {failure}"]])] * 2
    )
