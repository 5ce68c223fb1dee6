"""The package's commands. Each main() parses and checks its arguments, calls the library and
turns what goes wrong into one line on standard error and an exit status:

    0  done (full marks or the budget)      2    a usage error: a bad option, file or folder
    1  the run failed, or a finding          130  interrupted (SIGINT), 143 terminated (SIGTERM)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path

from . import seeds
from .drivers import find_contested_wires
from .evolution import Evolution, EvolutionStopped, evolve
from .files import write_atomically
from .icestorm import (
    IceboxNotFound,
    UnreadableCircuit,
    check_circuit_file,
    load_icebox,
    run_icepack,
)
from .population import MutationJob, make_population, mutate_population
from .record import RunFolderError, replay
from .targets import NAMED_TARGETS, find_target, truth_table
from .tiles import COLUMN_COUNT, LOGIC_CELL_COLUMNS, ROW_LINES, parse_positions
from .truth_table import TruthTable, TruthTableFitness, read_pcf, simulate_truth_table


class UsageError(Exception):
    """A mistake of the user's: one line, exit status 2."""


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM, with the signal's number for the exit status."""

    def __init__(self, number: int):
        super().__init__(signal.Signals(number).name)
        self.number = number


class Parser(argparse.ArgumentParser):
    """argparse, whose errors are one line."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message}\n")


def _number(kind: type, holds: Callable[[float], bool], wanted: str) -> Callable[[str], float]:
    """An argparse type: `kind` of the text, refused unless `holds` (NaN never holds)."""
    noun = "a whole number" if kind is int else "a number"

    def convert(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {noun}") from None
        if not holds(value):
            raise argparse.ArgumentTypeError(f"{text} is not {wanted}")
        return value

    return convert


_positive_int = _number(int, lambda v: v >= 1, "1 or more")
_count = _number(int, lambda v: v >= 0, "0 or more")
_duration = _number(float, lambda v: 0 < v < math.inf, "a number of seconds above 0")
# NaN would flip every position
_probability = _number(float, lambda v: 0 < v <= 1, "above 0 and at most 1")


def _tile(text: str) -> list[int]:
    try:
        x, y = (int(word) for word in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a tile X,Y") from None
    return [x, y]


def _columns(text: str) -> list[int]:
    return parse_positions(text, COLUMN_COUNT)


def _rows(text: str) -> list[int]:
    return parse_positions(text, ROW_LINES)


_RANGE = re.compile(r"(?P<name>.*)\[(?P<first>\d+):(?P<last>\d+)\]$")


def ports(text: str) -> list[str]:
    """'x[0:4]' -> x[0] ... x[4]; 'a,b,y[2:1]' -> a, b, y[2], y[1]."""
    names = []
    for part in (p.strip() for p in text.split(",")):
        match = _RANGE.match(part)
        if match:
            first, last = int(match["first"]), int(match["last"])
            step = 1 if last >= first else -1
            names.extend(f"{match['name']}[{k}]" for k in range(first, last + step, step))
        elif part:
            names.append(part)
        else:
            raise argparse.ArgumentTypeError(f"an empty port name in {text!r}")
    return names


def _handle_signals() -> None:
    """SIGINT and SIGTERM raise Interrupted once; while the run winds down, more are ignored."""

    def interrupt(number, frame):
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        raise Interrupted(number)

    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)


def _command(
    name: str,
    body: Callable[[argparse.Namespace], int],
    parser: argparse.ArgumentParser,
    argv: Sequence[str] | None,
) -> int:
    """Runs a command's body: usage errors and interruptions become one line and a status."""
    args = parser.parse_args(argv)
    try:
        return body(args)
    except UsageError as error:
        print(f"{name}: {error}", file=sys.stderr)
        return 2
    except Interrupted as interruption:
        return 128 + interruption.number
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


def _checked_file(path: Path, what: str) -> Path:
    try:
        check_circuit_file(path)
    except (OSError, UnreadableCircuit) as error:
        raise UsageError(
            f"{what}: {getattr(error, 'strerror', None) or error}"
            + (f": {path}" if isinstance(error, OSError) else "")
        ) from None
    return path


# gridflip-evolve

