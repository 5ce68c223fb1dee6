"""An evolution loop around gridflip: copy, mutate, check, score, select, until full marks or a budget.

    python examples/evolve_circuits.py [--device hx1k | --circuit PATH --pcf PATH]
                                       [--seconds 60] [--generations N] [--population 4]
                                       [--keep 1] [--chance 0.005] [--columns 36-45]
                                       [--workers N | --scheduler ADDRESS] [--workdir DIR]
                                       [--output DIR] [--icebox-dir DIR]

By default it evolves the bundled seed (examples/lut_network: 5 input pins, 8 LUTs that each see
4 of them, 3 LUTs that drive 3 output pins, all with random contents) into a 2-bit adder with
carry-in, y = x[1:0] + x[3:2] + x[4], scored by the correct output bits over all 32 input words
(truth_table.TruthTableFitness, 96 at most). Every generation, each candidate, as one task of a
concurrent.futures executor:
  1. is a copy of a parent (at first, the seed), mutated in place by gridflip in the logic-cell
     columns 36-45 (LUT contents and cell options), which leaves the wiring alone;
  2. goes through the two-driver check (check_drivers.py) when other columns are mutated too,
     and is dropped if any wire has more than one driver;
  3. is packed into a bitstream by icepack, if asked (pack=True: for a fitness on a board);
  4. is scored by the fitness function, which gets the candidate's path. A fitness refuses a
     candidate it cannot score with ValueError; the candidate is dropped.
The best `keep` of the parents and candidates are the next parents; a candidate wins a tie, so
the population drifts across plateaus. The loop stops at full marks (the fitness's max_score)
or at a budget of generations or seconds, and prints one line per improvement.

At the end the script writes to --output: champion.asc, its bitstream champion.bin (icepack),
progress.csv and progress.png (with matplotlib), and re-scores the champion through the
simulator (truth_table.simulate_truth_table: icebox_vlog, iverilog, vvp), which must agree.

The fitness is a parameter: a board's or a simulator's score of a candidate, for example

    from evolve_circuits import evolve
    evolve("circuit.asc", "run-1", fitness=score_on_my_board, pack=True, seconds=3600,
           executor=ThreadPoolExecutor(1))  # one board: one task at a time

The executor is any concurrent.futures.Executor: a ProcessPoolExecutor by default, or a Dask
cluster's (--scheduler, or evolve(..., executor=client.get_executor(pure=False)) after
send_examples(client)). Each worker process draws from its own random stream.
"""

from __future__ import annotations

import argparse
import csv
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

from .drivers import find_contested_wires
from .icestorm import IceboxNotFound, UnreadableCircuit, load_icebox
from .population import MutationJob, call_mutate
from .seeds import INPUTS, OUTPUTS, DEVICES, seed
from .targets import adder
from .tiles import COLUMN_COUNT, LOGIC_CELL_COLUMNS, ROW_LINES, parse_positions
from .truth_table import TruthTableFitness, simulate_truth_table

# What a Dask worker or scheduler must import to run the tasks, in import order.
EXAMPLE_MODULES = ("tiles.py", "check_drivers.py", "mutate_population.py",
                   "truth_table.py", "evolve_circuits.py")


@dataclass(frozen=True)
class CandidateJob:
    """One task: copy `parent` to `path`, mutate, check, pack if asked, score."""
    parent: str
    path: str
    columns: tuple[int, ...]
    chance: float
    fitness: Callable[[str], float]
    check_drivers: bool = False  # the two-driver check, for candidates whose routing may change
    pack: bool = False  # icepack the candidate to <path>.bin before the fitness sees it
    icebox_dir: str | None = None  # where icebox.py is on the worker; None: the usual places
    icepack: str = "icepack"  # the icepack program on the worker


@dataclass(frozen=True)
class Candidate:
    path: str
    outcome: str  # "scored"; dropped: "contested" (a wire with two drivers), "refused", "failed"
    detail: str  # why it was dropped
    score: float | None
    worker: str  # host:pid of the worker process that made it


@dataclass(frozen=True)
class Progress:
    generation: int
    seconds: float
    candidates: int
    score: float


