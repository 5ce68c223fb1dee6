"""Mutate a population of circuit copies in a process pool, one copy per task.

    python examples/mutate_population.py [--circuit PATH] [--population 8] [--workers 4]
                                         [--start-methods fork,spawn] [--rows 0-15]
                                         [--columns 0-53] [--chance 0.01] [--with-broken-copy]

Each start method gets its own population of copies in a temporary directory; the circuit
itself is never touched. For every copy the script prints how many bits the worker changed,
or why the worker failed. --with-broken-copy adds a copy with CRLF line ends, which gridflip
refuses, to show a failure coming back from a worker while the pool goes on.

The worker pieces are plain top-level functions of picklable arguments, so another script can
import them (from examples/) and run them in a pool of its own:

    from mutate_population import MutationJob, call_mutate, make_population, mutate_population
"""

from __future__ import annotations

import argparse
import hashlib
import multiprocessing
import os
import shutil
import sys
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import gridflip

from .tiles import COLUMN_COUNT, ROW_LINES, parse_positions


@dataclass(frozen=True)
class MutationJob:
    """One task: mutate the file at `path` in place."""
    path: str
    rows: tuple[int, ...]
    columns: tuple[int, ...]
    chance: float


@dataclass(frozen=True)
class MutationResult:
    path: str
    changed_bits: int  # bytes that differ afterwards; 0 when the call failed
    flips_digest: str  # identifies which bytes changed, to compare copies
    error: str | None  # "TypeName: message" when the call failed


def call_mutate(job: MutationJob) -> str | None:
    """One gridflip.mutate call on the job's file; its failure as "TypeName: message", or None.

    gridflip reports a circuit it cannot open, map or mutate with PanicException, a
    BaseException whose type cannot be pickled. Raised out of a task it never reaches the
    caller: a multiprocessing.Pool waits for ever, a ProcessPoolExecutor raises PicklingError,
    a Dask future never gives its result. So this is the task to copy for any executor.
    Ordinary exceptions are caught too, so that one bad copy does not fail the whole population.
    """
    try:
        gridflip.mutate(job.path, job.rows, job.columns, job.chance)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise  # KeyboardInterrupt, SystemExit: let them end the worker
        return f"PanicException: {error}"
    return None


def mutate_file(job: MutationJob) -> MutationResult:
    """The worker: one gridflip.mutate call on one copy, its failure returned as a value."""
    try:
        before = Path(job.path).read_bytes()
    except OSError as error:
        return MutationResult(job.path, 0, "", f"{type(error).__name__}: {error}")
    error = call_mutate(job)
    if error is not None:
        return MutationResult(job.path, 0, "", error)
    after = Path(job.path).read_bytes()
    changed = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
    digest = hashlib.sha256(repr(changed).encode()).hexdigest()[:12]
    return MutationResult(job.path, len(changed), digest, None)


def make_population(circuit: Path | Sequence[Path], directory: Path, size: int) -> list[Path]:
    """`size` copies in `directory`, named child-000.asc, child-001.asc, ...: of `circuit`, or
    of each circuit of a sequence in turn (the parents of an evolution loop's generation)."""
    parents = [circuit] if isinstance(circuit, (str, os.PathLike)) else list(circuit)
    paths = []
    for index in range(size):
        path = directory / f"child-{index:03d}.asc"
        shutil.copyfile(parents[index % len(parents)], path)
        paths.append(path)
    return paths


def mutate_population(jobs: list[MutationJob], *, workers: int,
                      start_method: str) -> list[MutationResult]:
    """Runs mutate_file over `jobs` in a pool of `workers` processes, in the jobs' order.

    Each worker process draws from a random stream of its own, whichever the start method:
    with "fork", gridflip gives a forked child a fresh key before its first draw.
    """
    with multiprocessing.get_context(start_method).Pool(workers) as pool:
        return pool.map(mutate_file, jobs, chunksize=1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--circuit", type=Path, default=HERE / "blinky_hx1k.asc")
    parser.add_argument("--population", type=int, default=8)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--start-methods", default="fork,spawn",
                        help="comma-separated multiprocessing start methods")
    parser.add_argument("--rows", type=lambda t: parse_positions(t, ROW_LINES),
                        default=list(range(ROW_LINES)))
    parser.add_argument("--columns", type=lambda t: parse_positions(t, COLUMN_COUNT),
                        default=list(range(COLUMN_COUNT)))
    parser.add_argument("--chance", type=float, default=0.01)
    parser.add_argument("--with-broken-copy", action="store_true",
                        help="add a copy with CRLF line ends, which gridflip refuses")
    args = parser.parse_args(argv)

    unexpected = 0
    for method in args.start_methods.split(","):
        with tempfile.TemporaryDirectory(prefix=f"gridflip-{method}-") as scratch:
            paths = make_population(args.circuit, Path(scratch), args.population)
            broken = None
            if args.with_broken_copy:
                broken = Path(scratch) / "broken-crlf.asc"
                broken.write_bytes(args.circuit.read_bytes().replace(b"\n", b"\r\n"))
                paths.append(broken)
            jobs = [MutationJob(str(p), tuple(args.rows), tuple(args.columns), args.chance)
                    for p in paths]
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
            print(f"  {distinct} distinct sets of changed bits among {len(mutated)} mutated copies")
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
