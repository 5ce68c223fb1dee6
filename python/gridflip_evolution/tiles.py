"""The logic-tile rules the examples share: where gridflip finds the tiles of an iCE40 ASCII
configuration, which bytes a mutation may change, and a Python stand-in with the same rules.

A logic tile is a line that starts with ".logic_tile", then 16 rows of 54 bit characters, each
row ending in a line feed. Row r, column c of a tile whose rows start at `body` is the byte at
body + 55 * r + c.
"""

from __future__ import annotations

import argparse
import math
import random
import struct
from dataclasses import dataclass
from pathlib import Path

TAG = b".logic_tile"
ROW_STRIDE = 55  # 54 bit characters and a line feed
ROW_LINES = 16
COLUMN_COUNT = 54
# The logic cells of every logic tile: LUT contents and cell options (icebox's LC_0..LC_7).
LOGIC_CELL_COLUMNS = tuple(range(36, 46))


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


def parse_positions(text: str, limit: int) -> list[int]:
    """'0-15', '3', '1,4,7-9' -> a list in the given order, repeats kept; for argparse."""
    values: list[int] = []
    for part in text.split(","):
        low, _, high = part.strip().partition("-")
        try:
            first, last = int(low), int(high or low)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"not a list of numbers and ranges: {text!r}"
            ) from None
        if not 0 <= first <= last < limit:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is outside 0-{limit - 1}")
        values.extend(range(first, last + 1))
    return values


def narrow_to_float32(value: float) -> float:
    """The chance as gridflip compares it: narrowed to a 32-bit float."""
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def mutate_with_python_random(
    path: str, rows: list[int], columns: list[int], chance: float
) -> None:
    """A stand-in for gridflip.mutate with the same rules, drawing from Python's `random`."""
    data = bytearray(Path(path).read_bytes())
    chance = narrow_to_float32(chance)
    for tile in find_tiles(bytes(data)):
        for c in columns:
            for r in rows:
                if random.random() > chance:
                    continue
                i = tile.body + ROW_STRIDE * r + c
                if i >= len(data):
                    raise IndexError(
                        f"index out of bounds: the len is {len(data)} but the index is {i}"
                    )
                data[i] = 0x31 if data[i] == 0x30 else 0x30
    with open(path, "r+b") as f:
        f.write(data)


@dataclass
class Changes:
    problems: list[str]  # what breaks the rules of a mutation, at most 10 bytes' worth
    changed: int  # bytes that differ
    per_tile: list[int]  # flips of requested bits, per tile in file order


def check_changes(
    before: bytes, after: bytes, tiles: list[Tile], rows: list[int], columns: list[int]
) -> Changes:
    """What a mutation of `before` changed: only requested tile bits may, each from 0 to 1 or
    back, and the length may not."""
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
                problems.append(
                    f"offset {i}: {chr(a)!r} became {chr(b)!r}, not a flip of a requested tile bit"
                )
            continue
        per_tile[tile_index] += 1
    return Changes(problems, changed, per_tile)


def flip_count_problem(changed: int, visits: int, chance: float, repeats: bool) -> str | None:
    """Far outside the binomial spread: the pass did not flip with the requested chance."""
    p = min(max(narrow_to_float32(chance), 0.0), 1.0) if not math.isnan(chance) else 1.0
    if repeats or visits == 0:
        return None  # a position visited twice can flip back; the count says little then
    mean, sigma = visits * p, math.sqrt(visits * p * (1 - p))
    if abs(changed - mean) > 6 * sigma + 0.5:
        return (
            f"{changed} bits changed, but {visits} visits at chance {p:g} should give "
            f"{mean:.0f} ± {sigma:.0f}"
        )
    return None
