"""Plain-Python model of gridflip's logic-tile mutation pass, one rule per line.

Before the first draw of a tile the model checks its row lines: each of the (up to) 16 that
ends in a line feed must be 54 bytes long, or the pass stops with the malformed-tile message.

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
    refusal: str | None = None  # the malformed-tile message of a refused tile, or None

    @property
    def aborted(self) -> bool:
        return self.abort_index is not None or self.refusal is not None

    @property
    def abort_message(self) -> str | None:
        if self.refusal is not None:
            return self.refusal
        if self.abort_index is None:
            return None
        return (
            f"index out of bounds: the len is {len(self.data)} but the index is {self.abort_index}"
        )


def _line_end(buf: bytes | bytearray, start: int) -> int:
    """Offset just past the first line feed at or after start, or -1 if there is none."""
    lf = buf.find(b"\n", start)
    return -1 if lf < 0 else lf + 1


def _is_tile_header(buf: bytes | bytearray, cursor: int) -> bool:
    # A slice shorter than the tag (fewer than 11 bytes left) never compares equal.
    return buf[cursor : cursor + len(TAG)] == TAG


def _row_refusal(buf: bytes | bytearray, header: int, body: int) -> str | None:
    """The malformed-tile message for the tile whose header starts at `header`, or None.

    Up to 16 row lines from the body; the check stops, content, at the end of the file or at
    a row without a line feed. Every row with a line feed must be 54 bytes long.
    """
    start = body
    for r in range(ROW_LINES):
        if start >= len(buf):
            return None
        lf = buf.find(b"\n", start)
        if lf < 0:
            return None
        k = lf - start
        if k != ROW_STRIDE - 1:
            line = buf.count(b"\n", 0, header) + 1
            if k == ROW_STRIDE and buf[lf - 1] == 0x0D:
                return (
                    f"malformed logic tile at line {line}: row {r} ends in a carriage "
                    "return; convert the file to LF line ends"
                )
            return f"malformed logic tile at line {line}: row {r} is {k} bytes long, not 54"
        start = lf + 1
    return None


def run_pass(
    data: bytes, rows: Iterable[int], columns: Iterable[int], chance32: float, draws: Iterator[int]
) -> PassResult:
    """One pass over `data`: every logic tile, columns outer, rows inner, one draw per visit.

    `chance32` must already be a 32-bit float value (see to_float32); NaN flips everything.
    """
    if not math.isnan(chance32) and to_float32(chance32) != chance32:
        raise ValueError(f"chance {chance32!r} is not a 32-bit float value; use to_float32")
    rows = list(rows)
    columns = list(columns)
    # mutate refuses other values before the file is opened.
    if not all(0 <= r < ROW_LINES for r in rows) or not all(
        0 <= c < ROW_STRIDE - 1 for c in columns
    ):
        raise ValueError(f"rows must lie in 0 to 15 and columns in 0 to 53: {rows}, {columns}")
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
        header = cursor
        body = _line_end(buf, cursor + 1)
        if body < 0:
            body = length
        cursor = body
        bodies.append(body)
        if rows and columns:
            refusal = _row_refusal(buf, header, body)
            if refusal is not None:
                return PassResult(bytes(buf), used, None, tuple(flipped), tuple(bodies), refusal)
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
        # The skip reads the bytes as they are now (no flip can reach a line feed of a
        # checked tile).
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
