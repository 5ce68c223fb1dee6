"""The worker side of the evolution: an island runs the loop on its own, from the champion it was
given, for a slice of time, and returns its best with the positions where that differs from the
champion. One island is one task of any executor (a local process pool, Dask, a caller's own).

Within an island, a generation is `population` candidates, each a copy of one of the `keep`
parents, mutated by gridflip, checked and scored; the best `keep` of parents and candidates are
the next parents, and a candidate wins a tie, so the population drifts across plateaus.
"""

from __future__ import annotations

import atexit
import bisect
import hashlib
import math
import os
import pickle
import re
import signal
import socket
import threading
import time
import zlib
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from multiprocessing import util
from pathlib import Path

import gridflip

from . import _platform
from .drivers import find_contested_wires
from .files import make_work_folder, overwrite, remove_tree, write_atomically
from .icestorm import (
    CircuitBuffer,
    IceboxNotFound,
    UnreadableCircuit,
    load_icebox,
    run_icepack,
)
from .population import panic_message
from .region import mutate_region_passes
from .tiles import LOGIC_CELL_COLUMNS, ROW_LINES, ROW_STRIDE


@dataclass(frozen=True)
class Mutation:
    """How a candidate is made from its parent: gridflip.mutate over every logic tile, or over
    the `tiles` of a region only (mutate_region), one call for each (columns, chance) pass; then
    the two-driver check where routing bits may change and the fitness does not find contested
    wires itself, and icepack where the fitness needs the bitstream."""

    passes: tuple[tuple[tuple[int, ...], float], ...]  # (columns, chance)
    rows: tuple[int, ...] = tuple(range(ROW_LINES))
    check_drivers: bool = False
    pack: bool = False
    icebox_dir: str | None = None
    icepack: str = "icepack"
    tiles: tuple[tuple[int, int], ...] | None = None

    def apply(self, path: str) -> None:
        passes = [(columns, chance) for columns, chance in self.passes if columns]
        if self.tiles is not None:
            mutate_region_passes(path, self.tiles, self.rows, passes)
            return
        for columns, chance in passes:
            gridflip.mutate(path, self.rows, columns, chance)

    @property
    def changes_routing(self) -> bool:
        return any(set(columns) - set(LOGIC_CELL_COLUMNS) for columns, _ in self.passes)


@dataclass(frozen=True)
class IslandJob:
    parent: bytes  # the champion, zlib-compressed
    parent_sha256: str
    parent_score: float | None  # None: score the parent first (the seed, or a resumed champion)
    mutation: Mutation
    population: int
    keep: int
    seconds: float  # the slice; at least one generation runs
    generations: int | None  # at most this many
    max_score: float | None
    fitness: Callable[[str], float] | None = None  # None: the one this worker was started with
    workdir: str | None = None  # where this worker keeps its files; None: in memory


@dataclass
class IslandResult:
    score: float | None  # of the best; None when the parent could not be scored
    sha256: str  # of the best
    parent_sha256: str
    best: bytes | None  # the best, compressed; None when it is the parent
    flips: list[tuple[int, int, int, int]]  # (tile x, tile y, row, column) where best differs
    generations: int = 0
    steps: int = 0  # candidates that became a parent on this island
    routing_steps: int = 0  # of those, the ones that changed routing bits (outside 36-45)
    outcomes: Counter = field(default_factory=Counter)
    reasons: dict[str, str] = field(default_factory=dict)  # outcome -> its latest detail
    worker: str = ""
    busy: float = 0.0
    failure: BaseException | None = None  # what stopped the island, if anything did
    refusal: str | None = None  # why the parent could not be scored


class _Worker:
    """What a worker process is started with: the fitness, the flag that stops islands at once,
    and its work folders."""

    fitness: Callable[[str], float] | None = None
    stop = None  # a multiprocessing.Event in a local pool
    # by process and thread: a caller's thread pool runs islands side by side
    folders: dict[tuple[int, int], Path] = {}


def start_worker(fitness: Callable[[str], float] | None, stop, workdir: str | None) -> None:
    """A pool worker's initializer: SIGINT is the main process's to handle (it stops the workers
    itself), and the worker ends with the main process."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A forked worker inherits the main process's handlers; its pool ends it with SIGTERM.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _platform.end_with_parent()
    _Worker.fitness, _Worker.stop = fitness, stop
    _work_folder(workdir)


def _work_folder(workdir: str | None) -> Path:
    # By process too: a forked worker inherits its parent's table, and its thread's identity.
    owner = (os.getpid(), threading.get_ident())
    folder = _Worker.folders.get(owner)
    if folder is None or not folder.is_dir():
        folder = _Worker.folders[owner] = make_work_folder(workdir, "island")
        # Pool workers end through os._exit, which skips atexit; Finalize runs there.
        util.Finalize(None, _remove_own, args=(folder, os.getpid()), exitpriority=10)
        atexit.register(_remove_own, folder, os.getpid())
    return folder


def _remove_own(folder: Path, creator: int) -> None:
    """A forked child runs its parent's exit handlers too: only the creator removes."""
    if os.getpid() == creator:
        remove_tree(folder)


