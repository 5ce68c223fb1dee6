"""What NetlistFitness costs a candidate whose routing changed, against the simulator route on
the same candidates in the same run, on the bundled HX1K and HX8K seeds.

    .venv/bin/python benchmarks/netlist_cost.py [--devices hx1k,hx8k] [--candidates 300]
                                               [--simulations 15] [--seed 1]

Needs Debian's fpga-icestorm, fpga-icestorm-chipdb and iverilog (tools/run-tests installs them).
For each device and each of two regions (the outputs' cones, the default; and 16 logic tiles
around them):
  - --candidates candidates made as the loop makes them: a copy of the seed or of an earlier
    scored candidate, then mutate_region over all rows and columns of the region at a chance of
    0.002, 0.005, 0.01 or 0.02; each scored once, the call timed whole (the file read included);
  - the median over the candidates it scores, and over all of them (refusals included);
  - the simulator route, unchanged (simulate_truth_table: icebox_vlog, iverilog, vvp), timed on
    --simulations of the scored candidates, and the two-driver check (icebox) on the same;
  - the ratio of the simulator's median to the fitness's;
  - building the fitness in a fresh process: cold (an empty cache: the chip database parsed,
    the table derived) and cached; the pickle's size, and unpickling it in a worker;
  - the mutation itself: copy and gridflip.mutate of the whole file (all tiles, all columns), as
    the loop did, against copy and mutate_region of the 16-tile region.
Work files go to /dev/shm. Prints Markdown tables. Run it on a quiet machine: the fitness's
figures are a fraction of a millisecond.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import gridflip
from gridflip_evolution.drivers import find_contested_wires
from gridflip_evolution.icestorm import load_icebox
from gridflip_evolution.netlist import NetlistFitness
from gridflip_evolution.region import mutate_region, tile_bodies
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed
from gridflip_evolution.targets import adder
from gridflip_evolution.truth_table import simulate_truth_table

CHANCES = (0.002, 0.005, 0.01, 0.02)
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip() + f", {os.cpu_count()} CPUs"
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def around(tiles: list[tuple[int, int]], circuit: str | Path, size: int) -> list[tuple[int, int]]:
    """`tiles`, then the logic tiles nearest them, up to `size` tiles."""
    available = tile_bodies(Path(circuit).read_bytes())
    region = list(tiles)
    x0, y0 = tiles[0]
    for tile in sorted(available, key=lambda t: (abs(t[0] - x0) + abs(t[1] - y0), t)):
        if len(region) >= size:
            break
        if tile not in region:
            region.append(tile)
    return region


class Candidates:
    """Candidates as an evolution loop makes them: a parent (the seed, or a candidate scored
    earlier), copied and mutated in the region."""

    def __init__(self, circuit: str | Path, region, directory: str, rng: random.Random):
        self.region, self.directory, self.rng = region, directory, rng
        self.parents = [str(circuit)]
        self.count = 0

    def next(self) -> tuple[str, float]:
        path = os.path.join(self.directory, f"candidate-{self.count:05d}.asc")
        self.count += 1
        chance = self.rng.choice(CHANCES)
        shutil.copyfile(self.rng.choice(self.parents), path)
        mutate_region(path, self.region, range(16), range(54), chance)
        return path, chance

    def scored(self, path: str) -> None:
        """A scored candidate may become a parent (the last 20 are kept)."""
        self.parents.append(path)
        del self.parents[1:-20]


def build_in_child(device: str, cache: str) -> dict:
    """Seconds to build the fitness in a fresh process with XDG_CACHE_HOME=cache."""
    code = f"""
import json, pickle, time
from gridflip_evolution.netlist import NetlistFitness
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed
from gridflip_evolution.targets import adder
circuit, pcf = seed({device!r})
started = time.perf_counter()
fitness = NetlistFitness(circuit, pcf, INPUTS, OUTPUTS, adder)
built = time.perf_counter() - started
data = pickle.dumps(fitness)
print(json.dumps({{"seconds": built, "pickle": len(data)}}))
"""
    run = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={**os.environ, "XDG_CACHE_HOME": cache},
        timeout=600,
    )
    if run.returncode != 0:
        raise RuntimeError(run.stderr.strip()[-500:])
    return json.loads(run.stdout.strip().splitlines()[-1])


def unpickle_in_child(data: bytes) -> float:
    """Seconds a fresh worker takes to unpickle the fitness and score the seed once."""
    code = """
