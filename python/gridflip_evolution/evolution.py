"""The evolution loop around gridflip: islands that copy, mutate, check and score candidates on
the workers, and a main process that keeps the champion and the run's record.

    from gridflip_evolution import evolve
    run = evolve("seed.asc", fitness=score_on_my_board, pack=True, seconds=3600,
                 output="run-1", executor=ThreadPoolExecutor(1))  # one board: one task at a time

Each task is an island (islands.py): from the champion at the moment it starts, it runs
generations of `population` candidates on its own for about `slice_seconds` and returns its best.
The main process takes that best when it is at least as good as the champion (a tie too, so the
run drifts across plateaus), records it, and starts the worker's next island from the champion.
Islands do not run in lockstep: each starts when a worker is free. A run's generation count is
the sum over its islands, and a generation budget is shared out among the islands so that it is
never passed.
"""

from __future__ import annotations

import math
import os
import queue
import tempfile
import threading
import time
import zlib
from collections import Counter
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, ProcessPoolExecutor
from concurrent.futures import wait as wait_futures
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field, replace
from pathlib import Path

from .files import clean_stale_work_folders
from .islands import IslandJob, IslandResult, Mutation, run_island, start_worker
from .record import Progress, RunRecord, score_text, sha256
from .tiles import LOGIC_CELL_COLUMNS, ROW_LINES

# An island's slice grows to 20 round trips (5% of its time), up to 10 seconds.
ROUND_TRIP_SHARE, MAX_SLICE = 20, 10.0


class EvolutionStopped(RuntimeError):
    """A run that stopped before its end: a fitness that raised, a folder that cannot be
    written, workers that kept failing. `evolution` is the run so far, its results written;
    `__cause__` is the original error."""

    def __init__(self, message: str, evolution: Evolution):
        super().__init__(message)
        self.evolution = evolution


@dataclass
class Evolution:
    output: str  # the run's folder: champion.asc, run.json, progress.csv, lineage.jsonl
    score: float
    max_score: float | None
    stopped: str = ""  # "at full marks", "at the time budget", "interrupted", ...
    generations: int = 0
    seconds: float = 0.0
    progress: list[Progress] = field(default_factory=list)  # the seed, then every improvement
    outcomes: Counter = field(default_factory=Counter)  # scored, refused, contested
    reasons: dict[str, str] = field(default_factory=dict)  # a dropped outcome -> its last detail
    workers: Counter = field(default_factory=Counter)  # candidates made by each worker process
    taken: int = 0  # island results the run took as its champion
    accepted: int = 0  # candidates that became a parent on an island
    accepted_routing: int = 0  # of those, the ones that changed routing bits
    samples: list[tuple[float, int]] = field(default_factory=list)  # (seconds, candidates)
    plot: str | None = None

    @property
    def champion(self) -> str:
        return os.path.join(self.output, "champion.asc")

    @property
    def candidates(self) -> int:
        return sum(self.outcomes.values())

    def summary(self) -> str:
        """'S/M' or 'S'."""
        return best_of(self.score, self.max_score)


def best_of(score: float, max_score: float | None) -> str:
    best = score_text(score)
    return f"{best}/{score_text(max_score)}" if max_score is not None else best


