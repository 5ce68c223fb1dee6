"""An evolution loop around gridflip: mutate the logic cells, check the wiring, pack, score, select.

    python examples/evolve_circuits.py [--circuit PATH] [--population 8] [--generations 3]
                                       [--keep 2] [--chance 0.05] [--columns 36-45]
                                       [--workers N | --scheduler ADDRESS] [--workdir DIR]
                                       [--icebox-dir DIR]

Every generation copies the survivors of the last one (at first, the circuit) into a population
of candidates, and each candidate, as one task of a concurrent.futures executor:
  1. is mutated in place by gridflip, in the logic-cell columns 36-45 only;
  2. goes through the two-driver check (check_drivers.py), and is dropped if any wire has
     more than one driver;
  3. is packed into a bitstream by icepack.
Back in this process, the fitness function scores every packed candidate and the best `keep`
survive. The script prints one line per generation.

The fitness here is a placeholder: placeholder_fitness scores every candidate 0.0 and says so in
every line it prints. Pass your own, which loads the bitstream into a board or runs a simulator:

    from evolve_circuits import evolve
    evolve("circuit.asc", "run-1", fitness=score_on_my_board)

The executor is any concurrent.futures.Executor: a ProcessPoolExecutor by default, or a Dask
cluster's (--scheduler, or evolve(..., executor=client.get_executor(pure=False))). Each worker
process draws from its own random stream.
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from check_drivers import IceboxNotFound, UnreadableCircuit, find_contested_wires, load_icebox
from mutate_example import COLUMN_COUNT, HERE, ROW_LINES, parse_positions
from mutate_population import MutationJob, make_population, mutate_file

# The logic cells of every iCE40 logic tile: LUT contents and cell options (icebox's LC_0..LC_7).
LOGIC_CELL_COLUMNS = tuple(range(36, 46))


@dataclass(frozen=True)
class CandidateJob:
    """One task: mutate, check and pack the candidate file at `mutation.path`."""
    mutation: MutationJob
    icebox_dir: str | None = None  # where icebox.py is on the worker; None: the usual places
    icepack: str = "icepack"  # the icepack program on the worker


@dataclass(frozen=True)
class Candidate:
    path: str
    outcome: str  # "packed", "contested" (a wire with two drivers), "failed"
    detail: str  # why it was dropped, or the bitstream's size
    changed_bits: int
    flips_digest: str  # identifies which bytes the mutation changed
    worker: str  # host:pid of the worker process that mutated it
    bitstream: str | None = None


@dataclass(frozen=True)
class Generation:
    number: int
    candidates: list[Candidate]
    scores: dict[str, float]  # candidate path -> fitness, for the packed ones
    survivors: list[str]


def evaluate_candidate(job: CandidateJob) -> Candidate:
    """The worker: mutation, the two-driver check, icepack; every failure returned as a value."""
    worker = f"{socket.gethostname()}:{os.getpid()}"
    mutation = mutate_file(job.mutation)

    def dropped(outcome: str, detail: str) -> Candidate:
        return Candidate(job.mutation.path, outcome, detail, mutation.changed_bits,
                         mutation.flips_digest, worker)

    if mutation.error is not None:
        return dropped("failed", f"mutation failed: {mutation.error}")
    try:
        report = find_contested_wires(job.mutation.path, load_icebox(job.icebox_dir))
    except (OSError, IceboxNotFound, UnreadableCircuit) as error:
        return dropped("failed", f"driver check failed: {error}")
    if not report.clean:
        first = report.contested[0]
        return dropped("contested", f"{len(report.contested)} wires with more than one driver, "
                                    f"first: {first.describe()}")
    icepack = shutil.which(job.icepack)
    if icepack is None:
        return dropped("failed", f"{job.icepack} not found on {socket.gethostname()}")
    bitstream = str(Path(job.mutation.path).with_suffix(".bin"))
    run = subprocess.run([icepack, job.mutation.path, bitstream], capture_output=True, text=True)
    if run.returncode != 0:
        return dropped("failed", f"icepack failed ({run.returncode}): {run.stderr.strip()[-200:]}")
    return Candidate(job.mutation.path, "packed", f"{os.path.getsize(bitstream)} bytes",
                     mutation.changed_bits, mutation.flips_digest, worker, bitstream)


def placeholder_fitness(candidate: Candidate) -> float:
    """A stand-in that measures nothing: every candidate scores 0.0.

    Replace it with a score from your board (load candidate.bitstream) or your simulator."""
    return 0.0


def describe_fitness(fitness: Callable[[Candidate], float]) -> str:
    name = getattr(fitness, "__name__", type(fitness).__name__)
    if fitness is placeholder_fitness:
        return f"{name}: a placeholder that measures nothing"
    return name


def evolve(circuit: str | os.PathLike, workdir: str | os.PathLike, *, population: int = 8,
           generations: int = 3, keep: int = 2, chance: float = 0.05,
           columns: Sequence[int] = LOGIC_CELL_COLUMNS,
           fitness: Callable[[Candidate], float] = placeholder_fitness,
           executor: Executor | None = None, workers: int | None = None,
           icebox_dir: str | None = None, report: Callable[[str], object] = print,
           ) -> list[Generation]:
    """Runs `generations` generations and returns them; prints one line per generation.

    Candidates live in `workdir`/gen-NNN/. With no `executor`, a ProcessPoolExecutor of
    `workers` processes runs the tasks and is shut down at the end; an executor passed in is
    left running. With a cluster's executor, `workdir` must be on a file system every worker
    sees, and the workers must be able to import this module and gridflip.
    """
    if keep < 1 or population < 1:
        raise ValueError("population and keep must be at least 1")
    workdir = Path(workdir)
    parents = [Path(circuit)]
    history = []
    own_executor = executor is None
    pool = ProcessPoolExecutor(max_workers=workers) if executor is None else executor
    try:
        for number in range(1, generations + 1):
            directory = workdir / f"gen-{number:03d}"
            directory.mkdir(parents=True, exist_ok=False)
            paths = make_population(parents, directory, population)
            jobs = [CandidateJob(MutationJob(str(path), tuple(range(ROW_LINES)), tuple(columns),
                                             chance), icebox_dir)
                    for path in paths]
            candidates = list(pool.map(evaluate_candidate, jobs))

            packed = [c for c in candidates if c.outcome == "packed"]
            scores = {c.path: float(fitness(c)) for c in packed}
            ranked = sorted(packed, key=lambda c: scores[c.path], reverse=True)
            if ranked:
                parents = [Path(c.path) for c in ranked[:keep]]
            best = f"{scores[ranked[0].path]:g}" if ranked else "none"
            contested = sum(c.outcome == "contested" for c in candidates)
            failed = sum(c.outcome == "failed" for c in candidates)
            report(f"generation {number}: {len(candidates)} candidates, {len(packed)} packed, "
                   f"{contested} refused by the driver check, {failed} failed; "
                   f"{sum(c.changed_bits for c in candidates)} bits changed; "
                   f"best fitness {best} ({describe_fitness(fitness)})")
            history.append(Generation(number, candidates, scores, [str(p) for p in parents]))
    finally:
        if own_executor:
            pool.shutdown()
    return history


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--circuit", type=Path, default=HERE / "blinky_hx8k.asc")
    parser.add_argument("--population", type=int, default=8)
    parser.add_argument("--generations", type=int, default=3)
    parser.add_argument("--keep", type=int, default=2, help="survivors per generation")
    parser.add_argument("--chance", type=float, default=0.05)
    parser.add_argument("--columns", type=lambda t: parse_positions(t, COLUMN_COUNT),
                        default=list(LOGIC_CELL_COLUMNS),
                        help="columns to mutate (default 36-45, the logic cells)")
    parser.add_argument("--workers", type=int, default=None,
                        help="processes of the local pool (default: one per CPU)")
    parser.add_argument("--scheduler", help="run the tasks on this Dask scheduler instead")
    parser.add_argument("--workdir", type=Path,
                        help="keep the candidates here (default: a temporary directory)")
    parser.add_argument("--icebox-dir", help="the directory that holds IceStorm's icebox.py")
    args = parser.parse_args(argv)

    try:
        load_icebox(args.icebox_dir)
    except IceboxNotFound as error:
        print(f"evolve_circuits: {error}", file=sys.stderr)
        return 2
    if args.scheduler is None and shutil.which("icepack") is None:
        print("evolve_circuits: icepack not found (Debian: fpga-icestorm)", file=sys.stderr)
        return 2

    scratch = None
    workdir = args.workdir
    if workdir is None:
        scratch = tempfile.TemporaryDirectory(prefix="gridflip-evolve-")
        workdir = Path(scratch.name)
    try:
        print(f"evolving {args.circuit.name}: {args.population} candidates per generation, "
              f"{len(args.columns)} columns at chance {args.chance}, keeping {args.keep}")
        if args.scheduler is not None:
            import distributed  # only for a Dask cluster: pip install distributed

            with distributed.Client(args.scheduler) as client:
                history = evolve(args.circuit, workdir, population=args.population,
                                 generations=args.generations, keep=args.keep,
                                 chance=args.chance, columns=args.columns,
                                 executor=client.get_executor(pure=False),
                                 icebox_dir=args.icebox_dir)
        else:
            history = evolve(args.circuit, workdir, population=args.population,
                             generations=args.generations, keep=args.keep, chance=args.chance,
                             columns=args.columns, workers=args.workers,
                             icebox_dir=args.icebox_dir)
        if args.workdir is not None and history:
            print(f"parents of a next generation: {', '.join(history[-1].survivors)}")
    finally:
        if scratch is not None:
            scratch.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
