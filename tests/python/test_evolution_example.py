"""examples/evolve_circuits.py: generations in a process pool and on a Dask cluster, the driver
check refusing candidates before icepack, and a fitness function choosing the survivors."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import EXAMPLES

HX1K = Path(EXAMPLES, "blinky_hx1k.asc")

GENERATION = re.compile(r"generation (\d+): (\d+) candidates, (\d+) packed, (\d+) refused by the "
                        r"driver check, (\d+) failed; (\d+) bits changed; best fitness (\S+) \((.+)\)")


@pytest.fixture
def icestorm(icebox):
    if shutil.which("icepack") is None:
        pytest.skip("icepack is not installed (Debian: fpga-icestorm)")


def evolve_script(*arguments, timeout=300):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, "evolve_circuits.py"), *arguments],
                          capture_output=True, text=True, timeout=timeout)


def generations(output):
    """The groups of every generation line."""
    matches = [GENERATION.fullmatch(line) for line in output.splitlines()
               if line.startswith("generation ")]
    assert all(matches), output
    return [match.groups() for match in matches]


def test_two_generations_in_a_process_pool(icestorm):
    result = evolve_script("--generations", "2", "--population", "4", "--workers", "2")
    assert result.returncode == 0, result.stderr
    lines = generations(result.stdout)
    assert len(lines) == 2, result.stdout
    for number, line in enumerate(lines, 1):
        assert line[:5] == (str(number), "4", "4", "0", "0")
        # 960 tiles x 160 logic-cell bits x 4 candidates at chance 0.05: about 30,700
        assert 28_000 < int(line[5]) < 33_500
        assert line[6:] == ("0", "placeholder_fitness: a placeholder that measures nothing")


def test_the_driver_check_refuses_routing_mutations_before_icepack(icestorm, tmp_path):
    result = evolve_script("--circuit", str(HX1K),
                           "--generations", "1", "--population", "2", "--workers", "2",
                           "--columns", "0-35,46-53", "--chance", "0.01", "--workdir", str(tmp_path))
    assert result.returncode == 0, result.stderr
    [line] = generations(result.stdout)
    assert line[:5] == ("1", "2", "0", "2", "0") and line[6] == "none"
    assert sorted(p.name for p in (tmp_path / "gen-001").iterdir()) == ["child-000.asc", "child-001.asc"]
    assert result.stdout.endswith(f"parents of a next generation: {EXAMPLES}/blinky_hx1k.asc\n")


def test_the_fitness_function_picks_the_survivors(icestorm, child, tmp_path):
    result = child(f"""
        import sys
        from concurrent.futures import ThreadPoolExecutor
        sys.path.insert(0, {EXAMPLES!r})
        from evolve_circuits import evolve

        def ones_in_the_logic_cells(candidate):
            rows = open(candidate.path).read().split(".logic_tile")[1:]
            return float(sum(row[36:46].count("1") for tile in rows for row in tile.split("\\n")[1:17]))

        with ThreadPoolExecutor(2) as pool:
            history = evolve({str(HX1K)!r}, {str(tmp_path)!r},
                             population=5, generations=2, keep=2, chance=0.2, executor=pool,
                             fitness=ones_in_the_logic_cells)
        for generation in history:
            ranked = sorted(generation.scores, key=generation.scores.get, reverse=True)
            print(ranked[:2] == generation.survivors, len(generation.scores))
        print(*history[0].survivors)
        """, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    assert [GENERATION.fullmatch(line)[8] for line in lines[:2]] == ["ones_in_the_logic_cells"] * 2
    assert lines[2:4] == ["True 5", "True 5"]

    # Child i of the second generation is a mutated copy of survivor i % 2 of the first: it is
    # nearer to that survivor (about 5,100 flips at chance 0.2) than to the circuit (about 8,200).
    def distance(a, b):
        return sum(x != y for x, y in zip(a.read_bytes(), b.read_bytes()))

    survivors = [Path(p) for p in lines[4].split()]
    for index in range(5):
        child_file = tmp_path / "gen-002" / f"child-{index:03d}.asc"
        near = distance(child_file, survivors[index % 2])
        assert near < 6_000 and near + 1_500 < distance(child_file, HX1K)


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                    reason="Dask's distributed is not installed (pip install distributed)")
def test_two_generations_on_a_dask_local_cluster(icestorm, child, tmp_path):
    result = child(f"""
        import sys
        sys.path.insert(0, {EXAMPLES!r})
        import distributed
        from evolve_circuits import evolve

        if __name__ == "__main__":
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster:
                with distributed.Client(cluster) as client:
                    history = evolve({str(HX1K)!r}, {str(tmp_path)!r},
                                     population=4, generations=2,
                                     executor=client.get_executor(pure=False))
            for generation in history:
                for candidate in generation.candidates:
                    print(candidate.worker, candidate.outcome, candidate.flips_digest)
        """, timeout=240)
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    assert [GENERATION.fullmatch(line).groups()[:5] for line in lines[:2]] == [
        ("1", "4", "4", "0", "0"), ("2", "4", "4", "0", "0")]
    candidates = [line.split() for line in lines[2:]]
    assert len(candidates) == 8 and {outcome for _, outcome, _ in candidates} == {"packed"}
    workers = {worker for worker, _, _ in candidates}
    assert len(workers) == 2 and os.getpid() not in {int(w.split(":")[1]) for w in workers}
    # Each worker keys its own generator: no two candidates got the same flips.
    assert len({digest for _, _, digest in candidates}) == 8
