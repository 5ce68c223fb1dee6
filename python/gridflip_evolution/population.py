"""A population of circuit copies mutated in a process pool, one copy per task.

The worker pieces are plain top-level functions of picklable arguments, for a pool of one's own:

    from gridflip_evolution.population import MutationJob, call_mutate, mutate_population
"""

from __future__ import annotations

import hashlib
import multiprocessing
import os
import shutil
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import gridflip

from .icestorm import read_circuit


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


def panic_message(error: BaseException) -> str | None:
    """The message of gridflip's PanicException, or None for any other exception. Its type lives
    in a module that cannot be imported, so it is known by its name."""
    if type(error).__name__ == "PanicException":
        return str(error)
    return None


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
        message = panic_message(error)
        if message is None:
            raise  # KeyboardInterrupt, SystemExit: let them end the worker
        return f"PanicException: {message}"
    return None


def mutate_file(job: MutationJob) -> MutationResult:
    """The worker: one gridflip.mutate call on one copy, its failure returned as a value."""
    try:
        before = read_circuit(job.path)
    except (OSError, ValueError) as error:
        return MutationResult(job.path, 0, "", f"{type(error).__name__}: {error}")
    error = call_mutate(job)
    if error is not None:
        return MutationResult(job.path, 0, "", error)
    after = Path(job.path).read_bytes()
    changed = [i for i, (a, b) in enumerate(zip(before, after)) if a != b]
    digest = hashlib.sha256(repr(changed).encode()).hexdigest()[:12]
    return MutationResult(job.path, len(changed), digest, None)


def make_population(
    circuit: str | os.PathLike | Sequence[str | os.PathLike], directory: Path, size: int
) -> list[Path]:
    """`size` copies in `directory`, named child-000.asc, child-001.asc, ...: of `circuit`, or
    of each circuit of a sequence in turn (the parents of an evolution loop's generation)."""
    parents = [circuit] if isinstance(circuit, (str, os.PathLike)) else list(circuit)
    paths = []
    for index in range(size):
        path = directory / f"child-{index:03d}.asc"
        shutil.copyfile(parents[index % len(parents)], path)
        paths.append(path)
    return paths


def mutate_population(
    jobs: Sequence[MutationJob], *, workers: int, start_method: str
) -> list[MutationResult]:
    """Runs mutate_file over `jobs` in a pool of `workers` processes, in the jobs' order.

    Each worker process draws from a random stream of its own, whichever the start method:
    with "fork", gridflip gives a forked child a fresh key before its first draw. A worker that
    dies (killed, out of memory) raises BrokenProcessPool here; the pool never waits for it.
    """
    context = multiprocessing.get_context(start_method)
    with ProcessPoolExecutor(workers, mp_context=context) as pool:
        return list(pool.map(mutate_file, jobs))