@dataclass
class Evolution:
    champion: str  # the best circuit so far, in the work directory
    score: float
    max_score: float | None
    stopped: str  # "at full marks", "at the generation budget", "at the time budget"
    generations: int = 0
    seconds: float = 0.0
    progress: list[Progress] = field(default_factory=list)  # the seed, then every improvement
    outcomes: Counter = field(default_factory=Counter)
    workers: Counter = field(default_factory=Counter)  # candidates made by each worker process

    @property
    def candidates(self) -> int:
        return sum(self.outcomes.values())


def evaluate_candidate(job: CandidateJob) -> Candidate:
    """The worker: copy, mutation, the two-driver check, icepack, fitness; a candidate that
    cannot be made or scored comes back as a value."""
    worker = f"{socket.gethostname()}:{os.getpid()}"

    def dropped(outcome: str, detail: str) -> Candidate:
        return Candidate(job.path, outcome, detail, None, worker)

    try:
        shutil.copyfile(job.parent, job.path)
    except OSError as error:
        return dropped("failed", f"copy failed: {error}")
    error = call_mutate(MutationJob(job.path, tuple(range(ROW_LINES)), job.columns, job.chance))
    if error is not None:
        return dropped("failed", f"mutation failed: {error}")
    if job.check_drivers:
        try:
            report = find_contested_wires(job.path, load_icebox(job.icebox_dir))
        except (OSError, IceboxNotFound, UnreadableCircuit) as error:
            return dropped("failed", f"driver check failed: {error}")
        if not report.clean:
            first = f", first: {report.contested[0].describe()}" if report.contested else ""
            return dropped("contested", report.findings + first)
    if job.pack:
        failure = pack(job.path, str(Path(job.path).with_suffix(".bin")), job.icepack)
        if failure:
            return dropped("failed", failure)
    try:
        score = float(job.fitness(job.path))
    except ValueError as error:
        return dropped("refused", str(error))
    return Candidate(job.path, "scored", "", score, worker)


def evaluate_batch(jobs: Sequence[CandidateJob]) -> list[Candidate]:
    """Several candidates in one task: one message each way for a worker's share of a generation."""
    return [evaluate_candidate(job) for job in jobs]


def pack(circuit: str, bitstream: str, icepack: str = "icepack") -> str | None:
    """icepack `circuit` into `bitstream`; why it failed, or None."""
    program = shutil.which(icepack)
    if program is None:
        return f"{icepack} not found on {socket.gethostname()} (Debian: fpga-icestorm)"
    run = subprocess.run([program, circuit, bitstream], capture_output=True, text=True)
    if run.returncode != 0:
        return f"icepack failed ({run.returncode}): {run.stderr.strip()[-200:]}"
    return None