EVOLVE_DEFAULTS = {
    "device": "hx1k",
    "target": "adder",
    "seconds": 60.0,
    "generations": None,
    "population": 4,
    "keep": 1,
    "chance": 0.005,
    # In an 8-tile region, 26 of 30 candidates at 0.002 had no contested wire, 19 at 0.005.
    "routing_chance": 0.002,
    "columns": list(LOGIC_CELL_COLUMNS),
    "workers": None,
    "slice": 1.0,
    "replacements": 3,
    "output": Path("evolved"),
}
# What a resumed run takes from its record and may not change.
FIXED_ON_RESUME = ("device", "circuit", "pcf", "target", "inputs", "outputs")


def evolve_parser() -> Parser:
    d = EVOLVE_DEFAULTS
    parser = Parser(
        prog="gridflip-evolve",
        description=(
            "Evolve an iCE40 circuit towards a truth table: candidates mutated by gridflip in the "
            "logic cells, scored by the truth table they compute, in islands on a local process pool "
            "or a Dask cluster, until full marks or a budget. Results, kept up to date as the run "
            "goes, in --output: champion.asc, progress.csv, lineage.jsonl, run.json, progress.png."
        ),
        epilog="Exit status: 0 done (full marks or the budget), 1 the run failed (the simulator "
        "disagrees, a fitness or disk failure), 2 a usage error, 130 and 143 interrupted "
        "(SIGINT, SIGTERM). --resume DIR goes on with a stopped run: --seconds and "
        "--generations are totals for the whole run.",
        allow_abbrev=False,
    )
    option = parser.add_argument
    option(
        "--device",
        choices=seeds.DEVICES,
        help=f"the bundled seed to evolve (default {d['device']})",
    )
    option("--circuit", type=Path, help="evolve this seed instead (with --pcf)")
    option("--pcf", type=Path, help="the seed's pin file, with the ports of --inputs and --outputs")
    option(
        "--target",
        help=f"what to evolve: {', '.join(NAMED_TARGETS)}, or MODULE:FUNCTION, a "
        "function of the input word that returns the output word, imported from sys.path or "
        f"the current directory (default {d['target']})",
    )
    option(
        "--inputs",
        type=ports,
        help="input ports, as a range (x[0:4]) or a comma list "
        f"(default {seeds.INPUTS[0]} to {seeds.INPUTS[-1]}, the bundled seed's)",
    )
    option(
        "--outputs",
        type=ports,
        help="output ports, as --inputs (default: the first of "
        f"{seeds.OUTPUTS[0]} to {seeds.OUTPUTS[-1]}, as many as a named target uses)",
    )
    option(
        "--seconds", type=_duration, help=f"time budget of the whole run (default {d['seconds']:g})"
    )
    option(
        "--generations",
        type=_positive_int,
        help="generation budget of the whole run (default none)",
    )
    option(
        "--population",
        type=_positive_int,
        help=f"candidates per generation (default {d['population']})",
    )
    option(
        "--keep", type=_positive_int, help=f"parents per generation, the best (default {d['keep']})"
    )
    # On the bundled seed, 0.005 reached full marks most often within 40,000 candidates
    # (about a minute): more often than 0.0025, 0.01 or 0.02.
    option(
        "--chance",
        type=_probability,
        help="each logic-cell bit's chance to flip, in columns 36-45 of --columns "
        f"(default {d['chance']})",
    )
    option(
        "--routing-chance",
        type=_probability,
        help="each routing bit's chance to flip, in the other columns of --columns "
        f"(default {d['routing_chance']})",
    )
    option(
        "--columns",
        type=_columns,
        help="columns to mutate (default 36-45, the logic cells; 0-53 evolves the routing too, "
        "scored by the netlist fitness, which refuses a candidate with a contested wire)",
    )
    option(
        "--tiles",
        type=_tile,
        nargs="+",
        metavar="X,Y",
        help="mutate only these logic tiles (default: every logic tile for the logic cells "
        "alone; the tiles of the cells in the outputs' cones when --columns reaches the routing)",
    )
    option(
        "--chipdb",
        type=Path,
        help="IceStorm's chip database for the netlist fitness (default: where Debian's "
        "fpga-icestorm-chipdb installs it)",
    )
    option(
        "--workers", type=_positive_int, help="processes of the local pool (default: one per CPU)"
    )
    option(
        "--scheduler",
        help="run the islands on the Dask cluster of this scheduler instead "
        "(gridflip[evolution] installed on every worker)",
    )
    option(
        "--slice",
        type=_duration,
        help=f"seconds an island runs before it reports (default {d['slice']:g})",
    )
    option(
        "--replacements",
        type=_count,
        help="worker processes replaced in a row before the run "
        f"stops (default {d['replacements']})",
    )
    option(
        "--workdir",
        type=Path,
        help="where workers keep their candidates (default /dev/shm, "
        "else the temporary directory; removed when they stop)",
    )
    option(
        "--output",
        type=Path,
        help=f"the run's folder (default ./{d['output']}); one that "
        "holds another run is refused unless --resume is given",
    )
    option(
        "--resume",
        type=Path,
        metavar="DIR",
        help="go on with the stopped run in DIR, with its options unless new ones are given",
    )
    option(
        "--icebox-dir",
        help="the directory that holds IceStorm's icebox.py (default: next to "
        "icebox_vlog on PATH, then /usr/share/fpga-icestorm/python)",
    )
    return parser


