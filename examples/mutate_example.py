"""Mutate a copy of an example circuit with gridflip and report what changed.

    python examples/mutate_example.py [--circuit PATH] [--rows 0-15] [--columns 0-53]
                                      [--chance 0.01] [--dry-run-model]

The circuit itself is never touched: it is copied to a temporary directory first. The script
exits with status 1 if the result breaks a rule of the mutation (a changed length, a change
outside the requested tile bits, a flip count far from the chance) or no longer packs, and with
status 2 if it cannot read the circuit.
"""

from __future__ import annotations

import argparse
import math
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
TAG = b".logic_tile"
ROW_STRIDE = 55  # 54 bit characters and a line feed
ROW_LINES = 16
COLUMN_COUNT = 54


@dataclass
class Tile:
    header: str  # the header line, e.g. ".logic_tile 1 2"
    body: int  # offset of row 0, column 0


def find_tiles(data: bytes) -> list[Tile]:
    """The logic tiles as gridflip finds them: a line that starts with the tag, then 16 rows."""
    tiles = []
    length = len(data)
    pos = 0
    while pos + 10 <= length:
        end = data.find(b"\n", pos)
        if not data.startswith(TAG, pos):
            if end < 0:
                break
            pos = end + 1
            continue
        body = length if end < 0 else end + 1
        tiles.append(Tile(data[pos:body].decode("ascii", "replace").rstrip("\n"), body))
        pos = body
        for _ in range(ROW_LINES):
            if pos >= length:
                break
            end = data.find(b"\n", pos)
            pos = length if end < 0 else end + 1
    return tiles


def narrow_to_float32(value: float) -> float:
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def mutate_with_python_random(path: str, rows: list[int], columns: list[int], chance: float) -> None:
    """Stand-in for gridflip.mutate with the same rules, drawing from Python's `random`."""
    data = bytearray(Path(path).read_bytes())
    chance = narrow_to_float32(chance)
    for tile in find_tiles(bytes(data)):
        for c in columns:
            for r in rows:
                if random.random() > chance:
                    continue
                i = tile.body + ROW_STRIDE * r + c
                if i >= len(data):
                    raise IndexError(f"index out of bounds: the len is {len(data)} but the index is {i}")
                data[i] = 0x31 if data[i] == 0x30 else 0x30
    with open(path, "r+b") as f:
        f.write(data)


def parse_positions(text: str, limit: int) -> list[int]:
    """'0-15', '3', '1,4,7-9' -> a list in the given order, repeats kept."""
    values: list[int] = []
    for part in text.split(","):
        low, _, high = part.strip().partition("-")
        try:
            first, last = int(low), int(high or low)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a list of numbers and ranges: {text!r}") from None
        if not 0 <= first <= last < limit:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is outside 0-{limit - 1}")
        values.extend(range(first, last + 1))
    return values


@dataclass
class Report:
    problems: list[str]
    changed: int
    per_tile: list[int]


def compare(before: bytes, after: bytes, tiles: list[Tile], rows: list[int],
            columns: list[int]) -> Report:
    problems = []
    if len(after) != len(before):
        problems.append(f"length changed from {len(before)} to {len(after)} bytes")
    allowed_rows, allowed_columns = set(rows), set(columns)
    per_tile = [0] * len(tiles)
    changed = 0
    tile_index = 0
    for i, (a, b) in enumerate(zip(before, after)):
        if a == b:
            continue
        changed += 1
        while tile_index + 1 < len(tiles) and tiles[tile_index + 1].body <= i:
            tile_index += 1
        offset = i - tiles[tile_index].body if tiles else -1
        row, column = divmod(offset, ROW_STRIDE) if offset >= 0 else (-1, -1)
        inside = row in allowed_rows and column in allowed_columns
        if not inside or a not in b"01" or b != a ^ 1:
            if len(problems) < 10:
                problems.append(f"offset {i}: {chr(a)!r} became {chr(b)!r}, "
                                f"not a flip of a requested tile bit")
            continue
        per_tile[tile_index] += 1
    return Report(problems, changed, per_tile)