_TILE_HEADER = re.compile(rb"^\.logic_tile (\d+) (\d+)[^\n]*\n", re.MULTILINE)


def _layout(data: bytes) -> tuple[list[int], list[tuple[int, int]]]:
    """Logic-tile bodies in file order and their (x, y), for naming a changed byte: a search for
    the header lines, which is cheap enough to do for every island."""
    bodies, places = [], []
    for header in _TILE_HEADER.finditer(data):
        bodies.append(header.end())
        places.append((int(header[1]), int(header[2])))
    return bodies, places


def _changes_routing(parent: bytes, child: bytes) -> bool:
    """Whether an accepted candidate changed bits outside the logic cells: only accepted ones
    are compared, so a run pays nothing for it per candidate."""
    flips = flip_positions(parent, child)
    return any(column not in LOGIC_CELL_COLUMNS for _, _, _, column in flips)


_NONZERO = re.compile(rb"[^\x00]")


def differing_offsets(a: bytes, b: bytes) -> list[int]:
    """Offsets where two files of one length differ. One XOR of the whole files and a scan for
    the bytes it leaves set: an island's best differs from its start in thousands of places."""
    difference = int.from_bytes(a, "little") ^ int.from_bytes(b, "little")
    return [match.start() for match in _NONZERO.finditer(difference.to_bytes(len(a), "little"))]


def flip_positions(parent: bytes, child: bytes) -> list[tuple[int, int, int, int]]:
    """(tile x, tile y, row, column) of every byte where `child` differs from `parent`.
    ValueError for a change outside the rows of the logic tiles: no mutation makes one."""
    if len(parent) != len(child):
        raise ValueError(f"a candidate is {len(child)} bytes long, its parent {len(parent)}")
    bodies, places = _layout(parent)
    positions = []
    index, start, end = -1, -1, bodies[0] if bodies else math.inf
    for offset in differing_offsets(parent, child):
        if offset >= end:  # the offsets ascend: look the tile up only when it changes
            index = bisect.bisect_right(bodies, offset) - 1
            start, end = bodies[index], bodies[index + 1] if index + 1 < len(bodies) else math.inf
        row, column = divmod(offset - start, ROW_STRIDE) if index >= 0 else (-1, -1)
        if not (0 <= row < ROW_LINES and 0 <= column < ROW_STRIDE - 1):
            raise ValueError(
                f"a candidate differs from its parent at byte {offset}, outside "
                "the logic tiles' bits: no mutation changes that byte"
            )
        positions.append((*places[index], row, column))
    return positions


def picklable(error: BaseException) -> BaseException:
    """The error itself where it survives the trip back to the main process, else its text."""
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")
    return error


class _Stop(Exception):
    """What ends an island early, carrying the cause."""

    def __init__(self, cause: BaseException):
        super().__init__(str(cause))
        self.cause = cause


def make_candidate(
    parent: bytes, path: str, mutation: Mutation, fitness: Callable[[str], float]
) -> tuple[str, float | None, str]:
    """(outcome, score, detail) of one candidate: "scored", or dropped as "contested" (a wire with
    two drivers) or "refused" (the fitness refused it: ValueError, or a score that is not a
    finite number). Raises _Stop for what ends the run: a work folder that cannot be written,
    a mutation that fails, a check or fitness that cannot run. `parent` is the parent's
    contents; `path` is written over in place."""
    try:
        overwrite(path, parent)
    except OSError as error:
        raise _Stop(error) from error
    try:
        mutation.apply(path)
    except Exception as error:
        raise _Stop(error) from error
    except BaseException as error:
        message = panic_message(error)
        if message is None:
            raise
        raise _Stop(RuntimeError(f"gridflip.mutate failed on {path}: {message}")) from None
    if mutation.check_drivers:
        try:
            report = find_contested_wires(path, load_icebox(mutation.icebox_dir))
        except (OSError, IceboxNotFound, UnreadableCircuit) as error:
            raise _Stop(error) from error
        if not report.clean:
            first = f", first: {report.contested[0].describe()}" if report.contested else ""
            return "contested", None, report.findings + first
    return score_circuit(path, mutation, fitness)


def score_circuit(
    path: str, mutation: Mutation, fitness: Callable[[str], float]
) -> tuple[str, float | None, str]:
    """make_candidate's last steps: icepack where asked, then the fitness."""
    if mutation.pack:
        failure = run_icepack(path, Path(path).with_suffix(".bin"), mutation.icepack)
        if failure:
            raise _Stop(RuntimeError(failure))
    try:
        score = fitness(path)
    except ValueError as error:
        # A fitness that finds contested wires itself says so (NetlistFitness's ContestedWires).
        outcome = "contested" if getattr(error, "reason", None) == "contested" else "refused"
        return outcome, None, str(error) or type(error).__name__
    except Exception as error:
        raise _Stop(error) from error
    try:
        value = float(score)
    except (TypeError, ValueError):
        value = math.nan
    if not math.isfinite(value):
        return "refused", None, f"the fitness gave {score!r}, not a finite number"
    return "scored", value, ""