def _evolve_settings(args: argparse.Namespace) -> tuple[dict, dict | None]:
    """The options, merged with a resumed run's record; and that record."""
    given = {key: value for key, value in vars(args).items() if value is not None}
    run = None
    if args.resume is not None:
        if args.output is not None and args.output.resolve() != args.resume.resolve():
            raise UsageError("--resume names the run's folder: leave out --output")
        try:
            run = json.loads((args.resume / "run.json").read_text())
            saved = run["command"]
        except FileNotFoundError:
            raise UsageError(f"{args.resume} holds no run to resume (no run.json)") from None
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise UsageError(f"cannot read {args.resume / 'run.json'}: {error}") from None
        fixed = [f"--{key}" for key in FIXED_ON_RESUME if key in given]
        if fixed:
            raise UsageError(f"{', '.join(fixed)} cannot change when a run resumes")
        settings = {**EVOLVE_DEFAULTS, **saved, **given, "output": args.resume}
    else:
        settings = {**EVOLVE_DEFAULTS, **given}
        if ("circuit" in given) != ("pcf" in given):
            raise UsageError("--circuit and --pcf go together")
        if "circuit" in given and "device" in given:
            raise UsageError("--device names a bundled seed: leave it out with --circuit")
    return settings, run


def _target_record(settings: dict) -> dict:
    """The target as run.json keeps it: its truth table, so that a resume or a replay never
    imports MODULE:FUNCTION again."""
    inputs = settings.get("inputs") or list(seeds.INPUTS)
    try:
        target = find_target(settings["target"], len(inputs))
    except ValueError as error:
        raise UsageError(str(error)) from None
    outputs = settings.get("outputs")
    if outputs is None:
        outputs = list(seeds.OUTPUTS[: target.width] if target.width else seeds.OUTPUTS)
        if target.width and target.width > len(seeds.OUTPUTS):
            raise UsageError(
                f"target {target.name} uses {target.width} outputs: name them with --outputs"
            )
    try:
        table = truth_table(target, len(inputs), len(outputs))
    except ValueError as error:
        raise UsageError(str(error)) from None
    return {
        "name": target.name,
        "description": target.description,
        "inputs": list(inputs),
        "outputs": list(outputs),
        "table": table,
    }


def _fitness(circuit: Path, pcf: Path, target: dict, settings: dict) -> TruthTable:
    """The truth-table fitness for the logic cells alone; the netlist fitness where the routing
    changes too, on the region of --tiles or of the outputs' cones."""
    _checked_file(circuit, "the circuit")
    ports = (target["inputs"], target["outputs"], target["table"])
    try:
        read_pcf(pcf)
        if set(settings["columns"]) <= set(LOGIC_CELL_COLUMNS):
            return TruthTableFitness(circuit, pcf, *ports, icebox_dir=settings.get("icebox_dir"))
        from .netlist import NetlistFitness

        return NetlistFitness(
            circuit, pcf, *ports, tiles=settings.get("tiles"), chipdb=settings.get("chipdb")
        )
    except (IceboxNotFound, OSError, ValueError) as error:
        raise UsageError(str(error)) from None


