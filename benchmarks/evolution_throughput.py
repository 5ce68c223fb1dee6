"""Candidates per second of the evolution loop (examples/evolve_circuits.py) on the bundled seeds:
the direct truth-table fitness in a local pool of 1 and 2 workers, what one candidate costs and
mutate's share of it, and the simulator route beside them.

    .venv/bin/python benchmarks/evolution_throughput.py [--devices hx1k,hx8k] [--workers 1,2]
                                                        [--candidates 200] [--generations 300]
                                                        [--simulations 5]

Needs icebox and icepack (Debian fpga-icestorm) and iverilog; tools/run-example installs them.
For each device:
  - one candidate, its parts timed in this process: the copy of the parent, gridflip.mutate
    (columns 36-45 of every row, chance 0.01) and the direct score; medians of --candidates.
    The anchor beside them is the copy and mutate alone: a loop's floor with a free fitness.
  - the loop: evolve() for --generations generations of 4 candidates (it does not stop at full
    marks), in a ProcessPoolExecutor of each --workers count: candidates per second, whole.
    Its anchor is the pool alone: a generation of 4 tasks that do nothing.
  - the simulator route: icebox_vlog on the command line, then simulate_truth_table whole
    (icebox_vlog, iverilog, vvp); medians of --simulations candidates mutated at chances 0.01
    to 0.5, and on how many of them the direct route's output words were the simulator's.
Work files go to /dev/shm, as evolve_circuits.py's do by default. Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from evolve_circuits import LOGIC_CELL_COLUMNS, evolve  # noqa: E402
from truth_table import INPUTS, OUTPUTS, SEEDS, TruthTableFitness, adder, simulate_truth_table  # noqa: E402

import gridflip  # noqa: E402

CHANCES = (0.01, 0.02, 0.05, 0.1, 0.2, 0.5)


def timed(action) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def one_candidate(fitness: TruthTableFitness, scratch: str, count: int) -> dict[str, float]:
    """Median seconds of each part of a candidate, and of copy and mutate alone."""
    path = os.path.join(scratch, "candidate.asc")
    parts = {"copy": [], "mutate": [], "score": []}
    for _ in range(count):
        parts["copy"].append(timed(lambda: shutil.copyfile(fitness.seed, path)))
        parts["mutate"].append(
            timed(lambda: gridflip.mutate(path, range(16), LOGIC_CELL_COLUMNS, 0.01))
        )
        parts["score"].append(timed(lambda: fitness(path)))
    return {part: statistics.median(times) for part, times in parts.items()}


def loop_rate(fitness: TruthTableFitness, scratch: str, workers: int, generations: int) -> float:
    with tempfile.TemporaryDirectory(dir=scratch) as workdir:
        result = evolve(
            fitness.seed,
            workdir,
            fitness=fitness,
            workers=workers,
            generations=generations,
            max_score=math.inf,
            report=lambda line: None,
        )
    return result.candidates / result.seconds


def round_trip(workers: int, generations: int) -> float:
    """Seconds a generation of 4 empty tasks takes in a ProcessPoolExecutor, one message per
    worker as evolve() batches them: the loop's floor from the executor alone."""
    with ProcessPoolExecutor(workers) as pool:
        list(pool.map(abs, range(4)))
        started = time.perf_counter()
        for _ in range(generations):
            list(pool.map(abs, range(4), chunksize=max(1, 4 // workers)))
        return (time.perf_counter() - started) / generations


def simulator_route(
    fitness: TruthTableFitness, scratch: str, count: int
) -> tuple[float, float, int]:
    """Median seconds of icebox_vlog alone and of the whole simulator route, and on how many
    of the candidates (mutated at chances 0.01 to 0.5) the direct route gave the same words."""
    path = os.path.join(scratch, "simulated.asc")
    vlog, whole, agreed = [], [], 0
    for n in range(count):
        shutil.copyfile(fitness.seed, path)
        gridflip.mutate(path, range(16), LOGIC_CELL_COLUMNS, CHANCES[n % len(CHANCES)])
        vlog.append(
            timed(
                lambda: subprocess.run(
                    ["icebox_vlog", "-p", fitness.pcf, path], capture_output=True, check=True
                )
            )
        )
        words = []
        whole.append(
            timed(lambda: words.extend(simulate_truth_table(path, fitness.pcf, INPUTS, OUTPUTS)))
        )
        agreed += words == fitness.output_words(path)
    return statistics.median(vlog), statistics.median(whole), agreed


def cpu_name() -> str:
    with open("/proc/cpuinfo") as file:
        names = [line.split(":", 1)[1].strip() for line in file if line.startswith("model name")]
    return f"{names[0]}, {len(names)} CPUs" if names else "unknown CPU"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", default="hx1k,hx8k")
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--candidates", type=int, default=200)
    parser.add_argument("--generations", type=int, default=300)
    parser.add_argument("--simulations", type=int, default=5)
    args = parser.parse_args(argv)
    workers = [int(n) for n in args.workers.split(",")]
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None

    print(f"{cpu_name()}; load average at the start: {os.getloadavg()[0]:.2f}")
    agreement = []
    print(
        "| device | copy | mutate | direct score | one candidate | mutate's share | copy + mutate "
        "alone | "
        + " | ".join(f"loop, {n} worker{'s' * (n > 1)}" for n in workers)
        + " | icebox_vlog | simulator route | direct / simulator |"
    )
    print("|---" * (9 + len(workers)) + "|")
    floors = [
        f"{n} worker{'s' * (n > 1)}: {round_trip(n, args.generations) * 1e3:.2f} ms"
        for n in workers
    ]
    for device in args.devices.split(","):
        fitness = TruthTableFitness(*SEEDS[device], INPUTS, OUTPUTS, adder)
        with tempfile.TemporaryDirectory(prefix="gridflip-throughput-", dir=memory) as scratch:
            parts = one_candidate(fitness, scratch, args.candidates)
            rates = [loop_rate(fitness, scratch, n, args.generations) for n in workers]
            vlog, simulated, agreed = simulator_route(fitness, scratch, args.simulations)
        agreement.append(
            f"{device.upper()}: the direct route gave the simulator's output words "
            f"for {agreed} of {args.simulations} candidates (chances 0.01 to 0.5)"
        )
        whole = sum(parts.values())
        per_second = " | ".join(f"{rate:,.0f}/s" for rate in rates)
        print(
            f"| {device.upper()} | {parts['copy'] * 1e3:.2f} ms | {parts['mutate'] * 1e3:.2f} ms | "
            f"{parts['score'] * 1e3:.2f} ms | {whole * 1e3:.2f} ms ({1 / whole:,.0f}/s) | "
            f"{parts['mutate'] / whole:.0%} | {1 / (parts['copy'] + parts['mutate']):,.0f}/s | "
            f"{per_second} | {vlog * 1e3:,.0f} ms | {simulated * 1e3:,.0f} ms "
            f"({1 / simulated:.1f}/s) | x{max(rates) * simulated:,.0f} |"
        )
    print("\n".join(agreement))
    print(f"a generation of 4 empty tasks in the process pool: {', '.join(floors)}")
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
