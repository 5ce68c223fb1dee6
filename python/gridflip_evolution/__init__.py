"""Evolution of iCE40 circuits around gridflip.mutate: the loop and its command line, the
truth-table fitness and the simulator route, the two-driver check, and the bundled seeds.

    from gridflip_evolution import TruthTableFitness, evolve, seeds
    seed, pcf = seeds.seed("hx1k")
    fitness = TruthTableFitness(seed, pcf, seeds.INPUTS, seeds.OUTPUTS, lambda w: w.bit_count() & 1)
    run = evolve(seed, fitness=fitness, seconds=60, output="run-1")
"""

from .drivers import DriverReport, find_contested_wires
from .evolution import Evolution, EvolutionStopped, evolve
from .icestorm import IceboxNotFound, UnreadableCircuit, load_icebox
from .netlist import ContestedWires, NetlistFitness, Refusal, cone_tiles
from .record import RunFolderError, replay
from .region import mutate_region
from .targets import NAMED_TARGETS, find_target
from .truth_table import SimulatorFitness, TruthTable, TruthTableFitness, simulate_truth_table

__all__ = [
    "ContestedWires",
    "DriverReport",
    "Evolution",
    "EvolutionStopped",
    "IceboxNotFound",
    "NAMED_TARGETS",
    "NetlistFitness",
    "Refusal",
    "RunFolderError",
    "SimulatorFitness",
    "TruthTable",
    "TruthTableFitness",
    "UnreadableCircuit",
    "cone_tiles",
    "evolve",
    "find_contested_wires",
    "find_target",
    "load_icebox",
    "mutate_region",
    "replay",
    "simulate_truth_table",
]
