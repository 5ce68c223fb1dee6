"""A sketch of a fitness measured on a board, for evolve(): icepack packs each candidate to
<candidate>.bin (pack=True), the fitness programs it and reads the outputs back. With no board,
the simulator stands in, so the sketch runs anywhere IceStorm and iverilog are installed.

    python examples/board_fitness.py [OUTPUT]

One board takes one candidate at a time: a ThreadPoolExecutor(1) runs the islands, and the
fitness raises OSError when the board goes away, which stops the run with its results written.
"""

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from gridflip_evolution import EvolutionStopped, SimulatorFitness, evolve, seeds
from gridflip_evolution.targets import adder


class BoardFitness(SimulatorFitness):
    """Correct output bits as the board shows them, or the simulator's where there is no board."""

    board = None  # e.g. "/dev/ttyUSB1" on an iCEstick

    def __call__(self, candidate: str) -> int:
        if self.board is None:
            return super().__call__(candidate)
        bitstream = Path(candidate).with_suffix(".bin")
        # iceprog fails when the board is unplugged: OSError stops the run, results kept.
        if subprocess.run(["iceprog", "-S", str(bitstream)], capture_output=True).returncode:
            raise OSError(f"iceprog could not program {self.board}")
        raise NotImplementedError("read the outputs back through the board's own interface")


if __name__ == "__main__":
    seed, pcf = seeds.seed("hx1k")
    fitness = BoardFitness(pcf, seeds.INPUTS, seeds.OUTPUTS, adder)
    output = sys.argv[1] if len(sys.argv) > 1 else "board-run"
    try:
        with ThreadPoolExecutor(1) as board:
            run = evolve(
                seed, fitness=fitness, pack=True, seconds=20, output=output, executor=board
            )
    except EvolutionStopped as stopped:
        sys.exit(f"board_fitness: {stopped}")
    print(f"{run.stopped}: {run.summary()} after {run.candidates} candidates; see {run.output}")
