"""Plain-Python model of gridflip's logic-tile mutation pass, one rule per line.

The model takes the 64-bit draws as an iterator, so a test can script exactly which visits
flip (word 0 gives the sample 0.0, word 2**64 - 1 gives 1 - 2**-52).
"""

from __future__ import annotations

import math
import struct
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

TAG = b".logic_tile"
ROW_STRIDE = 55  # 54 bit characters and a line feed
ROW_LINES = 16
MIN_LINE_BYTES = 10  # the scan stops when fewer bytes than this remain at a line start

FLIP_WORD = 0  # sample 0.0: flips for any chance >= 0 (and NaN)
KEEP_WORD = 0xFFFFFFFFFFFFFFFF  # sample 1 - 2**-52: kept for any chance below that


def to_float32(value: float) -> float:
    """`value` narrowed to a 32-bit float (round to nearest, ties to even), widened back.

    struct narrows with C's conversion and refuses only results that round to infinity,
    which is exactly where IEEE narrowing gives an infinity of the same sign.
    """
    value = float(value)
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:
        return math.copysign(math.inf, value)


def unit_double(word64: int) -> float:
    """The sample drawn from one 64-bit word: its top 52 bits as a fraction of 1."""
    return (word64 >> 12) * 2.0**-52


class DrawsExhausted(RuntimeError):
    """The scripted draw sequence ran out before the pass finished."""


@dataclass(frozen=True)
class PassResult:
    data: bytes  # the bytes after the pass; after an abort, with the flips made before it
    draws_used: int
    abort_index: int | None  # index i of the index abort, or None
    flipped: tuple[int, ...] = field(default=())  # offsets in the order they were flipped
    bodies: tuple[int, ...] = field(default=())  # body offset of each tile found, in file order

    @property
    def abort_message(self) -> str | None:
        if self.abort_index is None:
            return None
        return (f"index out of bounds: the len is {len(self.data)} "
                f"but the index is {self.abort_index}")


def _line_end(buf: bytes | bytearray, start: int) -> int:
    """Offset just past the first line feed at or after start, or -1 if there is none."""
    lf = buf.find(b"\n", start)
    return -1 if lf < 0 else lf + 1


def _is_tile_header(buf: bytes | bytearray, cursor: int) -> bool:
    # A slice shorter than the tag (fewer than 11 bytes left) never compares equal.
    return buf[cursor:cursor + len(TAG)] == TAG


def run_pass(data: bytes, rows: Iterable[int], columns: Iterable[int], chance32: float,
             draws: Iterator[int]) -> PassResult:
    """One pass over `data`: every logic tile, columns outer, rows inner, one draw per visit.

    `chance32` must already be a 32-bit float value (see to_float32); NaN flips everything.
    """
    if not math.isnan(chance32) and to_float32(chance32) != chance32:
        raise ValueError(f"chance {chance32!r} is not a 32-bit float value; use to_float32")
    rows = list(rows)
    columns = list(columns)
    for value in (*rows, *columns):
        if not 0 <= value <= 255:
            raise ValueError(f"row and column values are bytes, not {value}")
    buf = bytearray(data)
    length = len(buf)
    used = 0
    flipped: list[int] = []
    bodies: list[int] = []
    cursor = 0
    while cursor + MIN_LINE_BYTES <= length:
        if not _is_tile_header(buf, cursor):
            cursor = _line_end(buf, cursor)
            if cursor < 0:
                break
            continue
        body = _line_end(buf, cursor + 1)
        if body < 0:
            body = length
        cursor = body
        bodies.append(body)
        if rows and columns:
            for c in columns:
                for r in rows:
                    try:
                        word = next(draws)
                    except StopIteration:
                        raise DrawsExhausted(f"draw {used + 1} was not scripted") from None
                    used += 1
                    if unit_double(word) * 1.0 + 0.0 > chance32:
                        continue
                    i = body + ROW_STRIDE * r + c
                    if i >= length:
                        return PassResult(bytes(buf), used, i, tuple(flipped), tuple(bodies))
                    buf[i] = 0x31 if buf[i] == 0x30 else 0x30
                    flipped.append(i)
        # The skip reads the bytes as they are now: a flip that replaced a line feed counts.
        for _ in range(ROW_LINES):
            if cursor >= length:
                break
            cursor = _line_end(buf, cursor)
            if cursor < 0:
                cursor = length
                break
    return PassResult(bytes(buf), used, None, tuple(flipped), tuple(bodies))


def tile_bodies(data: bytes) -> list[int]:
    """Body offsets of the logic tiles the pass finds, in file order."""
    return list(run_pass(data, [], [], 0.0, iter(())).bodies)


def count_logic_tiles(data: bytes) -> int:
    """Number of logic tiles the pass recognises in `data`."""
    return len(tile_bodies(data))
