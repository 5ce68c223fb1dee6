"""What a user would write instead of gridflip: the same pass in plain Python and in NumPy.

Both follow gridflip's rules (a tile is a line starting with ".logic_tile", its 16 row lines
follow, bit (column c, row r) is at body + 55*r + c, columns outer and rows inner, one sample
per visit, flip unless the sample exceeds the chance narrowed to a 32-bit float, "0" becomes
"1" and anything else "0") and rewrite the file in place at the same length. A flip drawn past
the end of the file raises IndexError after the flips before it have been written.

gridflip flushes the file to storage before it returns; pass durable=True for the same
guarantee here (an fsync after the write), as the benchmark does for files on a disk.
"""

from __future__ import annotations

import math
import os
import random
import struct
from collections.abc import Sequence

TAG = b".logic_tile"
ROW_STRIDE = 55
ROW_LINES = 16
ZERO, ONE, LF = 0x30, 0x31, 0x0A


def narrow_chance(chance: float) -> float:
    """The chance as gridflip compares it: rounded to a 32-bit float."""
    try:
        return struct.unpack("<f", struct.pack("<f", float(chance)))[0]
    except OverflowError:
        return math.copysign(math.inf, chance)


def _index_error(index: int, length: int) -> IndexError:
    return IndexError(f"index out of bounds: the len is {length} but the index is {index}")


def _write_back(path: str | os.PathLike, data, durable: bool) -> None:
    with open(path, "r+b") as f:
        f.write(data)
        if durable:
            f.flush()
            os.fsync(f.fileno())


def mutate_python(
    path: str | os.PathLike,
    rows: Sequence[int],
    columns: Sequence[int],
    chance: float,
    *,
    durable: bool = False,
) -> None:
    """Line by line in plain Python, with random.random() for every visited position."""
    chance = narrow_chance(chance)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    length = len(data)
    failure = None
    pos = 0
    while pos + 10 <= length:
        end = data.find(b"\n", pos)
        if not data.startswith(TAG, pos):
            if end < 0:
                break
            pos = end + 1
            continue
        body = length if end < 0 else end + 1
        for c in columns:
            for r in rows:
                if random.random() > chance:
                    continue
                i = body + ROW_STRIDE * r + c
                if i >= length:
                    failure = _index_error(i, length)
                    break
                data[i] = ONE if data[i] == ZERO else ZERO
            if failure is not None:
                break
        if failure is not None:
            break
        pos = body
        for _ in range(ROW_LINES):
            if pos >= length:
                break
            end = data.find(b"\n", pos)
            if end < 0:
                pos = length
                break
            pos = end + 1
    _write_back(path, data, durable)
    if failure is not None:
        raise failure


def tile_bodies_numpy(data):
    """Body offsets of the logic tiles in a uint8 array, in file order."""
    import numpy as np

    length = data.size
    line_feeds = np.flatnonzero(data == LF)
    starts = np.concatenate(([0], line_feeds + 1))
    candidates = starts + len(TAG) <= length
    tag = np.frombuffer(TAG, dtype=np.uint8)
    for j, byte in enumerate(tag):
        candidates &= data[np.minimum(starts + j, length - 1)] == byte
    bodies = []
    next_free_line = 0  # lines before this belong to the previous tile's rows
    for line in np.flatnonzero(candidates).tolist():
        if line < next_free_line:
            continue
        bodies.append(int(starts[line + 1]) if line < line_feeds.size else length)
        next_free_line = line + 1 + ROW_LINES
    return np.asarray(bodies, dtype=np.int64)


_numpy_generator = None


def _generator():
    """One generator for the process, as a user would keep it (seeding costs a system call)."""
    global _numpy_generator
    if _numpy_generator is None:
        import numpy as np

        _numpy_generator = np.random.default_rng()
    return _numpy_generator


def mutate_numpy(
    path: str | os.PathLike,
    rows: Sequence[int],
    columns: Sequence[int],
    chance: float,
    *,
    durable: bool = False,
) -> None:
    """Vectorised: all visited offsets in one index array, one array of samples, fancy indexing.

    Rows must be 0 to 15 and columns 0 to 53, so that in a well-formed file no flip can land
    on a line feed and change where the tiles are (the tiles are found before any flip).
    """
    import numpy as np

    if any(not 0 <= r < ROW_LINES for r in rows) or any(not 0 <= c < 54 for c in columns):
        raise ValueError("rows must be 0 to 15 and columns 0 to 53")
    chance = narrow_chance(chance)
    with open(path, "rb") as f:
        data = np.fromfile(f, dtype=np.uint8)  # one read, straight into a writable array
    length = data.size
    bodies = tile_bodies_numpy(data) if length else np.empty(0, dtype=np.int64)
    row_offsets = ROW_STRIDE * np.asarray(rows, dtype=np.int64)
    column_offsets = np.asarray(columns, dtype=np.int64)
    # Axis order (tile, column, row) flattens to the visiting order.
    visits = (
        bodies[:, None, None] + column_offsets[None, :, None] + row_offsets[None, None, :]
    ).ravel()
    samples = _generator().random(visits.size)
    flips = visits[~(samples > chance)]
    failure = None
    past_end = np.flatnonzero(flips >= length)
    if past_end.size:
        failure = _index_error(int(flips[past_end[0]]), length)
        flips = flips[: past_end[0]]
    tiles_apart = bodies.size < 2 or int(np.diff(bodies).min()) > ROW_STRIDE * 15 + 53
    if tiles_apart and len(set(rows)) == len(rows) and len(set(columns)) == len(columns):
        data[flips] = np.where(data[flips] == ZERO, ONE, ZERO)
    else:
        # A position flipped k times: the first flip maps "0" to "1" and the rest to "0";
        # later ones toggle between "0" and "1".
        positions, counts = np.unique(flips, return_counts=True)
        first = np.where(data[positions] == ZERO, ONE, ZERO)
        data[positions] = np.where(counts % 2 == 1, first, first ^ 1)
    _write_back(path, data, durable)
    if failure is not None:
        raise failure
