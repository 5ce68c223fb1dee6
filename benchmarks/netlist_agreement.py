"""Does NetlistFitness give the simulator's answer? Region-mutated candidates on the bundled HX1K
and HX8K seeds, each scored by the fitness, checked by the two-driver check (icebox) and, where
that passes, simulated unchanged (simulate_truth_table: icebox_vlog, iverilog, vvp), with a
bounded wait for the simulator.

    .venv/bin/python benchmarks/netlist_agreement.py [--devices hx1k,hx8k] [--defined 300]
                                                    [--jobs 2] [--timeout 30] [--seed 1]

Candidates are made as the loop makes them (netlist_cost.Candidates): chances 0.002 to 0.02,
all rows and columns, alternately in the outputs' cones (the default region) and in 16 tiles
around them. Each device runs until --defined candidates have passed the driver check and been
simulated to a fully defined truth table. It counts:
  - agreement: every candidate the fitness scores, the simulator scores the same, fully defined;
  - the fitness's refusals among the defined ones (the target: at most 2%);
  - contested wires: the fitness's finding (ContestedWires.report) equals the driver check's
    report on every candidate, the clean ones included;
  - every refusal reason, on all candidates, and what the simulator did with each.
--jobs runs the devices in that many processes (the simulator is the cost). Prints Markdown
tables; exits 1 if anything disagrees or the refusals pass 2%.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
from collections import Counter
from concurrent.futures import ProcessPoolExecutor

from netlist_cost import SCRATCH, Candidates, around, cpu_name

from gridflip_evolution.drivers import find_contested_wires
from gridflip_evolution.icestorm import load_icebox
from gridflip_evolution.netlist import ContestedWires, NetlistFitness, Refusal
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed
from gridflip_evolution.targets import adder
from gridflip_evolution.truth_table import simulate_truth_table


def simulate(path: str, pcf, timeout: float) -> list[int | None] | str:
    """The simulator's output words, or why there are none."""
    try:
        return simulate_truth_table(path, pcf, INPUTS, OUTPUTS, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "no answer within the wait (a loop that vvp never settles?)"
    except RuntimeError as error:
        return f"failed: {str(error)[:120]}"


def run_device(device: str, defined_wanted: int, timeout: float, seed_value: int) -> dict:
    circuit, pcf = seed(device)
    icebox = load_icebox()
    rng = random.Random(f"{seed_value}-{device}")
    cone = NetlistFitness(circuit, pcf, INPUTS, OUTPUTS, adder)
    wide_region = around(list(cone.tiles), circuit, 16)
    wide = NetlistFitness(circuit, pcf, INPUTS, OUTPUTS, adder, tiles=wide_region)
    counts: Counter = Counter()
    problems: list[str] = []
    with tempfile.TemporaryDirectory(prefix=f"gridflip-agreement-{device}-", dir=SCRATCH) as work:
        makers = [
            (cone, Candidates(circuit, list(cone.tiles), os.path.join(work, "cone"), rng)),
            (wide, Candidates(circuit, wide_region, os.path.join(work, "wide"), rng)),
        ]
        for _, maker in makers:
            os.mkdir(maker.directory)
        while counts["defined"] < defined_wanted:
            fitness, maker = makers[counts["candidates"] % 2]
            path, _ = maker.next()
            counts["candidates"] += 1
            report = find_contested_wires(path, icebox)
            try:
                ours: tuple = ("scored", fitness(path))
            except ContestedWires as error:
                ours = ("contested", error.report)
            except Refusal as error:
                ours = (error.reason, str(error))
            counts[f"outcome: {ours[0]}"] += 1
            # The finding equals the driver check's, on every candidate.
            if ours[0] == "contested":
                equal = ours[1] == report
            else:
                equal = report.clean
            counts["finding equal" if equal else "finding differs"] += 1
            if not equal:
                problems.append(
                    f"{path}: finding differs: ours {ours[0]}, driver check {report.findings}"
                )
            if not report.clean:
                continue
            words = simulate(path, pcf, timeout)
            fully = not isinstance(words, str) and None not in words
            if not fully:
                why = words if isinstance(words, str) else "x or z outputs"
                counts[f"simulator undefined ({why.split(' (')[0][:40]}), fitness: {ours[0]}"] += 1
                if ours[0] == "scored":
                    problems.append(f"{path}: scored {ours[1]} where the simulator is undefined")
                continue
            counts["defined"] += 1
            simulated = fitness.score_words(words)
            if ours[0] == "scored":
                counts["agree" if simulated == ours[1] else "disagree"] += 1
                if simulated != ours[1]:
                    problems.append(f"{path}: fitness {ours[1]}, simulator {simulated}")
                maker.scored(path)
            else:
                counts[f"refused where defined: {ours[0]}"] += 1
                problems.append(f"{path}: refused where the simulator is defined: {ours[1]}")
            if os.path.exists(path) and ours[0] != "scored":
                os.unlink(path)
    return {
        "device": device,
        "counts": dict(counts),
        "problems": problems,
        "regions": {"cone": list(cone.tiles), "16 tiles": wide_region},
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", default="hx1k,hx8k")
    parser.add_argument(
        "--defined",
        type=int,
        default=300,
        help="simulated, fully defined candidates per device (default 300)",
    )
    parser.add_argument("--jobs", type=int, default=2, help="devices at once (default 2)")
    parser.add_argument(
        "--timeout",
        type=float,
        default=30,
        help="seconds the simulator's each step may take (default 30)",
    )
    parser.add_argument("--seed", type=int, default=1, help="of the candidates' random choices")
    args = parser.parse_args(argv)
    devices = args.devices.split(",")
    with ProcessPoolExecutor(max_workers=max(1, min(args.jobs, len(devices)))) as pool:
        results = list(
            pool.map(
                run_device,
                devices,
                [args.defined] * len(devices),
                [args.timeout] * len(devices),
                [args.seed] * len(devices),
            )
        )
    print(f"CPU: {cpu_name()}\n")
    failed = False
    print(
        "| device | candidates | defined (driver check clean, simulator fully defined) | "
        "scored, agree | scored, disagree | refused where defined | findings equal |"
    )
    print("|---|---|---|---|---|---|---|")
    for result in results:
        c = result["counts"]
        refused = sum(v for k, v in c.items() if k.startswith("refused where defined"))
        share = refused / c["defined"] if c.get("defined") else 1.0
        failed |= bool(result["problems"]) or share > 0.02
        print(
            f"| {result['device']} | {c['candidates']} | {c['defined']} | {c.get('agree', 0)} | "
            f"{c.get('disagree', 0)} | {refused} ({share:.1%}) | "
            f"{c.get('finding equal', 0)} of {c['candidates']} |"
        )
    for result in results:
        print(f"\n{result['device']} (regions {result['regions']}):")
        for key, value in sorted(result["counts"].items()):
            print(f"  {key}: {value}")
        for problem in result["problems"][:20]:
            print(f"  PROBLEM {problem}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