def evolve(circuit: str | os.PathLike, workdir: str | os.PathLike, *,
           fitness: Callable[[str], float], population: int = 4, keep: int = 1,
           chance: float = 0.005, columns: Sequence[int] = LOGIC_CELL_COLUMNS,
           generations: int | None = None, seconds: float | None = None,
           max_score: float | None = None, check_drivers: bool | None = None,
           pack: bool = False, executor: Executor | None = None, workers: int | None = None,
           batch: int | None = None, icebox_dir: str | None = None,
           report: Callable[[str], object] = print) -> Evolution:
    """Evolves `circuit` until full marks, `generations` generations or `seconds` seconds.

    max_score defaults to the fitness's max_score attribute, where it has one. The two-driver
    check runs when `columns` reach beyond the logic cells, unless check_drivers says otherwise.
    Files live in `workdir`: candidates/ (rewritten every generation) and the parents. With no
    `executor`, a ProcessPoolExecutor of `workers` processes runs the tasks and is shut down at
    the end; an executor passed in is left running. A task makes `batch` candidates: by
    default a local pool's worker takes its share of a generation in one task, any other
    executor one candidate a task. With a cluster's executor, `workdir` must be on a file
    system every worker sees, and the workers must be able to import gridflip and these
    examples (send_examples).
    """
    if keep < 1 or population < 1 or (batch is not None and batch < 1):
        raise ValueError("population, keep and batch must be at least 1")
    if generations is None and seconds is None:
        raise ValueError("give a budget: generations or seconds")
    if max_score is None:
        max_score = getattr(fitness, "max_score", None)
    if check_drivers is None:
        check_drivers = not set(columns) <= set(LOGIC_CELL_COLUMNS)
    workdir = Path(workdir)
    candidates_dir, parent_dirs = workdir / "candidates", (workdir / "parents-a", workdir / "parents-b")
    for directory in (candidates_dir, *parent_dirs):
        directory.mkdir(parents=True, exist_ok=True)

    def jobs(parents: Sequence[str], count: int, mutated_columns) -> list[CandidateJob]:
        return [CandidateJob(parents[i % len(parents)], str(candidates_dir / f"child-{i:03d}.asc"),
                             tuple(mutated_columns), chance, fitness, check_drivers, pack,
                             icebox_dir) for i in range(count)]

    own_executor = executor is None
    pool = ProcessPoolExecutor(max_workers=workers) if executor is None else executor
    if batch is None:
        batch = -(-population // (workers or os.cpu_count() or 1)) if own_executor else 1
    started = time.perf_counter()
    result = None
    try:
        # Generation 0: the circuit itself, copied, not mutated, and scored where every
        # candidate is.
        [seed] = pool.map(evaluate_candidate, jobs([os.fspath(circuit)], 1, ()))
        if seed.outcome != "scored":
            raise ValueError(f"the circuit cannot be scored: {seed.outcome}: {seed.detail}")
        parents = [(str(parent_dirs[0] / "parent-000.asc"), seed.score)]
        shutil.copyfile(seed.path, parents[0][0])
        result = Evolution(parents[0][0], seed.score, max_score, "")
        result.progress.append(Progress(0, 0.0, 0, seed.score))
        report(f"generation 0 (the circuit): {seed.score:g}{f'/{max_score:g}' if max_score else ''}")
        number = 0
        while True:
            if max_score is not None and result.score >= max_score:
                result.stopped = "at full marks"
                break
            if generations is not None and number >= generations:
                result.stopped = "at the generation budget"
                break
            if seconds is not None and time.perf_counter() - started >= seconds:
                result.stopped = "at the time budget"
                break
            number += 1
            generation = jobs([p for p, _ in parents], population, columns)
            made = [candidate for made_together in pool.map(
                        evaluate_batch, [generation[i:i + batch] for i in range(0, population, batch)])
                    for candidate in made_together]
            result.outcomes.update(c.outcome for c in made)
            result.workers.update(c.worker for c in made)
            scored = [(c.path, c.score) for c in made if c.outcome == "scored"]
            # Candidates first: on a tie, a candidate replaces its parent.
            ranked = sorted(scored + parents, key=lambda entry: entry[1], reverse=True)[:keep]
            if ranked != parents:
                # Into the other directory: a parent may be copied before it is replaced.
                directory = parent_dirs[Path(parents[0][0]).parent == parent_dirs[0]]
                parents = []
                for index, (path, score) in enumerate(ranked):
                    kept = str(directory / f"parent-{index:03d}.asc")
                    shutil.copyfile(path, kept)
                    parents.append((kept, score))
            elapsed = time.perf_counter() - started
            result.champion, result.generations, result.seconds = parents[0][0], number, elapsed
            if parents[0][1] > result.score:
                result.score = parents[0][1]
                result.progress.append(Progress(number, elapsed, result.candidates, result.score))
                report(f"generation {number}, {elapsed:.2f} s: {result.score:g}"
                       f"{f'/{max_score:g}' if max_score else ''} "
                       f"({result.candidates / elapsed:.0f} candidates/s)")
        result.seconds = time.perf_counter() - started
    finally:
        if own_executor:
            pool.shutdown()
    return result


def send_examples(client) -> None:
    """Uploads these example modules to a Dask cluster's scheduler and workers (and to workers
    that join later), so that they need only gridflip (and IceStorm for the driver check and
    icepack) installed."""
    for name in EXAMPLE_MODULES:
        client.upload_file(str(HERE / name))


def plot_progress(result: Evolution, path: Path) -> bool:
    """The best score against seconds and against generations, as a PNG; False without
    matplotlib."""
    try:
        from matplotlib.figure import Figure  # no pyplot: leaves the caller's backend alone
    except ImportError:
        return False
    steps = [*result.progress, Progress(result.generations, result.seconds, result.candidates,
                                        result.score)]
    figure = Figure(figsize=(10, 4))
    axes = figure.subplots(1, 2, sharey=True)
    for axis, x, label in ((axes[0], [p.seconds for p in steps], "seconds"),
                           (axes[1], [p.generation for p in steps], "generation")):
        axis.step(x, [p.score for p in steps], where="post", label="best score")
        if result.max_score:
            axis.axhline(result.max_score, linestyle="--", color="grey", label="full marks")
        axis.set_xlabel(label)
        axis.grid(alpha=0.3)
    axes[0].set_ylabel("correct output bits")
    axes[0].legend(loc="lower right")
    figure.suptitle(f"best of {result.candidates} candidates, {result.generations} generations")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    return True


def write_results(result: Evolution, fitness: TruthTableFitness, output: Path) -> int:
    """The champion, its bitstream, the progress and its plot, and the simulator's check of the
    champion; 1 if the simulator disagrees with the fitness."""
    output.mkdir(parents=True, exist_ok=True)
    champion = output / "champion.asc"
    shutil.copyfile(result.champion, champion)
    failure = pack(str(champion), str(champion.with_suffix(".bin")))
    bitstream = f"bitstream {champion.with_suffix('.bin')}" if failure is None else f"no bitstream: {failure}"
    print(f"champion: {champion} ({result.score:g}/{result.max_score:g}), {bitstream}")
    with open(output / "progress.csv", "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["generation", "seconds", "candidates", "score"])
        writer.writerows((p.generation, f"{p.seconds:.3f}", p.candidates, f"{p.score:g}")
                         for p in result.progress)
    status = 0
    try:
        words = simulate_truth_table(champion, fitness.pcf, fitness.inputs, fitness.outputs,
                                     package=fitness.package)
    except RuntimeError as error:
        print(f"simulator check: not run: {error}")
    else:
        simulated = fitness.score_words(words)
        agrees = simulated == result.score
        status = 0 if agrees else 1
        print(f"simulator check (icebox_vlog, iverilog, vvp): {simulated}/{fitness.max_score}, "
              f"{'agrees' if agrees else 'DISAGREES'} with the truth-table fitness")
    if plot_progress(result, output / "progress.png"):
        print(f"plot: {output / 'progress.png'}")
    else:
        print(f"plot: none, matplotlib is not installed (pip install matplotlib); "
              f"the progress is in {output / 'progress.csv'}")
    return status


def count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is below 1")
    return value


def duration(text: str) -> float:
    value = float(text)
    if not value > 0:  # NaN too
        raise argparse.ArgumentTypeError(f"{text} is not above 0")
    return value


def probability(text: str) -> float:
    value = float(text)
    if not 0 < value <= 1:  # NaN too, which would flip every position
        raise argparse.ArgumentTypeError(f"{text} is not above 0 and at most 1")
    return value


def fail(message: str) -> int:
    """A failure the user can mend: one line on standard error, exit status 2."""
    print(f"evolve_circuits: {message}", file=sys.stderr)
    return 2


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", choices=DEVICES, default="hx1k",
                        help="the bundled seed to evolve (default hx1k)")
    parser.add_argument("--circuit", type=Path, help="evolve this seed instead (with --pcf)")
    parser.add_argument("--pcf", type=Path, help="the seed's pins: x[0] to x[4], y[0] to y[2]")
    parser.add_argument("--seconds", type=duration, default=60, help="time budget (default 60)")
    parser.add_argument("--generations", type=count, help="generation budget (default none)")
    parser.add_argument("--population", type=count, default=4,
                        help="candidates per generation (default 4)")
    parser.add_argument("--keep", type=count, default=1,
                        help="parents per generation, the best so far (default 1)")
    # On the bundled seed, 0.005 reached full marks most often within 40,000 candidates
    # (about a minute): more often than 0.0025, 0.01 or 0.02.
    parser.add_argument("--chance", type=probability, default=0.005,
                        help="each visited bit's chance to flip (default 0.005)")
    parser.add_argument("--columns", type=lambda t: parse_positions(t, COLUMN_COUNT),
                        default=list(LOGIC_CELL_COLUMNS),
                        help="columns to mutate (default 36-45, the logic cells)")
    parser.add_argument("--workers", type=count, default=None,
                        help="processes of the local pool (default: one per CPU)")
    parser.add_argument("--scheduler", help="run the tasks on this Dask scheduler instead, "
                                            "with a --workdir that every worker sees")
    parser.add_argument("--workdir", type=Path,
                        help="keep the candidates and parents here, replacing an earlier run's "
                             "(default: a temporary directory, deleted at exit)")
    parser.add_argument("--output", type=Path, default=Path("evolved"),
                        help="where the champion and the plot go (default ./evolved)")
    parser.add_argument("--icebox-dir", help="the directory that holds IceStorm's icebox.py")
    args = parser.parse_args(argv)
    if (args.circuit is None) != (args.pcf is None):
        parser.error("--circuit and --pcf go together")
    circuit, pcf = (args.circuit, args.pcf) if args.circuit else seed(args.device)
    # Here, not after a run of minutes.
    for option, directory in (("--output", args.output), ("--workdir", args.workdir)):
        if directory is None:
            continue
        try:
            directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            return fail(f"cannot make the {option} directory: {error}")

    try:
        fitness = TruthTableFitness(circuit, pcf, INPUTS, OUTPUTS, adder, icebox_dir=args.icebox_dir)
    except (IceboxNotFound, OSError, ValueError) as error:
        return fail(str(error))
    tiles = sorted({cell.tile for cell in fitness.cells})
    print(f"evolving {circuit.name} into a 2-bit adder with carry-in, y = x[1:0] + x[3:2] + x[4]: "
          f"{len(fitness.cells)} LUTs in tiles {', '.join(map(str, tiles))}")
    print(f"{args.population} candidates per generation from the best {args.keep}, "
          f"{len(args.columns)} columns at chance {args.chance}; stops at "
          f"{fitness.max_score} correct output bits, after {args.seconds:g} s"
          + (f" or {args.generations} generations" if args.generations else ""))

    # Candidates are rewritten thousands of times a minute and each mutation flushes its file:
    # in memory (Linux's /dev/shm) that costs a fraction of what it costs on a disk.
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="gridflip-evolve-", dir=memory) as scratch:
        settings = dict(fitness=fitness, population=args.population, keep=args.keep,
                        chance=args.chance, columns=args.columns, generations=args.generations,
                        seconds=args.seconds, icebox_dir=args.icebox_dir)
        workdir = args.workdir or Path(scratch)
        print(f"work files: {workdir}, " + ("kept" if args.workdir else
                                            "deleted at exit (--workdir keeps them)"))
        try:
            if args.scheduler is not None:
                try:
                    import distributed  # only for a Dask cluster
                except ImportError:
                    return fail("--scheduler needs Dask's distributed: pip install distributed")
                try:
                    client = distributed.Client(args.scheduler)
                except (OSError, ValueError) as error:  # unreachable, or not an address
                    return fail(f"cannot reach the Dask scheduler: {error}")
                with client:
                    send_examples(client)
                    # One task per worker thread and generation: each task is a round trip
                    # through the scheduler.
                    threads = sum(client.nthreads().values()) or 1
                    result = evolve(circuit, workdir, executor=client.get_executor(pure=False),
                                    batch=-(-args.population // threads), **settings)
            else:
                result = evolve(circuit, workdir, workers=args.workers, **settings)
        except (OSError, ValueError) as error:  # a full disk, a seed the fitness cannot score
            return fail(str(error))
        dropped = ", ".join(f"{n} {outcome}" for outcome, n in sorted(result.outcomes.items())
                            if outcome != "scored")
        print(f"stopped {result.stopped} after {result.generations} generations, "
              f"{result.seconds:.1f} s: {result.candidates} candidates"
              + (f" ({dropped})" if dropped else "")
              + f", {result.candidates / max(result.seconds, 1e-9):.0f} per second, "
              f"made by {len(result.workers)} worker processes")
        return write_results(result, fitness, args.output)


if __name__ == "__main__":
    # Run as a script, this file is __main__, which a Dask worker cannot import: the tasks
    # must name the module's functions as evolve_circuits.<name>.
    import evolve_circuits

    sys.exit(evolve_circuits.main())
