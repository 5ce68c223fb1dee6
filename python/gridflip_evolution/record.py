"""A run's output folder, which is always a valid checkpoint:

- run.json: the seed's SHA-256, the target, the options, the counts so far and why the run
  stopped; rewritten atomically.
- seed.asc (and seed.pcf): the seed, copied, so that a resume or a replay never depends on a
  path that moves.
- champion.asc: the best circuit so far, replaced atomically each time the run takes a parent.
- progress.csv: one row per improvement, appended and flushed.
- lineage.jsonl: one line per parent the run took (on a tie too): the positions where it differs
  from its parent, and the SHA-256 of both, so that the champion can be rebuilt from the seed.

They change one after the other, lineage first, then the champion, the progress and run.json: a
kill -9 between two leaves a champion that the lineage already names, and resume reconciles the
counts.
"""

from __future__ import annotations

import csv
import hashlib
import io
import json
import os
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from .files import append_durably, drop_torn_line, write_atomically
from .icestorm import read_circuit
from .tiles import ROW_STRIDE, find_tiles

RUN_FORMAT = 1
PROGRESS_HEADER = "generation,seconds,candidates,score\n"


class RunFolderError(ValueError):
    """A folder that cannot hold this run, or a run that cannot go on or be replayed."""


@dataclass(frozen=True)
class Progress:
    generation: int
    seconds: float
    candidates: int
    score: float


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def score_text(score: float) -> str:
    return f"{score:g}"


def _now() -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S%z")


@dataclass
class Resumed:
    """Where a stopped run goes on from, reconciled from its files."""

    run: dict
    seed: bytes
    champion: bytes
    generations: int
    candidates: int
    seconds: float
    progress: list[Progress]


