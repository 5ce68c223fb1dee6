"""A run from Python: a target function of one's own, the truth-table fitness on the bundled
seed, and what the run leaves in its folder.

    python examples/evolve_from_python.py [OUTPUT]
"""

import json
import sys

from gridflip_evolution import TruthTableFitness, evolve, seeds


def majority_of_three(word: int) -> int:
    """y[0] is the majority of x[0], x[1] and x[2]; y[1] is their parity"""
    ones = (word & 0b111).bit_count()
    return int(ones >= 2) | (ones & 1) << 1


if __name__ == "__main__":  # the pool's workers import this file
    seed, pcf = seeds.seed("hx1k")
    fitness = TruthTableFitness(seed, pcf, seeds.INPUTS, seeds.OUTPUTS[:2], majority_of_three)
    output = sys.argv[1] if len(sys.argv) > 1 else "majority-run"
    run = evolve(seed, fitness=fitness, seconds=30, output=output)
    print(f"{run.stopped}: {run.summary()} after {run.candidates} candidates; see {run.output}")
    record = json.load(open(f"{output}/run.json"))
    print({key: record[key] for key in ("score", "max_score", "candidates", "stopped")})