def _simulator_check(result: Evolution, fitness: TruthTable) -> int:
    champion = Path(result.champion)
    try:
        words = simulate_truth_table(
            champion, fitness.pcf, fitness.inputs, fitness.outputs, package=fitness.package
        )
    except RuntimeError as error:
        print(f"simulator check: not run: {error}")
        return 0
    simulated = fitness.score_words(words)
    agrees = simulated == result.score
    print(
        f"simulator check (icebox_vlog, iverilog, vvp): {simulated}/{fitness.max_score}, "
        f"{'agrees' if agrees else 'DISAGREES'} with the "
        + ("truth-table fitness" if isinstance(fitness, TruthTableFitness) else "netlist fitness")
    )
    return 0 if agrees else 1


def _report_end(result: Evolution) -> None:
    dropped = ", ".join(
        f"{n} {outcome}" for outcome, n in sorted(result.outcomes.items()) if outcome != "scored"
    )
    run_seconds = result.samples[-1][0] - result.samples[0][0] if len(result.samples) > 1 else 0
    rate = (
        (result.samples[-1][1] - result.samples[0][1]) / run_seconds
        if run_seconds > 0
        else result.candidates / max(result.seconds, 1e-9)
    )
    print(
        f"stopped {result.stopped} after {result.generations} generations, "
        f"{result.seconds:.1f} s: {result.candidates} candidates"
        + (f" ({dropped})" if dropped else "")
        + f", {rate:.0f} per second, made by {len(result.workers)} worker processes"
    )
    if result.accepted_routing:
        print(
            f"{result.accepted_routing} of the {result.accepted} candidates that became parents "
            f"({result.accepted_routing / result.accepted:.0%}) changed routing bits"
        )


def _evolve(args: argparse.Namespace) -> int:
    settings, run = _evolve_settings(args)
    output = Path(settings["output"])
    if run is None:
        if (output / "run.json").exists():
            raise UsageError(
                f"{output} holds a run already (run.json): give --resume {output} to "
                "go on with it, or another --output"
            )
        target = _target_record(settings)
        if "circuit" in settings:
            circuit, pcf = Path(settings["circuit"]), Path(settings["pcf"])
        else:
            circuit, pcf = seeds.seed(settings["device"])
    else:
        target, circuit, pcf = run.get("target"), output / "seed.asc", output / "seed.pcf"
        if not target:
            raise UsageError(f"{output / 'run.json'} records no target to resume with")
    for option, directory in (("--output", output), ("--workdir", settings.get("workdir"))):
        if directory is not None:
            try:
                Path(directory).mkdir(parents=True, exist_ok=True)
                probe = tempfile.NamedTemporaryFile(dir=directory)
                probe.close()
            except OSError as error:
                raise UsageError(
                    f"cannot write in the {option} folder {directory}: {error.strerror or error}"
                ) from None
    fitness = _fitness(circuit, pcf, target, settings)
    tiles = getattr(fitness, "tiles", None) or settings.get("tiles")
    if hasattr(fitness, "cells"):
        where = f"{len(fitness.cells)} LUTs in tiles {', '.join(map(str, sorted({c.tile for c in fitness.cells})))}"
    else:
        where = f"{type(fitness).__name__} on the region {', '.join(map(str, map(tuple, tiles)))}"
    print(
        f"evolving {circuit.name} towards {target['description']} ({target['name']}), "
        f"{', '.join(target['inputs'])} -> {', '.join(target['outputs'])}: {where}"
    )
    routing = [c for c in settings["columns"] if c not in LOGIC_CELL_COLUMNS]
    chances = f"{len(settings['columns']) - len(routing)} logic-cell columns at chance {settings['chance']}"
    if routing:
        chances += f", {len(routing)} routing columns at {settings['routing_chance']}"
    print(
        f"{settings['population']} candidates per generation from the best {settings['keep']}, "
        f"{chances}; stops at "
        f"{fitness.max_score} correct output bits, after {settings['seconds']:g} s"
        + (f" or {settings['generations']} generations" if settings.get("generations") else "")
    )
    print(f"results in {output}; workers' files in {settings.get('workdir') or 'memory'}")
    command = {
        key: (os.fspath(value) if isinstance(value, Path) else value)
        for key, value in settings.items()
        if key not in ("resume", "output")
    }
    keywords = dict(
        fitness=fitness,
        output=output,
        resume=run is not None,
        population=settings["population"],
        keep=settings["keep"],
        chance=settings["chance"],
        columns=settings["columns"],
        routing_chance=settings["routing_chance"],
        tiles=tiles,
        generations=settings.get("generations"),
        seconds=settings["seconds"],
        slice_seconds=settings["slice"],
        replacements=settings["replacements"],
        icebox_dir=settings.get("icebox_dir"),
        workdir=settings.get("workdir"),
        record={"target": target, "command": command},
    )
    try:
        if settings.get("scheduler"):
            result = _evolve_on_dask(settings["scheduler"], circuit, keywords)
        else:
            result = evolve(circuit, workers=settings.get("workers"), **keywords)
    except EvolutionStopped as stopped:
        print(f"gridflip-evolve: {stopped}", file=sys.stderr)
        return 1
    except (RunFolderError, ValueError) as error:
        raise UsageError(str(error)) from None
    except OSError as error:  # the output folder, before the run began
        raise UsageError(
            f"{error.strerror or error}: {error.filename or ''}".rstrip(": ")
        ) from None
    _report_end(result)
    champion = Path(result.champion)
    failure = run_icepack(champion, champion.with_suffix(".bin"))
    bitstream = (
        f"bitstream {champion.with_suffix('.bin')}"
        if failure is None
        else f"no bitstream: {failure}"
    )
    print(f"champion: {champion} ({result.summary()}), {bitstream}")
    status = _simulator_check(result, fitness)
    print(
        f"plot: {result.plot}"
        if result.plot
        else "plot: none, matplotlib is not installed "
        f"(pip install matplotlib); the progress is in {output / 'progress.csv'}"
    )
    return status