def run_island(job: IslandJob) -> IslandResult:
    """Runs the loop from the job's parent until its slice, its generations or full marks; never
    raises for a candidate: what stops it comes back in the result's failure, with the best so
    far."""
    started = time.perf_counter()
    fitness = job.fitness or _Worker.fitness
    if fitness is None:
        raise RuntimeError("no fitness: the worker was started without one and the job has none")
    folder = _work_folder(job.workdir)
    worker = f"{socket.gethostname()}:{os.getpid()}"
    parent_bytes = zlib.decompress(job.parent)
    result = IslandResult(
        job.parent_score, job.parent_sha256, job.parent_sha256, None, [], worker=worker
    )
    stop = _Worker.stop if job.fitness is None else None

    def stopped() -> bool:
        return stop is not None and stop.is_set()

    serial = 0
    made_from: dict[str, str] = {}  # candidate -> its parent, in this generation
    parents: list[tuple[str, float]] = []
    contents: dict[str, bytes | memoryview] = {}  # parent -> its bytes: candidates start there
    buffers: dict[str, CircuitBuffer] = {}  # parent -> the buffer its bytes are in
    spare: list[CircuitBuffer] = []  # dropped parents' buffers, for the next accepted candidate
    try:
        first = str(folder / "parent-0.asc")
        try:
            write_atomically(first, parent_bytes)
        except OSError as error:
            raise _Stop(error) from error
        if job.parent_score is None:
            outcome, score, detail = score_circuit(first, job.mutation, fitness)
            if score is None:
                result.refusal = detail
                return result
            result.score = score
        parents = [(first, result.score)]
        contents[first] = parent_bytes
        deadline = started + job.seconds

        def done() -> bool:
            return job.max_score is not None and parents[0][1] >= job.max_score

        while (
            not done()
            and not stopped()
            and (job.generations is None or result.generations < job.generations)
        ):
            if result.generations and time.perf_counter() >= deadline:
                break
            result.generations += 1
            made = []
            for index in range(job.population):
                if stopped():
                    break
                path = str(folder / f"candidate-{index}.asc")
                parent = parents[index % len(parents)][0]
                made_from[path] = parent
                outcome, score, detail = make_candidate(
                    contents[parent], path, job.mutation, fitness
                )
                result.outcomes[outcome] += 1
                if outcome == "scored":
                    made.append((path, score))
                else:
                    result.reasons[outcome] = detail
            # Candidates first: on a tie, a candidate replaces its parent.
            ranked = sorted(made + parents, key=lambda entry: entry[1], reverse=True)[: job.keep]
            if ranked == parents:
                continue
            kept, freed = [], []
            for path, score in ranked:
                if path.startswith(str(folder / "candidate-")):
                    serial += 1
                    result.steps += 1
                    buffer = spare.pop() if spare else CircuitBuffer()
                    data = buffer.read(path)
                    if job.mutation.changes_routing:
                        result.routing_steps += _changes_routing(contents[made_from[path]], data)
                    # A rename: the parent on disk is always whole.
                    moved = str(folder / f"parent-{serial}.asc")
                    os.replace(path, moved)
                    freed.append(path)
                    contents[moved], buffers[moved] = data, buffer
                    path = moved
                kept.append((path, score))
            keeping = {path for path, _ in kept}
            for path, _ in parents:
                if path not in keeping:
                    if freed:  # a candidate's file again, its pages reused
                        os.replace(path, freed.pop())
                    else:
                        os.unlink(path)
            parents = kept
            for path in contents.keys() - keeping:
                del contents[path]
                if path in buffers:
                    spare.append(buffers.pop(path))
    except _Stop as stop_error:
        result.failure = picklable(stop_error.cause)
    except OSError as error:  # a rename or unlink in the work folder
        result.failure = picklable(error)

    if parents and result.score is not None:
        best_path, best_score = parents[0]
        if best_path != first:
            best = contents[best_path]
            try:
                result.flips = flip_positions(parent_bytes, best)
            except ValueError as error:
                result.failure = result.failure or error
            else:
                result.best, result.score = zlib.compress(best, 1), best_score
                result.sha256 = hashlib.sha256(best).hexdigest()
        for path, _ in parents:
            try:
                os.unlink(path)
            except OSError:
                pass
    result.busy = time.perf_counter() - started
    return result


def run_island_with(job: IslandJob, fitness: Callable[[str], float]) -> IslandResult:
    """run_island with a fitness that the executor delivers apart from the job (Dask's scattered
    data), so that it travels once per worker."""
    return run_island(replace(job, fitness=fitness))