def flip_count_problem(changed: int, visits: int, chance: float, repeats: bool) -> str | None:
    """Far outside the binomial spread: the pass did not flip with the requested chance."""
    p = min(max(narrow_to_float32(chance), 0.0), 1.0) if not math.isnan(chance) else 1.0
    if repeats or visits == 0:
        return None  # a position visited twice can flip back; the count says little then
    mean, sigma = visits * p, math.sqrt(visits * p * (1 - p))
    if abs(changed - mean) > 6 * sigma + 0.5:
        return f"{changed} bits changed, but {visits} visits at chance {p:g} should give {mean:.0f} ± {sigma:.0f}"
    return None


def run_icepack(path: Path) -> tuple[bool, str]:
    icepack = shutil.which("icepack")
    if icepack is None:
        return True, "icepack not found, packing not checked"
    binary = path.with_suffix(".bin")
    run = subprocess.run([icepack, str(path), str(binary)], capture_output=True, text=True)
    if run.returncode != 0:
        return False, f"icepack failed ({run.returncode}): {run.stderr.strip()[-300:]}"
    return True, f"icepack packs it: {binary.stat().st_size} bytes"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--circuit", type=Path, default=HERE / "blinky_hx8k.asc")
    parser.add_argument("--rows", type=lambda t: parse_positions(t, ROW_LINES), default=list(range(ROW_LINES)))
    parser.add_argument("--columns", type=lambda t: parse_positions(t, COLUMN_COUNT),
                        default=list(range(COLUMN_COUNT)))
    parser.add_argument("--chance", type=float, default=0.01)
    parser.add_argument("--dry-run-model", action="store_true",
                        help="flip with Python's random under the same rules instead of gridflip")
    parser.add_argument("--show", type=int, default=5, help="tiles to list individually")
    args = parser.parse_args(argv)
    try:
        before = args.circuit.read_bytes()
    except OSError as error:
        print(f"mutate_example: cannot read {args.circuit}: {error.strerror or error}",
              file=sys.stderr)
        return 2

    if args.dry_run_model:
        mutate, engine = mutate_with_python_random, "Python model (--dry-run-model)"
    else:
        import gridflip
        mutate, engine = gridflip.mutate, "gridflip.mutate"

    with tempfile.TemporaryDirectory(prefix="gridflip-example-") as work:
        target = Path(work) / args.circuit.name
        target.write_bytes(before)
        tiles = find_tiles(before)
        print(f"circuit: {args.circuit} ({len(before)} bytes, {len(tiles)} logic tiles)")
        print(f"mutating a copy with {engine}: {len(args.rows)} rows x {len(args.columns)} columns, "
              f"chance {args.chance}")
        started = time.perf_counter()
        try:
            mutate(str(target), args.rows, args.columns, args.chance)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # gridflip's PanicException derives from BaseException
            print(f"FAILED: mutate raised {type(error).__qualname__}: {error}")
            return 1
        elapsed = time.perf_counter() - started
        after = target.read_bytes()

        report = compare(before, after, tiles, args.rows, args.columns)
        visits = len(tiles) * len(args.rows) * len(args.columns)
        repeats = len(set(args.rows)) < len(args.rows) or len(set(args.columns)) < len(args.columns)
        count_problem = flip_count_problem(report.changed, visits, args.chance, repeats)

        print(f"mutate took {elapsed * 1000:.1f} ms for {visits} visited positions")
        print(f"bits changed: {report.changed}")
        if tiles:
            print(f"per tile: min {min(report.per_tile)}, median {statistics.median(report.per_tile):g}, "
                  f"max {max(report.per_tile)}; tiles with a change: "
                  f"{sum(1 for n in report.per_tile if n)} of {len(tiles)}")
            for tile, count in list(zip(tiles, report.per_tile))[:args.show]:
                print(f"  {tile.header:<24} body at {tile.body:>8}: {count} changed")
        print(f"length: {len(before)} -> {len(after)} bytes")
        print("only requested tile bits changed, each 0<->1:", "no" if report.problems else "yes")
        if count_problem:
            report.problems.append(count_problem)
        packs, packing = run_icepack(target)
        print(packing)

    for problem in report.problems:
        print(f"PROBLEM: {problem}")
    if not packs:
        print("PROBLEM: the mutated circuit does not pack")
    return 1 if report.problems or not packs else 0


if __name__ == "__main__":
    sys.exit(main())