def _evolve_on_dask(address: str, circuit: Path, keywords: dict) -> Evolution:
    try:
        import distributed  # only for a Dask cluster
    except ImportError:
        raise UsageError(
            "--scheduler needs Dask's distributed: pip install 'gridflip[evolution]'"
        ) from None
    try:
        client = distributed.Client(address, timeout=20)
    except (OSError, ValueError, TimeoutError) as error:  # unreachable, or not an address
        raise UsageError(f"cannot reach the Dask scheduler {address}: {error}") from None
    with client:
        return evolve(circuit, executor=client, **keywords)


def evolve_main(argv: Sequence[str] | None = None) -> int:
    """gridflip-evolve"""
    _handle_signals()
    return _command("gridflip-evolve", _evolve, evolve_parser(), argv)


# gridflip-replay


def replay_main(argv: Sequence[str] | None = None) -> int:
    """gridflip-replay"""
    parser = Parser(
        prog="gridflip-replay",
        description=(
            "Rebuild a run's champion, byte for byte, from its seed and its lineage.jsonl, and check "
            "it against the SHA-256 each step records. Exit status: 0 rebuilt, 1 the seed or the "
            "lineage does not lead to the champion, 2 a usage error."
        ),
        allow_abbrev=False,
    )
    parser.add_argument("run", type=Path, metavar="DIR", help="the run's folder (its --output)")
    parser.add_argument("circuit", type=Path, metavar="OUT.asc", help="where the champion goes")
    parser.add_argument(
        "--seed",
        type=Path,
        help="the seed to start from (default: the copy in "
        "DIR, seed.asc); it must be the one run.json names",
    )

    def body(args):
        if not (args.run / "run.json").is_file():
            raise UsageError(f"{args.run} holds no run (no run.json)")
        try:
            champion = replay(args.run, args.seed)
        except RunFolderError as error:
            print(f"gridflip-replay: {error}", file=sys.stderr)
            return 1
        try:
            write_atomically(args.circuit, champion)
        except OSError as error:
            raise UsageError(f"cannot write {args.circuit}: {error.strerror or error}") from None
        print(f"{args.circuit}: the champion of {args.run}, rebuilt from its seed and lineage")
        return 0

    return _command("gridflip-replay", body, parser, argv)