class RunRecord:
    def __init__(self, directory: str | os.PathLike, run: dict):
        self.directory = Path(directory)
        self.run = run
        self._saved = 0.0

    @property
    def champion_path(self) -> Path:
        return self.directory / "champion.asc"

    @property
    def seed_path(self) -> Path:
        return self.directory / "seed.asc"

    @property
    def pcf_path(self) -> Path | None:
        return self.directory / "seed.pcf" if self.run["seed"].get("pcf") else None

    @classmethod
    def create(
        cls,
        directory: str | os.PathLike,
        seed: str | os.PathLike,
        pcf: str | os.PathLike | None,
        run: dict,
    ) -> RunRecord:
        """A new run in `directory`, which must not hold one already."""
        directory = Path(directory)
        if (directory / "run.json").exists():
            raise RunFolderError(
                f"{directory} holds a run already (run.json): give --resume to "
                "go on with it, or another output folder"
            )
        directory.mkdir(parents=True, exist_ok=True)
        data = read_circuit(seed)
        run = {
            "format": RUN_FORMAT,
            "seed": {
                "file": "seed.asc",
                "sha256": sha256(data),
                "source": os.path.abspath(seed),
                "pcf": "seed.pcf" if pcf else None,
            },
            "champion": {"file": "champion.asc", "sha256": sha256(data)},
            "started": _now(),
            **run,
        }
        record = cls(directory, run)
        write_atomically(record.seed_path, data)
        if pcf:
            write_atomically(directory / "seed.pcf", read_circuit(pcf))
        write_atomically(record.champion_path, data)
        write_atomically(directory / "progress.csv", PROGRESS_HEADER)
        write_atomically(directory / "lineage.jsonl", "")
        record.save(force=True)
        return record

    @classmethod
    def resume(cls, directory: str | os.PathLike) -> tuple[RunRecord, Resumed]:
        """The run in `directory`, reconciled after any stop, kill -9 included."""
        directory = Path(directory)
        try:
            run = json.loads((directory / "run.json").read_text())
        except FileNotFoundError:
            raise RunFolderError(f"{directory} holds no run to resume (no run.json)") from None
        except (OSError, ValueError) as error:
            raise RunFolderError(f"cannot read {directory / 'run.json'}: {error}") from None
        if not isinstance(run, dict) or run.get("format") != RUN_FORMAT:
            raise RunFolderError(f"{directory / 'run.json'} is not a run record of this version")
        record = cls(directory, run)
        seed = record.read_seed()
        for name in ("lineage.jsonl", "progress.csv"):
            path = directory / name
            if not path.exists():
                raise RunFolderError(f"{path} is missing")
            drop_torn_line(path)
        lineage = read_lineage(directory / "lineage.jsonl")
        try:
            champion = read_circuit(record.champion_path)
        except (OSError, ValueError) as error:
            raise RunFolderError(f"cannot read the champion: {error}") from None
        known = {sha256(seed)} | {line["sha256"] for line in lineage}
        if sha256(champion) not in known:
            raise RunFolderError(
                f"{record.champion_path} is neither the seed nor a circuit that "
                "the lineage records: it was changed by hand?"
            )
        progress = read_progress(directory / "progress.csv")
        # run.json is written last: counts in the lineage and the progress may be newer.
        latest = [run, *lineage[-1:], *(p.__dict__ for p in progress[-1:])]
        counts = {
            key: max(float(entry.get(key) or 0) for entry in latest)
            for key in ("generations", "generation", "candidates", "seconds")
        }
        generations = int(max(counts["generations"], counts["generation"]))
        return record, Resumed(
            run, seed, champion, generations, int(counts["candidates"]), counts["seconds"], progress
        )

    def read_seed(self) -> bytes:
        try:
            seed = read_circuit(self.seed_path)
        except (OSError, ValueError) as error:
            raise RunFolderError(f"cannot read the run's seed: {error}") from None
        if sha256(seed) != self.run["seed"]["sha256"]:
            raise RunFolderError(
                f"{self.seed_path} is not the run's seed: its SHA-256 is "
                f"{sha256(seed)}, run.json records {self.run['seed']['sha256']}"
            )
        return seed

    def take(
        self,
        champion: bytes,
        digest: str,
        parent: str,
        flips: Sequence[Sequence[int]],
        progress: Progress,
        steps: int,
        improved: bool,
    ) -> None:
        """A parent the run takes: its lineage line, then the champion, then the progress row."""
        line = {
            "sha256": digest,
            "parent": parent,
            "score": progress.score,
            "generation": progress.generation,
            "candidates": progress.candidates,
            "seconds": round(progress.seconds, 3),
            "steps": steps,
            "flips": [list(flip) for flip in flips],
        }
        append_durably(self.directory / "lineage.jsonl", json.dumps(line, separators=(",", ":")))
        write_atomically(self.champion_path, champion)
        self.run["champion"]["sha256"] = digest
        if improved:
            append_durably(self.directory / "progress.csv", progress_row(progress))

    def improve_seed_row(self, progress: Progress) -> None:
        """The first row: the seed's (or a resumed champion's) own score."""
        append_durably(self.directory / "progress.csv", progress_row(progress))

    def save(self, fields: dict | None = None, *, force: bool = False) -> None:
        """run.json with `fields` updated; at most every few seconds unless forced."""
        self.run.update(fields or {})
        if not force and time.monotonic() - self._saved < 5:
            return
        self.run["updated"] = _now()
        write_atomically(self.directory / "run.json", json.dumps(self.run, indent=1) + "\n")
        self._saved = time.monotonic()


def progress_row(progress: Progress) -> str:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(
        (
            progress.generation,
            f"{progress.seconds:.3f}",
            progress.candidates,
            score_text(progress.score),
        )
    )
    return text.getvalue()


def read_progress(path: Path) -> list[Progress]:
    try:
        with open(path, newline="") as file:
            return [
                Progress(
                    int(row["generation"]),
                    float(row["seconds"]),
                    int(row["candidates"]),
                    float(row["score"]),
                )
                for row in csv.DictReader(file)
            ]
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise RunFolderError(f"cannot read {path}: {error}") from None