class _Engine:
    """Where islands run. `replaceable`: a broken pool can be made anew."""

    replaceable = False

    def slots(self) -> int:
        raise NotImplementedError

    def submit(self, job: IslandJob):
        raise NotImplementedError

    def wait(self, futures, timeout: float):
        done, _ = wait_futures(futures, timeout=timeout, return_when=FIRST_COMPLETED)
        return done

    def outcome(self, future) -> tuple[IslandResult | None, BaseException | None]:
        try:
            return future.result(), None
        except Exception as error:  # a task's failure is reported, not raised
            return None, error

    def stop_islands(self) -> None:
        """Asks running islands to return now, where the engine can."""

    def cancel(self, futures) -> None:
        for future in futures:
            future.cancel()

    def replace(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        pass


class _LocalPool(_Engine):
    """A process pool of our own: the fitness travels once per worker, and a flag stops the
    islands between two candidates."""

    replaceable = True

    def __init__(self, workers: int, fitness, workdir: str | None):
        import multiprocessing

        self.workers, self.fitness, self.workdir = workers, fitness, workdir
        self.context = multiprocessing.get_context()
        self.stop = self.context.Event()
        self.pool = self._start()

    def _start(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(
            self.workers,
            mp_context=self.context,
            initializer=start_worker,
            initargs=(self.fitness, self.stop, self.workdir),
        )

    def slots(self) -> int:
        return self.workers

    def submit(self, job):
        return self.pool.submit(run_island, job)

    def stop_islands(self) -> None:
        self.stop.set()

    def replace(self) -> None:
        self.pool.shutdown(wait=False, cancel_futures=True)
        self.stop.clear()
        self.pool = self._start()

    def close(self) -> None:
        self.stop.set()
        self.pool.shutdown(wait=True, cancel_futures=True)


class _CallersExecutor(_Engine):
    """An executor the caller passed in: every job carries the fitness, and a broken one
    cannot be replaced."""

    def __init__(self, executor: Executor, fitness):
        self.executor, self.fitness = executor, fitness
        self.count = getattr(executor, "_max_workers", None) or os.cpu_count() or 1

    def slots(self) -> int:
        return self.count

    def submit(self, job):
        return self.executor.submit(run_island, replace(job, fitness=self.fitness))


class _Dask(_Engine):
    """A Dask cluster, used as its users use it: the fitness scattered to every worker once, one
    island in flight per worker thread, tasks that are never pure."""

    def __init__(self, client, fitness):
        import distributed

        self.distributed, self.client = distributed, client
        self.fitness = client.scatter(fitness, broadcast=True, hash=False)
        self._threads, self._asked = 1, 0.0

    def slots(self) -> int:
        if time.monotonic() - self._asked > 2:  # workers come and go
            self._threads = max(sum(self.client.nthreads().values()), 1)
            self._asked = time.monotonic()
        return self._threads

    def submit(self, job):
        from .islands import run_island_with

        return self.client.submit(run_island_with, job, self.fitness, pure=False)

    def wait(self, futures, timeout: float):
        try:
            done, _ = self.distributed.wait(
                list(futures), timeout=timeout, return_when="FIRST_COMPLETED"
            )
        except TimeoutError:
            return set()
        return done

    def cancel(self, futures) -> None:
        if futures:  # the scheduler logs every cancel request, even of nothing
            self.client.cancel(list(futures))


def _engine(executor, workers: int | None, fitness, workdir: str | None) -> _Engine:
    if executor is None:
        return _LocalPool(workers or os.cpu_count() or 1, fitness, workdir)
    if hasattr(executor, "scatter") and hasattr(executor, "nthreads"):  # a distributed.Client
        return _Dask(executor, fitness)
    return _CallersExecutor(executor, fitness)


def _json_value(value):
    """`value` as JSON holds it, or None where it cannot."""
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value if not isinstance(value, float) or math.isfinite(value) else None
    if isinstance(value, (list, tuple, range)):
        items = [_json_value(item) for item in value]
        return items if None not in items else None
    return None


class _Writer:
    """One thread that runs the record's writes in the order they were given. The first OSError
    stops it; later writes are dropped, so the files keep their last good state."""

    def __init__(self):
        self.queue: queue.Queue = queue.Queue()
        self.error: OSError | None = None
        self.thread = threading.Thread(target=self._run, name="gridflip-record", daemon=True)
        self.thread.start()

    def put(self, action, *arguments, **keywords) -> None:
        self.queue.put((action, arguments, keywords))

    def _run(self) -> None:
        while True:
            action, arguments, keywords = self.queue.get()
            try:
                if self.error is None:
                    action(*arguments, **keywords)
            except OSError as error:
                self.error = error
            finally:
                self.queue.task_done()

    def drain(self) -> None:
        """Waits until every write given so far is done (or dropped)."""
        self.queue.join()


class _Run:
    """One evolution from its first island to its record's last line."""

    def __init__(
        self,
        record: RunRecord,
        result: Evolution,
        engine: _Engine,
        job: IslandJob,
        champion: bytes,
        *,
        generations: int | None,
        seconds: float | None,
        replacements: int,
        slice_seconds: float,
        offset: float,
        report: Callable[[str], object],
    ):
        self.record, self.result, self.engine, self.job = record, result, engine, job
        self.champion, self.champion_sha = champion, sha256(champion)
        self.budget_generations, self.budget_seconds = generations, seconds
        self.replacements, self.slice, self.offset = replacements, slice_seconds, offset
        self.report = report
        self.started = time.perf_counter()
        self.in_flight: dict = {}  # future -> generations allotted to it
        self.broken_in_row = 0
        self.failure: BaseException | None = None
        self.failure_text = ""
        self.submitted: dict = {}  # future -> when it was submitted
        self.round_trip = 0.0  # seconds an island waits around its work, a running average
        self.packed = ("", b"")  # the champion's SHA-256 and its compressed bytes, made once
        self.first_candidates = result.candidates  # those of a resumed run's earlier part
        # The record is written beside the loop, so that workers never wait for a disk.
        self.writer = _Writer()

    def elapsed(self) -> float:
        return self.offset + time.perf_counter() - self.started

    def at_full_marks(self) -> bool:
        return self.result.max_score is not None and self.result.score >= self.result.max_score

    def submit(self, score_first: bool = False) -> bool | None:
        """Starts one island: True; False where the pool broke; None with no generations left
        to give it."""
        allotted = None
        if self.budget_generations is not None:
            free = (
                self.budget_generations
                - self.result.generations
                - sum(a for a in self.in_flight.values() if a)
            )
            idle = max(self.engine.slots() - len(self.in_flight), 1)
            allotted = 0 if score_first else max(-(-free // idle), 0)
            if allotted == 0 and not score_first:
                return None
        # Each island long enough that the round trip around it stays a small share of its
        # time: on a cluster of several machines it takes tens of milliseconds.
        seconds = min(max(self.slice, ROUND_TRIP_SHARE * self.round_trip), MAX_SLICE)
        if self.budget_seconds is not None:
            seconds = min(seconds, max(self.budget_seconds - self.elapsed(), 0.0))
        if self.packed[0] != self.champion_sha:
            self.packed = (self.champion_sha, zlib.compress(self.champion, 1))
        job = replace(
            self.job,
            parent=self.packed[1],
            parent_sha256=self.champion_sha,
            parent_score=None if score_first else self.result.score,
            seconds=seconds,
            generations=0 if score_first else allotted,
        )
        try:
            future = self.engine.submit(job)
        except BrokenProcessPool as error:  # it broke before this island could start
            self.worker_failed(error)
            return False
        self.in_flight[future] = allotted
        self.submitted[future] = time.perf_counter()
        return True

    def may_start_islands(self) -> bool:
        if self.failure is not None or self.at_full_marks() or self.result.score == -math.inf:
            return False
        if self.budget_seconds is not None and self.elapsed() >= self.budget_seconds:
            return False
        return self.budget_generations is None or self.result.generations < self.budget_generations

    def absorb(self, future) -> None:
        """One island's outcome: its counts, its best if the run takes it, its failure."""
        submitted = self.submitted.pop(future, None)
        if self.in_flight.pop(future, False) is False:
            return  # an island of a pool that broke and was replaced
        island, error = self.engine.outcome(future)
        if island is None:
            self.worker_failed(error)
            return
        self.broken_in_row = 0
        if submitted is not None:
            gap = max(time.perf_counter() - submitted - island.busy, 0.0)
            self.round_trip += (gap - self.round_trip) / 4
        result = self.result
        result.generations += island.generations
        result.accepted += island.steps
        result.accepted_routing += island.routing_steps
        result.outcomes.update(island.outcomes)
        result.reasons.update(island.reasons)
        result.workers[island.worker] += sum(island.outcomes.values())
        now = self.elapsed()
        if not result.samples or now - result.samples[-1][0] >= 0.5:
            result.samples.append((now, result.candidates))
        if island.failure is not None and self.failure is None:
            self.failure = island.failure
            self.failure_text = f"{type(island.failure).__name__}: {island.failure}"
        if result.score == -math.inf:
            self.first_score(island)
        elif island.best is not None and island.score is not None and island.score >= result.score:
            self.take(island, now)

    def first_score(self, island: IslandResult) -> None:
        """The seed's score, or a resumed champion's, scored where every candidate is."""
        result = self.result
        if island.score is None:
            if self.failure is None:
                self.failure_text = f"the circuit cannot be scored: {island.refusal}"
                self.failure = ValueError(self.failure_text)
            return
        result.score = island.score
        if not result.progress or result.progress[-1].score < island.score:
            # A new run, or a champion whose progress row a kill -9 cut off.
            progress = Progress(result.generations, self.elapsed(), result.candidates, island.score)
            self.writer.put(self.record.improve_seed_row, progress)
            result.progress.append(progress)
        if self.offset:
            self.report(
                f"resumed at generation {result.generations}, {self.offset:.2f} s: "
                f"{result.summary()}"
            )
        else:
            self.report(f"generation 0 (the circuit): {result.summary()}")
        self.save(force=True)

    def take(self, island: IslandResult, now: float) -> None:
        """The island's best becomes the champion at once; the writer records it in order:
        lineage, champion, progress."""
        result = self.result
        improved = island.score > result.score
        progress = Progress(result.generations, now, result.candidates, island.score)
        self.champion, self.champion_sha = zlib.decompress(island.best), island.sha256
        result.score, result.taken = island.score, result.taken + 1
        self.writer.put(
            self.record.take,
            self.champion,
            island.sha256,
            island.parent_sha256,
            island.flips,
            progress,
            island.steps,
            improved,
        )
        if improved:
            result.progress.append(progress)
            made = progress.candidates - self.first_candidates
            self.report(
                f"generation {progress.generation}, {now:.2f} s: {result.summary()} "
                f"({made / max(now - self.offset, 1e-9):.0f} candidates/s)"
            )
        self.save(force=improved)

    def check_writer(self) -> None:
        """A record that could not be written stops the run; the last good files stay."""
        error = self.writer.error
        if error is not None and self.failure is None:
            self.failure, self.failure_text = error, f"cannot write the results: {error}"

    def worker_failed(self, error: BaseException | None) -> None:
        self.broken_in_row += 1
        if isinstance(error, BrokenProcessPool):
            what = "a worker process ended abruptly"
        else:
            what = f"{type(error).__name__}: {error}" if error is not None else "a worker failed"
        if not self.engine.replaceable:
            if self.broken_in_row > self.replacements and self.failure is None:
                self.failure, self.failure_text = error, f"the executor failed: {what}"
            return
        if isinstance(error, BrokenProcessPool) or error is None:
            if self.broken_in_row > self.replacements:
                if self.failure is None:
                    self.failure = error
                    self.failure_text = (
                        f"the workers failed {self.broken_in_row} times in a "
                        f"row, the last time: {what}"
                    )
                return
            # Every island of the broken pool fails with it: replace it once.
            self.in_flight.clear()
            self.submitted.clear()
            self.report(
                f"{what}; starting a new pool ({self.broken_in_row} of {self.replacements})"
            )
            self.engine.replace()
        elif self.failure is None:
            self.failure, self.failure_text = error, f"an island failed: {what}"

    def save(self, force: bool = False) -> None:
        result = self.result
        fields = {
            "score": result.score,
            "max_score": _json_value(result.max_score),
            "generations": result.generations,
            "candidates": result.candidates,
            "seconds": round(self.elapsed(), 3),
            "stopped": result.stopped or None,
            "outcomes": dict(result.outcomes),
            "accepted": result.accepted,
            "accepted_changing_routing": result.accepted_routing,
            "island_round_trip": round(self.round_trip, 4),
        }
        self.writer.put(self.record.save, fields, force=force)

    def fill(self) -> None:
        """Starts islands on the free workers; the first scores the circuit alone."""
        for _ in range(self.engine.slots() + self.replacements + 1):
            if len(self.in_flight) >= self.engine.slots() or self.failure is not None:
                return
            if self.result.score == -math.inf:
                if self.in_flight:
                    return
                self.submit(score_first=True)
            elif self.may_start_islands():
                if self.submit() is None:
                    return
            else:
                return

    def loop(self) -> None:
        while True:
            self.fill()
            if not self.in_flight:
                break
            for future in self.engine.wait(list(self.in_flight), timeout=0.5):
                self.absorb(future)
            self.check_writer()
            if self.failure is not None or self.at_full_marks():
                break
        self.result.seconds = self.elapsed()
        if self.failure is not None:
            self.result.stopped = "by a failure"
        elif self.at_full_marks():
            self.result.stopped = "at full marks"
        elif (
            self.budget_generations is not None
            and self.result.generations >= self.budget_generations
        ):
            self.result.stopped = "at the generation budget"
        else:
            self.result.stopped = "at the time budget"

    def wind_down(self, patience: float) -> None:
        """Stops the islands still running and takes what they return within `patience`."""
        self.engine.stop_islands()
        deadline = time.monotonic() + patience
        while self.in_flight and time.monotonic() < deadline:
            for future in self.engine.wait(list(self.in_flight), timeout=0.2):
                self.absorb(future)
        self.engine.cancel(list(self.in_flight))
        self.in_flight.clear()
        self.submitted.clear()
        self.writer.drain()
        self.check_writer()


def evolve(
    circuit: str | os.PathLike,
    workdir: str | os.PathLike | None = None,
    *,
    fitness: Callable[[str], float],
    output: str | os.PathLike | None = None,
    resume: bool = False,
    population: int = 4,
    keep: int = 1,
    chance: float = 0.005,
    columns: Sequence[int] = LOGIC_CELL_COLUMNS,
    routing_chance: float | None = None,
    tiles: Sequence[Sequence[int]] | None = None,
    generations: int | None = None,
    seconds: float | None = None,
    max_score: float | None = None,
    check_drivers: bool | None = None,
    pack: bool = False,
    executor: Executor | None = None,
    workers: int | None = None,
    slice_seconds: float = 1.0,
    replacements: int = 3,
    icebox_dir: str | None = None,
    record: dict | None = None,
    report: Callable[[str], object] = print,
) -> Evolution:
    """Evolves `circuit` until full marks, `generations` generations or `seconds` seconds.

    Results go to `output` (a new temporary folder by default), kept up to date as the run goes:
    champion.asc, progress.csv, lineage.jsonl, run.json, and progress.png with matplotlib. With
    resume=True, `output` holds a stopped run, which goes on from its champion; `generations` and
    `seconds` are totals for the whole run.

    max_score defaults to the fitness's max_score attribute, where it has one. The fitness gets a
    candidate's path and returns a number; ValueError, or a number that is not finite, refuses
    the candidate; any other exception stops the run with EvolutionStopped.

    `chance` is for the logic-cell columns (36-45) among `columns`, `routing_chance` (default:
    `chance`) for the others, which change the routing. With `tiles`, (x, y) logic tiles, only
    those are mutated (mutate_region). The two-driver check runs when `columns` reach beyond the
    logic cells, unless check_drivers says otherwise or the fitness finds contested wires itself
    (a `checks_drivers` attribute that is true, as NetlistFitness has).

    With no `executor`, a process pool of `workers` processes runs the islands and is shut down
    at the end; a worker that dies is replaced, `replacements` times in a row at most. An executor
    passed in (a concurrent.futures one, or a distributed.Client) is left running; the package
    must be installed on its workers. Workers keep their files in `workdir` (in memory by
    default). `record` adds JSON fields to run.json (the command line's target and options).

    KeyboardInterrupt and SystemExit stop the run in order: its results are written, then they
    are raised again.
    """
    if keep < 1 or population < 1 or replacements < 0 or not slice_seconds > 0:
        raise ValueError(
            "population and keep must be at least 1, replacements at least 0, and "
            "slice_seconds above 0"
        )
    if generations is None and seconds is None:
        raise ValueError("give a budget: generations or seconds")
    if max_score is None:
        max_score = getattr(fitness, "max_score", None)
    columns = tuple(columns)
    if check_drivers is None:
        check_drivers = not set(columns) <= set(LOGIC_CELL_COLUMNS) and not getattr(
            fitness, "checks_drivers", False
        )
    if routing_chance is None:
        routing_chance = chance
    region = None if tiles is None else tuple((int(x), int(y)) for x, y in tiles)
    options = {
        "population": population,
        "keep": keep,
        "chance": chance,
        "columns": list(columns),
        "routing_chance": routing_chance,
        "tiles": None if region is None else [list(tile) for tile in region],
        "generations": generations,
        "seconds": seconds,
        "max_score": max_score,
        "check_drivers": check_drivers,
        "pack": pack,
        "workers": workers,
        "slice_seconds": slice_seconds,
        "replacements": replacements,
        "icebox_dir": icebox_dir,
    }
    options = {key: _json_value(value) for key, value in options.items()}
    workdir = os.fspath(workdir) if workdir is not None else None

    if resume:
        if output is None:
            raise ValueError("resume=True needs the output folder of the run to resume")
        run_record, resumed = RunRecord.resume(output)
        start, offset = resumed.champion, resumed.seconds
        result = Evolution(
            os.fspath(output),
            -math.inf,
            max_score,
            generations=resumed.generations,
            progress=resumed.progress,
        )
        result.outcomes.update(
            {k: v for k, v in resumed.run.get("outcomes", {}).items() if isinstance(v, int)}
        )
        run_record.save({"options": options, **(record or {})}, force=True)
    else:
        if output is None:
            output = tempfile.mkdtemp(prefix="gridflip-evolve-")
        run_record = RunRecord.create(
            output,
            circuit,
            getattr(fitness, "pcf", None),
            {"fitness": type(fitness).__name__, "options": options, **(record or {})},
        )
        start, offset = run_record.seed_path.read_bytes(), 0.0
        result = Evolution(os.fspath(output), -math.inf, max_score)

    removed, kept = clean_stale_work_folders(workdir)
    if removed:
        report(f"removed {removed} work folders that killed runs left behind")
    if kept:
        report(f"could not remove work folders that killed runs left: {', '.join(kept)}")

    cells = tuple(c for c in columns if c in LOGIC_CELL_COLUMNS)
    routing = tuple(c for c in columns if c not in LOGIC_CELL_COLUMNS)
    mutation = Mutation(
        ((cells, chance), (routing, routing_chance)),
        tuple(range(ROW_LINES)),
        check_drivers,
        pack,
        icebox_dir,
        tiles=region,
    )
    job = IslandJob(
        b"", "", None, mutation, population, keep, slice_seconds, None, max_score, None, workdir
    )
    engine = _engine(executor, workers, fitness, workdir)
    run = _Run(
        run_record,
        result,
        engine,
        job,
        start,
        generations=generations,
        seconds=seconds,
        replacements=replacements,
        slice_seconds=slice_seconds,
        offset=offset,
        report=report,
    )
    try:
        run.loop()
    except BaseException as error:
        # Ctrl-C, SIGTERM, a failure of our own: keep what the islands made, then raise it again.
        interrupted = not isinstance(error, Exception)
        result.seconds, result.stopped = run.elapsed(), "interrupted" if interrupted else "failed"
        try:
            run.wind_down(patience=1.5)
        except BaseException:
            pass
        finally:
            _finish(run, engine)
        if interrupted and result.score > -math.inf:
            report(f"interrupted after {result.generations} generations: best {result.summary()}")
        raise
    if result.score == -math.inf:
        engine.close()
        if isinstance(run.failure, ValueError):
            raise ValueError(run.failure_text)
        raise EvolutionStopped(
            f"the circuit cannot be scored: {run.failure_text}", result
        ) from run.failure
    run.wind_down(patience=2.0 if run.failure is None else 1.0)
    _finish(run, engine)
    if run.failure is not None:
        raise EvolutionStopped(
            f"the run stopped after {result.generations} generations, best {result.summary()}, "
            f"results in {result.output}: {run.failure_text}",
            result,
        ) from run.failure
    return result


def _finish(run: _Run, engine: _Engine) -> None:
    """The record's last state and the plot; the engine closed. A folder that cannot be written
    now keeps its last good files."""
    try:
        engine.close()
    finally:
        try:
            run.save(force=True)
            run.writer.drain()
            run.check_writer()
            from .plot import plot_progress

            path = Path(run.result.output) / "progress.png"
            if plot_progress(run.result, path, run.record.run):
                run.result.plot = str(path)
        except OSError:
            pass
