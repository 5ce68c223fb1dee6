"""The loop with the routing evolved too, against the loop on the logic cells alone, on the
bundled HX1K seed and on a variant of it whose wiring puts the target out of reach of LUT
contents alone.

    .venv/bin/python benchmarks/routing_evolution.py [--runs 10] [--seconds 60]

Each run is `gridflip-evolve --seconds 60 --workers 2` with the adder as its target; "routing"
adds `--columns 0-53` (the outputs' cone tiles, the netlist fitness, routing chance 0.002). The
variant is the bundled seed with the five bits cleared that route x[2] into y[0]'s cone (tile
(12, 5): lutff_0/in_1's multiplexer, B0[27] B0[29] B1[30], and lutff_5/in_1's, B10[29] B11[30]):
y[0] = x[0] ^ x[2] ^ x[4] needs x[2], which no LUT of that cone can see. Runs alternate; the
table gives, for each case, the median time to full marks (a run that does not get there counts
as the budget), how many runs got there and how many reached 90/96, candidates per second and
the share of parents that changed routing bits. Prints Markdown.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from gridflip_evolution.seeds import seed

CLEARED = {0: (27, 29), 1: (30,), 10: (29,), 11: (30,)}  # row -> columns, in tile (12, 5)
IMPROVEMENT = re.compile(r"(?m)^generation \d+, ([\d.]+) s: (\d+)/96")
RATE = re.compile(r"(?m)^stopped .*?, (\d+) per second")
ROUTING = re.compile(r"(?m)^(\d+) of the (\d+) candidates that became parents")


def seed_without_x2_in_y0(source: Path, target: Path) -> Path:
    lines = source.read_text().split("\n")
    at = lines.index(".logic_tile 12 5") + 1
    for row, columns in CLEARED.items():
        text = list(lines[at + row])
        for column in columns:
            assert text[column] == "1", (row, column)
            text[column] = "0"
        lines[at + row] = "".join(text)
    target.write_text("\n".join(lines))
    return target


def run(command: list[str], output: Path) -> dict:
    shutil.rmtree(output, ignore_errors=True)
    done = subprocess.run(
        command + ["--output", str(output)], capture_output=True, text=True, timeout=600
    )
    improvements = IMPROVEMENT.findall(done.stdout)
    full = [float(t) for t, score in improvements if score == "96"]
    routing = ROUTING.search(done.stdout)
    rate = RATE.search(done.stdout)
    return {
        "full": full[0] if full else None,
        "best": max((int(s) for _, s in improvements), default=0),
        "at 90": next((float(t) for t, s in improvements if int(s) >= 90), None),
        "rate": int(rate[1]) if rate else 0,
        "routing": (int(routing[1]), int(routing[2])) if routing else (0, 0),
        "status": done.returncode,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args(argv)
    evolve = shutil.which("gridflip-evolve", path=os.path.dirname(sys.executable))
    with open("/proc/cpuinfo") as file:
        cpu = next((line.split(":", 1)[1].strip() for line in file if "model name" in line), "?")
    print(f"{cpu}, {os.cpu_count()} CPUs; load average at the start: {os.getloadavg()[0]:.2f}")
    bundled, pcf = seed("hx1k")
    with tempfile.TemporaryDirectory(prefix="gridflip-routing-") as folder:
        variant = seed_without_x2_in_y0(bundled, Path(folder) / "variant.asc")
        base = [evolve, "--seconds", f"{args.seconds:g}", "--workers", "2", "--target", "adder"]
        cases = {}
        for name, circuit in (("bundled seed", bundled), ("x[2] cut from y[0]", variant)):
            seeded = base + ["--circuit", str(circuit), "--pcf", str(pcf)]
            cases[(name, "logic cells")] = seeded
            cases[(name, "logic cells and routing")] = seeded + ["--columns", "0-53"]
        results: dict = {case: [] for case in cases}
        for _ in range(args.runs):
            for case, command in cases.items():
                results[case].append(run(command, Path(folder) / "out"))
    print(f"\n{args.runs} alternating runs of each, budget {args.seconds:g} s, target adder:\n")
    print(
        "| seed | mutated | time to 96/96, median | reached 96 | reached 90 | best, median "
        "| candidates/s, median | parents that changed routing | runs (s to 96; - not reached) |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for (name, mode), runs in results.items():
        times = [args.seconds if r["full"] is None else r["full"] for r in runs]
        changed = sum(r["routing"][0] for r in runs), sum(r["routing"][1] for r in runs)
        share = f"{changed[0] / changed[1]:.0%}" if changed[1] else "-"
        listed = ", ".join("-" if r["full"] is None else f"{r['full']:.1f}" for r in runs)
        print(
            f"| {name} | {mode} | {statistics.median(times):.1f} s "
            f"| {sum(r['full'] is not None for r in runs)}/{len(runs)} "
            f"| {sum(r['at 90'] is not None for r in runs)}/{len(runs)} "
            f"| {statistics.median(r['best'] for r in runs):g} "
            f"| {statistics.median(r['rate'] for r in runs):,.0f} | {share} | {listed} |"
        )
    print(f"\nload average at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
