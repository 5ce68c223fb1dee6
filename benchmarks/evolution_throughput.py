"""Throughput of the evolution's islands, alone, on a local pool and on a Dask cluster started from
the command line, and the time the loop takes to reach full marks.

    .venv/bin/python benchmarks/evolution_throughput.py [--runs 5] [--seconds 10] [--delay 0.05]
                                                        [--full-marks 20] [--baseline main]

Needs icebox (Debian fpga-icestorm) and Dask's distributed; tools/run-tests installs both.
On the bundled HX1K seed with the 2-bit adder, the loop's defaults (4 candidates a generation,
chance 0.005 in columns 36-45) and no stop at full marks, each a --seconds run:

  - one island in this process (run_island, a slice of --seconds): what one core makes;
  - evolve() on a local pool of 2 processes;
  - evolve() on a real `dask scheduler` with 2 `dask worker --nthreads 1`, started here from the
    command line;
  - the same with --delay seconds added in the task wrapper, a stand-in for a cluster of several
    machines.
The four alternate, --runs times; the table gives medians and the ratios the loop is held to.

Then --full-marks runs of `gridflip-evolve --seconds 60` to full marks, and as many of the loop
at git ref --baseline (its examples/evolve_circuits.py), alternating: the median time to full
marks of each. Work files go to /dev/shm. Prints Markdown.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

from gridflip_evolution import TruthTableFitness, evolve
from gridflip_evolution.islands import IslandJob, Mutation, run_island
from gridflip_evolution.record import sha256
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed
from gridflip_evolution.targets import adder
from gridflip_evolution.tiles import LOGIC_CELL_COLUMNS

ROOT = Path(__file__).resolve().parent.parent
FULL_MARKS = re.compile(r"generation \d+, ([\d.]+) s: 96/96")


def cpu_name() -> str:
    with open("/proc/cpuinfo") as file:
        names = [line.split(":", 1)[1].strip() for line in file if line.startswith("model name")]
    return f"{names[0]}, {len(names)} CPUs" if names else "unknown CPU"


def island_alone(fitness: TruthTableFitness, seconds: float) -> float:
    circuit = Path(fitness.seed).read_bytes()
    mutation = Mutation(((LOGIC_CELL_COLUMNS, 0.005),))
    job = IslandJob(
        zlib.compress(circuit),
        sha256(circuit),
        fitness(fitness.seed),
        mutation,
        4,
        1,
        seconds,
        None,
        math.inf,
        fitness,
    )
    started = time.perf_counter()
    result = run_island(job)
    return sum(result.outcomes.values()) / (time.perf_counter() - started)


def loop_rate(fitness: TruthTableFitness, seconds: float, **where) -> float:
    with tempfile.TemporaryDirectory(prefix="gridflip-throughput-") as output:
        result = evolve(
            fitness.seed,
            fitness=fitness,
            seconds=seconds,
            max_score=math.inf,
            output=output,
            report=lambda line: None,
            **where,
        )
    return result.candidates / result.seconds


def _delayed(delay, function, *arguments):
    time.sleep(delay)
    return function(*arguments)


class DelayedClient:
    """A Dask client whose every task waits `delay` seconds first: the latency of a cluster of
    several machines. Defined here, so Dask sends the wrapper by value."""

    def __init__(self, client, delay: float):
        self.client, self.delay = client, delay

    def __getattr__(self, name):
        return getattr(self.client, name)

    def submit(self, function, *arguments, **options):
        return self.client.submit(_delayed, self.delay, function, *arguments, **options)


def start(command: list[str], log: Path, ready: str) -> tuple[subprocess.Popen, re.Match]:
    process = subprocess.Popen(command, stdout=log.open("w"), stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        found = re.search(ready, log.read_text())
        if found:
            return process, found
        time.sleep(0.2)
    process.kill()
    raise SystemExit(f"{command[:2]} did not start:\n{log.read_text()}")


def dask_cluster(folder: Path) -> tuple[str, list[subprocess.Popen]]:
    """A scheduler and two one-thread workers, started as a user starts them."""
    dask = shutil.which("dask", path=os.path.dirname(sys.executable)) or "dask"
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    scheduler, address = start(
        [dask, "scheduler", "--port", str(port), "--no-dashboard"],
        folder / "scheduler.log",
        r"Scheduler at:\s+(tcp://\S+)",
    )
    processes = [scheduler]
    for n in range(2):
        processes.append(
            start(
                [dask, "worker", address[1], "--nthreads", "1", "--no-dashboard"],
                folder / f"worker-{n}.log",
                r"Registered to:",
            )[0]
        )
    return address[1], processes


def throughput(fitness: TruthTableFitness, runs: int, seconds: float, delay: float) -> None:
    import distributed

    names = (
        "island alone",
        "local pool of 2",
        "Dask, 2 workers",
        f"Dask, {delay * 1e3:.0f} ms delay",
    )
    rates: dict[str, list[float]] = {name: [] for name in names}
    with tempfile.TemporaryDirectory(prefix="gridflip-dask-") as folder:
        address, processes = dask_cluster(Path(folder))
        try:
            with distributed.Client(address) as client:
                for _ in range(runs):
                    rates[names[0]].append(island_alone(fitness, seconds))
                    rates[names[1]].append(loop_rate(fitness, seconds, workers=2))
                    rates[names[2]].append(loop_rate(fitness, seconds, executor=client))
                    rates[names[3]].append(
                        loop_rate(fitness, seconds, executor=DelayedClient(client, delay))
                    )
        finally:
            for process in reversed(processes):
                process.terminate()
                process.wait(timeout=30)
    median = {name: statistics.median(values) for name, values in rates.items()}
    print(f"\nCandidates per second, medians of {runs} alternating runs of {seconds:g} s:\n")
    print("| where | candidates/s | runs | ratio |")
    print("|---|---|---|---|")
    against = {names[1]: names[0], names[2]: names[1], names[3]: names[1]}
    for name in names:
        ratio = (
            f"{median[name] / median[against[name]]:.2f} x {against[name]}"
            if name in against
            else ""
        )
        runs_text = ", ".join(f"{value:,.0f}" for value in rates[name])
        print(f"| {name} | {median[name]:,.0f} | {runs_text} | {ratio} |")


def baseline_loop(reference: str, folder: Path) -> Path:
    """The evolution script at git `reference`, with the example modules it imports."""
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", reference, "examples"], capture_output=True, check=True
    ).stdout
    subprocess.run(["tar", "-x", "-C", str(folder)], input=archive, check=True)
    script = folder / "examples" / "evolve_circuits.py"
    if not script.is_file():
        raise SystemExit(f"{reference} has no examples/evolve_circuits.py")
    return script


def time_to_full_marks(command: list[str], output: Path) -> float | None:
    shutil.rmtree(output, ignore_errors=True)
    run = subprocess.run(
        command + ["--output", str(output)], capture_output=True, text=True, timeout=300
    )
    found = FULL_MARKS.findall(run.stdout)
    return float(found[-1]) if found else None


def full_marks(runs: int, reference: str | None) -> None:
    evolve_command = shutil.which("gridflip-evolve", path=os.path.dirname(sys.executable))
    loops = {"gridflip-evolve (islands)": [evolve_command, "--seconds", "60", "--workers", "2"]}
    with tempfile.TemporaryDirectory(prefix="gridflip-full-marks-") as folder:
        if reference:
            script = baseline_loop(reference, Path(folder))
            loops[f"{reference}'s evolve_circuits.py"] = [
                sys.executable,
                str(script),
                "--seconds",
                "60",
                "--workers",
                "2",
            ]
        times: dict[str, list[float | None]] = {name: [] for name in loops}
        for _ in range(runs):
            for name, command in loops.items():
                times[name].append(time_to_full_marks(command, Path(folder) / "out"))
    print(
        f"\nTime to full marks (96/96) on the HX1K seed, {runs} alternating runs of each, "
        "budget 60 s:\n"
    )
    print("| loop | median | reached | runs (s; - for not within 60 s) |")
    print("|---|---|---|---|")
    medians = {}
    for name, values in times.items():
        # A run that did not get there counts as the budget: a lower bound of its time.
        medians[name] = statistics.median(60.0 if v is None else v for v in values)
        reached = sum(v is not None for v in values)
        listed = ", ".join("-" if v is None else f"{v:.1f}" for v in values)
        print(f"| {name} | {medians[name]:.1f} s | {reached}/{runs} | {listed} |")
    if len(medians) == 2:
        new, old = medians.values()
        print(f"\nislands / baseline: {new / old:.2f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="throughput runs of each (default 5)")
    parser.add_argument("--seconds", type=float, default=10, help="seconds a run (default 10)")
    parser.add_argument("--delay", type=float, default=0.05, help="task delay (default 0.05)")
    parser.add_argument(
        "--full-marks", type=int, default=20, help="runs to full marks (default 20)"
    )
    parser.add_argument("--baseline", help="a git ref whose examples/evolve_circuits.py to compare")
    args = parser.parse_args(argv)
    print(f"{cpu_name()}; load average at the start: {os.getloadavg()[0]:.2f}")
    circuit, pcf = seed("hx1k")
    fitness = TruthTableFitness(circuit, pcf, INPUTS, OUTPUTS, adder)
    if args.runs:
        throughput(fitness, args.runs, args.seconds, args.delay)
    if args.full_marks:
        full_marks(args.full_marks, args.baseline)
    print(f"\nload average at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