import pickle, sys, time
data = sys.stdin.buffer.read()
import gridflip_evolution.netlist
started = time.perf_counter()
fitness = pickle.loads(data)
fitness(fitness.seed)
print(time.perf_counter() - started)
"""
    run = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=600)
    if run.returncode != 0:
        raise RuntimeError(run.stderr.decode().strip()[-500:])
    return float(run.stdout.decode().split()[-1])


def median_ms(values: list[float]) -> str:
    return f"{statistics.median(values) * 1e3:.3f}" if values else "-"


def measure(
    device: str, regions: dict, count: int, simulations: int, rng: random.Random, scratch: str
) -> list[dict]:
    circuit, pcf = seed(device)
    icebox = load_icebox()
    rows = []
    for name, region in regions.items():
        fitness = NetlistFitness(circuit, pcf, INPUTS, OUTPUTS, adder, tiles=region)
        directory = tempfile.mkdtemp(prefix=f"{device}-", dir=scratch)
        maker = Candidates(circuit, region, directory, rng)
        scored, every, outcomes, sample = [], [], {}, []
        for _ in range(count):
            path, _ = maker.next()
            started = time.perf_counter()
            try:
                fitness(path)
                outcome = "scored"
            except ValueError as error:
                outcome = getattr(error, "reason", "contested")
            took = time.perf_counter() - started
            every.append(took)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            if outcome == "scored":
                scored.append(took)
                maker.scored(path)
                if len(sample) < simulations:
                    sample.append(path)
        simulator, checks = [], []
        for path in sample:
            started = time.perf_counter()
            try:
                simulate_truth_table(path, pcf, INPUTS, OUTPUTS, timeout=60)
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
            simulator.append(time.perf_counter() - started)
            started = time.perf_counter()
            find_contested_wires(path, icebox)
            checks.append(time.perf_counter() - started)
        rows.append(
            {
                "device": device,
                "region": name,
                "tiles": len(region),
                "candidates": count,
                "outcomes": outcomes,
                "scored": scored,
                "all": every,
                "simulator": simulator,
                "driver check": checks,
            }
        )
        shutil.rmtree(directory)
    return rows


def mutation_cost(device: str, region, scratch: str, count: int = 200) -> dict[str, float]:
    circuit, _ = seed(device)
    path = os.path.join(scratch, f"mutation-{device}.asc")
    times = {"copy + gridflip.mutate, whole file": [], "copy + mutate_region, 16 tiles": []}
    for _ in range(count):
        started = time.perf_counter()
        shutil.copyfile(circuit, path)
        gridflip.mutate(path, range(16), range(54), 0.005)
        times["copy + gridflip.mutate, whole file"].append(time.perf_counter() - started)
        started = time.perf_counter()
        shutil.copyfile(circuit, path)
        mutate_region(path, region, range(16), range(54), 0.005)
        times["copy + mutate_region, 16 tiles"].append(time.perf_counter() - started)
    os.unlink(path)
    return {k: statistics.median(v) for k, v in times.items()}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", default="hx1k,hx8k")
    parser.add_argument("--candidates", type=int, default=300)
    parser.add_argument("--simulations", type=int, default=15)
    parser.add_argument("--seed", type=int, default=1, help="of the candidates' random choices")
    args = parser.parse_args(argv)
    rng = random.Random(args.seed)
    print(f"CPU: {cpu_name()}; Python {platform.python_version()}\n")
    results, builds, mutations = [], [], []
    with tempfile.TemporaryDirectory(prefix="gridflip-netlist-cost-", dir=SCRATCH) as scratch:
        for device in args.devices.split(","):
            circuit, pcf = seed(device)
            cache = os.path.join(scratch, f"cache-{device}")
            cold = build_in_child(device, cache)
            cached = build_in_child(device, cache)
            fitness = NetlistFitness(circuit, pcf, INPUTS, OUTPUTS, adder)
            worker = unpickle_in_child(pickle.dumps(fitness))
            builds.append((device, cold["seconds"], cached["seconds"], cold["pickle"], worker))
            regions = {
                "cone (default)": list(fitness.tiles),
                "16 tiles": around(list(fitness.tiles), circuit, 16),
            }
            mutations.append((device, mutation_cost(device, regions["16 tiles"], scratch)))
            results += measure(device, regions, args.candidates, args.simulations, rng, scratch)

    print(
        "| device | region | tiles | candidates | scored | median ms, scored | median ms, all "
        "| simulator median ms | driver check median ms | simulator / fitness |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|")
    for row in results:
        ratio = (
            statistics.median(row["simulator"]) / statistics.median(row["scored"])
            if row["simulator"] and row["scored"]
            else float("nan")
        )
        print(
            f"| {row['device']} | {row['region']} | {row['tiles']} | {row['candidates']} | "
            f"{len(row['scored'])} | {median_ms(row['scored'])} | {median_ms(row['all'])} | "
            f"{median_ms(row['simulator'])} (n={len(row['simulator'])}) | "
            f"{median_ms(row['driver check'])} | {ratio:.0f}x |"
        )
    print(
        "\nOutcomes:", "; ".join(f"{r['device']} {r['region']}: {r['outcomes']}" for r in results)
    )
    print(
        "\n| device | build, cold s | build, cached s | pickle bytes | worker: unpickle and "
        "score the seed, s |"
    )
    print("|---|---|---|---|---|")
    for device, cold, cached, size, worker in builds:
        print(f"| {device} | {cold:.2f} | {cached:.3f} | {size} | {worker:.3f} |")
    print("\n| device | per candidate | median ms |")
    print("|---|---|---|")
    for device, figures in mutations:
        for what, seconds in figures.items():
            print(f"| {device} | {what} | {seconds * 1e3:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