# gridflip-check-drivers


def check_drivers_main(argv: Sequence[str] | None = None) -> int:
    """gridflip-check-drivers"""
    from . import drivers

    parser = Parser(
        prog="gridflip-check-drivers",
        description=drivers.__doc__.split("\n\n")[0]
        + " Exit status: 0 none, 1 a finding, 2 a circuit that cannot be checked.",
        allow_abbrev=False,
    )
    parser.add_argument("circuits", nargs="+", type=Path, metavar="CIRCUIT.asc")
    parser.add_argument(
        "--icebox-dir",
        help="the directory that holds IceStorm's icebox.py "
        "(default: next to icebox_vlog on PATH, then Debian's)",
    )
    parser.add_argument(
        "--listed",
        type=_count,
        default=20,
        help="contested wires to list per circuit; all are counted (default 20)",
    )

    def body(args):
        try:
            icebox = load_icebox(args.icebox_dir)
        except IceboxNotFound as error:
            raise UsageError(str(error)) from None
        status = 0
        for circuit in args.circuits:
            started = time.perf_counter()
            try:
                report = find_contested_wires(circuit, icebox)
            except (OSError, UnreadableCircuit) as error:
                print(f"{circuit}: not checked: {error}")
                status = max(status, 2)
                continue
            took = time.perf_counter() - started
            if report.clean:
                print(
                    f"{circuit}: no wire has more than one driver "
                    f"({report.switches_on} switches on, checked in {took:.2f} s)"
                )
                continue
            status = max(status, 1)
            print(
                f"{circuit}: {report.findings} "
                f"({report.switches_on} switches on, checked in {took:.2f} s)"
            )
            for wire in report.contested[: args.listed]:
                print(f"  {wire.describe()}")
                for driver in wire.drivers:
                    print(f"    {driver.describe()}")
            if len(report.contested) > args.listed:
                print(f"  ... and {len(report.contested) - args.listed} more")
            for driver in report.unfed_carries:
                print(
                    f"  carry input at tile {driver.tile}: no logic tile below gives it a carry-out"
                )
                print(f"    {driver.describe()}")
        return status

    return _command("gridflip-check-drivers", body, parser, argv)


# gridflip-score


def score_main(argv: Sequence[str] | None = None) -> int:
    """gridflip-score"""
    parser = Parser(
        prog="gridflip-score",
        description=(
            "Score circuits by the truth table between their pins, both ways: directly from the LUT "
            "bits (TruthTableFitness) and through the simulator (icebox_vlog, iverilog, vvp). Exit "
            "status: 0 every circuit scored and the two agree, 1 otherwise, 2 a usage error."
        ),
        allow_abbrev=False,
    )
    parser.add_argument("candidates", nargs="+", type=Path, metavar="CANDIDATE.asc")
    parser.add_argument(
        "--seed",
        type=Path,
        help="the seed the candidates come from (default: the bundled HX1K seed)",
    )
    parser.add_argument("--pcf", type=Path, help="the seed's pin file (default: the bundled one)")
    parser.add_argument(
        "--target", default="adder", help="a named target or MODULE:FUNCTION (default adder)"
    )
    parser.add_argument("--inputs", type=ports, help="input ports (default x[0:4])")
    parser.add_argument(
        "--outputs", type=ports, help="output ports (default: as many of y[0:2] as the target uses)"
    )
    parser.add_argument("--icebox-dir", help="the directory that holds IceStorm's icebox.py")

    def body(args):
        if (args.seed is None) != (args.pcf is None):
            raise UsageError("--seed and --pcf go together")
        seed, pcf = (args.seed, args.pcf) if args.seed else seeds.seed("hx1k")
        target = _target_record(vars(args))
        fitness = _fitness(
            seed, pcf, target, {"columns": LOGIC_CELL_COLUMNS, "icebox_dir": args.icebox_dir}
        )
        status = 0
        for candidate in args.candidates:
            try:
                direct = fitness(candidate)
            except (OSError, ValueError) as error:
                print(f"{candidate}: not scored: {error}")
                status = 1
                continue
            try:
                words = simulate_truth_table(candidate, pcf, fitness.inputs, fitness.outputs)
            except RuntimeError as error:
                print(f"{candidate}: {direct}/{fitness.max_score} directly, not simulated: {error}")
                status = 1
                continue
            simulated = fitness.score_words(words)
            agree = "agrees" if simulated == direct else "DISAGREES"
            print(
                f"{candidate}: {direct}/{fitness.max_score} directly, {simulated} simulated "
                f"({agree})"
            )
            status |= simulated != direct
        return status

    return _command("gridflip-score", body, parser, argv)