def read_lineage(path: Path) -> list[dict]:
    lines = []
    try:
        with open(path, encoding="utf-8") as file:
            for number, text in enumerate(file, 1):
                if not text.endswith("\n"):
                    break  # torn by a crash or a full disk while it was appended
                try:
                    line = json.loads(text)
                    line["sha256"], line["parent"], line["flips"]
                except (ValueError, KeyError, TypeError):
                    raise RunFolderError(f"{path}, line {number}: not a lineage record") from None
                lines.append(line)
    except OSError as error:
        raise RunFolderError(f"cannot read {path}: {error}") from None
    return lines


def tile_bodies(data: bytes) -> dict[tuple[int, int], int]:
    """Offset of row 0 of every logic tile, by its (x, y)."""
    bodies = {}
    for tile in find_tiles(data):
        words = tile.header.split()
        if len(words) >= 3 and words[1].isdigit() and words[2].isdigit():
            bodies[int(words[1]), int(words[2])] = tile.body
    return bodies


def apply_flips(
    data: bytearray, bodies: dict[tuple[int, int], int], flips: Sequence[Sequence[int]]
) -> None:
    """Flips each position as gridflip does: 0 becomes 1, anything else 0."""
    for x, y, row, column in flips:
        offset = bodies[x, y] + ROW_STRIDE * row + column
        data[offset] = 0x31 if data[offset] == 0x30 else 0x30


def replay(directory: str | os.PathLike, seed: str | os.PathLike | None = None) -> bytes:
    """The run's champion rebuilt from its seed (the copy in the folder, or `seed`) and its
    lineage, byte for byte. RunFolderError where the seed is not the run's or the lineage does
    not lead from it to the champion."""
    directory = Path(directory)
    try:
        run = json.loads((directory / "run.json").read_text())
        run["seed"]["sha256"], run["champion"]["sha256"]
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise RunFolderError(f"cannot read {directory / 'run.json'}: {error}") from None
    record = RunRecord(directory, run)
    if seed is not None:
        try:
            data = read_circuit(seed)
        except (OSError, ValueError) as error:
            raise RunFolderError(f"cannot read the seed: {error}") from None
        if sha256(data) != run["seed"]["sha256"]:
            raise RunFolderError(
                f"{seed} is not the run's seed: its SHA-256 is {sha256(data)}, "
                f"run.json records {run['seed']['sha256']}"
            )
    else:
        data = record.read_seed()
    try:
        wanted = sha256(read_circuit(record.champion_path))
    except (OSError, ValueError):
        wanted = run["champion"]["sha256"]
    lineage = read_lineage(directory / "lineage.jsonl")
    made_by: dict[str, dict] = {}
    for line in lineage:
        made_by.setdefault(line["sha256"], line)  # the first line that made it: its parent is older
    chain, digest = [], wanted
    while digest != run["seed"]["sha256"]:
        line = made_by.get(digest)
        if line is None or len(chain) > len(lineage):
            raise RunFolderError(
                f"the lineage does not lead from the seed to the champion "
                f"{wanted[:12]}: nothing records how {digest[:12]} was made"
            )
        chain.append(line)
        digest = line["parent"]
    circuit, bodies = bytearray(data), tile_bodies(data)
    for line in reversed(chain):
        try:
            apply_flips(circuit, bodies, line["flips"])
        except (KeyError, ValueError, TypeError, IndexError):
            raise RunFolderError(
                f"a lineage record names a position that the seed has not: {line['sha256'][:12]}"
            ) from None
        if sha256(circuit) != line["sha256"]:
            raise RunFolderError(
                f"replaying the lineage gave {sha256(circuit)[:12]} where it "
                f"records {line['sha256'][:12]}"
            )
    return bytes(circuit)