# gridflip-mutate-population


def mutate_population_main(argv: Sequence[str] | None = None) -> int:
    """gridflip-mutate-population"""
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    parser = Parser(
        prog="gridflip-mutate-population",
        description=(
            "Mutate a population of copies of a circuit in a process pool, one copy per task, with "
            "each start method, and print how many bits each worker changed or why it failed. The "
            "circuit itself is never touched. Exit status: 0 done, 1 a copy failed unexpectedly, 2 "
            "a usage error."
        ),
        allow_abbrev=False,
    )
    option = parser.add_argument
    option("--circuit", type=Path, help="the circuit to copy (default: the bundled HX1K seed)")
    option("--population", type=_positive_int, default=8, help="copies (default 8)")
    option("--workers", type=_positive_int, default=4, help="pool processes (default 4)")
    option(
        "--start-methods",
        default="fork,spawn",
        help="comma-separated multiprocessing start "
        f"methods, of {', '.join(methods)} (default fork,spawn)",
    )
    option("--rows", type=_rows, default=list(range(ROW_LINES)), help="rows (default 0-15)")
    option(
        "--columns", type=_columns, default=list(range(COLUMN_COUNT)), help="columns (default 0-53)"
    )
    option("--chance", type=_probability, default=0.01, help="the chance (default 0.01)")
    option(
        "--with-broken-copy",
        action="store_true",
        help="add a copy with CRLF line ends, which "
        "gridflip refuses, to show a failure coming back from a worker (default: none)",
    )

    def body(args):
        chosen = [m.strip() for m in args.start_methods.split(",")]
        unknown = [m for m in chosen if m not in methods]
        if unknown or not chosen:
            raise UsageError(
                f"--start-methods: {', '.join(unknown) or 'none'} is not one of "
                f"{', '.join(methods)}"
            )
        circuit = _checked_file(args.circuit or seeds.seed("hx1k")[0], "--circuit")
        unexpected = 0
        for method in chosen:
            with tempfile.TemporaryDirectory(prefix=f"gridflip-{method}-") as scratch:
                paths = make_population(circuit, Path(scratch), args.population)
                broken = None
                if args.with_broken_copy:
                    broken = Path(scratch) / "broken-crlf.asc"
                    broken.write_bytes(circuit.read_bytes().replace(b"\n", b"\r\n"))
                    paths.append(broken)
                jobs = [
                    MutationJob(str(p), tuple(args.rows), tuple(args.columns), args.chance)
                    for p in paths
                ]
                results = mutate_population(jobs, workers=args.workers, start_method=method)
                print(f"start method {method}: {len(jobs)} copies, {args.workers} workers")
                for result in results:
                    name = Path(result.path).name
                    if result.error is None:
                        print(f"  {name}: {result.changed_bits} bits changed")
                    else:
                        print(f"  {name}: failed: {result.error}")
                        unexpected += str(result.path) != str(broken)
                mutated = [r for r in results if r.error is None]
                distinct = len({r.flips_digest for r in mutated})
                print(
                    f"  {distinct} distinct sets of changed bits among {len(mutated)} "
                    "mutated copies"
                )
        return 1 if unexpected else 0

    def guarded(args):
        from concurrent.futures.process import BrokenProcessPool

        try:
            return body(args)
        except BrokenProcessPool as error:
            print(f"gridflip-mutate-population: a worker process ended: {error}", file=sys.stderr)
            return 1

    return _command("gridflip-mutate-population", guarded, parser, argv)
